// platform/mapped_file.h on Windows, and readFileVersionOfFile over it. A file of its own, so
// that only a program that asks links it.
#include "platform/mapped_file.h"

#include <windows.h>

#include "platform/file_version.h"
#include "platform/win32/wide.h"

namespace vm {

MapResult mapFileForReading(const char16_t* path, MappedFile& file) {
  // Shared with every other opener: a running Velmora.exe stays readable.
  HANDLE handle = CreateFileW(asWide(path), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? MapResult::NoFile
                                                                          : MapResult::Unreadable;
  }
  LARGE_INTEGER size;
  // An empty file cannot be mapped; a 32-bit process maps less than 2 GiB anyway.
  HANDLE mapping = GetFileSizeEx(handle, &size) && size.QuadPart > 0 && size.QuadPart < 0x7FFFFFFF
                       ? CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr)
                       : nullptr;
  const void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (view == nullptr) {
    if (mapping != nullptr) CloseHandle(mapping);
    CloseHandle(handle);
    return MapResult::Unreadable;
  }
  file.data = static_cast<const uint8_t*>(view);
  file.length = static_cast<uint32_t>(size.QuadPart);
  file.file = reinterpret_cast<intptr_t>(handle);
  file.mapping = reinterpret_cast<intptr_t>(mapping);
  return MapResult::Mapped;
}

void unmapFile(MappedFile& file) {
  if (file.data == nullptr) return;
  UnmapViewOfFile(file.data);
  CloseHandle(reinterpret_cast<HANDLE>(file.mapping));
  CloseHandle(reinterpret_cast<HANDLE>(file.file));
  file = MappedFile{};
}

FileVersionStatus readFileVersionOfFile(const char16_t* path, FileVersion& version) {
  MappedFile file;
  const MapResult mapped = mapFileForReading(path, file);
  if (mapped != MapResult::Mapped)
    return mapped == MapResult::NoFile ? FileVersionStatus::NoFile : FileVersionStatus::NotAnImage;
  const FileVersionStatus status = readFileVersion(file.data, file.length, version);
  unmapFile(file);
  return status;
}

}  // namespace vm
