#include "net/system_request.h"

namespace vm {

bool requestPathOf(const char* request, int32_t length, RequestText& path) {
  constexpr char kMethod[] = "GET ";
  constexpr int32_t kMethodLength = sizeof kMethod - 1;
  if (length <= kMethodLength) return false;
  for (int32_t at = 0; at < kMethodLength; ++at)
    if (request[at] != kMethod[at]) return false;
  int32_t end = kMethodLength;
  while (end < length && request[end] != ' ') {
    // A blank ends the path; anything below it (a line end, a zero) means the text is not a
    // request line at all.
    if (static_cast<unsigned char>(request[end]) < 0x20 || request[end] == 0x7F) return false;
    ++end;
  }
  if (end == kMethodLength || end == length || request[kMethodLength] != '/') return false;
  return path.assignUnits(request + kMethodLength, static_cast<std::size_t>(end - kMethodLength));
}

namespace {

bool beginsWith(const char* text, int32_t length, const char* prefix) {
  int32_t at = 0;
  for (; prefix[at] != 0; ++at)
    if (at >= length || text[at] != prefix[at]) return false;
  return true;
}

}  // namespace

bool rangeFieldsOf(const char* request, int32_t length, RequestText& fields) {
  fields.clear();
  int32_t line = 0;
  bool first = true;
  while (line < length) {
    int32_t end = line;
    while (end + 1 < length && !(request[end] == '\r' && request[end + 1] == '\n')) ++end;
    if (end + 1 >= length) break;  // a line without its end: no head
    if (end == line) return true;  // the blank line
    const int32_t next = end + 2;
    if (!first && (beginsWith(request + line, end - line, "Range: ") ||
                   beginsWith(request + line, end - line, "If-Range: ")) &&
        !fields.appendUnits(request + line, static_cast<std::size_t>(next - line))) {
      fields.clear();
      return false;
    }
    first = false;
    line = next;
  }
  fields.clear();
  return false;
}

DownloadEnd requestFailureEnd(RequestFailure failure) {
  switch (failure) {
    case RequestFailure::NotResolved:
      return DownloadEnd::NotResolved;
    case RequestFailure::Refused:
      return DownloadEnd::ConnectRefused;
    case RequestFailure::TimedOut:
      return DownloadEnd::ConnectTimedOut;
    case RequestFailure::AnswerTimedOut:
      return DownloadEnd::ReceiveTimedOut;
    case RequestFailure::Broken:
      return DownloadEnd::ReceiveFailed;
    default:
      // A refused certificate, like any other failure before the response, is a connection
      // that could not be made; the log adds the platform's code, which names the reason.
      return DownloadEnd::ConnectFailed;
  }
}

const uint8_t* SystemTransport::fetch(ProgressSink& progress, const char* requestPath,
                                      uint8_t* buffer, DownloadReport& report) {
  int32_t contentLength = -1;
  const uint8_t* body = downloadFile(progress, network_, endpoint_, requestPath, buffer,
                                     contentLength, nullptr, &report);
  const RequestFailure failure = network_.requestFailure();
  if (body == nullptr && failure != RequestFailure::None) {
    report.end = requestFailureEnd(failure);
    report.error = network_.lastError();
    return nullptr;
  }
  if (body != nullptr && contentLength < 0) {
    report.end = DownloadEnd::NoLength;
    return nullptr;
  }
  return body;
}

const uint8_t* SystemRangedTransport::fetchRange(ProgressSink& progress, const char* requestPath,
                                                 const RangeAsk& ask, uint8_t* buffer,
                                                 int32_t capacity, DownloadReport& report,
                                                 RangeAnswer& answer) {
  const uint8_t* body = downloadRange(progress, network_, endpoint_, requestPath, ask, buffer,
                                      capacity, report, answer);
  const RequestFailure failure = network_.requestFailure();
  if (body == nullptr && failure != RequestFailure::None) {
    report.end = requestFailureEnd(failure);
    report.error = network_.lastError();
  }
  return body;
}

NetFailure netFailureOf(RequestFailure failure) {
  switch (failure) {
    case RequestFailure::NotResolved:
      return NetFailure::NotResolved;
    case RequestFailure::Refused:
      return NetFailure::Refused;
    case RequestFailure::TimedOut:
    case RequestFailure::AnswerTimedOut:
      return NetFailure::TimedOut;
    default:
      return NetFailure::Other;
  }
}

}  // namespace vm
