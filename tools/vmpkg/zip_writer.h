// A ZIP archive as `vmpkg pack` writes it: one disk, no Zip64, no data descriptors, sizes and
// CRC-32 in the local header; a Unix host (version made by 3.0) with the file mode in the
// external attributes; the DOS time in UTC and an extended-timestamp ("UT") field holding the
// modification time in both headers. The writer owns the offsets and the central directory:
// entries go in one after the other, then finish() writes the directory and the end record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace vm {

struct ZipEntryRecord {
  const char* name;  // UTF-8, forward slashes; a folder's ends with '/'; kept until finish()
  uint32_t nameLength;  // below 260
  uint16_t method;  // 0 stored, 8 deflated
  uint32_t crc;
  uint32_t compressedSize;
  uint32_t uncompressedSize;
  uint32_t unixTime;  // modification time, seconds since 1970-01-01 UTC, below 2^31
  uint32_t mode;  // Unix mode: file type and permission bits
};

// Sees every byte the writer writes, in order (pack --sign hashes the package as it goes).
using ZipByteSink = std::function<void(const uint8_t* data, std::size_t length)>;

enum class ZipStep { Ok, TooLarge, Failed };

class ZipWriter {
 public:
  // Writes to `file`; the archive without its comment may not pass `largest` bytes.
  ZipWriter(std::FILE* file, uint64_t largest, ZipByteSink sink)
      : file_(file), largest_(largest), sink_(std::move(sink)) {}
  // Writes the local header of `entry`, whose compressedSize bytes of data must follow
  // (writeData). TooLarge (nothing written) when header and data would pass the largest size.
  ZipStep addEntry(const ZipEntryRecord& entry);
  // Writes entry data or, after finish(), the archive comment; false once a write failed.
  bool writeData(const void* data, uint64_t length);
  // Writes the central directory and the end record, which announces a comment of
  // `commentLength` bytes.
  ZipStep finish(uint16_t commentLength);
  uint64_t size() const { return position_; }
  bool failed() const { return failed_; }  // a write to the file failed (errno says why)

 private:
  std::FILE* file_;
  uint64_t largest_;
  ZipByteSink sink_;  // may be empty
  uint64_t position_ = 0;
  bool failed_ = false;
  std::vector<std::pair<ZipEntryRecord, uint32_t>> directory_;  // with the local offsets
};

}  // namespace vm
