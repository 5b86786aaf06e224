// The HTTP response of one download as it lands in the download buffer, fed chunk by chunk.
//
// The record appends every chunk into the caller's buffer (the one copy per chunk), judges the
// status line, finds the end of the head and the "Content-Length: " field inside it, and says
// which progress position to show. It knows nothing of sockets or windows, so every split of the
// input can be tested and fuzzed. Each scan resumes where the previous chunk left it: a response
// trickling in a few bytes at a time, or megabytes of head without a blank line, are each
// searched once.
#pragma once

#include <cstdint>

namespace vm {

// What appending a chunk found.
enum class ChunkStep : int32_t {
  Continue,     // keep receiving
  TooLarge,     // the chunk and the zero byte after it would not fit: nothing was written
  NotAccepted,  // the status line is not "HTTP/1.x 2xx": the download has failed
};

// The status line's verdict so far.
enum class StatusVerdict : int32_t { Pending, Accepted, Rejected };

// No position is shown while the length is unknown.
constexpr int32_t kNoPosition = -1;

struct HttpResponse {
  uint8_t* buffer = nullptr;
  int32_t capacity = 0;        // bytes of `buffer`, the zero byte's room included
  int32_t receivedBytes = 0;   // bytes appended so far, head included
  int32_t contentLength = -1;  // -1 until the length field has been read; the body's bytes
  StatusVerdict status = StatusVerdict::Pending;

  // Scan state; read it only through the functions below.
  int32_t headEnd = -1;         // offset of the first "\r\n\r\n", once it has arrived
  int32_t headScanned = 0;      // bytes already searched for the blank line
  int32_t fieldAt = -1;         // offset of the first "Content-Length: " in the head
  int32_t fieldScanned = 0;     // bytes already searched for the field name
  int32_t lineEndScanned = 0;   // bytes already searched for the end of the field's line
  bool lengthSettled = false;   // the field has been read, or the head ended without it
};

// Prepares `response` to receive into `buffer` of `capacity` bytes (at least 1).
void startResponse(HttpResponse& response, uint8_t* buffer, int32_t capacity);

// Appends `count` (> 0) bytes. When they fit with room for the zero byte, copies them after the
// bytes before, then judges the status line once enough of it is there, finds the head's end and
// reads the length field when its line is complete. TooLarge leaves the buffer as it was;
// NotAccepted is final (the bytes are appended, the length is not looked for).
ChunkStep appendChunk(HttpResponse& response, const uint8_t* data, int32_t count);

// The progress position to show after the latest chunk: kNoPosition while the length is
// unknown, else progressPercentage of the bytes so far.
int32_t positionToShow(const HttpResponse& response);

// Finishes a response whose server closed the connection: writes the zero byte after the
// received bytes, then returns the body (the bytes after the first blank line) and stores its
// received byte count in `bodyBytes` (when not null). Null - `bodyBytes` untouched - when the
// head never ended, the status line was not accepted, the length is negative other than -1, or
// fewer body bytes arrived than the length announced.
const uint8_t* finishResponse(HttpResponse& response, int32_t* bodyBytes);

// The status code of the response's first line ("HTTP/1.1 404 ..." gives 404): 0 until its three
// digits have arrived after "HTTP/x.y ", or when they are not digits.
int32_t statusCodeOf(const HttpResponse& response);

// The percentage shown for `receivedBytes` of a response whose body has `contentLength` bytes:
// in single precision, (receivedBytes x 100) / contentLength truncated toward zero, at most 100
// (the head counts too, so the ratio passes 100 near the end). A length of 0 shows 100 (the body
// is complete); a negative one shows 0. Never divides by zero or converts an out-of-range value.
int32_t progressPercentage(int32_t receivedBytes, int32_t contentLength);

// The value of a length field: leading white space skipped, an optional sign, decimal digits up
// to the first other character; no digits give 0; values beyond 32 bits saturate.
int32_t parseLengthValue(const uint8_t* text, int32_t count);

// Offset of the first occurrence of `needle` (`needleLength` bytes) lying wholly inside
// [from, to) of `data`, or -1.
int32_t findBytes(const uint8_t* data, int32_t from, int32_t to, const char* needle,
                  int32_t needleLength);

// The verdict on a status line from its first `count` bytes: Accepted once they begin with
// "HTTP/1.<digit> 2<digit><digit>" followed by a blank or "\r", Rejected as soon as they cannot.
StatusVerdict judgeStatusLine(const uint8_t* data, int32_t count);

// The value of the head field `name` (matched without case at a line's start, followed by a
// colon) within `head[0, headLength)`: blanks around it left out. False when there is none.
bool findHeadField(const uint8_t* head, int32_t headLength, const char* name,
                   const uint8_t*& value, int32_t& valueLength);

// Reads a Content-Range value "bytes FIRST-LAST/TOTAL" (FIRST <= LAST < TOTAL, each fitting 32
// bits). False, the outputs untouched, for any other form ("*" for an unknown total included).
bool parseContentRange(const uint8_t* value, int32_t length, int32_t& first, int32_t& last,
                       int32_t& total);

}  // namespace vm
