#include "net/download.h"

#include <cstdlib>

#include "net/http_response.h"
#include "platform/fixed_string.h"
#include "platform/format.h"

namespace vm {
namespace {

constexpr char kRequestFormat[] =
    "GET %s HTTP/1.1\r\nHost: %s\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";

void* takeChunk(std::size_t size) { return std::malloc(size); }

ChunkAllocator chunkAllocator = takeChunk;

// Receives until the server closes, a receive fails or the response is refused. Returns the body
// or null.
const uint8_t* receiveResponse(ProgressSink& progress, Connection& connection,
                               HttpResponse& response, uint8_t* chunk, int32_t* bodyBytes) {
  for (;;) {
    const int32_t received = connection.receive(chunk, kReceiveChunkSize);
    if (received == 0) return finishResponse(response, bodyBytes);
    // An adapter reporting more than it was asked for is treated like a failed receive.
    if (received < 0 || received > kReceiveChunkSize) return nullptr;
    if (appendChunk(response, chunk, received) != ChunkStep::Continue) return nullptr;
    const int32_t position = positionToShow(response);
    if (position != kNoPosition) progress.setPosition(position);
  }
}

}  // namespace

const uint8_t* downloadFile(ProgressSink& progress, Network& network, const Endpoint& endpoint,
                            const char* requestPath, uint8_t* buffer, int32_t& contentLength,
                            int32_t* bodyBytes) {
  // Formatted before connecting: a request that does not fit is never half sent.
  RequestText request;
  if (formatInto(request, kRequestFormat, requestPath, endpoint.host) < 0) return nullptr;

  Connection* connection = network.connect(endpoint);
  if (connection == nullptr) return nullptr;
  connection->send(request.get(), static_cast<int32_t>(request.length()));

  auto* chunk = static_cast<uint8_t*>(chunkAllocator(kReceiveChunkSize));
  if (chunk == nullptr) {
    connection->close();
    return nullptr;
  }
  HttpResponse response;
  startResponse(response, buffer, kDownloadBufferSize);
  const uint8_t* body = receiveResponse(progress, *connection, response, chunk, bodyBytes);
  contentLength = response.contentLength;
  std::free(chunk);
  connection->close();
  return body;
}

ChunkAllocator setChunkAllocatorForTesting(ChunkAllocator allocator) {
  const ChunkAllocator previous = chunkAllocator;
  chunkAllocator = allocator;
  return previous;
}

}  // namespace vm
