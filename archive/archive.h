// The package archive: a ZIP archive lying whole in the caller's memory, opened in place, its
// entries listed as ArchiveEntry records and extracted one at a time.
//
// Supported container: one disk, 16-bit entry counts, 32-bit sizes and offsets (no ZIP64),
// methods 0 (stored) and 8 (deflated), the traditional PKWARE encryption with an empty
// password. Data before the archive (a prefixed stub) is tolerated.
//
// Every public operation returns an ArchiveResult and also stores it as the last result.
// Nothing here is thread-safe: one thread uses an archive from open to close.
#pragma once

#include <cstdint>

#include "platform/file_system.h"

namespace vm {

enum ArchiveResult : uint32_t {
  ArchiveOk = 0x0,
  // The package is no readable archive (open), or the destination cannot be created
  // (extraction; also a destination path that does not fit in 260 units).
  ArchiveNoFile = 0x200,
  ArchiveWriteFailed = 0x400,  // writing extracted data failed
  // The entry's local header disagrees with its central header, its central header cannot be
  // read (the directory walk cannot reach it), or its data fails the CRC-32 check.
  ArchiveCorrupt = 0x700,
  // The entry's local extra field cannot be read whole, or its name is 260 bytes or longer.
  ArchiveReadFailed = 0x800,
  ArchivePasswordFailed = 0x1000,  // the entry is encrypted with a non-empty password
  ArchiveBadArgument = 0x10000,    // no handle, or an entry index out of range
  ArchiveWrongHandle = 0x80000,    // the handle's kind is not 1
  ArchiveInflateFailed = 0x5000000,  // the data cannot be decompressed, or ends early
};

// One entry as getArchiveEntry describes it.
struct ArchiveEntry {
  int32_t index;       // the entry's index; the entry count for the query of index -1
  char16_t name[260];  // decoded and cleaned name, zero-terminated; slashes as stored
  uint32_t attributes;  // FileAttribute bits
  FileTime accessTime;  // UTC
  FileTime creationTime;
  FileTime modificationTime;
  uint32_t compressedSize;
  uint32_t uncompressedSize;
};

// Why an entry could not be described or read whole: a detail for tools that explain failures
// (vmpkg check); the installer never asks for it.
enum class EntryFault : int32_t {
  None = 0,
  HeaderUnreadable,   // its central directory header cannot be reached or read
  NameTooLong,        // its stored name has 260 bytes or more (value: the name's length)
  UnsupportedMethod,  // a compression method other than 0 and 8 (value: the method)
  HeaderMismatch,     // its local header disagrees with its central header
  ExtraPastEnd,       // its local extra field runs past the end of the package
  DataPastEnd,        // its data runs past the end of the package (or ends inside it early)
  Encrypted,          // it is encrypted with a password
  CrcMismatch,        // every byte was read, but the CRC-32 or the length differs
  CorruptData,        // the deflate data is corrupt (value: zlib's code)
  NoMemory,           // memory for reading it could not be had
};

struct EntryFailure {
  EntryFault fault;
  int32_t value;  // see EntryFault; 0 where it names none
};

struct PackageArchive;

// What the caller holds. Any kind other than 1 makes every operation answer
// ArchiveWrongHandle.
struct ArchiveHandle {
  int32_t kind;
  PackageArchive* archive;
};

// The result of the last openPackageArchive, getArchiveEntry, closePackageArchive or
// extractArchiveEntry of the process (ArchiveOk before the first).
ArchiveResult lastArchiveResult();

// Opens the archive in `data` (`length` bytes), which must stay alive and unchanged until
// closePackageArchive returns. Returns the handle, or null with ArchiveNoFile as the last
// result and nothing left allocated.
ArchiveHandle* openPackageArchive(const uint8_t* data, uint32_t length);

// Fills `entry` with entry `index` (0 to count - 1), or with the entry count in `index` for
// index -1. Index, name and uncompressed size are cleared first, so a caller ignoring a failure
// reads a count of 0. Failures: ArchiveBadArgument (no handle, index out of range),
// ArchiveWrongHandle, ArchiveCorrupt, ArchiveReadFailed; `entry` is then partly filled.
// `failure` (may be null) says why an entry of the archive could not be described
// (EntryFault::None on success and for handle or index failures).
ArchiveResult getArchiveEntry(ArchiveHandle* handle, int32_t index, ArchiveEntry& entry,
                              EntryFailure* failure = nullptr);

// Closes the archive and frees the handle (not usable afterwards). ArchiveBadArgument for no
// handle, ArchiveWrongHandle (nothing freed) for a kind other than 1.
ArchiveResult closePackageArchive(ArchiveHandle* handle);

// Extracts entry `index` to `destination`, a full file (or folder) path: absolute, or relative
// to the current directory at open time. Missing folders are created. A file gets the entry's
// attributes and times. ArchiveOk only when every byte was written and its CRC-32 matched; on
// failure what was written stays. See docs/archive.md for every result.
ArchiveResult extractArchiveEntry(ArchiveHandle* handle, int32_t index,
                                  const char16_t* destination);

// Reads entry `index` as extractArchiveEntry does, without writing anything: the same result
// extraction of a file entry would give once its file is created (ArchiveOk for a folder
// entry). `failure` (may be null) says why the entry could not be described or read whole.
ArchiveResult verifyArchiveEntry(ArchiveHandle* handle, int32_t index,
                                 EntryFailure* failure = nullptr);

// Reads entry `index` as verifyArchiveEntry does, delivering its bytes into `buffer`
// (`capacity` bytes) instead of discarding them; `length` receives how many were delivered.
// ArchiveWriteFailed when the data does not fit in `capacity`; otherwise verifyArchiveEntry's
// results (a folder entry reads as 0 bytes). For tools that look into one entry (vmpkg reads
// app/Velmora.exe's version resource); the installer does not use it.
ArchiveResult readArchiveEntry(ArchiveHandle* handle, int32_t index, uint8_t* buffer,
                               uint32_t capacity, uint32_t* length);

// Creates `folder` (below `root` when root is not null) and every folder above it; reports
// nothing. Paths that would not fit in 260 units are not created.
void ensureFolder(const char16_t* root, const char16_t* folder);

}  // namespace vm
