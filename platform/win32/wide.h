// The bridge between the core's UTF-16 text (char16_t) and the Win32 wide type (wchar_t, also
// 16 bits with MinGW). Only adapters include this.
#pragma once

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text must be UTF-16");

namespace vm {

inline const wchar_t* asWide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* asWide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const char16_t* asUtf16(const wchar_t* text) {
  return reinterpret_cast<const char16_t*>(text);
}

}  // namespace vm
