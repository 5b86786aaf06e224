#include "platform/utf8.h"

#include <cstdint>

namespace vm {

int encodeUtf8(const char16_t* text, char* out, std::size_t capacity) {
  if (capacity == 0) return -1;
  std::size_t written = 0;
  for (const char16_t* at = text; *at != 0; ++at) {
    uint32_t code = *at;
    if (code >= 0xD800 && code <= 0xDBFF && at[1] >= 0xDC00 && at[1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (at[1] - 0xDC00);
      ++at;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    const std::size_t bytes = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    if (written + bytes >= capacity) {
      out[0] = 0;
      return -1;
    }
    if (bytes == 1) {
      out[written++] = static_cast<char>(code);
      continue;
    }
    // The lead byte carries the count in its high bits, each continuation byte six bits.
    static const uint8_t kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t index = bytes; index-- > 1;) {
      out[written + index] = static_cast<char>(0x80 | (code & 0x3F));
      code >>= 6;
    }
    out[written] = static_cast<char>(kLead[bytes] | code);
    written += bytes;
  }
  out[written] = 0;
  return static_cast<int>(written);
}

}  // namespace vm
