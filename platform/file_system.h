// The file and folder operations the package archive needs, and the two conversions it takes
// from the platform (UTF-8 names, local calendar times). The core calls these plain functions;
// the build links one implementation: platform/win32/file_system.cpp (the real Win32 calls) or
// platform/posix/file_system.cpp (the host build: tests, tools, fuzzing).
//
// Paths are UTF-16 Windows paths: both the backslash and the forward slash separate folders, on
// every build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_time.h"
#include "platform/fixed_string.h"

namespace vm {

// Windows file-attribute bits that the archive carries over.
enum FileAttribute : uint32_t {
  FileAttributeReadOnly = 0x1,
  FileAttributeHidden = 0x2,
  FileAttributeSystem = 0x4,
  FileAttributeDirectory = 0x10,
  FileAttributeArchive = 0x20,
};

// An open file for writing; -1 is "no file" (INVALID_HANDLE_VALUE on Windows).
struct FileHandle {
  intptr_t value;
};
constexpr FileHandle kNoFile{-1};
inline bool isOpen(FileHandle file) { return file.value != -1; }

// The process's current directory, without a trailing separator unless it is a root. False
// (out empty) when it cannot be had or does not fit.
[[nodiscard]] bool currentDirectory(WidePath& out);

// True when a file or folder exists at `path` (GetFileAttributesW succeeds).
bool pathExists(const char16_t* path);

// Creates the folder `path` (parent must exist). True when it was created.
bool createFolder(const char16_t* path);

// Creates the file `path` for writing, replacing and truncating an existing one
// (CREATE_ALWAYS, no sharing), with the given FileAttribute bits. An existing read-only file is
// refused, as Windows refuses it, whatever the caller's privileges. kNoFile on failure.
FileHandle createFileForWriting(const char16_t* path, uint32_t attributes);

// Writes all `length` bytes. False when the platform refuses or writes fewer.
[[nodiscard]] bool writeToFile(FileHandle file, const uint8_t* data, uint32_t length);

// Sets the file's creation, last-access and last-write times (UTC). Where the platform keeps
// no creation time it is ignored. False when the platform refuses.
bool setFileTimes(FileHandle file, const FileTime& creation, const FileTime& access,
                  const FileTime& modification);

// Puts the file's data on the disk, not only in the system's cache. False when it cannot.
[[nodiscard]] bool flushFile(FileHandle file);

// Closes a file that createFileForWriting opened.
void closeFile(FileHandle file);

// Decodes `count` bytes of UTF-8 into `out` (as MultiByteToWideChar with CP_UTF8 and no flags
// does: invalid bytes become U+FFFD, a zero byte becomes a zero unit). False (out empty) when
// the result does not fit.
[[nodiscard]] bool decodeUtf8(const char* bytes, std::size_t count, WidePath& out);

// Converts a local calendar time to a UTC FILETIME, as SystemTimeToFileTime followed by
// LocalFileTimeToFileTime do: the offset from UTC in force now is applied, not the one in force
// on that date. False (out unchanged) for a time that is no valid calendar time.
[[nodiscard]] bool localCalendarTimeToUtc(const CalendarTime& local, FileTime& out);

}  // namespace vm
