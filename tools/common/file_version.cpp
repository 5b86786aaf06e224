// The version resource of a PE image, from its bytes. The path: DOS header -> PE signature ->
// file header -> optional header (PE32 or PE32+) -> resource data directory -> section table
// (relative virtual addresses to file offsets) -> resource directory, three levels (type 16,
// identifier 1, first language) -> data entry -> VS_VERSIONINFO -> VS_FIXEDFILEINFO.
#include "tools/common/file_version.h"

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

// The data, every read checked against its length.
struct Bytes {
  const uint8_t* data;
  uint64_t length;

  bool holds(uint64_t offset, uint64_t size) const {
    return offset <= length && size <= length - offset;
  }
  bool read16(uint64_t offset, uint32_t& value) const {
    if (!holds(offset, 2)) return false;
    value = data[offset] | (static_cast<uint32_t>(data[offset + 1]) << 8);
    return true;
  }
  bool read32(uint64_t offset, uint32_t& value) const {
    uint32_t low = 0;
    uint32_t high = 0;
    if (!read16(offset, low) || !read16(offset + 2, high)) return false;
    value = low | (high << 16);
    return true;
  }
};

struct Image {
  Bytes bytes;
  uint64_t sectionTable;
  uint32_t sectionCount;
  uint32_t resourceRva;
  uint32_t resourceSize;
};

FileVersionStatus readHeaders(const Bytes& bytes, Image& image) {
  uint32_t dosMagic = 0;
  uint32_t peOffset = 0;
  uint32_t signature = 0;
  if (!bytes.read16(0, dosMagic) || dosMagic != 0x5A4D || !bytes.read32(0x3C, peOffset) ||
      !bytes.read32(peOffset, signature) || signature != kPeSignature) {
    return FileVersionStatus::NotAnImage;
  }
  const uint64_t fileHeader = static_cast<uint64_t>(peOffset) + 4;
  uint32_t sectionCount = 0;
  uint32_t optionalSize = 0;
  uint32_t magic = 0;
  const uint64_t optional = fileHeader + kFileHeaderSize;
  if (!bytes.read16(fileHeader + 2, sectionCount) || !bytes.read16(fileHeader + 16, optionalSize) ||
      !bytes.read16(optional, magic)) {
    return FileVersionStatus::NotAnImage;
  }
  // Where the data-directory count and the directories lie in each kind of optional header.
  uint32_t countAt = 0;
  if (magic == kMagicPe32) {
    countAt = 92;
  } else if (magic == kMagicPe32Plus) {
    countAt = 108;
  } else {
    return FileVersionStatus::NotAnImage;
  }
  const uint64_t sectionTable = optional + optionalSize;
  uint32_t directoryCount = 0;
  if (countAt + 4 > optionalSize || !bytes.read32(optional + countAt, directoryCount) ||
      !bytes.holds(sectionTable, static_cast<uint64_t>(sectionCount) * kSectionHeaderSize)) {
    return FileVersionStatus::NotAnImage;
  }
  image.bytes = bytes;
  image.sectionTable = sectionTable;
  image.sectionCount = sectionCount;
  image.resourceRva = 0;
  image.resourceSize = 0;
  if (directoryCount <= kResourceDirectoryIndex) return FileVersionStatus::Found;
  const uint64_t directoryAt = countAt + 4 + kResourceDirectoryIndex * 8;
  // The directories the count announces must lie in the optional header.
  if (directoryAt + 8 > optionalSize || !bytes.read32(optional + directoryAt, image.resourceRva) ||
      !bytes.read32(optional + directoryAt + 4, image.resourceSize)) {
    return FileVersionStatus::NotAnImage;
  }
  return FileVersionStatus::Found;
}

