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

DownloadEnd requestFailureEnd(RequestFailure failure) {
  switch (failure) {
    case RequestFailure::NotResolved:
      return DownloadEnd::NotResolved;
    case RequestFailure::Refused:
      return DownloadEnd::ConnectRefused;
    case RequestFailure::TimedOut:
      return DownloadEnd::ConnectTimedOut;
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

NetFailure netFailureOf(RequestFailure failure) {
  switch (failure) {
    case RequestFailure::NotResolved:
      return NetFailure::NotResolved;
    case RequestFailure::Refused:
      return NetFailure::Refused;
    case RequestFailure::TimedOut:
      return NetFailure::TimedOut;
    default:
      return NetFailure::Other;
  }
}

}  // namespace vm
