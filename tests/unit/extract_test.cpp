// Extraction of single entries to real files and folders (extract.cpp over the file layer).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/reader.h"
#include "tests/unit/scratch.h"
#include "tests/unit/zip_builder.h"

namespace vm {
namespace {

namespace fs = std::filesystem;
using test::le16;
using test::le32;
using test::ScratchFolder;
using test::ZipEntryRecipe;
using test::ZipRecipe;

constexpr int32_t kModified = 1735689600;  // 2025-01-01T00:00:00Z
constexpr uint64_t kModifiedTicks = 1735689600ull * 10000000 + 116444736000000000;

ZipEntryRecipe entryOf(const std::string& name, const std::string& data, uint16_t method = 0) {
  ZipEntryRecipe entry;
  entry.name = name;
  entry.data = data;
  entry.method = method;
  entry.localExtra = le16(0x5455) + le16(5) + std::string(1, '\x01') + le32(kModified);
  return entry;
}

ZipEntryRecipe folderOf(const std::string& name) {
  ZipEntryRecipe entry = entryOf(name, "");
  entry.externalAttributes = 0x10;
  return entry;
}

class Archive {
 public:
  explicit Archive(std::vector<ZipEntryRecipe> entries) {
    ZipRecipe recipe;
    recipe.entries = std::move(entries);
    bytes_ = test::buildZip(recipe);
    handle_ = openPackageArchive(reinterpret_cast<const uint8_t*>(bytes_.data()),
                                 static_cast<uint32_t>(bytes_.size()));
    EXPECT_NE(handle_, nullptr);
  }
  ~Archive() { closePackageArchive(handle_); }
  ArchiveHandle* handle() { return handle_; }

