#include "net/http_response.h"

#include <climits>
#include <cstring>

namespace vm {
namespace {

constexpr char kBlankLine[] = "\r\n\r\n";
constexpr int32_t kBlankLineLength = 4;
constexpr char kLineEnd[] = "\r\n";
constexpr int32_t kLineEndLength = 2;
// Exact case and exactly one blank after the colon: other spellings are not recognised.
constexpr char kLengthField[] = "Content-Length: ";
constexpr int32_t kLengthFieldLength = 16;

// "HTTP/1.x 2xx" with '#' for any digit, then a blank or "\r".
constexpr char kStatusPattern[] = "HTTP/1.# 2##";
constexpr int32_t kStatusPatternLength = 12;

// Where a resumed search for a needle of `needleLength` bytes must begin so that an occurrence
// straddling the previous end is still found.
int32_t resumeAt(int32_t scanned, int32_t needleLength, int32_t floor) {
  const int32_t at = scanned - (needleLength - 1);
  return at > floor ? at : floor;
}

bool isBlank(uint8_t unit) {
  // The C library's white space: blank, \t, \n, \v, \f, \r.
  return unit == ' ' || (unit >= '\t' && unit <= '\r');
}

void findHeadEnd(HttpResponse& response) {
  if (response.headEnd >= 0) return;
  const int32_t from = resumeAt(response.headScanned, kBlankLineLength, 0);
  response.headEnd =
      findBytes(response.buffer, from, response.receivedBytes, kBlankLine, kBlankLineLength);
  response.headScanned = response.receivedBytes;
}

// Looks for the length only inside the head: up to and including the line end before the blank
// line once that has arrived, else over everything so far (all of which is head).
void findLength(HttpResponse& response) {
  if (response.lengthSettled) return;
  const int32_t limit = response.headEnd >= 0 ? response.headEnd + kLineEndLength
                                              : response.receivedBytes;
  if (response.fieldAt < 0) {
    const int32_t from = resumeAt(response.fieldScanned, kLengthFieldLength, 0);
    response.fieldAt = findBytes(response.buffer, from, limit, kLengthField, kLengthFieldLength);
    response.fieldScanned = limit;
    if (response.fieldAt < 0) {
      // A complete head without the field: the length stays unknown for good.
      response.lengthSettled = response.headEnd >= 0;
      return;
    }
    response.lineEndScanned = response.fieldAt + kLengthFieldLength;
  }
  const int32_t valueAt = response.fieldAt + kLengthFieldLength;
  const int32_t from = resumeAt(response.lineEndScanned, kLineEndLength, valueAt);
  const int32_t lineEnd = findBytes(response.buffer, from, limit, kLineEnd, kLineEndLength);
  response.lineEndScanned = limit;
  if (lineEnd < 0) return;  // the line has not fully arrived
  response.contentLength = parseLengthValue(response.buffer + valueAt, lineEnd - valueAt);
  response.lengthSettled = true;
}

}  // namespace

int32_t findBytes(const uint8_t* data, int32_t from, int32_t to, const char* needle,
                  int32_t needleLength) {
  const uint8_t first = static_cast<uint8_t>(needle[0]);
  for (int32_t at = from; at <= to - needleLength; ++at) {
    const std::size_t span = static_cast<std::size_t>(to - needleLength + 1 - at);
    const void* hit = std::memchr(data + at, first, span);
    if (hit == nullptr) return -1;
    at = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - data);
    if (std::memcmp(data + at, needle, static_cast<std::size_t>(needleLength)) == 0) return at;
  }
  return -1;
}

void startResponse(HttpResponse& response, uint8_t* buffer, int32_t capacity) {
  response = HttpResponse{};
  response.buffer = buffer;
  response.capacity = capacity;
}

ChunkStep appendChunk(HttpResponse& response, const uint8_t* data, int32_t count) {
  // Written so that it cannot overflow: receivedBytes < capacity always holds.
  if (count > response.capacity - 1 - response.receivedBytes) return ChunkStep::TooLarge;
  std::memcpy(response.buffer + response.receivedBytes, data, static_cast<std::size_t>(count));
  response.receivedBytes += count;

  if (response.status == StatusVerdict::Pending)
    response.status = judgeStatusLine(response.buffer, response.receivedBytes);
  if (response.status == StatusVerdict::Rejected) return ChunkStep::NotAccepted;
  findHeadEnd(response);
  findLength(response);
  return ChunkStep::Continue;
}

int32_t positionToShow(const HttpResponse& response) {
  if (response.contentLength == -1) return kNoPosition;
  return progressPercentage(response.receivedBytes, response.contentLength);
}

const uint8_t* finishResponse(HttpResponse& response, int32_t* bodyBytes) {
  response.buffer[response.receivedBytes] = 0;
  if (response.status != StatusVerdict::Accepted || response.headEnd < 0) return nullptr;
  const int32_t bodyAt = response.headEnd + kBlankLineLength;
  const int32_t received = response.receivedBytes - bodyAt;
  // A length below -1 describes no body; a shorter body than announced is a cut-off download.
  if (response.contentLength < -1) return nullptr;
  if (response.contentLength >= 0 && received < response.contentLength) return nullptr;
  if (bodyBytes != nullptr) *bodyBytes = received;
  return response.buffer + bodyAt;
}

