// The application's executable in a package: does it carry the version the installer waits
// for? Shared by `vmpkg check` and `vmpkg pack` (which verifies what it wrote).
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "workflow/server_layout.h"

namespace vm {

// The major file version the installer waits for: while a Velmora.exe with a module of this
// version runs, the installer does not replace files.
constexpr uint16_t kWaitedMajorVersion = static_cast<uint16_t>(kApplicationMajorVersion);

// Why the file bytes `data` (`length` bytes) are no Velmora.exe the installer would wait for,
// written into `why`; null when their version resource carries major version 5.
const char* versionProblem(const uint8_t* data, uint64_t length, char (&why)[160]);

// The same for entry `index` of an open package, read whole into memory (at most 512 MiB);
// null when it carries major version 5.
const char* entryVersionProblem(ArchiveHandle* handle, int32_t index, char (&why)[160]);

}  // namespace vm
