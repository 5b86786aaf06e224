// Comparison of process image names as the process counter makes it.
#pragma once

namespace vm {

// True when both names are equal once the letters A-Z of each are folded to a-z; every other
// unit (accented letters included) must match exactly.
bool imageNamesEqual(const char16_t* left, const char16_t* right);

}  // namespace vm
