// A scripted network for download tests: one response handed out in chosen pieces, then a close
// or an error; every socket call is recorded as one line of `events`.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/socket.h"
#include "net/download.h"

namespace vm::testing {

class FakeNetwork final : public Network, public Connection {
 public:
  enum class Ending { Close, Error };

  bool refuse = false;               // connect fails
  std::string response;              // the bytes the server sends
  std::vector<std::size_t> pieces;   // sizes of the first receives...
  std::size_t restPiece = 0;         // ...then pieces of this size (0: as much as asked for)
  Ending ending = Ending::Close;      // what follows the last byte
  std::vector<std::string> events;   // "connect HOST:PORT", "send TEXT", "close"
  int receives = 0;
  int32_t largestRequest = 0;        // the most bytes one receive asked for

  Connection* connect(const Endpoint& endpoint) override {
    events.push_back("connect " + std::string(endpoint.host) + ":" +
                     std::to_string(endpoint.port));
    return refuse ? nullptr : this;
  }
  int32_t send(const char* data, int32_t length) override {
    events.push_back("send " + std::string(data, static_cast<std::size_t>(length)));
    return length;
  }
  int32_t receive(uint8_t* into, int32_t capacity) override {
    ++receives;
    largestRequest = std::max(largestRequest, capacity);
    if (offset_ == response.size()) return ending == Ending::Close ? 0 : -1;
    std::size_t size = next_ < pieces.size() ? pieces[next_++] : restPiece;
    if (size == 0) size = static_cast<std::size_t>(capacity);
    size = std::min({size, static_cast<std::size_t>(capacity), response.size() - offset_});
    std::memcpy(into, response.data() + offset_, size);
    offset_ += size;
    return static_cast<int32_t>(size);
  }
  void close() override { events.push_back("close"); }

 private:
  std::size_t offset_ = 0;
  std::size_t next_ = 0;
};

// Records the positions set.
class PositionRecorder final : public ProgressSink {
 public:
  std::vector<int32_t> positions;
  void setPosition(int32_t position) override { positions.push_back(position); }
};

}  // namespace vm::testing
