// Path joining as the install context and the unpack step use it.
#include <gtest/gtest.h>

#include <string>

#include "platform/path.h"

namespace vm {
namespace {

TEST(AppendPath, JoinsWithExactlyOneBackslash) {
  const struct {
    const char16_t* path;
    const char16_t* more;
    const char16_t* expected;
  } cases[] = {
      {u"C:\\Users\\Ann\\AppData\\Local", u"\\Velmora\\App\\",
       u"C:\\Users\\Ann\\AppData\\Local\\Velmora\\App\\"},
      {u"C:\\Temp\\", u"\\Velmora\\", u"C:\\Temp\\Velmora\\"},
      {u"C:\\Temp\\Velmora\\", u"setup.exe", u"C:\\Temp\\Velmora\\setup.exe"},
      {u"C:\\Temp", u"setup.exe", u"C:\\Temp\\setup.exe"},
      {u"", u"\\x", u"x"},
  };
  for (const auto& row : cases) {
    WidePath path;
    ASSERT_TRUE(path.assign(row.path));
    ASSERT_TRUE(appendPath(path, row.more));
    EXPECT_EQ(std::u16string(path.get()), row.expected);
  }
}

TEST(AppendPath, LeavesThePathAloneWhenTheResultDoesNotFit) {
  WidePath path;
  const std::u16string folder(258, u'a');
  ASSERT_TRUE(path.assign(folder.c_str()));
  EXPECT_FALSE(appendPath(path, u"b"));  // 258 + separator + 1 = 260 units, no room left
  EXPECT_EQ(std::u16string(path.get()), folder);
  WidePath combined;
  EXPECT_FALSE(combinePath(combined, folder.c_str(), u"b"));
  EXPECT_TRUE(combined.empty());
}

TEST(FileNameOf, TakesTheUnitsAfterTheLastBackslash) {
  EXPECT_EQ(std::u16string(fileNameOf(u"C:\\a\\VelmoraInstaller-Beta.exe")),
            u"VelmoraInstaller-Beta.exe");
  EXPECT_EQ(std::u16string(fileNameOf(u"VelmoraInstaller.exe")), u"VelmoraInstaller.exe");
  EXPECT_EQ(std::u16string(fileNameOf(u"C:\\dir\\")), u"");
}

}  // namespace
}  // namespace vm
