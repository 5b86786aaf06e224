// downloadFile: one HTTP/1.1 GET into the download buffer, moving the progress bar.
//
// One request over a fresh connection, the whole response read until the server closes it, no
// redirects, no transfer decoding, no retries; a server that stops answering is given up on
// after the time-outs of net/timeouts.h. The response lands in the buffer
// from its first byte, exactly as received, with a zero byte after it; the body is used in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/socket.h"
#include "platform/fixed_string.h"

namespace vm {

// Where a download reports how far it is.
class ProgressSink {
 public:
  // The percentage received so far (see progressPercentage); called once per received chunk
  // once the length is known, also when it has not changed.
  virtual void setPosition(int32_t position) = 0;

 protected:
  ~ProgressSink() = default;
};

// The download buffer's size: every response, head and zero byte included, must fit.
constexpr int32_t kDownloadBufferSize = 51'000'000;
// The most one receive asks for; the block is taken after the request has been sent.
constexpr int32_t kReceiveChunkSize = 2'097'152;

// How a download ended, for the run's log and the tools.
enum class DownloadEnd : int32_t {
  Complete = 0,        // the body arrived whole
  RequestTooLong,      // the request does not fit its 256-byte text: nothing was sent
  NotResolved,         // the host name has no IPv4 address
  ConnectRefused,      // the server refused the connection
  ConnectTimedOut,     // no connection within the connect time-out
  ConnectFailed,       // any other connect error
  NoMemory,            // the receive block could not be had
  ReceiveTimedOut,     // no byte within the receive time-out
  ReceiveFailed,       // the connection broke (reset, aborted, another receive error)
  StatusRefused,       // the status line is not "HTTP/1.x 2xx"
  TooLarge,            // the response would not fit the download buffer
  HeadUnfinished,      // the server closed before the head's blank line
  BadLength,           // a length field that is negative (other than -1)
  ShortBody,           // the server closed before the body's length arrived
  NoLength,            // a whole body without a length field: its size would be a guess
};

// What one download found: filled whether it succeeded or not.
struct DownloadReport {
  DownloadEnd end = DownloadEnd::Complete;
  int32_t status = 0;          // the status code, 0 until a whole status line arrived
  int32_t contentLength = -1;  // the length field, -1 when absent or not reached
  int32_t bodyBytes = 0;       // body bytes received
  NetError error;              // the network's word on a failed connect or receive
  // Where the response lies in the buffer, for tools that read more of it than the download
  // does (velmora-fetch check, through net/http_head.h): the bytes kept from its first (a chunk
  // that would not fit is not among them), and the offset of the head's blank line, -1 when it
  // was not found (also when the status was refused before it arrived).
  int32_t receivedBytes = 0;
  int32_t headEnd = -1;
};

// The text naming `end` in the log ("complete", "receive timed out", ...).
const char* downloadEndText(DownloadEnd end);

// Sends "GET requestPath HTTP/1.1" (with the endpoint's host name in "Host: ", no caching and
// the connection closed after the response) and receives the response into `buffer`, which
// must hold kDownloadBufferSize bytes. Once the length is known, sets one position on
// `progress` per received chunk (see progressPercentage); the bar is not reset at the start.
//
// Returns the body (the bytes after the first blank line, inside `buffer`; valid until the next
// download into it) and sets `bodyBytes`, when not null, to the body bytes received; callers
// take `contentLength` bytes unless it is -1 (no length field), when `bodyBytes` is the size.
//
// Returns null when the request does not fit its 256-byte text, the host does not resolve, the
// connection fails, the receive block cannot be had, a receive fails, the status line is not
// "HTTP/1.x 2xx", the response with its zero byte would not fit the buffer, the server closes
// before the head's blank line, the length is negative other than -1, or the body is shorter
// than the length. `contentLength` is not written when no connection was made or the receive
// block was missing; otherwise it holds -1 or the length read from the head. `report`, when not
// null, receives how the download ended.
const uint8_t* downloadFile(ProgressSink& progress, Network& network, const Endpoint& endpoint,
                            const char* requestPath, uint8_t* buffer, int32_t& contentLength,
                            int32_t* bodyBytes = nullptr, DownloadReport* report = nullptr);

// How a run downloads: one request path into the download buffer, reporting to `progress`.
// Returns the body inside `buffer` (valid until the next download into it) or null, and fills
// `report` either way; a body is returned only with a known length (report.contentLength).
class Transport {
 public:
  virtual const uint8_t* fetch(ProgressSink& progress, const char* requestPath,
                               uint8_t* buffer, DownloadReport& report) = 0;

 protected:
  ~Transport() = default;
};

// The installer's own client: downloadFile over `network` to `endpoint`.
class SocketTransport final : public Transport {
 public:
  SocketTransport(Network& network, const Endpoint& endpoint)
      : network_(network), endpoint_(endpoint) {}
  const uint8_t* fetch(ProgressSink& progress, const char* requestPath, uint8_t* buffer,
                       DownloadReport& report) override;

