// The unpack step shared by the installer and `vmpkg extract`: every entry whose name begins
// with "app/" is extracted below a destination folder, each result recorded and not acted
// upon. Entries whose names would land anywhere else are skipped like entries outside "app/".
#pragma once

#include <cstdint>

#include "archive/archive.h"

namespace vm {

// How the unpack step treats an entry, judged from its cleaned name.
enum class EntryDisposition : int32_t {
  Unpack = 0,      // below "app/" and safe: extracted
  OutsideApp = 1,  // does not begin with "app/" (exact case): skipped
  // Begins with "app/" but the rest is absolute (slash or backslash first), carries a drive or
  // any colon (alternate data streams), has a "." or ".." segment (also with trailing dots or
  // blanks, which Windows drops), or its joined path would not lie below the folder: skipped.
  Unsafe = 2,
  QueryFailed = 3,  // the entry cannot be described (corrupt, name too long): not extracted
};

// The disposition of an entry from its cleaned name (Unpack, OutsideApp or Unsafe). `rest`
// receives the part after "app/" when it is given.
EntryDisposition classifyEntryName(const char16_t* name, const char16_t** rest = nullptr);

// One entry's outcome, handed to the observer.
struct UnpackOutcome {
  int32_t index;
  const ArchiveEntry* entry;  // name empty when the query failed
  EntryDisposition disposition;
  // The query's result for QueryFailed, the extraction's for Unpack (ArchiveNoFile when the
  // joined path does not fit in 260 units: reported here only, extraction is not called);
  // ArchiveOk for skipped entries.
  ArchiveResult result;
  const char16_t* destination;  // the joined path for Unpack, else null
};

class UnpackObserver {
 public:
  virtual void entryDone(const UnpackOutcome& outcome) = 0;

 protected:
  ~UnpackObserver() = default;
};

struct UnpackSummary {
  uint32_t entries;    // entries of the archive (0 without a handle)
  uint32_t extracted;  // Unpack entries that ended with ArchiveOk
  uint32_t failed;     // Unpack entries that did not, and QueryFailed entries
  uint32_t skipped;    // OutsideApp and Unsafe entries
};

// Unpacks the open archive `handle` (null: nothing happens) below `folder`, an absolute path
// without or with a trailing separator. The caller opens and closes the archive, so the
// installer keeps its order of steps (open, count, entries, close). `observer` may be null.
UnpackSummary unpackApplication(ArchiveHandle* handle, const char16_t* folder,
                                UnpackObserver* observer);

}  // namespace vm
