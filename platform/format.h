// printf-style formatting into fixed-capacity text.
//
// Only the conversions the installer needs exist: "%s" inserts the next argument (an 8-bit text
// in an 8-bit format, a UTF-16 text in a UTF-16 format, so a wide path always comes out whole)
// and "%%" inserts one percent sign. Output that does not fit is never cut short.
#pragma once

#include <cstddef>

#include "platform/fixed_string.h"

namespace vm {

// Formats into `destination` (of `capacity` units, terminator included). Returns the units
// written without the terminator, or -1 with `destination` left empty when the output does not
// fit, the format holds another conversion, or it asks for more arguments than `count`.
int formatUnits(char* destination, std::size_t capacity, const char* format,
                const char* const* arguments, std::size_t count);
int formatUnits(char16_t* destination, std::size_t capacity, const char16_t* format,
                const char16_t* const* arguments, std::size_t count);

// formatInto(path, u"%s%s", folder, name): see formatUnits.
template <typename Unit, std::size_t Capacity, typename... Texts>
int formatInto(FixedString<Unit, Capacity>& destination, const Unit* format,
               const Texts*... texts) {
  const Unit* arguments[sizeof...(Texts) + 1] = {texts..., nullptr};
  return formatUnits(destination.data(), Capacity, format, arguments, sizeof...(Texts));
}

}  // namespace vm
