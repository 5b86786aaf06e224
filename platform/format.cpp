#include "platform/format.h"

namespace vm {
namespace {

template <typename Unit>
int formatAny(Unit* destination, std::size_t capacity, const Unit* format,
              const Unit* const* arguments, std::size_t count) {
  std::size_t written = 0;
  std::size_t nextArgument = 0;
  auto put = [&](Unit unit) {
    if (written + 1 >= capacity) return false;  // keep room for the terminator
    destination[written++] = unit;
    return true;
  };
  bool fits = true;
  for (const Unit* at = format; fits && *at != 0; ++at) {
    if (*at != '%') {
      fits = put(*at);
      continue;
    }
    ++at;
    if (*at == '%') {
      fits = put('%');
    } else if (*at == 's' && nextArgument < count && arguments[nextArgument] != nullptr) {
      for (const Unit* text = arguments[nextArgument++]; *text != 0 && fits; ++text)
        fits = put(*text);
    } else {
      fits = false;  // unknown conversion, missing argument or a format ending in '%'
    }
  }
  if (!fits) {
    if (capacity > 0) destination[0] = 0;
    return -1;
  }
  destination[written] = 0;
  return static_cast<int>(written);
}

}  // namespace

int formatUnits(char* destination, std::size_t capacity, const char* format,
                const char* const* arguments, std::size_t count) {
  return formatAny(destination, capacity, format, arguments, count);
}

int formatUnits(char16_t* destination, std::size_t capacity, const char16_t* format,
                const char16_t* const* arguments, std::size_t count) {
  return formatAny(destination, capacity, format, arguments, count);
}

}  // namespace vm
