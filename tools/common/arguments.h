// The tools' command lines: the unit of an argument (wmain's UTF-16 on Windows, main's bytes
// elsewhere), its comparison with a fixed word, and the argument as text for messages.
#pragma once

#include "tools/common/package_check.h"

namespace vm {

#ifdef _WIN32
using ArgumentUnit = wchar_t;
#else
using ArgumentUnit = char;
#endif

// True when `argument` is exactly the ASCII `word`.
inline bool argumentIs(const ArgumentUnit* argument, const char* word) {
  for (; *word != 0; ++argument, ++word)
    if (*argument != static_cast<ArgumentUnit>(*word)) return false;
  return *argument == 0;
}

// An argument as UTF-8 for messages (a path as the user gave it).
struct ShownArgument {
#ifdef _WIN32
  explicit ShownArgument(const ArgumentUnit* argument)
      : name(reinterpret_cast<const char16_t*>(argument)), text(name.text) {}
  Utf8Name name;
#else
  explicit ShownArgument(const ArgumentUnit* argument) : text(argument) {}
#endif
  const char* text;
};

}  // namespace vm
