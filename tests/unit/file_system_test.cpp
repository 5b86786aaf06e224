// The file layer's conversions, which must agree between the POSIX build and Windows (this
// program also runs on the Windows build, where the same rows check the Win32 calls).
#include <gtest/gtest.h>

#include <string>

#include "platform/file_system.h"

namespace vm {
namespace {

TEST(DecodeUtf8, DecodesAsTheWindowsConverterDoes) {
  const struct {
    std::string bytes;
    std::u16string units;
  } cases[] = {
      {"plain/ascii.txt", u"plain/ascii.txt"},
      {"Zo\xC3\xAB", u"Zo\u00EB"},
      {"\xE2\x82\xAC\xEF\xBF\xBD", u"\u20AC\uFFFD"},
      {"\xF0\x9F\x98\x80!", u"\U0001F600!"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      // Invalid bytes become U+FFFD (how many for an encoded surrogate differs between
      // converters, and invalid input is free to differ; these rows agree with Wine's).
      {"\xFF", u"\uFFFD"},
      {"a\x80z", u"a\uFFFDz"},
      {"\xC3", u"\uFFFD"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},           // overlong
      {"\xF5\x80", u"\uFFFD\uFFFD"},
  };
  for (const auto& row : cases) {
    WidePath out;
    ASSERT_TRUE(decodeUtf8(row.bytes.data(), row.bytes.size(), out)) << row.bytes;
    EXPECT_EQ(std::u16string(out.get(), row.units.size()), row.units) << row.bytes;
  }
}

TEST(DecodeUtf8, RefusesWhatDoesNotFitWithItsTerminator) {
  WidePath out;
  const std::string longest(259, 'a');
  ASSERT_TRUE(decodeUtf8(longest.data(), longest.size(), out));
  EXPECT_EQ(out.length(), 259u);
  const std::string tooLong(260, 'a');
  EXPECT_FALSE(decodeUtf8(tooLong.data(), tooLong.size(), out));
  EXPECT_TRUE(out.empty());
  const std::string surrogates = std::string(257, 'a') + "\xF0\x9F\x98\x80";  // 259 units
  EXPECT_TRUE(decodeUtf8(surrogates.data(), surrogates.size(), out));
}

TEST(LocalCalendarTimeToUtc, RefusesWhatIsNoCalendarTime) {
  const CalendarTime cases[] = {
      {2025, 0, 1, 0, 0, 0, 0},  {2025, 13, 1, 0, 0, 0, 0}, {2025, 1, 0, 0, 0, 0, 0},
      {2025, 1, 1, 24, 0, 0, 0}, {2025, 1, 1, 0, 60, 0, 0}, {2025, 1, 1, 0, 0, 60, 0},
      {2025, 1, 1, 0, 0, 62, 0}, {1600, 12, 31, 0, 0, 0, 0},
#ifndef _WIN32
      // Windows refuses these too; Wine 8 accepts 2025-02-29, so the archive checks days
      // itself before converting.
      {2025, 2, 29, 0, 0, 0, 0}, {2025, 4, 31, 0, 0, 0, 0},
#endif
  };
  for (const CalendarTime& time : cases) {
    FileTime out{1, 2};
    EXPECT_FALSE(localCalendarTimeToUtc(time, out)) << time.year << "-" << time.month << "-"
                                                    << time.day << " " << time.hour;
    EXPECT_EQ(out.low, 1u);
  }
  FileTime leap{};
  EXPECT_TRUE(localCalendarTimeToUtc(CalendarTime{2024, 2, 29, 23, 59, 58, 0}, leap));
  FileTime nextDay{};
  EXPECT_TRUE(localCalendarTimeToUtc(CalendarTime{2024, 3, 1, 0, 0, 0, 0}, nextDay));
  EXPECT_EQ(fileTimeValue(nextDay) - fileTimeValue(leap), 2 * 10000000ull);
}

#ifndef _WIN32
TEST(LocalCalendarTimeToUtc, MatchesWindowsInFixedZones) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous != nullptr ? previous : "";
  const struct {
    const char* zone;
    int64_t offsetSeconds;  // local minus UTC
  } zones[] = {{"UTC0", 0}, {"JST-9", 9 * 3600}, {"<-0330>3:30", -(3 * 3600 + 1800)}};
  for (const auto& zone : zones) {
    setenv("TZ", zone.zone, 1);
    FileTime out{};
    ASSERT_TRUE(localCalendarTimeToUtc(CalendarTime{1970, 1, 1, 12, 0, 0, 0}, out));
    EXPECT_EQ(static_cast<int64_t>(fileTimeValue(out)),
              116444736000000000 + (12 * 3600 - zone.offsetSeconds) * 10000000) << zone.zone;
    ASSERT_TRUE(localCalendarTimeToUtc(CalendarTime{1601, 1, 1, 23, 0, 0, 500}, out));
  }
  if (previous != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}
#endif

}  // namespace
}  // namespace vm
