// The records of a ZIP archive as `vmpkg pack` writes them: one disk, no Zip64, no data
// descriptors, sizes and CRC-32 in the local header; a Unix host (version made by 3.0) with
// the file mode in the external attributes; the DOS time in UTC and an extended-timestamp
// ("UT") field holding the modification time in both headers. Platform-neutral: the records
// are encoded into caller memory.
#pragma once

#include <cstdint>

namespace vm {

struct ZipEntryRecord {
  const char* name;  // UTF-8, forward slashes; a folder's ends with '/'
  uint32_t nameLength;  // at most 65,535
  uint16_t method;  // 0 stored, 8 deflated
  uint32_t crc;
  uint32_t compressedSize;
  uint32_t uncompressedSize;
  uint32_t unixTime;  // modification time, seconds since 1970-01-01 UTC, below 2^31
  uint32_t mode;  // Unix mode: file type and permission bits
  uint32_t localOffset;  // of the local header from the start of the archive
};

// Bytes of each record besides the name: the fixed part plus the "UT" field.
constexpr uint32_t kZipLocalHeaderSize = 30 + 9;
constexpr uint32_t kZipCentralHeaderSize = 46 + 9;
constexpr uint32_t kZipEndRecordSize = 22;

// Writes the local header and name of `entry` to `out` (kZipLocalHeaderSize + nameLength
// bytes); returns the count written.
uint32_t encodeLocalHeader(const ZipEntryRecord& entry, uint8_t* out);

// Writes the central header and name of `entry` (kZipCentralHeaderSize + nameLength bytes);
// returns the count written.
uint32_t encodeCentralHeader(const ZipEntryRecord& entry, uint8_t* out);

// Writes the end record for `count` entries (kZipEndRecordSize bytes); returns the count.
uint32_t encodeEndRecord(uint16_t count, uint32_t directorySize, uint32_t directoryOffset,
                         uint8_t* out);

// The DOS date (upper half) and time (lower half) of `unixTime` read as UTC; times before 1980
// give 1980-01-01 00:00:00, the first a DOS time can hold.
uint32_t dosDateTimeUtc(uint32_t unixTime);

}  // namespace vm
