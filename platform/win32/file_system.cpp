// The file layer on Windows: the Win32 calls themselves.
#include "platform/file_system.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace vm {

bool currentDirectory(WidePath& out) {
  const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(WidePath::capacity()),
                                            asWide(out.data()));
  if (length == 0 || length >= WidePath::capacity()) {  // failed, or the size it would need
    out.clear();
    return false;
  }
  return true;
}

bool pathExists(const char16_t* path) {
  return GetFileAttributesW(asWide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool createFolder(const char16_t* path) { return CreateDirectoryW(asWide(path), nullptr) != 0; }

FileHandle createFileForWriting(const char16_t* path, uint32_t attributes) {
  HANDLE file = CreateFileW(asWide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            attributes & ~static_cast<uint32_t>(FileAttributeDirectory), nullptr);
  if (file == INVALID_HANDLE_VALUE) return kNoFile;
  return FileHandle{reinterpret_cast<intptr_t>(file)};
}

bool writeToFile(FileHandle file, const uint8_t* data, uint32_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file.value), data, length, &written, nullptr) ||
        written == 0) {
      return false;
    }
    data += written;
    length -= written;
  }
  return true;
}

bool setFileTimes(FileHandle file, const FileTime& creation, const FileTime& access,
                  const FileTime& modification) {
  const FILETIME created{creation.low, creation.high};
  const FILETIME accessed{access.low, access.high};
  const FILETIME modified{modification.low, modification.high};
  return SetFileTime(reinterpret_cast<HANDLE>(file.value), &created, &accessed, &modified) != 0;
}

void closeFile(FileHandle file) {
  if (isOpen(file)) CloseHandle(reinterpret_cast<HANDLE>(file.value));
}

bool decodeUtf8(const char* bytes, std::size_t count, WidePath& out) {
  out.clear();
  if (count == 0) return true;
  if (count >= 0x7FFFFFFF) return false;
  // One unit is kept for the terminator: a name that needs all 260 does not fit.
  const int written = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count),
                                          asWide(out.data()),
                                          static_cast<int>(WidePath::capacity() - 1));
  if (written <= 0) {
    out.clear();
    return false;
  }
  out.data()[written] = 0;
  return true;
}

bool localCalendarTimeToUtc(const CalendarTime& local, FileTime& out) {
  SYSTEMTIME calendar{};
  calendar.wYear = local.year;
  calendar.wMonth = local.month;
  calendar.wDay = local.day;
  calendar.wHour = local.hour;
  calendar.wMinute = local.minute;
  calendar.wSecond = local.second;
  calendar.wMilliseconds = local.milliseconds;
  FILETIME localTime;
  FILETIME utc;
  if (!SystemTimeToFileTime(&calendar, &localTime) || !LocalFileTimeToFileTime(&localTime, &utc))
    return false;
  out = FileTime{utc.dwLowDateTime, utc.dwHighDateTime};
  return true;
}

}  // namespace vm
