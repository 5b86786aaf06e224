#include "procs/image_name.h"

#include "platform/fixed_string.h"

namespace vm {

bool imageNamesEqual(const char16_t* left, const char16_t* right) {
  for (;; ++left, ++right) {
    if (foldAsciiUpper(*left) != foldAsciiUpper(*right)) return false;
    if (*left == 0) return true;
  }
}

}  // namespace vm
