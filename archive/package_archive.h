// The object behind an ArchiveHandle, shared by the archive's own source files.
#pragma once

#include "archive/archive.h"
#include "archive/reader.h"
#include "platform/fixed_string.h"

namespace vm {

struct PackageArchive {
  ArchiveReader* reader;  // null before a successful open
  ArchiveEntry cachedEntry;  // the last entry handed out for an index of 0 or more
  int32_t cachedIndex;       // -1 when nothing is cached
  uint8_t* writeBuffer;      // kStreamBufferSize bytes, taken on the first file extraction
  // The current directory at open time, ending in a separator; empty when it could not be had
  // (relative destinations are then left to the platform's current directory).
  WidePath rootFolder;
  // The folder (joined path, separator included) of the last file created: it exists.
  WidePath lastFolder;
};

// Stores `result` as the last result and returns it.
ArchiveResult recordResult(ArchiveResult result);

// The entry query on an open archive (no handle checks, no last-result update). `failure` says
// why an entry could not be described.
ArchiveResult queryEntry(PackageArchive& archive, int32_t index, ArchiveEntry& entry,
                         EntryFailure& failure);

}  // namespace vm
