// The version resource of a PE image, from its bytes. The path: DOS header -> PE signature ->
// file header -> optional header (PE32 or PE32+) -> resource data directory -> section table
// (relative virtual addresses to file offsets) -> resource directory, three levels (type 16,
// identifier 1, first language) -> data entry -> VS_VERSIONINFO -> VS_FIXEDFILEINFO.
#include "platform/file_version.h"

namespace vm {
namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t kMagicPe32 = 0x10B;
constexpr uint32_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirectoryHeaderSize = 16;
constexpr uint32_t kDirectoryEntrySize = 8;
constexpr uint32_t kDataEntrySize = 16;
constexpr uint32_t kSubdirectoryFlag = 0x80000000;
constexpr uint32_t kTypeVersion = 16;  // RT_VERSION
constexpr uint32_t kVersionIdentifier = 1;  // VS_VERSION_INFO
constexpr uint32_t kFixedBlockSignature = 0xFEEF04BD;
constexpr uint32_t kFixedBlockSize = 52;  // VS_FIXEDFILEINFO: 13 double words
// VS_VERSIONINFO: length, value length, type (6 bytes), the key "VS_VERSION_INFO" in UTF-16
// with its terminator (32 bytes), padding to a 4-byte boundary: the value begins at 40.
constexpr char16_t kVersionKey[] = u"VS_VERSION_INFO";
constexpr uint32_t kVersionKeyAt = 6;
constexpr uint32_t kFixedBlockAt = 40;

// Little-endian reads of the data, each checked against its length: a read outside it gives 0
// and clears `ok`, so that a walk reads a structure's fields and asks once.
struct Bytes {
  const uint8_t* data;
  uint64_t length;
  bool ok = true;

  bool holds(uint64_t offset, uint64_t size) const {
    return offset <= length && size <= length - offset;
  }
  uint32_t u16(uint64_t offset) {
    ok = ok && holds(offset, 2);
    return holds(offset, 2) ? data[offset] | static_cast<uint32_t>(data[offset + 1]) << 8 : 0;
  }
  uint32_t u32(uint64_t offset) {
    const uint32_t low = u16(offset);
    return low | u16(offset + 2) << 16;
  }
};

struct Image {
  Bytes bytes;
  uint64_t sectionTable;
  uint32_t sectionCount, resourceRva, resourceSize;
};

FileVersionStatus readHeaders(Bytes bytes, Image& image) {
  const uint64_t peOffset = bytes.u32(0x3C);
  if (bytes.u16(0) != 0x5A4D || bytes.u32(peOffset) != kPeSignature || !bytes.ok)
    return FileVersionStatus::NotAnImage;
  const uint64_t fileHeader = peOffset + 4;
  const uint64_t optional = fileHeader + kFileHeaderSize;
  const uint32_t sectionCount = bytes.u16(fileHeader + 2);
  const uint32_t optionalSize = bytes.u16(fileHeader + 16);
  const uint32_t magic = bytes.u16(optional);
  if (!bytes.ok || (magic != kMagicPe32 && magic != kMagicPe32Plus))
    return FileVersionStatus::NotAnImage;
  // Where the data-directory count and the directories lie in each kind of optional header.
  const uint32_t countAt = magic == kMagicPe32 ? 92 : 108;
  const uint64_t sectionTable = optional + optionalSize;
  const uint32_t directoryCount = bytes.u32(optional + countAt);
  if (countAt + 4 > optionalSize || !bytes.ok ||
      !bytes.holds(sectionTable, static_cast<uint64_t>(sectionCount) * kSectionHeaderSize)) {
    return FileVersionStatus::NotAnImage;
  }
  image = Image{bytes, sectionTable, sectionCount, 0, 0};
  if (directoryCount <= kResourceDirectoryIndex) return FileVersionStatus::Found;
  // The directories the count announces must lie in the optional header.
  const uint64_t directoryAt = countAt + 4 + kResourceDirectoryIndex * 8;
  image.resourceRva = bytes.u32(optional + directoryAt);
  image.resourceSize = bytes.u32(optional + directoryAt + 4);
  return directoryAt + 8 > optionalSize || !bytes.ok ? FileVersionStatus::NotAnImage
                                                      : FileVersionStatus::Found;
}

// The file offset of `size` bytes at `rva`, when they lie whole in the part of one section
// that the file holds (the smaller of its raw size and, when given, its virtual size).
bool fileOffsetOf(const Image& image, uint32_t rva, uint32_t size, uint64_t& offset) {
  Bytes bytes = image.bytes;
  for (uint32_t index = 0; index < image.sectionCount; ++index) {
    const uint64_t header = image.sectionTable + static_cast<uint64_t>(index) * kSectionHeaderSize;
    const uint32_t virtualSize = bytes.u32(header + 8), virtualAddress = bytes.u32(header + 12);
    const uint32_t rawSize = bytes.u32(header + 16), rawOffset = bytes.u32(header + 20);
    if (!bytes.ok) return false;
    const uint64_t held = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
    if (rva < virtualAddress) continue;
    const uint64_t into = static_cast<uint64_t>(rva) - virtualAddress;
    if (into >= held) continue;
    if (size > held - into) return false;
    offset = static_cast<uint64_t>(rawOffset) + into;
    return image.bytes.holds(offset, size);
  }
  return false;
}

enum class Want { Subdirectory, Data };

// Looks up `identifier` among the identifier entries of the directory at `directory` (an
// offset into the resource area), or takes the first entry of any kind when `identifier` is
// null. `target` receives the entry's offset into the area.
FileVersionStatus findEntry(Bytes area, uint32_t directory, const uint32_t* identifier,
                            Want want, uint32_t& target) {
  const uint32_t namedCount = area.u16(static_cast<uint64_t>(directory) + 12);
  const uint32_t total = namedCount + area.u16(static_cast<uint64_t>(directory) + 14);
  const uint64_t entries = static_cast<uint64_t>(directory) + kDirectoryHeaderSize;
  if (!area.ok || !area.holds(entries, static_cast<uint64_t>(total) * kDirectoryEntrySize))
    return FileVersionStatus::DamagedResource;
  for (uint32_t index = identifier != nullptr ? namedCount : 0; index < total; ++index) {
    const uint64_t entry = entries + static_cast<uint64_t>(index) * kDirectoryEntrySize;
    const uint32_t offset = area.u32(entry + 4);
    if (identifier != nullptr && area.u32(entry) != *identifier) continue;
    const bool subdirectory = (offset & kSubdirectoryFlag) != 0;
    if (subdirectory != (want == Want::Subdirectory)) return FileVersionStatus::DamagedResource;
    target = offset & ~kSubdirectoryFlag;
    return FileVersionStatus::Found;
  }
  return FileVersionStatus::NoVersionResource;
}

FileVersionStatus readFixedBlock(Bytes block, FileVersion& version) {
  const uint32_t blockLength = block.u16(0), valueLength = block.u16(2);
  // The block's own length must lie within the resource data and hold the fixed block.
  if (!block.ok || blockLength > block.length || blockLength < kFixedBlockAt + kFixedBlockSize ||
      valueLength < kFixedBlockSize) {
    return FileVersionStatus::DamagedResource;
  }
  for (uint32_t at = 0; at < sizeof kVersionKey / sizeof kVersionKey[0]; ++at) {
    if (block.u16(kVersionKeyAt + 2 * at) != kVersionKey[at])
      return FileVersionStatus::DamagedResource;
  }
  const uint32_t signature = block.u32(kFixedBlockAt);
  const uint32_t mostSignificant = block.u32(kFixedBlockAt + 8);
  const uint32_t leastSignificant = block.u32(kFixedBlockAt + 12);
  if (!block.ok || signature != kFixedBlockSignature) return FileVersionStatus::DamagedResource;
  version = {static_cast<uint16_t>(mostSignificant >> 16), static_cast<uint16_t>(mostSignificant),
             static_cast<uint16_t>(leastSignificant >> 16),
             static_cast<uint16_t>(leastSignificant)};
  return FileVersionStatus::Found;
}

}  // namespace

