#include <gtest/gtest.h>

#include "procs/image_name.h"

namespace vm {
namespace {

TEST(ImageNamesEqual, FoldsOnlyTheLettersAToZ) {
  const struct {
    const char16_t* left;
    const char16_t* right;
    bool equal;
  } cases[] = {
      {u"VelmoraInstaller.exe", u"velmorainstaller.EXE", true},
      {u"Velmora.exe", u"Velmora.exe", true},
      {u"Velmora.exe", u"Velmora.ex", false},
      {u"Velmora.exe", u"Velmora.exe ", false},
      {u"ÅNGSTRÖM.exe", u"ångström.exe", false},  // accented letters are not folded
      {u"ÅNGSTRÖM.EXE", u"ÅNGSTRÖM.exe", true},
      {u"[x].exe", u"{x}.exe", false},            // no folding by bit tricks outside A-Z
  };
  for (const auto& row : cases)
    EXPECT_EQ(imageNamesEqual(row.left, row.right), row.equal);
}

}  // namespace
}  // namespace vm
