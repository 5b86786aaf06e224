// Opening, querying and closing package archives (archive.cpp, reader.cpp).
#include <gtest/gtest.h>

#include <cstdlib>
#include <list>
#include <string>

#include "archive/archive.h"
#include "tests/unit/zip_builder.h"

namespace vm {
namespace {

using test::buildZip;
using test::le16;
using test::le32;
using test::ZipEntryRecipe;
using test::ZipRecipe;

constexpr uint64_t kUnixEpochTicks = 116444736000000000;
constexpr uint64_t kTicksPerSecond = 10000000;

// Opens a copy of `bytes` that lives as long as the test program (an archive reads the
// caller's memory until it is closed).
ArchiveHandle* open(const std::string& bytes) {
  static std::list<std::string> kept;
  kept.push_back(bytes);
  return openPackageArchive(reinterpret_cast<const uint8_t*>(kept.back().data()),
                            static_cast<uint32_t>(kept.back().size()));
}

int32_t countOf(ArchiveHandle* handle) {
  ArchiveEntry entry;
  EXPECT_EQ(getArchiveEntry(handle, -1, entry), ArchiveOk);
  return entry.index;
}

ZipEntryRecipe file(const std::string& name, const std::string& data = "x") {
  ZipEntryRecipe entry;
  entry.name = name;
  entry.data = data;
  return entry;
}

ZipRecipe withEntries(std::initializer_list<ZipEntryRecipe> entries) {
  ZipRecipe recipe;
  recipe.entries = entries;
  return recipe;
}

TEST(OpenPackageArchive, OpensWhatTheContainerAllowsAndRefusesTheRest) {
  ZipRecipe oneEntry = withEntries({file("app/a.txt")});
  auto variant = [&](auto change) {
    ZipRecipe recipe = oneEntry;
    change(recipe);
    return buildZip(recipe);
  };
  const std::string plain = buildZip(oneEntry);
  const struct {
    const char* what;
    std::string bytes;
    int32_t count;  // -1: the open fails
  } cases[] = {
      {"an end record alone", buildZip(ZipRecipe{}), 0},
      {"one entry", plain, 1},
      {"4 bytes", plain.substr(plain.size() - 4), -1},
      {"no end record", std::string(5000, 'x'), -1},
      {"an end record cut short", plain.substr(0, plain.size() - 3), -1},
      {"a comment of 2,000 bytes", variant([](ZipRecipe& s) { s.comment.assign(2000, 'c'); }), 1},
      {"the longest comment found", variant([](ZipRecipe& s) { s.comment.assign(65513, 'c'); }),
       1},
      {"a comment one byte too long",
       variant([](ZipRecipe& s) { s.comment.assign(65514, 'c'); }), -1},
      {"1,000 bytes of stub, offsets not adjusted",
       variant([](ZipRecipe& s) { s.prefix.assign(1000, 's'); }), 1},
      {"1,000 bytes of stub, offsets adjusted", variant([](ZipRecipe& s) {
         s.prefix.assign(1000, 's');
         s.adjustOffsets = true;
       }),
       1},
      {"this disk 1", variant([](ZipRecipe& s) { s.thisDisk = 1; }), -1},
      {"directory on disk 1", variant([](ZipRecipe& s) { s.directoryDisk = 1; }), -1},
      {"entries on disk differ from total", variant([](ZipRecipe& s) { s.entriesOnDisk = 2; }),
       -1},
      {"a directory ending after the end record",
       variant([](ZipRecipe& s) { s.directorySize = 0xFFFFFFF0; }), -1},
      {"a directory offset that wraps", variant([](ZipRecipe& s) { s.directoryOffset = 0xFFFFFFFF; }),
       -1},
      {"an unreadable first header still opens",
       variant([](ZipRecipe& s) { s.directorySize = 10; }), 1},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    ArchiveHandle* handle = open(row.bytes);
    if (row.count < 0) {
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(lastArchiveResult(), ArchiveNoFile);
      continue;
    }
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(lastArchiveResult(), ArchiveOk);
    EXPECT_EQ(handle->kind, 1);
    EXPECT_EQ(countOf(handle), row.count);
    EXPECT_EQ(closePackageArchive(handle), ArchiveOk);
  }
}

TEST(OpenPackageArchive, FindsEveryEntryThroughTheBiasOfAStub) {
  ZipRecipe recipe = withEntries({file("app/a.txt", "first"), file("app/b.txt", "second")});
  recipe.prefix.assign(1000, 'M');
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  ArchiveEntry entry;
  ASSERT_EQ(getArchiveEntry(handle, 1, entry), ArchiveOk);
  EXPECT_EQ(std::u16string(entry.name), u"app/b.txt");
  EXPECT_EQ(entry.uncompressedSize, 6u);
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, AnswersMissingAndForeignHandlesAndBadIndexes) {
  ArchiveEntry entry;
  entry.index = 99;
  entry.name[0] = u'z';
  entry.uncompressedSize = 7;
  EXPECT_EQ(getArchiveEntry(nullptr, -1, entry), ArchiveBadArgument);
  EXPECT_EQ(lastArchiveResult(), ArchiveBadArgument);
  EXPECT_EQ(entry.index, 0);  // a caller ignoring the result reads a count of 0
  EXPECT_EQ(entry.name[0], 0);
  EXPECT_EQ(entry.uncompressedSize, 0u);

  ArchiveHandle foreign{2, nullptr};
  EXPECT_EQ(getArchiveEntry(&foreign, 0, entry), ArchiveWrongHandle);
  EXPECT_EQ(closePackageArchive(&foreign), ArchiveWrongHandle);
  EXPECT_EQ(closePackageArchive(nullptr), ArchiveBadArgument);

  ArchiveHandle* handle = open(buildZip(withEntries({file("a"), file("b")})));
  ASSERT_NE(handle, nullptr);
  for (int32_t index : {-2, 2, 1000})
    EXPECT_EQ(getArchiveEntry(handle, index, entry), ArchiveBadArgument) << index;
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, WalksForwardRewindsAndAnswersRepeatsFromItsCache) {
  ZipRecipe recipe;
  for (int index = 0; index < 6; ++index) recipe.entries.push_back(file("e" + std::to_string(index)));
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  ArchiveEntry entry;
  for (int32_t index : {0, 5, 2, 2, 3}) {
    ASSERT_EQ(getArchiveEntry(handle, index, entry), ArchiveOk);
    EXPECT_EQ(entry.index, index);
    EXPECT_EQ(std::u16string(entry.name), u"e" + std::u16string(1, u'0' + index));
  }
  // The count query answers zeroed fields even with an entry cached.
  ASSERT_EQ(getArchiveEntry(handle, -1, entry), ArchiveOk);
  EXPECT_EQ(entry.index, 6);
  EXPECT_EQ(entry.name[0], 0);
  EXPECT_EQ(entry.attributes, 0u);
  EXPECT_EQ(entry.compressedSize, 0u);
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, CleansNamesOfDrivesLeadingSlashesAndClimbs) {
  const struct {
    std::string stored;
    std::u16string cleaned;
  } cases[] = {
      {"C:\\x\\y.txt", u"x\\y.txt"},
      {"/abs/file", u"abs/file"},
      {"a/../../b.txt", u"../b.txt"},
      {"a\\..\\b", u"b"},
      {"a\\../b", u"b"},
      {"a/..\\b", u"b"},
      {"C:C:\\\\/x", u"x"},
      {"../x", u"../x"},
      {"app/\\x", u"app/\\x"},             // not cleaned: the unpack step refuses it
      {"app/C:\\Windows\\x.dll", u"app/C:\\Windows\\x.dll"},
      {"app/Zo\xC3\xAB \xE2\x82\xAC", u"app/Zo\u00EB \u20AC"},
      {"app/\xF0\x9F\x98\x80", u"app/\U0001F600"},
      {"app/\xFF.txt", u"app/\uFFFD.txt"},
  };
  ZipRecipe recipe;
  for (const auto& row : cases) recipe.entries.push_back(file(row.stored));
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  for (int32_t index = 0; index < static_cast<int32_t>(std::size(cases)); ++index) {
    ArchiveEntry entry;
    ASSERT_EQ(getArchiveEntry(handle, index, entry), ArchiveOk) << cases[index].stored;
    EXPECT_EQ(std::u16string(entry.name), cases[index].cleaned) << cases[index].stored;
  }
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, RefusesNamesOf260BytesOrMoreInsteadOfCuttingThem) {
  const std::string longest = "app/" + std::string(255, 'n');  // 259 bytes
  ArchiveHandle* handle =
      open(buildZip(withEntries({file(longest), file(longest + "x"), file("after")})));
  ASSERT_NE(handle, nullptr);
  ArchiveEntry entry;
  ASSERT_EQ(getArchiveEntry(handle, 0, entry), ArchiveOk);
  EXPECT_EQ(std::u16string(entry.name).size(), 259u);
  EXPECT_EQ(getArchiveEntry(handle, 1, entry), ArchiveReadFailed);
  EXPECT_EQ(entry.name[0], 0);
  EXPECT_EQ(extractArchiveEntry(handle, 1, u"never-written"), ArchiveReadFailed);
  ASSERT_EQ(getArchiveEntry(handle, 2, entry), ArchiveOk);  // the walk goes on past it
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, MapsHostAttributesToWindowsBits) {
  const struct {
    uint16_t versionMadeBy;
    uint32_t external;
    uint32_t attributes;
  } cases[] = {
      {0x0314, 0x41ED0000, 0x30},  // Unix folder 0755
      {0x0314, 0x81A40000, 0x20},  // Unix file 0644
      {0x0314, 0x81240000, 0x21},  // Unix file 0444: read-only
      {0x0314, 0x00000000, 0x21},  // Unix, no mode at all
      {0x0014, 0x00000021, 0x21},  // FAT: archive, read-only
      {0x0B14, 0x00000037, 0x37},  // NTFS: all five bits
      {0x0A14, 0x00000016, 0x21},  // host 10: the upper half is a Unix mode, here 0
      {0x0E14, 0x000000C6, 0x06},  // VFAT keeps only the five bits
  };
  ZipRecipe recipe;
  for (const auto& row : cases) {
    ZipEntryRecipe entry = file("e");
    entry.versionMadeBy = row.versionMadeBy;
    entry.externalAttributes = row.external;
    recipe.entries.push_back(entry);
  }
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  for (int32_t index = 0; index < static_cast<int32_t>(std::size(cases)); ++index) {
    ArchiveEntry entry;
    ASSERT_EQ(getArchiveEntry(handle, index, entry), ArchiveOk);
    EXPECT_EQ(entry.attributes, cases[index].attributes) << index;
  }
  closePackageArchive(handle);
}

std::string timeBlock(uint32_t flags, std::initializer_list<int32_t> times, int declared = -1) {
  std::string data(1, static_cast<char>(flags));
  for (int32_t time : times) data += le32(static_cast<uint32_t>(time));
  return le16(0x5455) + le16(declared >= 0 ? declared : static_cast<uint32_t>(data.size())) + data;
}

uint64_t unixTicks(int64_t seconds) {
  return static_cast<uint64_t>(seconds * static_cast<int64_t>(kTicksPerSecond) +
                               static_cast<int64_t>(kUnixEpochTicks));
}

TEST(GetArchiveEntry, TakesExtendedTimesFromTheLocalFieldAndNeverReadsPastIt) {
  const int32_t m = 1735689600;  // 2025-01-01T00:00:00Z
  const int32_t a = 1700000000, c = -1000000000;  // before 1970 is allowed
  const struct {
    const char* what;
    std::string localExtra;
    bool modified, accessed, created;
  } cases[] = {
      {"all three", timeBlock(0x07, {m, a, c}), true, true, true},
      {"modification only", timeBlock(0x01, {m}), true, false, false},
      {"announces three, holds one", timeBlock(0x07, {m}), true, false, false},
      {"declares more than the field holds", timeBlock(0x07, {m, a}, 13), true, true, false},
      {"after another block", le16(0x000A) + le16(4) + "abcd" + timeBlock(0x01, {m}), true,
       false, false},
      {"a block cut after its header", le16(0x5455) + le16(5), false, false, false},
      {"only the first UT block counts", timeBlock(0x00, {}) + timeBlock(0x01, {m}), false,
       false, false},
  };
  ZipRecipe recipe;
  for (const auto& row : cases) {
    ZipEntryRecipe entry = file("e");
    entry.localExtra = row.localExtra;
    recipe.entries.push_back(entry);
  }
  ZipEntryRecipe centralOnly = file("central");  // central extra fields are never read for times
  centralOnly.centralExtra = timeBlock(0x07, {m, a, c});
  recipe.entries.push_back(centralOnly);
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  ArchiveEntry plain;
  ASSERT_EQ(getArchiveEntry(handle, static_cast<int32_t>(std::size(cases)), plain), ArchiveOk);
  const uint64_t dos = fileTimeValue(plain.modificationTime);
  EXPECT_EQ(fileTimeValue(plain.accessTime), dos);
  EXPECT_EQ(fileTimeValue(plain.creationTime), dos);
  for (int32_t index = 0; index < static_cast<int32_t>(std::size(cases)); ++index) {
    SCOPED_TRACE(cases[index].what);
    ArchiveEntry entry;
    ASSERT_EQ(getArchiveEntry(handle, index, entry), ArchiveOk);
    EXPECT_EQ(fileTimeValue(entry.modificationTime), cases[index].modified ? unixTicks(m) : dos);
    EXPECT_EQ(fileTimeValue(entry.accessTime), cases[index].accessed ? unixTicks(a) : dos);
    EXPECT_EQ(fileTimeValue(entry.creationTime), cases[index].created ? unixTicks(c) : dos);
  }
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, GivesInvalidDosTimesTheDosEpoch) {
  const uint64_t dosEpoch = unixTicks(315532800);  // 1980-01-01T00:00:00Z
  ZipRecipe recipe;
  for (uint32_t dosDateTime : {0x5A000000u,    // month 0
                               0x5A200000u,    // day 0
                               0x5A3D0000u,    // 2025-01-29 ok...
                               0x5A5E0000u,    // February 30
                               0x5A21C000u}) {  // hour 24
    ZipEntryRecipe entry = file("e");
    entry.dosDateTime = dosDateTime;
    recipe.entries.push_back(entry);
  }
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  for (int32_t index = 0; index < 5; ++index) {
    ArchiveEntry entry;
    ASSERT_EQ(getArchiveEntry(handle, index, entry), ArchiveOk);
    if (index == 2) {
      EXPECT_NE(fileTimeValue(entry.modificationTime), dosEpoch);
    } else {
      EXPECT_EQ(fileTimeValue(entry.modificationTime), dosEpoch) << index;
      EXPECT_EQ(fileTimeValue(entry.creationTime), dosEpoch) << index;
    }
  }
  closePackageArchive(handle);
}

#ifndef _WIN32
// The DOS time is local; the offset in force now is applied, whatever the date (as Windows'
// LocalFileTimeToFileTime does). TZ is fixed here; Windows reads its own zone.
class FixedTimeZone {
 public:
  explicit FixedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~FixedTimeZone() {
    if (hadOld_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadOld_;
  std::string old_;
};

uint64_t dosEntryTime(uint32_t dosDateTime) {
  ZipEntryRecipe entry = file("e");
  entry.dosDateTime = dosDateTime;
  ArchiveHandle* handle = open(buildZip(withEntries({entry})));
  ArchiveEntry result;
  EXPECT_EQ(getArchiveEntry(handle, 0, result), ArchiveOk);
  closePackageArchive(handle);
  return fileTimeValue(result.modificationTime);
}

TEST(GetArchiveEntry, TakesDosTimesAsLocalTimeWithTodaysOffset) {
  const uint64_t newYear = unixTicks(1735689600);  // 2025-01-01T00:00:00Z
  const uint32_t july = 0x5AE16000;                // 2025-07-01 12:00:00
  {
    FixedTimeZone zone("UTC0");
    EXPECT_EQ(dosEntryTime(test::kDosNewYear2025), newYear);
  }
  {
    FixedTimeZone zone("JST-9");  // nine hours ahead of UTC, no daylight saving
    EXPECT_EQ(dosEntryTime(test::kDosNewYear2025), newYear - 9 * 3600 * kTicksPerSecond);
  }
  {
    // With daylight saving, January and July get the same offset (today's), so their UTC
    // times lie exactly as far apart as their local times: 181 days and 12 hours.
    FixedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(dosEntryTime(july) - dosEntryTime(test::kDosNewYear2025),
              (181 * 86400 + 12 * 3600) * kTicksPerSecond);
  }
}
#endif

TEST(GetArchiveEntry, FailsEntriesWhoseLocalHeaderDisagrees) {
  auto with = [](auto change) {
    ZipEntryRecipe entry = file("app/a.txt", "some data");
    change(entry);
    return entry;
  };
  const struct {
    const char* what;
    ZipEntryRecipe entry;
    ArchiveResult result;
  } cases[] = {
      {"matching", with([](ZipEntryRecipe&) {}), ArchiveOk},
      {"method", with([](ZipEntryRecipe& e) { e.localMethod = 8; }), ArchiveCorrupt},
      {"method 12 in both", with([](ZipEntryRecipe& e) { e.method = 12; }), ArchiveCorrupt},
      {"CRC", with([](ZipEntryRecipe& e) { e.localCrc = 1; }), ArchiveCorrupt},
      {"compressed size", with([](ZipEntryRecipe& e) { e.localCompressedSize = 1; }),
       ArchiveCorrupt},
      {"uncompressed size", with([](ZipEntryRecipe& e) { e.localUncompressedSize = 1; }),
       ArchiveCorrupt},
      {"name length", with([](ZipEntryRecipe& e) { e.localName = "app/a.txt2"; }),
       ArchiveCorrupt},
      {"same length, other name", with([](ZipEntryRecipe& e) { e.localName = "app/b.txt"; }),
       ArchiveOk},
      {"bit 3 with zeros", with([](ZipEntryRecipe& e) { e.dataDescriptor = true; }), ArchiveOk},
      {"bit 3 with other values", with([](ZipEntryRecipe& e) {
         e.dataDescriptor = true;
         e.localCrc = 5;
         e.localCompressedSize = 6;
       }),
       ArchiveOk},
      {"local header offset past the end",
       with([](ZipEntryRecipe& e) { e.localHeaderOffset = 0xFFFFFFF0; }), ArchiveCorrupt},
      {"local header offset at the central header",
       with([](ZipEntryRecipe& e) { e.localHeaderOffset = 30 + 9 + 9; }), ArchiveCorrupt},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    ArchiveHandle* handle = open(buildZip(withEntries({row.entry})));
    ASSERT_NE(handle, nullptr);
    ArchiveEntry entry;
    EXPECT_EQ(getArchiveEntry(handle, 0, entry), row.result);
    EXPECT_EQ(lastArchiveResult(), row.result);
    closePackageArchive(handle);
  }
}

TEST(GetArchiveEntry, FailsALocalExtraFieldRunningPastThePackage) {
  std::string bytes = test::singleEntryZip("app/a.txt", "data");
  bytes[28] = '\xFF';  // the local header's extra length: 65,535 bytes
  bytes[29] = '\xFF';
  ArchiveHandle* handle = open(bytes);
  ASSERT_NE(handle, nullptr);
  ArchiveEntry entry;
  EXPECT_EQ(getArchiveEntry(handle, 0, entry), ArchiveReadFailed);
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, StopsAWalkThatCannotPassABrokenHeader) {
  ZipEntryRecipe broken = file("b");
  broken.centralNameLength = 40;  // the next header is looked for in the wrong place
  ZipRecipe recipe = withEntries({file("a"), broken, file("c"), file("d")});
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  ArchiveEntry entry;
  EXPECT_EQ(getArchiveEntry(handle, 3, entry), ArchiveCorrupt);
  EXPECT_EQ(getArchiveEntry(handle, 2, entry), ArchiveCorrupt);
  EXPECT_EQ(extractArchiveEntry(handle, 3, u"never-written"), ArchiveCorrupt);
  ASSERT_EQ(getArchiveEntry(handle, 0, entry), ArchiveOk);  // rewinding still works
  EXPECT_EQ(std::u16string(entry.name), u"a");
  closePackageArchive(handle);
}

TEST(GetArchiveEntry, CountsAFullDirectoryOf65535Entries) {
  ZipRecipe recipe;
  recipe.entries.assign(65535, file("e", ""));
  ArchiveHandle* handle = open(buildZip(recipe));
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(countOf(handle), 65535);
  ArchiveEntry entry;
  EXPECT_EQ(getArchiveEntry(handle, 65534, entry), ArchiveOk);
  closePackageArchive(handle);
}

}  // namespace
}  // namespace vm
