#include "net/http_head.h"

#include <cstring>

#include "net/http_response.h"

namespace vm {
namespace {

bool isFieldBlank(uint8_t unit) { return unit == ' ' || unit == '\t'; }

}  // namespace

bool equalsIgnoringCase(const uint8_t* text, int32_t length, const char* word) {
  if (static_cast<std::size_t>(length) != std::strlen(word)) return false;
  for (int32_t at = 0; at < length; ++at) {
    const uint8_t unit = text[at] >= 'A' && text[at] <= 'Z' ? text[at] - 'A' + 'a' : text[at];
    if (unit != static_cast<uint8_t>(word[at])) return false;
  }
  return true;
}

HeadField findHeadField(const uint8_t* head, int32_t length, const char* name) {
  const int32_t statusEnd = findBytes(head, 0, length, "\r\n", 2);
  for (int32_t at = statusEnd < 0 ? length : statusEnd + 2; at < length;) {
    int32_t lineEnd = findBytes(head, at, length, "\r\n", 2);
    if (lineEnd < 0) lineEnd = length;
    const uint8_t* line = head + at;
    const int32_t lineLength = lineEnd - at;
    int32_t colon = 0;
    while (colon < lineLength && line[colon] != ':') ++colon;
    int32_t nameLength = colon;
    while (nameLength > 0 && isFieldBlank(line[nameLength - 1])) --nameLength;
    if (colon < lineLength && equalsIgnoringCase(line, nameLength, name)) {
      int32_t from = colon + 1;
      int32_t to = lineLength;
      while (from < to && isFieldBlank(line[from])) ++from;
      while (to > from && isFieldBlank(line[to - 1])) --to;
      return HeadField{at, lineLength, at + from, to - from};
    }
    at = lineEnd + 2;
  }
  return HeadField{};
}

}  // namespace vm
