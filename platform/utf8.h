// UTF-16 text as UTF-8: for POSIX paths on the host build and for what the tools print. (The
// other direction is the platform's: decodeUtf8 in platform/file_system.h.)
#pragma once

#include <cstddef>

namespace vm {

// Writes zero-terminated UTF-16 `text` as zero-terminated UTF-8 into `out` (`capacity` bytes,
// terminator included); an unpaired surrogate becomes U+FFFD. Returns the bytes written
// without the terminator, or -1 with `out` empty when they do not fit.
int encodeUtf8(const char16_t* text, char* out, std::size_t capacity);

}  // namespace vm