int32_t statusCodeOf(const HttpResponse& response) {
  constexpr int32_t kCodeAt = 9;  // after "HTTP/x.y "
  if (response.receivedBytes < kCodeAt + 3 || std::memcmp(response.buffer, "HTTP/", 5) != 0)
    return 0;
  int32_t code = 0;
  for (int32_t at = kCodeAt; at < kCodeAt + 3; ++at) {
    const uint8_t unit = response.buffer[at];
    if (unit < '0' || unit > '9') return 0;
    code = code * 10 + (unit - '0');
  }
  return code;
}

int32_t progressPercentage(int32_t receivedBytes, int32_t contentLength) {
  if (contentLength == 0) return 100;
  if (contentLength < 0) return 0;
  // Each step is rounded to single precision through a store: the 32-bit Windows build computes
  // on the x87 unit, whose wider registers would otherwise keep excess precision and truncate
  // some ratios differently from the host build.
  volatile float received = static_cast<float>(receivedBytes);
  volatile float length = static_cast<float>(contentLength);
  volatile float product = received * 100.0f;
  volatile float ratio = product / length;
  const float percentage = ratio;
  // Compared before converting: the ratio can exceed what an int32_t holds.
  if (!(percentage <= 100.0f)) return 100;
  return static_cast<int32_t>(percentage);
}

int32_t parseLengthValue(const uint8_t* text, int32_t count) {
  int32_t at = 0;
  while (at < count && isBlank(text[at])) ++at;
  bool negative = false;
  if (at < count && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  // The magnitude stops growing once it is out of range, so it never overflows.
  constexpr int64_t kBeyondRange = int64_t{INT32_MAX} + 2;
  int64_t magnitude = 0;
  for (; at < count && text[at] >= '0' && text[at] <= '9'; ++at)
    if (magnitude < kBeyondRange) magnitude = magnitude * 10 + (text[at] - '0');
  const int64_t limit = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
  if (magnitude > limit) magnitude = limit;
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

StatusVerdict judgeStatusLine(const uint8_t* data, int32_t count) {
  for (int32_t at = 0; at <= kStatusPatternLength; ++at) {
    if (at == count) return StatusVerdict::Pending;
    const uint8_t unit = data[at];
    bool fits;
    if (at == kStatusPatternLength) {
      fits = unit == ' ' || unit == '\r';  // the reason phrase may be missing
    } else if (kStatusPattern[at] == '#') {
      fits = unit >= '0' && unit <= '9';
    } else {
      fits = unit == static_cast<uint8_t>(kStatusPattern[at]);
    }
    if (!fits) return StatusVerdict::Rejected;
  }
  return StatusVerdict::Accepted;
}

bool findHeadField(const uint8_t* head, int32_t headLength, const char* name,
                   const uint8_t*& value, int32_t& valueLength) {
  int32_t nameLength = 0;
  while (name[nameLength] != 0) ++nameLength;
  // Fields start after a line end; the status line is never one.
  for (int32_t at = findBytes(head, 0, headLength, kLineEnd, kLineEndLength); at >= 0;
       at = findBytes(head, at + kLineEndLength, headLength, kLineEnd, kLineEndLength)) {
    const int32_t start = at + kLineEndLength;
    if (headLength - start <= nameLength || head[start + nameLength] != ':') continue;
    bool same = true;
    for (int32_t index = 0; index < nameLength && same; ++index) {
      uint8_t unit = head[start + index];
      if (unit >= 'A' && unit <= 'Z') unit = static_cast<uint8_t>(unit - 'A' + 'a');
      uint8_t wanted = static_cast<uint8_t>(name[index]);
      if (wanted >= 'A' && wanted <= 'Z') wanted = static_cast<uint8_t>(wanted - 'A' + 'a');
      same = unit == wanted;
    }
    if (!same) continue;
    int32_t from = start + nameLength + 1;
    int32_t to = findBytes(head, from, headLength, kLineEnd, kLineEndLength);
    if (to < 0) to = headLength;
    while (from < to && (head[from] == ' ' || head[from] == '\t')) ++from;
    while (to > from && (head[to - 1] == ' ' || head[to - 1] == '\t')) --to;
    value = head + from;
    valueLength = to - from;
    return true;
  }
  return false;
}

namespace {

// Reads decimal digits at `at` up to `stop` into `number`; false when there are none or they
// do not fit 32 bits.
bool readNumber(const uint8_t* text, int32_t length, int32_t& at, char stop, int32_t& number) {
  int64_t value = 0;
  const int32_t start = at;
  for (; at < length && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > INT32_MAX) return false;
  }
  if (at == start) return false;
  if (stop != 0) {
    if (at >= length || text[at] != stop) return false;
    ++at;
  }
  number = static_cast<int32_t>(value);
  return true;
}

}  // namespace

bool parseContentRange(const uint8_t* value, int32_t length, int32_t& first, int32_t& last,
                       int32_t& total) {
  constexpr char kUnit[] = "bytes ";
  constexpr int32_t kUnitLength = 6;
  if (length < kUnitLength || std::memcmp(value, kUnit, kUnitLength) != 0) return false;
  int32_t at = kUnitLength;
  int32_t from = 0, to = 0, size = 0;
  if (!readNumber(value, length, at, '-', from) || !readNumber(value, length, at, '/', to) ||
      !readNumber(value, length, at, 0, size) || at != length || from > to || to >= size)
    return false;
  first = from;
  last = to;
  total = size;
  return true;
}

}  // namespace vm
