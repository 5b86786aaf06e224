#include "platform/file_time.h"

namespace vm {

bool isCalendarTime(const CalendarTime& time) {
  static const uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (time.month < 1 || time.month > 12 || time.day < 1 || time.hour > 23 ||
      time.minute > 59 || time.second > 59 || time.milliseconds > 999) {
    return false;
  }
  const bool leap = (time.year % 4 == 0 && time.year % 100 != 0) || time.year % 400 == 0;
  return time.day <= kDays[time.month - 1] + (time.month == 2 && leap ? 1 : 0);
}

}  // namespace vm
