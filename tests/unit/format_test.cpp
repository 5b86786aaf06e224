// formatInto and the fixed-capacity text it writes into.
#include <gtest/gtest.h>

#include <string>

#include "platform/format.h"

namespace vm {
namespace {

TEST(FormatInto, InsertsTextsAndPercentSigns) {
  RequestText request;
  const char* expected = "GET /a b HTTP/1.1\r\nHost: h.example\r\n\r\n";
  EXPECT_EQ(formatInto(request, "GET %s HTTP/1.1\r\nHost: %s\r\n\r\n", "/a b", "h.example"),
            static_cast<int>(std::string(expected).size()));
  EXPECT_STREQ(request.get(), expected);
  EXPECT_EQ(formatInto(request, "100%% of %s", "it"), 10);
  EXPECT_STREQ(request.get(), "100% of it");
}

TEST(FormatInto, WidePathsWithBlanksAndLatinLettersComeOutWhole) {
  WideCommand command;
  const char16_t* path = u"C:\\Users\\Zoë Ånström (Work)\\Temp\\Velmora\\setup.exe";
  ASSERT_GT(formatInto(command, u"cmd.exe /c \"\"%s\" /q /norestart\"", path), 0);
  EXPECT_EQ(std::u16string(command.get()),
            u"cmd.exe /c \"\"C:\\Users\\Zoë Ånström (Work)\\Temp\\Velmora\\setup.exe\" /q "
            u"/norestart\"");
}

// Each member: output that exactly fills the array (terminator included) is stored; one unit
// more leaves the array empty and reports -1.
template <typename Text, typename Unit>
void checkCapacity() {
  constexpr std::size_t fits = Text::capacity() - 1;
  std::basic_string<Unit> longest(fits, Unit('x'));
  std::basic_string<Unit> tooLong(fits + 1, Unit('x'));
  const Unit format[] = {Unit('%'), Unit('s'), 0};
  Text text;
  EXPECT_EQ(formatInto(text, format, longest.c_str()), static_cast<int>(fits));
  EXPECT_EQ(text.length(), fits);
  EXPECT_EQ(formatInto(text, format, tooLong.c_str()), -1);
  EXPECT_TRUE(text.empty());
}

TEST(FormatInto, EachMemberFailsWholeWhenTheOutputDoesNotFit) {
  checkCapacity<RequestText, char>();        // 256: 255 fits
  checkCapacity<NarrowPath, char>();         // 260
  checkCapacity<WideCommand, char16_t>();    // 520
  checkCapacity<WidePath, char16_t>();       // 260
}

TEST(FormatInto, RefusesConversionsItDoesNotKnowAndMissingArguments) {
  NarrowPath text;
  ASSERT_TRUE(text.assign("old"));
  const struct {
    const char* format;
  } cases[] = {{"%d"}, {"%s %s"}, {"trailing %"}, {"%ls"}};
  for (const auto& row : cases) {
    ASSERT_TRUE(text.assign("old"));
    EXPECT_EQ(formatInto(text, row.format, "one"), -1) << row.format;
    EXPECT_TRUE(text.empty()) << row.format;
  }
}

TEST(FixedString, AssignAndAppendFailWholeAndKeepTheOldText) {
  FixedString<char, 8> text;
  ASSERT_TRUE(text.assign("abc"));
  EXPECT_FALSE(text.append("defgh"));  // 3 + 5 = 8 units need 9 with the terminator
  EXPECT_STREQ(text.get(), "abc");
  EXPECT_TRUE(text.append("defg"));
  EXPECT_STREQ(text.get(), "abcdefg");
  EXPECT_FALSE(text.assign("12345678"));
  EXPECT_STREQ(text.get(), "abcdefg");
}

}  // namespace
}  // namespace vm