 private:
  Network& network_;
  Endpoint endpoint_;
};

// ---- Ranges: what resuming a broken download needs (the field profile's retry layer,
// workflow/resuming_transport.h, sits above any transport that offers them).

// What one attempt asks for: the body from byte `from` on, and only while the file is still
// the version `validator` names ("Range: bytes=FROM-" and "If-Range: VALIDATOR"); `from` 0 asks
// for the whole body with exactly the plain request. The validator is always a strong one (see
// RangeAnswer::validator).
struct RangeAsk {
  int32_t from = 0;
  const char* validator = "";
};

// An ETag or Last-Modified value, as the server sent it.
using Validator = FixedString<char, 96>;

// What a ranged attempt found beyond DownloadReport, filled whether it succeeded or not.
struct RangeAnswer {
  int32_t bodyOffset = -1;  // where the body's first byte lies in the buffer; -1: no whole head
  // A 206's "Content-Range: bytes FIRST-LAST/TOTAL"; -1 each when absent or not of that form.
  int32_t rangeFirst = -1;
  int32_t rangeLast = -1;
  int32_t rangeTotal = -1;
  // The version this answer is of, as a later If-Range may name it: a strong ETag ("..."),
  // else the Last-Modified value; empty when neither. Never a weak ETag (W/"..."): a range of a
  // merely equivalent version could splice two files. A value longer than 95 bytes counts as
  // absent, so a long ETag falls back to Last-Modified. A 206 continues kept bytes only when its
  // own validator is the one asked with.
  Validator validator;
  // "Retry-After: SECONDS" (delta seconds only, saturating at INT32_MAX); -1 when absent or an
  // HTTP date. Read from any head; the retry layer honours it only with a 429 or 503.
  int32_t retryAfterSeconds = -1;
};

// Fills `answer`'s validator, range and retryAfterSeconds from the head
// `head[0, headLength)` (the status line and the fields, up to the last field's line end), as
// every RangedTransport should: field names matched without case at a line's start. Each one
// absent or unreadable is left at its "none" value.
void readRangeFields(const uint8_t* head, int32_t headLength, RangeAnswer& answer);

// A transport that can ask for part of a body. Like Transport::fetch, but the response goes into
// `buffer` of `capacity` bytes (a whole response there, its zero byte included, or TooLarge), and
// the body's bytes that arrived stay at `buffer + answer.bodyOffset` also when the download
// fails (report.bodyBytes of them), so that the next attempt can ask for the rest.
class RangedTransport {
 public:
  virtual const uint8_t* fetchRange(ProgressSink& progress, const char* requestPath,
                                    const RangeAsk& ask, uint8_t* buffer, int32_t capacity,
                                    DownloadReport& report, RangeAnswer& answer) = 0;

 protected:
  ~RangedTransport() = default;
};

// downloadFile with a range and a capacity (see RangedTransport::fetchRange); a whole body
// without a length ends as NoLength. With ask.from 0 the request is downloadFile's, byte for
// byte. A request that does not fit its 256-byte text (a long validator) is RequestTooLong.
// A refusal stops at its first chunk, as in downloadFile; the fields of its head are read when
// the whole head came with it (a 429's or 503's Retry-After).
const uint8_t* downloadRange(ProgressSink& progress, Network& network, const Endpoint& endpoint,
                             const char* requestPath, const RangeAsk& ask, uint8_t* buffer,
                             int32_t capacity, DownloadReport& report, RangeAnswer& answer);

// The installer's own client with ranges: downloadRange over `network` to `endpoint`.
class SocketRangedTransport final : public RangedTransport {
 public:
  SocketRangedTransport(Network& network, const Endpoint& endpoint)
      : network_(network), endpoint_(endpoint) {}
  Network& network() { return network_; }  // for a SocketPieceTransport beside it
  const uint8_t* fetchRange(ProgressSink& progress, const char* requestPath, const RangeAsk& ask,
                            uint8_t* buffer, int32_t capacity, DownloadReport& report,
                            RangeAnswer& answer) override;

 private:
  Network& network_;
  Endpoint endpoint_;
};

// ---- Pieces: what a partial update needs (field profile with a package key,
// workflow/partial_update.h). One range per request, never several: object stores and CDNs
// refuse or mangle multi-range requests.

// Bytes `from` to `last` of the file, only while it is still the version `validator` names
// ("Range: bytes=FROM-LAST", "If-Range: VALIDATOR"); or, with `suffix` above 0, the file's last
// `suffix` bytes of whatever version ("Range: bytes=-SUFFIX").
struct PieceAsk {
  int32_t from = 0;
  int32_t last = 0;
  int32_t suffix = 0;
  const char* validator = "";
};

// A transport that can fetch pieces: like RangedTransport::fetchRange with a PieceAsk.
class PieceTransport {
 public:
  virtual const uint8_t* fetchPiece(ProgressSink& progress, const char* requestPath,
                                    const PieceAsk& ask, uint8_t* buffer, int32_t capacity,
                                    DownloadReport& report, RangeAnswer& answer) = 0;

 protected:
  ~PieceTransport() = default;
};

// downloadRange's exchange with a piece's request (net/piece_download.cpp: a file of its own,
// so that builds without a key keep their bytes).
const uint8_t* downloadPiece(ProgressSink& progress, Network& network, const Endpoint& endpoint,
                             const char* requestPath, const PieceAsk& ask, uint8_t* buffer,
                             int32_t capacity, DownloadReport& report, RangeAnswer& answer);

// The installer's own client with pieces: downloadPiece over `network` to `endpoint`.
class SocketPieceTransport final : public PieceTransport {
 public:
  SocketPieceTransport(Network& network, const Endpoint& endpoint)
      : network_(network), endpoint_(endpoint) {}
  const uint8_t* fetchPiece(ProgressSink& progress, const char* requestPath, const PieceAsk& ask,
                            uint8_t* buffer, int32_t capacity, DownloadReport& report,
                            RangeAnswer& answer) override;

 private:
  Network& network_;
  Endpoint endpoint_;
};

// Tests only: replaces the allocator of the receive block (std::malloc by default; the block is
// given back with std::free) and returns the previous one.
using ChunkAllocator = void* (*)(std::size_t size);
ChunkAllocator setChunkAllocatorForTesting(ChunkAllocator allocator);

}  // namespace vm
