// downloadRange: downloadFile's exchange with a range asked for, a capacity, and the fields a
// resumed download needs read from the head.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/download.h"
#include "net/download_steps.h"
#include "net/http_response.h"
#include "platform/fixed_string.h"
#include "platform/format.h"

namespace vm {
namespace {

constexpr char kPlainRequestFormat[] =
    "GET %s HTTP/1.1\r\nHost: %s\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
// The rest of a body from byte %s on, only while it is still the version `If-Range` names.
constexpr char kRangeRequestFormat[] =
    "GET %s HTTP/1.1\r\nHost: %s\r\nRange: bytes=%s-\r\nIf-Range: %s\r\n"
    "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";

constexpr char kETagField[] = "ETag";
constexpr char kLastModifiedField[] = "Last-Modified";
constexpr char kContentRangeField[] = "Content-Range";
constexpr char kRetryAfterField[] = "Retry-After";


// `value` (>= 0) in decimal digits, written at the end of `digits`; returns the first digit.
const char* decimalText(int32_t value, char (&digits)[12]) {
  int32_t at = 11;
  digits[at] = 0;
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  return digits + at;
}

// Reads "Retry-After: SECONDS" into `seconds`, saturating; false for any other form (a date).
bool readDeltaSeconds(const uint8_t* value, int32_t length, int32_t& seconds) {
  if (length == 0) return false;
  int64_t number = 0;
  for (int32_t at = 0; at < length; ++at) {
    if (value[at] < '0' || value[at] > '9') return false;
    if (number <= INT32_MAX) number = number * 10 + (value[at] - '0');
  }
  seconds = number > INT32_MAX ? INT32_MAX : static_cast<int32_t>(number);
  return true;
}

// A strong ETag ("...", quoted) names one version's bytes exactly; a weak one (W/"...") only an
// equivalent version, and an unquoted one is no ETag a server is bound to compare.
bool isStrongETag(const Validator& etag) { return etag.get()[0] == '"'; }

constexpr char kBlankLine[] = "\r\n\r\n";
constexpr int32_t kBlankLineLength = 4;
constexpr int32_t kStatusLineLength = 12;  // "HTTP/1.1 503": where the code is known
constexpr int32_t kMaxRefusalHead = 8192;

// A refusal that may say when to ask again (Retry-After).
bool mayTellWhenToRetry(int32_t status) { return status == 429 || status == 503; }

// Reads on after a refusal, while its code is not yet known or is 429 or 503, until its head ends,
// so that Retry-After can be read. Stops at the close, a failed receive, the capacity or
// kMaxRefusalHead bytes; the zero byte after the bytes is not written.
void readRefusalHead(Connection& connection, HttpResponse& response, uint8_t* chunk) {
  const int32_t limit =
      response.capacity - 1 < kMaxRefusalHead ? response.capacity - 1 : kMaxRefusalHead;
  while (findBytes(response.buffer, 0, response.receivedBytes, kBlankLine, kBlankLineLength) <
         0) {
    if (response.receivedBytes >= kStatusLineLength && !mayTellWhenToRetry(statusCodeOf(response)))
      return;
    const int32_t room = limit - response.receivedBytes;
    if (room <= 0) return;
    const int32_t received = connection.receive(chunk, room);
    if (received <= 0 || received > room) return;
    std::memcpy(response.buffer + response.receivedBytes, chunk, static_cast<size_t>(received));
    response.receivedBytes += received;
  }
}

}  // namespace

void readRangeFields(const uint8_t* head, int32_t headLength, RangeAnswer& answer) {
  answer.rangeFirst = answer.rangeLast = answer.rangeTotal = -1;
  answer.validator.clear();
  answer.etag.clear();
  answer.retryAfterSeconds = -1;
  const uint8_t* value = nullptr;
  int32_t valueLength = 0;
  // An ETag too long to send back whole is left out, and so is not compared or named.
  if (findHeadField(head, headLength, kETagField, value, valueLength) &&
      !answer.etag.assignUnits(reinterpret_cast<const char*>(value),
                               static_cast<std::size_t>(valueLength)))
    answer.etag.clear();
  // A strong ETag names one version exactly; a modification time does to the second.
  if (isStrongETag(answer.etag)) {
    (void)answer.validator.assign(answer.etag.get());  // same capacity: always fits
  } else if (findHeadField(head, headLength, kLastModifiedField, value, valueLength) &&
             !answer.validator.assignUnits(reinterpret_cast<const char*>(value),
                                           static_cast<std::size_t>(valueLength))) {
    answer.validator.clear();
  }
  if (findHeadField(head, headLength, kContentRangeField, value, valueLength))
    (void)parseContentRange(value, valueLength, answer.rangeFirst, answer.rangeLast,
                            answer.rangeTotal);
  if (findHeadField(head, headLength, kRetryAfterField, value, valueLength))
    (void)readDeltaSeconds(value, valueLength, answer.retryAfterSeconds);
}

const uint8_t* downloadRange(ProgressSink& progress, Network& network, const Endpoint& endpoint,
                             const char* requestPath, const RangeAsk& ask, uint8_t* buffer,
                             int32_t capacity, DownloadReport& report, RangeAnswer& answer) {
  report = DownloadReport{};
  answer.bodyOffset = -1;
  readRangeFields(nullptr, 0, answer);  // no head yet: every field at its "none" value
  RequestText request;
  char digits[12];
  const int formatted =
      ask.from > 0
          ? formatInto(request, kRangeRequestFormat, requestPath, endpoint.host,
                       decimalText(ask.from, digits), ask.validator)
          : formatInto(request, kPlainRequestFormat, requestPath, endpoint.host);
  if (formatted < 0) {
    report.end = DownloadEnd::RequestTooLong;
    return nullptr;
  }
  Connection* connection = network.connect(endpoint);
  if (connection == nullptr) {
    report.error = network.lastError();
    report.end = connectEnd(report.error.failure);
    return nullptr;
  }
  connection->send(request.get(), static_cast<int32_t>(request.length()));
  auto* chunk = static_cast<uint8_t*>(takeReceiveBlock(kReceiveChunkSize));
  if (chunk == nullptr) {
    connection->close();
    report.end = DownloadEnd::NoMemory;
    return nullptr;
  }
  HttpResponse response;
  startResponse(response, buffer, capacity);
  const uint8_t* body =
      receiveResponse(progress, network, *connection, response, chunk, nullptr, report);
  if (report.end == DownloadEnd::StatusRefused && response.status == StatusVerdict::Rejected) {
    readRefusalHead(*connection, response, chunk);
    const int32_t end =
        findBytes(buffer, 0, response.receivedBytes, kBlankLine, kBlankLineLength);
    if (end >= 0) readRangeFields(buffer, end + 2, answer);
  }
  std::free(chunk);
  connection->close();
  report.status = statusCodeOf(response);
  report.contentLength = response.contentLength;
  if (response.headEnd >= 0) {
    answer.bodyOffset = response.headEnd + 4;
    report.bodyBytes = response.receivedBytes - answer.bodyOffset;
    readRangeFields(buffer, response.headEnd + 2, answer);
  }
  if (body != nullptr && response.contentLength < 0) {
    report.end = DownloadEnd::NoLength;
    return nullptr;
  }
  return body;
}

const uint8_t* SocketRangedTransport::fetchRange(ProgressSink& progress, const char* requestPath,
                                                 const RangeAsk& ask, uint8_t* buffer,
                                                 int32_t capacity, DownloadReport& report,
                                                 RangeAnswer& answer) {
  return downloadRange(progress, network_, endpoint_, requestPath, ask, buffer, capacity, report,
                       answer);
}

}  // namespace vm
