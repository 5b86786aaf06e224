// Windows file times and calendar times, and the conversions every build makes alike.
#pragma once

#include <cstdint>

namespace vm {

// The Windows FILETIME: 100-nanosecond intervals since 1601-01-01 UTC, low half first.
struct FileTime {
  uint32_t low;
  uint32_t high;
};

inline uint64_t fileTimeValue(const FileTime& time) {
  return (static_cast<uint64_t>(time.high) << 32) | time.low;
}
inline FileTime makeFileTime(uint64_t value) {
  return FileTime{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
}

// FILETIME intervals per second, and 1970-01-01 00:00:00 UTC (the Unix epoch) as a FILETIME.
constexpr int64_t kFileTimeTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochFileTime = 116444736000000000;

// The FILETIME of `seconds` since the Unix epoch (negative: before it).
inline FileTime fileTimeOfUnixSeconds(int64_t seconds) {
  return makeFileTime(static_cast<uint64_t>(seconds * kFileTimeTicksPerSecond + kUnixEpochFileTime));
}

// A calendar date and time as the Windows SYSTEMTIME holds it (no day of the week).
struct CalendarTime {
  uint16_t year;
  uint16_t month;   // 1-12
  uint16_t day;     // 1-31
  uint16_t hour;    // 0-23
  uint16_t minute;  // 0-59
  uint16_t second;  // 0-59
  uint16_t milliseconds;
};

// True when `time` is a moment of the Gregorian calendar: month 1-12, a day that month has
// (29 February in leap years only), hour 0-23, minute and second 0-59, milliseconds 0-999. The
// year is not limited here.
bool isCalendarTime(const CalendarTime& time);

}  // namespace vm
