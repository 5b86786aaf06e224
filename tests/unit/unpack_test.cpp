// The shared unpack step (unpack.cpp): what is extracted, what is skipped, and that nothing
// lands outside the destination folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/unpack.h"
#include "tests/unit/scratch.h"
#include "tests/unit/zip_builder.h"

namespace vm {
namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;
using test::ZipEntryRecipe;
using test::ZipRecipe;
using Disposition = EntryDisposition;

TEST(ClassifyEntryName, RefusesNamesThatCouldLeaveTheFolder) {
  const struct {
    const char16_t* name;
    Disposition disposition;
  } cases[] = {
      {u"app/Velmora.exe", Disposition::Unpack},
      {u"app/", Disposition::Unpack},
      {u"app/sub\\inner.txt", Disposition::Unpack},
      {u"app/a..b/c.", Disposition::Unpack},
      {u"app/.hidden", Disposition::Unpack},
      {u"App/x", Disposition::OutsideApp},
      {u"app\\x", Disposition::OutsideApp},
      {u"x/app/y", Disposition::OutsideApp},
      {u"", Disposition::OutsideApp},
      {u"app/..", Disposition::Unsafe},
      {u"app/a/..", Disposition::Unsafe},
      {u"app/a\\..\\..\\x", Disposition::Unsafe},
      {u"app/./x", Disposition::Unsafe},
      {u"app/.. /x", Disposition::Unsafe},
      {u"app/.../x", Disposition::Unsafe},
      {u"app/\\x", Disposition::Unsafe},
      {u"app//x", Disposition::Unsafe},
      {u"app/\\\\?\\C:\\x", Disposition::Unsafe},
      {u"app/\\\\server\\share\\x", Disposition::Unsafe},
      {u"app/C:\\Windows\\x.dll", Disposition::Unsafe},
      {u"app/C:x", Disposition::Unsafe},
      {u"app/file.txt:stream", Disposition::Unsafe},
      {u"app/a/b:$DATA", Disposition::Unsafe},
  };
  for (const auto& row : cases)
    EXPECT_EQ(classifyEntryName(row.name), row.disposition)
        << fs::path(std::u16string(row.name)).u8string();
}

class Recorder : public UnpackObserver {
 public:
  void entryDone(const UnpackOutcome& outcome) override {
    outcomes.push_back({outcome.index, std::u16string(outcome.entry->name), outcome.disposition,
                        outcome.result, outcome.destination != nullptr});
  }
  struct Seen {
    int32_t index;
    std::u16string name;
    Disposition disposition;
    ArchiveResult result;
    bool hasDestination;
  };
  std::vector<Seen> outcomes;
};

ZipEntryRecipe named(const std::string& name) {
  ZipEntryRecipe entry;
  entry.name = name;
  entry.data = "escape? " + name;
  return entry;
}

// Stored names, as a hostile package would carry them. "vmescape" marks every name that would
// leave the folder if it were joined and written.
const struct {
  const char* stored;
  Disposition disposition;
} kHostile[] = {
    {"app/ok.txt", Disposition::Unpack},
    {"app/sub\\inner.txt", Disposition::Unpack},
    {"/app/abs.txt", Disposition::Unpack},      // cleaned to app/abs.txt: lands inside
    {"C:\\app/drive.txt", Disposition::Unpack},  // cleaned to app/drive.txt
    {"readme.txt", Disposition::OutsideApp},
    {"App/x", Disposition::OutsideApp},
    {"app/../vmescape1", Disposition::OutsideApp},  // cleaned to vmescape1
    {"app/..\\vmescape2", Disposition::OutsideApp},
    {"app\\..\\vmescape3", Disposition::OutsideApp},
    {"app/x/../../../vmescape4", Disposition::OutsideApp},
    {"app/..", Disposition::Unsafe},
    {"app/a/..", Disposition::Unsafe},
    {"app/./vmescape5", Disposition::Unsafe},
    {"app/.. /vmescape6", Disposition::Unsafe},
    {"app/\\vmescape7", Disposition::Unsafe},
    {"app//vmescape8", Disposition::Unsafe},
    {"app/C:\\vmescape9", Disposition::Unsafe},
    {"app/C:vmescape10", Disposition::Unsafe},
    {"app/Z:\\vmescape11", Disposition::Unsafe},
    {"app/ok.txt:vmescape12", Disposition::Unsafe},
    {"app/\\\\?\\C:\\vmescape13", Disposition::Unsafe},
    {"app/../../vmescape14", Disposition::OutsideApp},
};

TEST(UnpackApplication, ExtractsSafeAppEntriesOnlyAndReportsEveryEntry) {
  ScratchFolder scratch("hostile");
  ZipRecipe recipe;
  for (const auto& row : kHostile) recipe.entries.push_back(named(row.stored));
  const std::string bytes = test::buildZip(recipe);
  ArchiveHandle* handle = openPackageArchive(reinterpret_cast<const uint8_t*>(bytes.data()),
                                             static_cast<uint32_t>(bytes.size()));
  ASSERT_NE(handle, nullptr);
  const std::u16string folder = scratch.at("dest");
  ensureFolder(nullptr, folder.c_str());
  Recorder recorder;
  const UnpackSummary summary = unpackApplication(handle, folder.c_str(), &recorder);
  closePackageArchive(handle);

  ASSERT_EQ(recorder.outcomes.size(), std::size(kHostile));
  for (std::size_t at = 0; at < std::size(kHostile); ++at) {
    SCOPED_TRACE(kHostile[at].stored);
    const auto& seen = recorder.outcomes[at];
    EXPECT_EQ(seen.index, static_cast<int32_t>(at));
    EXPECT_EQ(seen.disposition, kHostile[at].disposition);
    EXPECT_EQ(seen.result, ArchiveOk);
    EXPECT_EQ(seen.hasDestination, kHostile[at].disposition == Disposition::Unpack);
  }
  EXPECT_EQ(summary.entries, std::size(kHostile));
  EXPECT_EQ(summary.extracted, 4u);
  EXPECT_EQ(summary.failed, 0u);
  EXPECT_EQ(summary.skipped, std::size(kHostile) - 4);
  EXPECT_EQ(test::listTree(scratch.path()),
            "dest/ dest/abs.txt dest/drive.txt dest/ok.txt dest/sub/ dest/sub/inner.txt ");
  EXPECT_EQ(test::readFile(scratch.path() / "dest" / "sub" / "inner.txt"),
            "escape? app/sub\\inner.txt");
  // Nothing was written where a joined escape would have gone.
  for (const fs::path& place : {scratch.path().parent_path(), scratch.path().root_path(),
                                fs::current_path(), fs::path("C:\\"), fs::path("Z:\\")}) {
    std::error_code ignored;
    for (const auto& item : fs::directory_iterator(place, ignored))
      EXPECT_EQ(item.path().filename().u8string().rfind("vmescape", 0), std::string::npos)
          << item.path().u8string();
  }
}

TEST(UnpackApplication, ReportsFailedEntriesAndGoesOn) {
  ScratchFolder scratch("failures");
  ZipEntryRecipe corrupt = named("app/bad.bin");
  corrupt.crc = 99;
  ZipEntryRecipe broken = named("app/broken.bin");
  broken.localMethod = 8;
  ZipEntryRecipe longName = named("app/" + std::string(240, 'n'));
  ZipRecipe recipe;
  recipe.entries = {corrupt, broken, longName, named("app/after.txt")};
  const std::string bytes = test::buildZip(recipe);
  ArchiveHandle* handle = openPackageArchive(reinterpret_cast<const uint8_t*>(bytes.data()),
                                             static_cast<uint32_t>(bytes.size()));
  ASSERT_NE(handle, nullptr);
  Recorder recorder;
  const std::u16string folder = scratch.at("dest") + u"\\";  // a trailing separator works too
  const UnpackSummary summary = unpackApplication(handle, folder.c_str(), &recorder);
  closePackageArchive(handle);
  ASSERT_EQ(recorder.outcomes.size(), 4u);
  EXPECT_EQ(recorder.outcomes[0].result, ArchiveCorrupt);  // written, but its CRC differs
  EXPECT_EQ(recorder.outcomes[1].disposition, Disposition::QueryFailed);
  EXPECT_EQ(recorder.outcomes[1].result, ArchiveCorrupt);
  EXPECT_EQ(recorder.outcomes[2].disposition, Disposition::Unpack);
  EXPECT_EQ(recorder.outcomes[2].result, ArchiveNoFile);  // joined, it would not fit 260 units
  EXPECT_FALSE(recorder.outcomes[2].hasDestination);
  EXPECT_EQ(recorder.outcomes[3].result, ArchiveOk);
  EXPECT_EQ(summary.extracted, 1u);
  EXPECT_EQ(summary.failed, 3u);
}

TEST(UnpackApplication, DoesNothingWithoutAHandle) {
  Recorder recorder;
  const UnpackSummary summary = unpackApplication(nullptr, u"C:\\nowhere", &recorder);
  EXPECT_TRUE(recorder.outcomes.empty());
  EXPECT_EQ(summary.entries, 0u);
  EXPECT_EQ(lastArchiveResult(), ArchiveBadArgument);
  EXPECT_EQ(unpackApplication(nullptr, u"C:\\nowhere", nullptr).entries, 0u);
}

}  // namespace
}  // namespace vm
