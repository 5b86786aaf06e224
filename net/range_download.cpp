// downloadRange: downloadFile's exchange with a range asked for, a capacity, and the fields a
// resumed download needs read from the head.
#include <cstdlib>

#include "net/download.h"
#include "net/download_steps.h"
#include "net/http_response.h"
#include "net/range_exchange.h"
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


// The fields of one head, looked up by name; `value` and `length` describe the last one found.
struct HeadFields {
  const uint8_t* head;
  int32_t headLength;
  const uint8_t* value = nullptr;
  int32_t length = 0;

  // True when the field `name` is there with a value that is not empty.
  bool find(const char* name) {
    return findHeadField(head, headLength, name, value, length) && length > 0;
  }
};

}  // namespace

void readRangeFields(const uint8_t* head, int32_t headLength, RangeAnswer& answer) {
  answer.rangeFirst = answer.rangeLast = answer.rangeTotal = -1;
  answer.retryAfterSeconds = -1;
  HeadFields fields{head, headLength};
  // A strong ETag ("...") names one version's bytes exactly; a modification time does to the
  // second. A weak ETag (W/"...") names only an equivalent version, and one too long to send
  // back whole cannot be named: Last-Modified then, when there is one.
  if (!fields.find(kETagField) || fields.value[0] != '"' ||
      fields.length >= static_cast<int32_t>(Validator::capacity())) {
    if (!fields.find(kLastModifiedField)) fields.length = 0;
  }
  answer.validator.clear();  // and so it stays when the value is too long
  (void)answer.validator.assignUnits(reinterpret_cast<const char*>(fields.value),
                                     static_cast<std::size_t>(fields.length));
  if (fields.find(kContentRangeField))
    (void)parseContentRange(fields.value, fields.length, answer.rangeFirst, answer.rangeLast,
                            answer.rangeTotal);
  // Delta seconds only: an HTTP date (or anything else) leaves the back-off in place.
  if (fields.find(kRetryAfterField) && static_cast<uint8_t>(fields.value[0] - '0') < 10)
    answer.retryAfterSeconds = parseLengthValue(fields.value, fields.length);
}

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

const uint8_t* exchangeRangeRequest(ProgressSink& progress, Network& network,
                                    const Endpoint& endpoint, const RequestText& request,
                                    uint8_t* buffer, int32_t capacity, DownloadReport& report,
                                    RangeAnswer& answer) {
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
  std::free(chunk);
  connection->close();
  report.status = statusCodeOf(response);
  report.contentLength = response.contentLength;
  int32_t headEnd = response.headEnd;
  if (headEnd >= 0) {
    answer.bodyOffset = headEnd + 4;
    report.bodyBytes = response.receivedBytes - answer.bodyOffset;
  } else if (response.status == StatusVerdict::Rejected) {
    // A refusal stops the download at its first chunk, where its head usually is whole, and
    // with it a 429's or 503's Retry-After. A head cut short leaves the back-off in place.
    headEnd = findBytes(buffer, 0, response.receivedBytes, "\r\n\r\n", 4);
  }
  if (headEnd >= 0) readRangeFields(buffer, headEnd + 2, answer);
  if (body != nullptr && response.contentLength < 0) {
    report.end = DownloadEnd::NoLength;
    return nullptr;
  }
  return body;
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
  return exchangeRangeRequest(progress, network, endpoint, request, buffer, capacity, report,
                              answer);
}

const uint8_t* SocketRangedTransport::fetchRange(ProgressSink& progress, const char* requestPath,
                                                 const RangeAsk& ask, uint8_t* buffer,
                                                 int32_t capacity, DownloadReport& report,
                                                 RangeAnswer& answer) {
  return downloadRange(progress, network_, endpoint_, requestPath, ask, buffer, capacity, report,
                       answer);
}

}  // namespace vm
