#include "procs/image_name.h"

namespace vm {
namespace {

char16_t foldAsciiUpper(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

}  // namespace

bool imageNamesEqual(const char16_t* left, const char16_t* right) {
  for (;; ++left, ++right) {
    if (foldAsciiUpper(*left) != foldAsciiUpper(*right)) return false;
    if (*left == 0) return true;
  }
}

}  // namespace vm
