// The version of the Velmora.exe a package carries, read from the package in memory: what the
// installer compares with the installed one before it touches anything (no signed downgrade),
// and what vmpkg version prints for the release kit.
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "platform/file_version.h"

namespace vm {

enum class PackagedVersion : int32_t {
  Found = 0,
  NoProgram = 1,   // no file entry named app/Velmora.exe
  Unreadable = 2,  // it does not read whole (or no memory for it), or it has no readable version
};

// Reads the version resource of the last file entry named exactly app/Velmora.exe (the copy
// extraction leaves) of the open archive. Its data is read into memory taken for the call and
// freed before returning. `version` is written only when Found is returned.
[[nodiscard]] PackagedVersion readPackagedVersion(ArchiveHandle* archive, FileVersion& version);

}  // namespace vm