// The file offset of `size` bytes at `rva`, when they lie whole in the part of one section
// that the file holds (the smaller of its raw size and, when given, its virtual size).
bool fileOffsetOf(const Image& image, uint32_t rva, uint32_t size, uint64_t& offset) {
  for (uint32_t index = 0; index < image.sectionCount; ++index) {
    const uint64_t header = image.sectionTable + static_cast<uint64_t>(index) * kSectionHeaderSize;
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawOffset = 0;
    if (!image.bytes.read32(header + 8, virtualSize) ||
        !image.bytes.read32(header + 12, virtualAddress) ||
        !image.bytes.read32(header + 16, rawSize) || !image.bytes.read32(header + 20, rawOffset)) {
      return false;
    }
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
FileVersionStatus findEntry(const Bytes& area, uint32_t directory, const uint32_t* identifier,
                            Want want, uint32_t& target) {
  uint32_t namedCount = 0;
  uint32_t identifierCount = 0;
  if (!area.read16(static_cast<uint64_t>(directory) + 12, namedCount) ||
      !area.read16(static_cast<uint64_t>(directory) + 14, identifierCount)) {
    return FileVersionStatus::DamagedResource;
  }
  const uint64_t entries = static_cast<uint64_t>(directory) + kDirectoryHeaderSize;
  const uint32_t total = namedCount + identifierCount;
  if (!area.holds(entries, static_cast<uint64_t>(total) * kDirectoryEntrySize))
    return FileVersionStatus::DamagedResource;
  for (uint32_t index = identifier != nullptr ? namedCount : 0; index < total; ++index) {
    uint32_t name = 0;
    uint32_t offset = 0;
    const uint64_t entry = entries + static_cast<uint64_t>(index) * kDirectoryEntrySize;
    if (!area.read32(entry, name) || !area.read32(entry + 4, offset))
      return FileVersionStatus::DamagedResource;
    if (identifier != nullptr && name != *identifier) continue;
    const bool subdirectory = (offset & kSubdirectoryFlag) != 0;
    if (subdirectory != (want == Want::Subdirectory)) return FileVersionStatus::DamagedResource;
    target = offset & ~kSubdirectoryFlag;
    return FileVersionStatus::Found;
  }
  return FileVersionStatus::NoVersionResource;
}

FileVersionStatus readFixedBlock(const Bytes& block, FileVersion& version) {
  uint32_t blockLength = 0;
  uint32_t valueLength = 0;
  if (!block.read16(0, blockLength) || !block.read16(2, valueLength))
    return FileVersionStatus::DamagedResource;
  // The block's own length must lie within the resource data and hold the fixed block.
  if (blockLength > block.length || blockLength < kFixedBlockAt + kFixedBlockSize ||
      valueLength < kFixedBlockSize) {
    return FileVersionStatus::DamagedResource;
  }
  for (uint32_t at = 0; at < sizeof kVersionKey / sizeof kVersionKey[0]; ++at) {
    uint32_t unit = 0;
    if (!block.read16(kVersionKeyAt + 2 * at, unit) || unit != kVersionKey[at])
      return FileVersionStatus::DamagedResource;
  }
  uint32_t signature = 0;
  uint32_t mostSignificant = 0;
  uint32_t leastSignificant = 0;
  if (!block.read32(kFixedBlockAt, signature) || signature != kFixedBlockSignature ||
      !block.read32(kFixedBlockAt + 8, mostSignificant) ||
      !block.read32(kFixedBlockAt + 12, leastSignificant)) {
    return FileVersionStatus::DamagedResource;
  }
  version.major = static_cast<uint16_t>(mostSignificant >> 16);
  version.minor = static_cast<uint16_t>(mostSignificant & 0xFFFF);
  version.build = static_cast<uint16_t>(leastSignificant >> 16);
  version.revision = static_cast<uint16_t>(leastSignificant & 0xFFFF);
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
  const Bytes area{data + areaOffset, image.resourceSize};
  const uint32_t type = kTypeVersion;
  const uint32_t identifier = kVersionIdentifier;
  uint32_t names = 0;
  uint32_t languages = 0;
  uint32_t dataEntry = 0;
  FileVersionStatus status = findEntry(area, 0, &type, Want::Subdirectory, names);
  if (status == FileVersionStatus::Found)
    status = findEntry(area, names, &identifier, Want::Subdirectory, languages);
  if (status == FileVersionStatus::Found)
    status = findEntry(area, languages, nullptr, Want::Data, dataEntry);
  if (status != FileVersionStatus::Found) return status;
  uint32_t blockRva = 0;
  uint32_t blockSize = 0;
  uint64_t blockOffset = 0;
  if (!area.holds(dataEntry, kDataEntrySize) || !area.read32(dataEntry, blockRva) ||
      !area.read32(static_cast<uint64_t>(dataEntry) + 4, blockSize) ||
      !fileOffsetOf(image, blockRva, blockSize, blockOffset)) {
    return FileVersionStatus::DamagedResource;
  }
  return readFixedBlock(Bytes{data + blockOffset, blockSize}, version);
}

}  // namespace vm
