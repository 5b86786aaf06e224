// The archive's inner steps: reading through the caller's memory, the end record, the central
// directory walk, local header checks and the entry data stream. Used by the public operations
// (archive.h); not by callers of the archive.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vm {

// Status of an inner step. A deflate failure passes zlib's own negative code through.
enum ReaderStatus : int32_t {
  ReaderOk = 0,
  ReaderIoError = -1,         // a read or seek fails or comes short
  ReaderBadParameter = -102,  // no reader, no current entry, or no open stream
  ReaderBadArchive = -103,    // a signature, count or header check failed
  ReaderInternalError = -104,  // no memory for a stream
  ReaderCrcError = -105,      // every byte delivered, but the CRC-32 (or length) differs
  ReaderBadPassword = -106,   // the encryption check byte did not match
};

// The caller's bytes; never copied, never written.
struct MemorySource {
  const uint8_t* data;
  uint32_t length;
  uint32_t position;  // next read; at or beyond length nothing can be read
};

// Copies `count` bytes from the position on (never past the end) and advances by what was
// copied. ReaderOk only when all of them were copied.
int32_t readBlock(MemorySource& source, uint8_t* out, uint32_t count);
// Points `out` at the next `count` bytes in place and advances past them. ReaderIoError
// (nothing moved) when fewer are left.
int32_t viewBlock(MemorySource& source, uint32_t count, const uint8_t*& out);
// Little-endian reads; on failure `value` is 0 and the result ReaderIoError.
int32_t readU16(MemorySource& source, uint32_t& value);
int32_t readU32(MemorySource& source, uint32_t& value);
// Moves to an absolute offset, given as a 64-bit sum so that offset + bias cannot wrap.
// ReaderIoError (position unchanged) beyond the end.
int32_t seekTo(MemorySource& source, uint64_t offset);

// The fields of one central directory header that the reader keeps.
struct CentralEntryInfo {
  uint32_t versionMadeBy;
  uint32_t flags;
  uint32_t method;
  uint32_t dosDateTime;  // time in the low 16 bits, date in the high 16 bits
  uint32_t entryCrc;
  uint32_t compressedSize;
  uint32_t uncompressedSize;
  uint32_t nameLength;
  uint32_t extraLength;
  uint32_t commentLength;
  uint32_t externalAttributes;
  uint32_t localHeaderOffset;  // before bias correction
};

// Where an entry's local parts lie, before bias correction.
struct LocalHeaderInfo {
  uint32_t extraPos;
  uint32_t extraLength;
  uint32_t dataPos;
};

struct EntryStream;

struct ArchiveReader {
  MemorySource source;
  uint32_t entryCount;
  uint32_t bias;  // bytes before the archive
  uint32_t currentIndex;
  uint32_t currentHeaderPos;  // before bias correction
  bool currentValid;
  uint32_t endRecordPos;
  uint32_t directorySize;
  uint32_t directoryOffset;  // before bias correction
  CentralEntryInfo current;
  EntryStream* stream;  // the entry being read, or null
};

// The name buffer of a query: a stored name must be shorter to be accepted.
constexpr uint32_t kNameBufferSize = 260;
// General-purpose flag bits of the headers.
constexpr uint32_t kFlagEncrypted = 0x1;       // the traditional PKWARE encryption
constexpr uint32_t kFlagDataDescriptor = 0x8;  // CRC and sizes follow the data

// Little-endian values in place; the caller has checked that the bytes are there.
inline uint32_t loadLittleEndian16(const uint8_t* bytes) {
  return bytes[0] | (static_cast<uint32_t>(bytes[1]) << 8);
}
inline uint32_t loadLittleEndian32(const uint8_t* bytes) {
  return loadLittleEndian16(bytes) | (loadLittleEndian16(bytes + 2) << 16);
}

// Fixed part of a central header and of a local header, in bytes.
constexpr uint32_t kCentralHeaderSize = 46;
constexpr uint32_t kLocalHeaderSize = 30;
// Piece size of the stream's reads from the package (compressed bytes handed to inflate at
// once) and of extraction's writes.
constexpr uint32_t kStreamBufferSize = 16384;

// Position of the end of central directory record within the last 65,535 bytes of the source.
// False when there is none.
bool findEndRecord(MemorySource& source, uint32_t& position);

// Reads the end record and fills the reader's counts, directory position and bias, and goes to
// the first entry. ReaderBadArchive for a multi-disk archive or a directory ending after the
// end record, ReaderIoError for a short read.
int32_t initReader(ArchiveReader& reader, const uint8_t* data, uint32_t length);

// Reads the central header at currentHeaderPos into `info`. When `name` is given (of
// kNameBufferSize bytes), the stored name is copied into it and zero-terminated; a name of
// kNameBufferSize bytes or more is ReaderBadArchive. `info` is written only on success.
int32_t readCentralHeader(ArchiveReader& reader, CentralEntryInfo& info, char* name);

// The directory walk. goToEntry moves to `index` (rewinding when it lies behind) and answers
// ReaderOk only when the walk stands on a valid header of that index; a walk that cannot pass
// an invalid header stops there and answers ReaderBadArchive.
void goToFirstEntry(ArchiveReader& reader);
void goToNextEntry(ArchiveReader& reader);
int32_t goToEntry(ArchiveReader& reader, uint32_t index);

// Checks the current entry's local header against its central header.
int32_t checkLocalHeader(ArchiveReader& reader, LocalHeaderInfo& local);

// The entry data stream of the current entry: at most one per reader. `password` is an 8-bit
// text or null (the installer always passes null).
int32_t openEntryStream(ArchiveReader& reader, const char* password);
// Delivers up to `length` uncompressed bytes into `buffer`: the count (0 or more) or a negative
// ReaderStatus / zlib code. `endReached` is set when the entry's last byte has been delivered.
int32_t readEntryStream(ArchiveReader* reader, uint8_t* buffer, uint32_t length,
                        bool& endReached);
// Closes the stream: ReaderCrcError when every byte was delivered and the CRC-32 differs, or
// when the deflate data ended before the declared size; otherwise ReaderOk.
int32_t closeEntryStream(ArchiveReader* reader);

// Tests only: the memory functions the inflater of later streams is set up with (zlib's
// alloc_func and free_func; null, the default, lets zlib use its own).
using InflateAllocate = void* (*)(void* opaque, unsigned items, unsigned size);
using InflateRelease = void (*)(void* opaque, void* address);
void setInflateMemoryForTesting(InflateAllocate allocate, InflateRelease release);

}  // namespace vm
