// readFileVersion over a small PE image made here (PE32 and PE32+), the same image damaged
// byte by byte, and, on the Windows build, over the stand-in programs the build makes.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/file_version.h"
#include "tests/unit/scratch.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vm {
namespace {

// Layout of the image the builder makes: DOS header, PE signature at 64, file header, optional
// header, one section ".rsrc" at file offset 0x200 and address 0x1000, holding the resource
// directory (type, identifier, language, data entry) and the version block.
constexpr uint32_t kPeAt = 64;
constexpr uint32_t kOptionalAt = kPeAt + 4 + 20;
constexpr uint32_t kSectionRaw = 0x200;
constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kTypeDirectory = 0x00;  // offsets into the resource section
constexpr uint32_t kNameDirectory = 0x18;
constexpr uint32_t kLanguageDirectory = 0x30;
constexpr uint32_t kDataEntry = 0x48;
constexpr uint32_t kBlock = 0x58;
constexpr uint32_t kBlockSize = 92;  // header, key, padding, fixed block; no children
constexpr uint32_t kBlockAt = kSectionRaw + kBlock;  // file offset of the version block

struct Image {
  std::vector<uint8_t> bytes;
  uint32_t sectionTable;  // file offset of the section header
  uint32_t resourceDirectory;  // file offset of the resource data-directory entry

