// Fixed-capacity, zero-terminated text on the stack: the one text type of the installer.
//
// Paths, registry names and window texts are UTF-16 (char16_t on every build, converted to the
// platform's wide type only in adapters); request paths and the HTTP request are 8-bit. Every
// change either fits whole or leaves the old contents untouched and reports false: a half-copied
// path could name a different file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vm {

// Units before the terminator; `text` must be zero-terminated.
template <typename Unit>
std::size_t textLength(const Unit* text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// True when both texts hold the same units.
template <typename Unit>
bool textEquals(const Unit* left, const Unit* right) {
  std::size_t at = 0;
  for (; left[at] != 0 && left[at] == right[at]; ++at) {
  }
  return left[at] == right[at];
}

// True when `text` begins with `prefix` (exact units).
template <typename Unit>
bool textStartsWith(const Unit* text, const Unit* prefix) {
  for (std::size_t at = 0; prefix[at] != 0; ++at)
    if (text[at] != prefix[at]) return false;
  return true;
}

// Position of the first occurrence of `needle` in `text`, or -1.
template <typename Unit>
std::ptrdiff_t textFind(const Unit* text, const Unit* needle) {
  for (std::ptrdiff_t at = 0; text[at] != 0; ++at)
    if (textStartsWith(text + at, needle)) return at;
  return needle[0] == 0 ? 0 : -1;
}

// `unit` with the letters A-Z turned into a-z; every other unit as it is.
inline char16_t foldAsciiUpper(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

template <typename Unit, std::size_t Capacity>
class FixedString {
  static_assert(Capacity > 0, "room for the terminator is needed");

 public:
  FixedString() { units_[0] = 0; }
  FixedString(const FixedString&) = delete;
  FixedString& operator=(const FixedString&) = delete;

  // Capacity in units, terminator included.
  static constexpr std::size_t capacity() { return Capacity; }

  const Unit* get() const { return units_; }
  // Writable storage of `capacity()` units for platform calls that fill a buffer; the caller
  // must leave it zero-terminated.
  Unit* data() { return units_; }
  std::size_t length() const { return textLength(units_); }
  bool empty() const { return units_[0] == 0; }
  void clear() { units_[0] = 0; }

  // Replaces the contents with `text`. False (contents unchanged) when it does not fit.
  [[nodiscard]] bool assign(const Unit* text) {
    return assignUnits(text, textLength(text));
  }
  // Replaces the contents with the first `count` units of `text`.
  [[nodiscard]] bool assignUnits(const Unit* text, std::size_t count) {
    if (count >= Capacity) return false;
    for (std::size_t at = 0; at < count; ++at) units_[at] = text[at];
    units_[count] = 0;
    return true;
  }
  // Appends `text`. False (contents unchanged) when the result would not fit.
  [[nodiscard]] bool append(const Unit* text) {
    return appendUnits(text, textLength(text));
  }
  [[nodiscard]] bool appendUnits(const Unit* text, std::size_t count) {
    const std::size_t length = this->length();
    if (count >= Capacity - length) return false;
    for (std::size_t at = 0; at < count; ++at) units_[length + at] = text[at];
    units_[length + count] = 0;
    return true;
  }
  // Cuts the text to its first `count` units (no effect when it is shorter).
  void truncate(std::size_t count) {
    if (count < length()) units_[count] = 0;
  }

 private:
  Unit units_[Capacity];
};

// The platform's path limit, terminator included.
constexpr std::size_t kPathCapacity = 260;

using WidePath = FixedString<char16_t, kPathCapacity>;      // paths, registry and window texts
using WideCommand = FixedString<char16_t, 520>;             // the silent-installer command line
using RequestText = FixedString<char, 256>;                 // the HTTP request
using NarrowPath = FixedString<char, kPathCapacity>;        // request paths

}  // namespace vm
