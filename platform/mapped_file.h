// A file mapped read-only into memory, shared with every other opener: the installed
// Velmora.exe for its version, the kept package for a partial update's unchanged spans.
// Implemented by the file layer (platform/win32/mapped_file.cpp, platform/posix/); only
// programs that ask link it.
#pragma once

#include <cstdint>

namespace vm {

struct MappedFile {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  intptr_t file = -1;    // the platform's handles, for unmapFile
  intptr_t mapping = 0;
};

enum class MapResult : int32_t {
  Mapped = 0,
  NoFile = 1,      // neither the file nor its folder exists
  Unreadable = 2,  // it exists but cannot be opened or mapped, is empty, or is 2 GiB or more
};

// Maps the file at `path` (a Windows path). `file` is filled only when Mapped is returned, and
// must then be given to unmapFile.
[[nodiscard]] MapResult mapFileForReading(const char16_t* path, MappedFile& file);
void unmapFile(MappedFile& file);

}  // namespace vm