  void put16(uint32_t at, uint32_t value) {
    if (bytes.size() < at + 2) bytes.resize(at + 2);
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
  }
  void put32(uint32_t at, uint32_t value) {
    put16(at, value & 0xFFFF);
    put16(at + 2, value >> 16);
  }
  // Resource-section offset to file offset.
  static uint32_t inSection(uint32_t offset) { return kSectionRaw + offset; }
};

Image versionImage(bool pe32Plus, uint16_t major, uint16_t minor, uint16_t build,
                   uint16_t revision) {
  Image image;
  image.put16(0, 0x5A4D);  // "MZ"
  image.put32(0x3C, kPeAt);
  image.put32(kPeAt, 0x00004550);
  image.put16(kPeAt + 4, pe32Plus ? 0x8664 : 0x014C);
  image.put16(kPeAt + 6, 1);  // one section
  const uint32_t optionalSize = pe32Plus ? 112 + 16 * 8 : 96 + 16 * 8;
  image.put16(kPeAt + 20, optionalSize);
  image.put16(kOptionalAt, pe32Plus ? 0x20B : 0x10B);
  const uint32_t directories = kOptionalAt + (pe32Plus ? 112 : 96);
  image.put32(directories - 4, 16);  // the data-directory count
  image.resourceDirectory = directories + 2 * 8;
  image.put32(image.resourceDirectory, kSectionRva);
  image.put32(image.resourceDirectory + 4, kBlock + kBlockSize);
  image.sectionTable = kOptionalAt + optionalSize;
  image.bytes.resize(image.sectionTable + 40);
  std::memcpy(&image.bytes[image.sectionTable], ".rsrc\0\0\0", 8);
  image.put32(image.sectionTable + 8, kBlock + kBlockSize);  // virtual size
  image.put32(image.sectionTable + 12, kSectionRva);
  image.put32(image.sectionTable + 16, 0x200);  // raw size
  image.put32(image.sectionTable + 20, kSectionRaw);
  image.bytes.resize(kSectionRaw + 0x200);
  // type 16 -> identifier 1 -> language 0x409 -> data entry
  const uint32_t directoriesAt[3] = {kTypeDirectory, kNameDirectory, kLanguageDirectory};
  const uint32_t names[3] = {16, 1, 0x409};
  const uint32_t targets[3] = {0x80000000 | kNameDirectory, 0x80000000 | kLanguageDirectory,
                               kDataEntry};
  for (int level = 0; level < 3; ++level) {
    image.put16(Image::inSection(directoriesAt[level]) + 14, 1);
    image.put32(Image::inSection(directoriesAt[level]) + 16, names[level]);
    image.put32(Image::inSection(directoriesAt[level]) + 20, targets[level]);
  }
  image.put32(Image::inSection(kDataEntry), kSectionRva + kBlock);
  image.put32(Image::inSection(kDataEntry) + 4, kBlockSize);
  const uint32_t block = Image::inSection(kBlock);
  image.put16(block, kBlockSize);
  image.put16(block + 2, 52);
  const char16_t key[] = u"VS_VERSION_INFO";
  for (uint32_t at = 0; at < 16; ++at) image.put16(block + 6 + 2 * at, key[at]);
  image.put32(block + 40, 0xFEEF04BD);
  image.put32(block + 44, 0x00010000);
  image.put32(block + 48, (static_cast<uint32_t>(major) << 16) | minor);
  image.put32(block + 52, (static_cast<uint32_t>(build) << 16) | revision);
  return image;
}

FileVersionStatus readOf(const std::vector<uint8_t>& bytes, FileVersion& version) {
  return readFileVersion(bytes.data(), bytes.size(), version);
}

TEST(ReadFileVersion, ReadsTheFixedBlockOfPe32AndPe32PlusImages) {
  for (const bool pe32Plus : {false, true}) {
    FileVersion version{};
    ASSERT_EQ(readOf(versionImage(pe32Plus, 5, 2, 0, 1).bytes, version), FileVersionStatus::Found)
        << pe32Plus;
    EXPECT_EQ(version.major, 5);
    EXPECT_EQ(version.minor, 2);
    EXPECT_EQ(version.build, 0);
    EXPECT_EQ(version.revision, 1);
    ASSERT_EQ(readOf(versionImage(pe32Plus, 65535, 0, 9, 0).bytes, version),
              FileVersionStatus::Found);
    EXPECT_EQ(version.major, 65535);
    EXPECT_EQ(version.build, 9);
  }
}

// The installer's two reads for "no signed downgrade": a file on disk (mapped), and the order
// of two versions.
TEST(ReadFileVersion, ReadsAFileByPathAndOrdersVersions) {
  const test::ScratchFolder scratch("file-version");
  const std::vector<uint8_t> image = versionImage(false, 5, 0, 4, 0).bytes;
  std::ofstream(scratch.path() / "Velmora.exe", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::ofstream(scratch.path() / "empty.exe", std::ios::binary).flush();
  const struct {
    const char* name;
    FileVersionStatus status;
  } files[] = {{"Velmora.exe", FileVersionStatus::Found},
               {"empty.exe", FileVersionStatus::NotAnImage},
               {"missing.exe", FileVersionStatus::NoFile},
               {"no folder/Velmora.exe", FileVersionStatus::NoFile}};
  for (const auto& file : files) {
    FileVersion version{};
    EXPECT_EQ(readFileVersionOfFile(scratch.at(file.name).c_str(), version), file.status)
        << file.name;
    if (file.status == FileVersionStatus::Found) {
      EXPECT_EQ(version.build, 4);
    }
  }
  const struct {
    FileVersion a, b;
    int32_t order;
  } pairs[] = {{{5, 0, 3, 0}, {5, 0, 3, 0}, 0}, {{5, 0, 2, 9}, {5, 0, 3, 0}, -1},
               {{5, 1, 0, 0}, {5, 0, 65535, 65535}, 1}, {{4, 9, 9, 9}, {5, 0, 0, 0}, -1},
               {{5, 0, 3, 1}, {5, 0, 3, 0}, 1}};
  for (const auto& pair : pairs) {
    const int32_t order = compareFileVersions(pair.a, pair.b);
    EXPECT_EQ((order > 0) - (order < 0), pair.order) << pair.a.build << "." << pair.a.revision;
  }
}

// Each row damages the valid PE32 image in one way.
TEST(ReadFileVersion, AnswersForDamagedAndHostileImages) {
  using Damage = void (*)(Image&);
  const struct {
    const char* what;
    Damage damage;
    FileVersionStatus expected;
  } rows[] = {
      {"no MZ", [](Image& i) { i.bytes[0] = 'Z'; }, FileVersionStatus::NotAnImage},
      {"PE offset past the end", [](Image& i) { i.put32(0x3C, 0xFFFFFFF0); },
       FileVersionStatus::NotAnImage},
      {"no PE signature", [](Image& i) { i.bytes[kPeAt + 1] = 'X'; },
       FileVersionStatus::NotAnImage},
      {"an unknown optional header", [](Image& i) { i.put16(kOptionalAt, 0x107); },
       FileVersionStatus::NotAnImage},
      {"an optional header too small for its directories",
       [](Image& i) { i.put16(kPeAt + 20, 100); }, FileVersionStatus::NotAnImage},
      {"65,535 sections past the end", [](Image& i) { i.put16(kPeAt + 6, 0xFFFF); },
       FileVersionStatus::NotAnImage},
      {"two data directories only", [](Image& i) { i.put32(i.resourceDirectory - 20, 2); },
       FileVersionStatus::NoVersionResource},
      {"an empty resource directory entry", [](Image& i) { i.put32(i.resourceDirectory, 0); },
       FileVersionStatus::NoVersionResource},
      {"no RT_VERSION type", [](Image& i) { i.put32(Image::inSection(kTypeDirectory) + 16, 24); },
       FileVersionStatus::NoVersionResource},
      {"the type as a named entry only",
       [](Image& i) {
         i.put16(Image::inSection(kTypeDirectory) + 12, 1);
         i.put16(Image::inSection(kTypeDirectory) + 14, 0);
       },
       FileVersionStatus::NoVersionResource},
      {"no identifier 1", [](Image& i) { i.put32(Image::inSection(kNameDirectory) + 16, 2); },
       FileVersionStatus::NoVersionResource},
      {"no language", [](Image& i) { i.put16(Image::inSection(kLanguageDirectory) + 14, 0); },
       FileVersionStatus::NoVersionResource},
      {"resources outside every section",
       [](Image& i) { i.put32(i.resourceDirectory, 0x7FFFF000); },
       FileVersionStatus::DamagedResource},
      {"resources longer than their section",
       [](Image& i) { i.put32(i.resourceDirectory + 4, 0x10000); },
       FileVersionStatus::DamagedResource},
      {"a section whose raw data lies past the end",
       [](Image& i) { i.put32(i.sectionTable + 20, 0xFFFFFE00); },
       FileVersionStatus::DamagedResource},
      {"65,535 type entries past the resource area",
       [](Image& i) { i.put16(Image::inSection(kTypeDirectory) + 14, 0xFFFF); },
       FileVersionStatus::DamagedResource},
      {"a subdirectory offset past the area",
       [](Image& i) { i.put32(Image::inSection(kTypeDirectory) + 20, 0xFFFFFFFF); },
       FileVersionStatus::DamagedResource},
      {"a type that points back at the root (a loop)",
       [](Image& i) { i.put32(Image::inSection(kTypeDirectory) + 20, 0x80000000); },
       FileVersionStatus::NoVersionResource},
      {"a root holding identifiers 1 and 16, each pointing back at it",
       [](Image& i) {
         const uint32_t root = Image::inSection(kTypeDirectory);
         i.put16(root + 14, 2);
         i.put32(root + 16, 1);
         i.put32(root + 20, 0x80000000);
         i.put32(root + 24, 16);
         i.put32(root + 28, 0x80000000);
       },
       FileVersionStatus::DamagedResource},
      {"a data entry where a language directory belongs",
       [](Image& i) { i.put32(Image::inSection(kNameDirectory) + 20, kDataEntry); },
       FileVersionStatus::DamagedResource},
      {"a language entry that is a directory",
       [](Image& i) {
         i.put32(Image::inSection(kLanguageDirectory) + 20, 0x80000000 | kLanguageDirectory);
       },
       FileVersionStatus::DamagedResource},
      {"version data past the end of the file",
       [](Image& i) { i.put32(Image::inSection(kDataEntry), 0xFFFFFFF0); },
       FileVersionStatus::DamagedResource},
      {"version data longer than the section",
       [](Image& i) { i.put32(Image::inSection(kDataEntry) + 4, 0x7FFFFFFF); },
       FileVersionStatus::DamagedResource},
      {"a block longer than its data", [](Image& i) { i.put16(kBlockAt, kBlockSize + 4); },
       FileVersionStatus::DamagedResource},
      {"a value too short for the fixed block", [](Image& i) { i.put16(kBlockAt + 2, 51); },
       FileVersionStatus::DamagedResource},
      {"another key", [](Image& i) { i.put16(kBlockAt + 6, 'W'); },
       FileVersionStatus::DamagedResource},
      {"no signature", [](Image& i) { i.put32(kBlockAt + 40, 0xFEEF04BC); },
       FileVersionStatus::DamagedResource},
  };
  for (const auto& row : rows) {
    Image image = versionImage(false, 5, 0, 0, 0);
    row.damage(image);
    FileVersion version{99, 99, 99, 99};
    EXPECT_EQ(readOf(image.bytes, version), row.expected) << row.what;
    EXPECT_EQ(version.major, 99) << row.what;  // untouched when nothing was found
  }
}

TEST(ReadFileVersion, NeverReadsPastTheEndOfACutImage) {
  for (const bool pe32Plus : {false, true}) {
    const std::vector<uint8_t> whole = versionImage(pe32Plus, 5, 0, 0, 0).bytes;
    const std::size_t needed = kSectionRaw + kBlock + kBlockSize;
    for (std::size_t length = 0; length < whole.size(); ++length) {
      // A copy of exactly `length` bytes, so that AddressSanitizer sees any read beyond it.
      std::vector<uint8_t> cut(whole.begin(), whole.begin() + length);
      FileVersion version{};
      const FileVersionStatus status = readFileVersion(cut.data(), cut.size(), version);
      EXPECT_EQ(status == FileVersionStatus::Found, length >= needed) << length;
    }
  }
  FileVersion version{};
  EXPECT_EQ(readFileVersion(nullptr, 100, version), FileVersionStatus::NotAnImage);
}

#ifdef _WIN32
// The stand-ins of tests/fixtures, built with known version resources by windres and the
// MinGW linker, read from their files as vmpkg reads a packaged Velmora.exe.
std::vector<uint8_t> fixtureBytes(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  folder.resize(folder.find_last_of(L'\\'));  // tests\unit
  folder.resize(folder.find_last_of(L'\\'));  // tests
  const std::wstring file = folder + L"\\fixtures\\" + name;
  std::vector<uint8_t> bytes;
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return bytes;
  uint8_t buffer[65536];
  DWORD count = 0;
  while (ReadFile(handle, buffer, sizeof buffer, &count, nullptr) && count > 0)
    bytes.insert(bytes.end(), buffer, buffer + count);
  CloseHandle(handle);
  return bytes;
}

TEST(ReadFileVersion, ReadsTheStandInsOfTheWindowsBuild) {
  const struct {
    const wchar_t* fixture;
    FileVersionStatus status;
    FileVersion version;
  } rows[] = {
      {L"standin-v5.exe", FileVersionStatus::Found, {5, 2, 0, 1}},
      {L"standin-v4.exe", FileVersionStatus::Found, {4, 9, 0, 0}},
      {L"standin-v50.exe", FileVersionStatus::Found, {50, 0, 0, 0}},
      {L"standin-plain.exe", FileVersionStatus::NoVersionResource, {}},
      {L"standin-app-v5.exe", FileVersionStatus::Found, {5, 0, 3, 0}},
      {L"standin-library-v5.dll", FileVersionStatus::Found, {5, 1, 0, 0}},
  };
  for (const auto& row : rows) {
    const std::vector<uint8_t> bytes = fixtureBytes(row.fixture);
    ASSERT_FALSE(bytes.empty()) << "missing fixture";
    FileVersion version{};
    ASSERT_EQ(readOf(bytes, version), row.status);
    if (row.status != FileVersionStatus::Found) continue;
    EXPECT_EQ(version.major, row.version.major);
    EXPECT_EQ(version.minor, row.version.minor);
    EXPECT_EQ(version.build, row.version.build);
    EXPECT_EQ(version.revision, row.version.revision);
  }
}
#endif

}  // namespace
}  // namespace vm
