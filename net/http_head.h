// The fields of a response head that the download does not read, for tools that judge a
// download server (velmora-fetch check: codings, redirects, a length field spelled otherwise).
// The installer never calls these; its download reads only the exact "Content-Length: " field
// (net/http_response.h).
#pragma once

#include <cstdint>

namespace vm {

// A field line of a head: the whole line, and its value without the blanks around it.
struct HeadField {
  int32_t lineAt = -1;  // -1: no such field
  int32_t lineLength = 0;
  int32_t valueAt = 0;
  int32_t valueLength = 0;
  bool found() const { return lineAt >= 0; }
};

// The first field named `name` (lower case) in the lines after the status line among the first
// `length` bytes of `head`, its name compared without case and with blanks before the colon
// allowed, as servers and proxies write it.
HeadField findHeadField(const uint8_t* head, int32_t length, const char* name);

// True when `length` bytes at `text` are `word` (lower case) but for the case of A-Z.
bool equalsIgnoringCase(const uint8_t* text, int32_t length, const char* word);

}  // namespace vm
