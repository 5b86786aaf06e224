// The file layer on POSIX hosts (tests, tools, fuzzing). It behaves like the Win32 layer for
// the archive's purposes: both slashes separate folders, the read-only attribute maps to the
// write-permission bits and an existing read-only file is refused even for root (Windows
// refuses CREATE_ALWAYS over it for administrators too), times go to mtime/atime, and the two
// conversions give Windows' results for valid input.
#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/file_version.h"
#include "platform/mapped_file.h"
#include "platform/utf8.h"

namespace vm {
namespace {

// 259 UTF-16 units need at most 3 bytes each (a surrogate pair, two units, needs 4).
constexpr std::size_t kNativePathCapacity = 3 * kPathCapacity + 1;

// `path` as a UTF-8 POSIX path with every backslash turned into a slash. False when the path
// is longer than a Windows path may be.
bool toNativePath(const char16_t* path, char (&out)[kNativePathCapacity]) {
  if (textLength(path) >= kPathCapacity || encodeUtf8(path, out, sizeof out) < 0) return false;
  for (char* at = out; *at != 0; ++at)
    if (*at == '\\') *at = '/';
  return true;
}

// Days from 1601-01-01 to the given proleptic Gregorian date.
int64_t daysSince1601(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = year / 400;  // years are >= 1600 here, no negative rounding
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t daysSince0000 = era * 146097 + dayOfEra;  // from 0000-03-01
  constexpr int64_t k1601 = 584694;  // 1601-01-01 on the same scale
  return daysSince0000 - k1601;
}

struct timespec toTimespec(const FileTime& time) {
  const int64_t sinceUnix = static_cast<int64_t>(fileTimeValue(time)) - kUnixEpochFileTime;
  int64_t seconds = sinceUnix / kFileTimeTicksPerSecond;
  int64_t rest = sinceUnix % kFileTimeTicksPerSecond;
  if (rest < 0) {
    rest += kFileTimeTicksPerSecond;
    --seconds;
  }
  struct timespec result;
  result.tv_sec = static_cast<time_t>(seconds);
  result.tv_nsec = static_cast<long>(rest * 100);
  return result;
}

}  // namespace

bool currentDirectory(WidePath& out) {
  out.clear();
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return false;
  std::size_t length = 0;
  while (buffer[length] != 0) ++length;
  return decodeUtf8(buffer, length, out);
}

bool pathExists(const char16_t* path) {
  char native[kNativePathCapacity];
  struct stat status;
  return toNativePath(path, native) && stat(native, &status) == 0;
}

bool createFolder(const char16_t* path) {
  char native[kNativePathCapacity];
  return toNativePath(path, native) && mkdir(native, 0777) == 0;
}

FileHandle createFileForWriting(const char16_t* path, uint32_t attributes) {
  char native[kNativePathCapacity];
  if (!toNativePath(path, native)) return kNoFile;
  struct stat status;
  if (stat(native, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 0222) == 0) {
    errno = EACCES;
    return kNoFile;
  }
  const bool readOnly = (attributes & FileAttributeReadOnly) != 0;
  const int file = open(native, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, readOnly ? 0444 : 0666);
  if (file < 0) return kNoFile;
  // A replaced file takes the new attributes, as CREATE_ALWAYS gives them on Windows.
  if (readOnly && fstat(file, &status) == 0) fchmod(file, status.st_mode & 07555);
  return FileHandle{file};
}

bool writeToFile(FileHandle file, const uint8_t* data, uint32_t length) {
  while (length > 0) {
    const ssize_t written = write(static_cast<int>(file.value), data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<uint32_t>(written);
  }
  return true;
}

bool setFileTimes(FileHandle file, const FileTime& /*creation: POSIX keeps none*/,
                  const FileTime& access, const FileTime& modification) {
  const struct timespec times[2] = {toTimespec(access), toTimespec(modification)};
  return futimens(static_cast<int>(file.value), times) == 0;
}

bool flushFile(FileHandle file) { return fsync(static_cast<int>(file.value)) == 0; }

void closeFile(FileHandle file) {
  if (isOpen(file)) close(static_cast<int>(file.value));
}

bool decodeUtf8(const char* text, std::size_t count, WidePath& out) {
  out.clear();
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  char16_t* units = out.data();
  std::size_t written = 0;
  auto put = [&](uint32_t unit) {
    if (written + 1 >= WidePath::capacity()) return false;
    units[written++] = static_cast<char16_t>(unit);
    return true;
  };
  std::size_t at = 0;
  while (at < count) {
    const uint8_t lead = bytes[at];
    uint32_t code = lead;
    std::size_t needed = 0;
    uint8_t low = 0x80, high = 0xBF;  // the range of the first continuation byte
    if (lead < 0x80) {
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      code = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      code = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      needed = 0;
      code = 0xFFFD;  // C0, C1, F5-FF or a stray continuation byte
    }
    ++at;
    bool valid = true;
    for (std::size_t index = 0; index < needed; ++index, low = 0x80, high = 0xBF) {
      if (at >= count || bytes[at] < low || bytes[at] > high) {
        valid = false;  // the bytes so far are one maximal invalid subpart
        break;
      }
      code = (code << 6) | (bytes[at++] & 0x3F);
    }
    if (!valid) code = 0xFFFD;
    bool fits;
    if (code >= 0x10000) {
      fits = put(0xD800 + ((code - 0x10000) >> 10)) && put(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      fits = put(code);
    }
    if (!fits) {
      out.clear();
      return false;
    }
  }
  units[written] = 0;
  return true;
}

bool localCalendarTimeToUtc(const CalendarTime& local, FileTime& out) {
  // The years a FILETIME can hold, as SystemTimeToFileTime allows them.
  if (local.year < 1601 || local.year > 30827 || !isCalendarTime(local)) return false;
  const int64_t seconds = daysSince1601(local.year, local.month, local.day) * 86400 +
                          local.hour * 3600 + local.minute * 60 + local.second;
  // The offset in force now, as LocalFileTimeToFileTime applies it.
  tzset();
  const time_t now = time(nullptr);
  struct tm parts;
  if (localtime_r(&now, &parts) == nullptr) return false;
  const int64_t ticks = (seconds - parts.tm_gmtoff) * kFileTimeTicksPerSecond +
                        static_cast<int64_t>(local.milliseconds) * 10000;
  if (ticks < 0) return false;
  out = makeFileTime(static_cast<uint64_t>(ticks));
  return true;
}

MapResult mapFileForReading(const char16_t* path, MappedFile& file) {
  char native[kNativePathCapacity];
  if (!toNativePath(path, native)) return MapResult::Unreadable;
  const int handle = open(native, O_RDONLY | O_CLOEXEC);
  if (handle < 0) return errno == ENOENT ? MapResult::NoFile : MapResult::Unreadable;
  struct stat facts;
  void* view = MAP_FAILED;
  if (fstat(handle, &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_size > 0 &&
      facts.st_size < 0x7FFFFFFF)
    view = mmap(nullptr, static_cast<size_t>(facts.st_size), PROT_READ, MAP_PRIVATE, handle, 0);
  if (view == MAP_FAILED) {
    close(handle);
    return MapResult::Unreadable;
  }
  file.data = static_cast<const uint8_t*>(view);
  file.length = static_cast<uint32_t>(facts.st_size);
  file.file = handle;
  return MapResult::Mapped;
}

void unmapFile(MappedFile& file) {
  if (file.data == nullptr) return;
  munmap(const_cast<uint8_t*>(file.data), file.length);
  close(static_cast<int>(file.file));
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
