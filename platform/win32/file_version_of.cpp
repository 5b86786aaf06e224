// readFileVersionOfFile (platform/file_version.h) on Windows: the file mapped read-only, shared
// with every other opener (a running Velmora.exe stays readable), and read by readFileVersion.
// A file of its own, so that only a program that asks links it.
#include <windows.h>

#include "platform/file_version.h"
#include "platform/win32/wide.h"

namespace vm {

FileVersionStatus readFileVersionOfFile(const char16_t* path, FileVersion& version) {
  HANDLE file = CreateFileW(asWide(path), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? FileVersionStatus::NoFile
               : FileVersionStatus::NotAnImage;
  }
  FileVersionStatus status = FileVersionStatus::NotAnImage;
  LARGE_INTEGER size;
  // An empty file cannot be mapped; a 32-bit process maps less than 2 GiB anyway.
  HANDLE mapping = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < 0x7FFFFFFF
                       ? CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr)
                       : nullptr;
  if (mapping != nullptr) {
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view != nullptr) {
      status = readFileVersion(static_cast<const uint8_t*>(view),
                               static_cast<uint64_t>(size.QuadPart), version);
      UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
  }
  CloseHandle(file);
  return status;
}

}  // namespace vm