FileVersionStatus readFileVersion(const uint8_t* data, uint64_t length, FileVersion& version) {
  if (data == nullptr) return FileVersionStatus::NotAnImage;
  Image image;
  const FileVersionStatus headers = readHeaders(Bytes{data, length}, image);
  if (headers != FileVersionStatus::Found) return headers;
  if (image.resourceRva == 0 || image.resourceSize == 0)
    return FileVersionStatus::NoVersionResource;
  uint64_t areaOffset = 0;
  if (!fileOffsetOf(image, image.resourceRva, image.resourceSize, areaOffset))
    return FileVersionStatus::DamagedResource;
  // Directory offsets count from the start of the resource area and must stay inside it.
  Bytes area{data + areaOffset, image.resourceSize};
  const uint32_t type = kTypeVersion;
  const uint32_t identifier = kVersionIdentifier;
  uint32_t names = 0, languages = 0, dataEntry = 0;
  FileVersionStatus status = findEntry(area, 0, &type, Want::Subdirectory, names);
  if (status == FileVersionStatus::Found)
    status = findEntry(area, names, &identifier, Want::Subdirectory, languages);
  if (status == FileVersionStatus::Found)
    status = findEntry(area, languages, nullptr, Want::Data, dataEntry);
  if (status != FileVersionStatus::Found) return status;
  const uint32_t blockRva = area.u32(dataEntry);
  const uint32_t blockSize = area.u32(static_cast<uint64_t>(dataEntry) + 4);
  uint64_t blockOffset = 0;
  if (!area.holds(dataEntry, kDataEntrySize) || !area.ok ||
      !fileOffsetOf(image, blockRva, blockSize, blockOffset)) {
    return FileVersionStatus::DamagedResource;
  }
  return readFixedBlock(Bytes{data + blockOffset, blockSize}, version);
}

int32_t compareFileVersions(const FileVersion& a, const FileVersion& b) {
  const uint16_t left[] = {a.major, a.minor, a.build, a.revision};
  const uint16_t right[] = {b.major, b.minor, b.build, b.revision};
  for (int at = 0; at < 4; ++at)
    if (left[at] != right[at]) return left[at] < right[at] ? -1 : 1;
  return 0;
}

}  // namespace vm
