// downloadPiece: downloadRange's exchange with a partial update's request, a closed range with
// If-Range or a suffix range. Beside downloadRange rather than in it, so that a build without a
// package key, which never asks for pieces, keeps its bytes; the exchange's steps are
// download_steps.h's, its fields readRangeFields'.
#include <cstdlib>

#include "net/download.h"
#include "net/download_steps.h"
#include "net/http_response.h"
#include "net/system_request.h"
#include "platform/fixed_string.h"
#include "platform/format.h"

namespace vm {
namespace {

// One piece of a file, only while it is still the version If-Range names; the end of a file.
constexpr char kClosedRangeRequestFormat[] =
    "GET %s HTTP/1.1\r\nHost: %s\r\nRange: bytes=%s-%s\r\nIf-Range: %s\r\n"
    "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
constexpr char kSuffixRangeRequestFormat[] =
    "GET %s HTTP/1.1\r\nHost: %s\r\nRange: bytes=-%s\r\n"
    "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";

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

}  // namespace

const uint8_t* downloadPiece(ProgressSink& progress, Network& network, const Endpoint& endpoint,
                             const char* requestPath, const PieceAsk& ask, uint8_t* buffer,
                             int32_t capacity, DownloadReport& report, RangeAnswer& answer) {
  report = DownloadReport{};
  answer.bodyOffset = -1;
  readRangeFields(nullptr, 0, answer);  // no head yet: every field at its "none" value
  RequestText request;
  char first[12], last[12];
  const int formatted =
      ask.suffix > 0
          ? formatInto(request, kSuffixRangeRequestFormat, requestPath, endpoint.host,
                       decimalText(ask.suffix, first))
          : formatInto(request, kClosedRangeRequestFormat, requestPath, endpoint.host,
                       decimalText(ask.from, first), decimalText(ask.last, last), ask.validator);
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
  std::free(chunk);
  connection->close();
  report.status = statusCodeOf(response);
  report.contentLength = response.contentLength;
  if (response.headEnd >= 0) {
    answer.bodyOffset = response.headEnd + 4;
    report.bodyBytes = response.receivedBytes - answer.bodyOffset;
    readRangeFields(buffer, response.headEnd + 2, answer);
  }
  // A piece's length is what the partial update checks; a body without one is no piece.
  if (body != nullptr && response.contentLength < 0) {
    report.end = DownloadEnd::NoLength;
    return nullptr;
  }
  return body;
}

const uint8_t* SocketPieceTransport::fetchPiece(ProgressSink& progress, const char* requestPath,
                                                const PieceAsk& ask, uint8_t* buffer,
                                                int32_t capacity, DownloadReport& report,
                                                RangeAnswer& answer) {
  return downloadPiece(progress, network_, endpoint_, requestPath, ask, buffer, capacity, report,
                       answer);
}

const uint8_t* SystemPieceTransport::fetchPiece(ProgressSink& progress, const char* requestPath,
                                                const PieceAsk& ask, uint8_t* buffer,
                                                int32_t capacity, DownloadReport& report,
                                                RangeAnswer& answer) {
  const uint8_t* body = downloadPiece(progress, network_, endpoint_, requestPath, ask, buffer,
                                      capacity, report, answer);
  const RequestFailure failure = network_.requestFailure();
  if (body == nullptr && failure != RequestFailure::None) {
    report.end = requestFailureEnd(failure);
    report.error = network_.lastError();
  }
  return body;
}

}  // namespace vm
