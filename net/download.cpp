#include "net/download.h"

#include <cstdlib>

#include "net/download_steps.h"
#include "net/http_response.h"
#include "platform/fixed_string.h"
#include "platform/format.h"

namespace vm {
namespace {

constexpr char kRequestFormat[] =
    "GET %s HTTP/1.1\r\nHost: %s\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";

void* takeChunk(std::size_t size) { return std::malloc(size); }

ChunkAllocator chunkAllocator = takeChunk;

}  // namespace

const char* downloadEndText(DownloadEnd end) {
  switch (end) {
    case DownloadEnd::Complete: return "complete";
    case DownloadEnd::RequestTooLong: return "request too long";
    case DownloadEnd::NotResolved: return "host name not resolved";
    case DownloadEnd::ConnectRefused: return "connection refused";
    case DownloadEnd::ConnectTimedOut: return "connect timed out";
    case DownloadEnd::ConnectFailed: return "connect failed";
    case DownloadEnd::NoMemory: return "out of memory";
    case DownloadEnd::ReceiveTimedOut: return "receive timed out";
    case DownloadEnd::ReceiveFailed: return "connection broken";
    case DownloadEnd::StatusRefused: return "status not 2xx";
    case DownloadEnd::TooLarge: return "too large for the download buffer";
    case DownloadEnd::HeadUnfinished: return "closed before the end of the head";
    case DownloadEnd::BadLength: return "negative length";
    case DownloadEnd::ShortBody: return "closed before the end of the body";
    case DownloadEnd::NoLength: return "no length";
  }
  return "?";
}

const uint8_t* downloadFile(ProgressSink& progress, Network& network, const Endpoint& endpoint,
                            const char* requestPath, uint8_t* buffer, int32_t& contentLength,
                            int32_t* bodyBytes, DownloadReport* report) {
  DownloadReport unused;
  DownloadReport& noted = report != nullptr ? *report : unused;
  noted = DownloadReport{};
  // Formatted before connecting: a request that does not fit is never half sent.
  RequestText request;
  if (formatInto(request, kRequestFormat, requestPath, endpoint.host) < 0) {
    noted.end = DownloadEnd::RequestTooLong;
    return nullptr;
  }

  Connection* connection = network.connect(endpoint);
  if (connection == nullptr) {
    noted.error = network.lastError();
    noted.end = connectEnd(noted.error.failure);
    return nullptr;
  }
  connection->send(request.get(), static_cast<int32_t>(request.length()));

  auto* chunk = static_cast<uint8_t*>(chunkAllocator(kReceiveChunkSize));
  if (chunk == nullptr) {
    connection->close();
    noted.end = DownloadEnd::NoMemory;
    return nullptr;
  }
  HttpResponse response;
  startResponse(response, buffer, kDownloadBufferSize);
  const uint8_t* body =
      receiveResponse(progress, network, *connection, response, chunk, bodyBytes, noted);
  contentLength = response.contentLength;
  noted.status = statusCodeOf(response);
  noted.contentLength = response.contentLength;
  noted.bodyBytes = response.headEnd >= 0 ? response.receivedBytes - (response.headEnd + 4) : 0;
  noted.receivedBytes = response.receivedBytes;
  noted.headEnd = response.headEnd;
  std::free(chunk);
  connection->close();
  return body;
}

const uint8_t* SocketTransport::fetch(ProgressSink& progress, const char* requestPath,
                                      uint8_t* buffer, DownloadReport& report) {
  int32_t contentLength = -1;
  const uint8_t* body =
      downloadFile(progress, network_, endpoint_, requestPath, buffer, contentLength, nullptr,
                   &report);
  // A body without a known length ends the run like a failed download: its size would have to
  // be guessed, and a guess could read past what arrived.
  if (body != nullptr && contentLength < 0) {
    report.end = DownloadEnd::NoLength;
    return nullptr;
  }
  return body;
}

void* takeReceiveBlock(std::size_t size) { return chunkAllocator(size); }

ChunkAllocator setChunkAllocatorForTesting(ChunkAllocator allocator) {
  const ChunkAllocator previous = chunkAllocator;
  chunkAllocator = allocator;
  return previous;
}

}  // namespace vm
