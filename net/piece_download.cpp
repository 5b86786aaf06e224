// downloadPiece: a partial update's request (a closed range with If-Range, or a suffix range)
// through downloadRange's exchange (exchangeRangeRequest). Beside downloadRange rather than in it,
// so that a build without a package key, which never asks for pieces, links none of it.

#include "net/download.h"
#include "net/http_response.h"
#include "net/range_exchange.h"
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
  return exchangeRangeRequest(progress, network, endpoint, request, buffer, capacity, report,
                              answer);
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
