// A small ZIP writer for tests: well-formed archives by default, every field overridable so
// that hostile and broken archives are built from readable recipes instead of binary blobs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::test {

// 2025-01-01 00:00:00 as a DOS date and time (date in the high half).
constexpr uint32_t kDosNewYear2025 = 0x5A210000;

struct ZipEntryRecipe {
  std::string name;
  std::string data;  // uncompressed bytes
  uint16_t method = 0;  // 8 deflates with zlib; any other value stores `data` as given
  uint16_t versionMadeBy = 0x0014;  // host 0 (FAT), version 2.0
  uint32_t externalAttributes = 0x20;
  uint32_t dosDateTime = kDosNewYear2025;
  uint16_t flags = 0;
  bool dataDescriptor = false;  // flag bit 3: zeros in the local header, a descriptor after
  std::optional<std::string> password;  // traditional encryption with this password
  std::string localExtra;
  std::string centralExtra;
  // Overrides for broken archives.
  std::optional<std::string> payload;  // the bytes stored as the entry's data
  std::optional<uint32_t> crc, compressedSize, uncompressedSize;  // central header values
  std::optional<uint32_t> localCrc, localCompressedSize, localUncompressedSize;
  std::optional<uint16_t> localMethod;
  std::optional<std::string> localName;
  std::optional<uint32_t> localHeaderOffset;  // central header's offset (before any prefix)
  std::optional<uint16_t> centralNameLength;  // as stored, with the name bytes unchanged
};

struct ZipRecipe {
  std::vector<ZipEntryRecipe> entries;
  std::string comment;
  std::string prefix;          // bytes before the archive (a stub)
  bool adjustOffsets = false;  // offsets count from the file's start (as `zip -A` makes them)
  std::optional<uint16_t> thisDisk, directoryDisk, entriesOnDisk, totalEntries;
  std::optional<uint32_t> directorySize, directoryOffset;
  std::string betweenDirectoryAndEnd;  // bytes between the directory and the end record
};

std::string buildZip(const ZipRecipe& recipe);

// One stored entry named `name` holding `data`, in an archive of its own.
std::string singleEntryZip(const std::string& name, const std::string& data,
                           uint16_t method = 0);

// Raw deflate of `data` (zlib, window bits -15); without `finish` the data ends with a sync
// flush instead of a final block, so that more blocks can follow.
std::string rawDeflate(const std::string& data, bool finish = true);

uint32_t crcOf(const std::string& data);

// Little-endian field helpers for extra blocks.
std::string le16(uint32_t value);
std::string le32(uint32_t value);

}  // namespace vm::test