 private:
  std::string bytes_;
  ArchiveHandle* handle_;
};

// True when the platform refuses to replace a read-only file here (Wine running as root does
// not: it maps the attribute to permission bits, which root may ignore).
bool readOnlyIsEnforced(const ScratchFolder& scratch) {
  const std::u16string probe = scratch.at("read-only-probe");
  closeFile(createFileForWriting(probe.c_str(), FileAttributeReadOnly));
  const FileHandle again = createFileForWriting(probe.c_str(), 0);
  closeFile(again);
  return !isOpen(again);
}

// Where the destination stood when the inflater was ended (the entry stream closed): open here
// or not. Extraction closes its file first, then the stream.
std::vector<bool> openWhenStreamClosed;
fs::path watchedFile;

void* allocateForInflate(void*, unsigned items, unsigned size) {
  return std::calloc(items, size);
}

void releaseForInflate(void*, void* address) {
  if (!watchedFile.empty()) openWhenStreamClosed.push_back(test::isOpenHere(watchedFile));
  watchedFile.clear();
  std::free(address);
}

TEST(ExtractArchiveEntry, WritesFilesAndFoldersWithTheirTimesCreatingWhatIsMissing) {
  ScratchFolder scratch("writes");
  setInflateMemoryForTesting(allocateForInflate, releaseForInflate);
  const std::string text = "Velmora\r\n" + std::string(50000, 'v');
  Archive archive({entryOf("app/x.dll", text), entryOf("app/y.txt", text, 8),
                   entryOf("app/empty", ""), folderOf("app/bin/"), folderOf("app/")});
  const struct {
    int32_t index;
    std::string destination;  // below the scratch folder; "/" is the platform's separator
    std::string created;      // what must exist afterwards
    std::string contents;     // for files
  } cases[] = {
      {0, "target/sub/x.dll", "target/sub/x.dll", text},
      {1, "deflated/y.txt", "deflated/y.txt", text},
      {2, "empty/e", "empty/e", ""},
      {3, "out/deep/er/bin/", "out/deep/er/bin", ""},
      {4, "plain", "plain", ""},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.destination);
    std::u16string destination = scratch.at(row.destination);
    if (row.destination.back() == '/') destination += u'/';
    const fs::path created = scratch.path() / fs::u8path(row.created);
    watchedFile = created;
    ASSERT_EQ(extractArchiveEntry(archive.handle(), row.index, destination.c_str()), ArchiveOk);
    EXPECT_EQ(lastArchiveResult(), ArchiveOk);
    ASSERT_TRUE(fs::exists(created));
    if (fs::is_directory(created)) continue;
    EXPECT_EQ(test::readFile(created), row.contents);
    EXPECT_EQ(test::modificationTicks(created), kModifiedTicks);
  }
  setInflateMemoryForTesting(nullptr, nullptr);
  // The one deflated entry: its file was closed before its stream.
  EXPECT_EQ(openWhenStreamClosed, std::vector<bool>{false});
}

TEST(ExtractArchiveEntry, MakesAFolderAgainThatWentAwayBetweenTwoFiles) {
  ScratchFolder scratch("gone");
  Archive archive({entryOf("app/a.txt", "a"), entryOf("app/b.txt", "b")});
  ASSERT_EQ(extractArchiveEntry(archive.handle(), 0, scratch.at("f/a.txt").c_str()), ArchiveOk);
  fs::remove_all(scratch.path() / "f");
  ASSERT_EQ(extractArchiveEntry(archive.handle(), 1, scratch.at("f/b.txt").c_str()), ArchiveOk);
  EXPECT_EQ(test::listTree(scratch.path()), "f/ f/b.txt ");
}

TEST(ExtractArchiveEntry, PutsRelativeDestinationsBelowTheDirectoryCurrentAtOpen) {
  ScratchFolder scratch("relative");
  fs::create_directories(scratch.path() / "atOpen");
  fs::create_directories(scratch.path() / "later");
  const fs::path previous = fs::current_path();
  fs::current_path(scratch.path() / "atOpen");
  {
    Archive archive({entryOf("app/a.txt", "a"), folderOf("app/f/")});
    fs::current_path(scratch.path() / "later");
    EXPECT_EQ(extractArchiveEntry(archive.handle(), 0, u"sub\\deeper/x.txt"), ArchiveOk);
    EXPECT_EQ(extractArchiveEntry(archive.handle(), 0, u"x.txt"), ArchiveOk);
    EXPECT_EQ(extractArchiveEntry(archive.handle(), 1, u"made/here"), ArchiveOk);
  }
  fs::current_path(previous);
  EXPECT_EQ(test::listTree(scratch.path()),
            "atOpen/ atOpen/made/ atOpen/made/here/ atOpen/sub/ atOpen/sub/deeper/ "
            "atOpen/sub/deeper/x.txt atOpen/x.txt later/ ");
}

TEST(ExtractArchiveEntry, CreatesReadOnlyFilesAndCannotReplaceThem) {
  ScratchFolder scratch("read-only");
  ZipEntryRecipe readOnly = entryOf("app/r.txt", "locked");
  readOnly.externalAttributes = 0x21;
  Archive archive({readOnly});
  const std::u16string destination = scratch.at("r.txt");
  ASSERT_EQ(extractArchiveEntry(archive.handle(), 0, destination.c_str()), ArchiveOk);
  EXPECT_TRUE(test::isReadOnly(scratch.path() / "r.txt"));
  if (!readOnlyIsEnforced(scratch)) {
    // Not GTEST_SKIP: under Wine and qemu the skip path crashed now and then in teardown.
    std::printf("note: read-only files are replaceable here (Wine as root); not checked\n");
    return;
  }
  EXPECT_EQ(extractArchiveEntry(archive.handle(), 0, destination.c_str()), ArchiveNoFile);
  EXPECT_EQ(test::readFile(scratch.path() / "r.txt"), "locked");
}

TEST(ExtractArchiveEntry, ReportsFailuresAndLeavesWhatWasWritten) {
  ScratchFolder scratch("failures");
  const std::string data(40000, 'd');
  // Good blocks for 40,000 bytes, then a block of the reserved type 3.
  ZipEntryRecipe corruptEntry = entryOf("app/c", data + "more", 8);
  corruptEntry.payload = test::rawDeflate(data, false) + "\x07";
  ZipEntryRecipe badCrc = entryOf("app/crc", data);
  badCrc.crc = 1;
  ZipEntryRecipe password = entryOf("app/p", data, 8);
  password.password = "secret";
  ZipEntryRecipe unixSlash = entryOf("app/notafolder/", "");
  unixSlash.versionMadeBy = 0x0314;
  unixSlash.externalAttributes = 0;
  ZipEntryRecipe mismatch = entryOf("app/m", data);
  mismatch.localCrc = 7;
  Archive archive({corruptEntry, badCrc, password, unixSlash, mismatch, entryOf("app/ok", "ok")});
  fs::create_directories(scratch.path() / "folderInTheWay");
  std::ofstream(scratch.path() / "fileInTheWay") << "x";

  const std::u16string tooLong = scratch.at(std::string(300, 'l'));
  const struct {
    const char* what;
    int32_t index;
    std::u16string destination;
    ArchiveResult result;
    const char* leftBehind;  // relative path that exists afterwards, or null
    std::size_t leftAtMost;  // bytes a file left behind holds at most
  } cases[] = {
      {"corrupt deflate data", 0, scratch.at("c"), ArchiveInflateFailed, "c", 32768},
      {"a CRC mismatch", 1, scratch.at("crc"), ArchiveCorrupt, "crc", 40000},
      {"a password", 2, scratch.at("p"), ArchivePasswordFailed, "p", 0},
      {"a Unix name ending in a slash", 3, scratch.at("d/notafolder") + u"/", ArchiveNoFile,
       "d/notafolder", 0},
      {"local and central headers disagree", 4, scratch.at("m"), ArchiveCorrupt, nullptr, 0},
      {"a folder where the file goes", 5, scratch.at("folderInTheWay"), ArchiveNoFile, nullptr,
       0},
      {"a file where a folder goes", 5, scratch.at("fileInTheWay/ok"), ArchiveNoFile, nullptr,
       0},
      {"a destination of 260 units or more", 5, tooLong, ArchiveNoFile, nullptr, 0},
      {"a relative destination joined beyond the limit", 5,
       std::u16string(250, u'r') + u"/x", ArchiveNoFile, nullptr, 0},
      {"index = count", 6, scratch.at("never"), ArchiveBadArgument, nullptr, 0},
      {"index -1", -1, scratch.at("never"), ArchiveBadArgument, nullptr, 0},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(extractArchiveEntry(archive.handle(), row.index, row.destination.c_str()),
              row.result);
    EXPECT_EQ(lastArchiveResult(), row.result);
    if (row.leftBehind != nullptr) {
      const fs::path left = scratch.path() / row.leftBehind;
      ASSERT_TRUE(fs::exists(left));
      if (fs::is_regular_file(left)) {
        EXPECT_LE(fs::file_size(left), row.leftAtMost);
      }
    }
    // Reading without writing gives the same verdict for the entry's data.
    if (row.index >= 0 && row.index < 6 && row.result != ArchiveNoFile) {
      EXPECT_EQ(verifyArchiveEntry(archive.handle(), row.index, nullptr), row.result);
    }
  }
  EXPECT_EQ(test::listTree(scratch.path()),
            "c crc d/ d/notafolder/ fileInTheWay folderInTheWay/ p ");
  ArchiveHandle foreign{5, nullptr};
  EXPECT_EQ(extractArchiveEntry(nullptr, 0, u"x"), ArchiveBadArgument);
  EXPECT_EQ(extractArchiveEntry(&foreign, 0, u"x"), ArchiveWrongHandle);
}

#ifndef _WIN32
TEST(ExtractArchiveEntry, ReportsAFullDiskAsAFailedWrite) {
  Archive archive({entryOf("app/x", std::string(100000, 'x'))});
  EXPECT_EQ(extractArchiveEntry(archive.handle(), 0, u"/dev/full"), ArchiveWriteFailed);
}
#endif

TEST(EnsureFolder, CreatesTheRootAndEveryFolderAlongBothSeparators) {
  ScratchFolder scratch("ensure");
  const std::u16string root = scratch.at("root") + u"/";
  ensureFolder(root.c_str(), u"a\\b/c\\");
  ensureFolder(nullptr, (scratch.at("absolute") + u"/x/y").c_str());
  ensureFolder(root.c_str(), u"");
  EXPECT_EQ(test::listTree(scratch.path()),
            "absolute/ absolute/x/ absolute/x/y/ root/ root/a/ root/a/b/ root/a/b/c/ ");
}

}  // namespace
}  // namespace vm
