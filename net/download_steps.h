// The steps of one HTTP exchange shared by downloadFile (net/download.cpp) and downloadRange
// (net/range_download.cpp). Internal to those two files: each gets a copy of its own, inlined
// like a function called once, so the plain client compiles exactly as it did before ranges
// existed and an installer that never resumes keeps its bytes.
#pragma once

#include "net/download.h"
#include "net/http_response.h"

namespace vm {
namespace {

DownloadEnd connectEnd(NetFailure failure) {
  switch (failure) {
    case NetFailure::NotResolved:
      return DownloadEnd::NotResolved;
    case NetFailure::Refused:
      return DownloadEnd::ConnectRefused;
    case NetFailure::TimedOut:
      return DownloadEnd::ConnectTimedOut;
    default:
      return DownloadEnd::ConnectFailed;
  }
}

// Why a response whose server closed the connection gave no body.
DownloadEnd closedEnd(const HttpResponse& response) {
  if (response.headEnd < 0) return DownloadEnd::HeadUnfinished;
  if (response.contentLength < -1) return DownloadEnd::BadLength;
  return DownloadEnd::ShortBody;
}

// Receives until the server closes, a receive fails or the response is refused. Returns the body
// or null, and notes in `end` how it ended.
const uint8_t* receiveResponse(ProgressSink& progress, Network& network, Connection& connection,
                               HttpResponse& response, uint8_t* chunk, int32_t* bodyBytes,
                               DownloadReport& report) {
  for (;;) {
    const int32_t received = connection.receive(chunk, kReceiveChunkSize);
    if (received == 0) {
      const uint8_t* body = finishResponse(response, bodyBytes);
      if (body == nullptr)
        report.end = response.status == StatusVerdict::Accepted ? closedEnd(response)
                                                                : DownloadEnd::StatusRefused;
      return body;
    }
    // An adapter reporting more than it was asked for is treated like a failed receive.
    if (received < 0 || received > kReceiveChunkSize) {
      report.error = network.lastError();
      report.end = report.error.failure == NetFailure::TimedOut ? DownloadEnd::ReceiveTimedOut
                                                                : DownloadEnd::ReceiveFailed;
      return nullptr;
    }
    const ChunkStep step = appendChunk(response, chunk, received);
    if (step != ChunkStep::Continue) {
      report.end = step == ChunkStep::TooLarge ? DownloadEnd::TooLarge : DownloadEnd::StatusRefused;
      return nullptr;
    }
    const int32_t position = positionToShow(response);
    if (position != kNoPosition) progress.setPosition(position);
  }
}

}  // namespace

// The receive block's allocator (std::malloc unless a test replaced it).
void* takeReceiveBlock(std::size_t size);

}  // namespace vm
