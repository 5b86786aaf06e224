// A scripted download server for the download and install-sequence tests: every socket call is
// recorded, and each request is answered with a chosen response handed out in chosen pieces,
// then a close or an error.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "net/socket.h"

namespace vm::test {

class FakeNetwork final : public Network, public Connection {
 public:
  enum class Ending { Close, Error, TimeOut };

  bool refuse = false;  // connect fails, with `connectError`
  NetError connectError = {NetFailure::Refused, 10061};
  // What the server sends: `response` to every request or, when `responses` is not empty, the
  // response for the request's path (a 404 without a body for any other path).
  std::string response;
  std::map<std::string, std::string> responses;
  std::vector<std::size_t> pieces;  // sizes of the first receives of a connection...
  std::size_t restPiece = 0;        // ...then pieces of this size (0: as much as asked for)
  Ending ending = Ending::Close;     // what follows the last byte
  // When not empty, one answer per connection in order instead of `response` and `ending`; a
  // connection beyond the last, or one marked refused, is refused with `connectError`.
  struct Answer {
    std::string response;
    Ending ending = Ending::Close;
    bool refused = false;
  };
  std::vector<Answer> answers;
  // Records.
  std::vector<std::string> events;    // "connect HOST:PORT", "send TEXT", "close"
  std::vector<std::string> requests;  // the paths asked for, in order
  int receives = 0;
  int32_t largestRequest = 0;  // the most bytes one receive asked for

  Connection* connect(const Endpoint& endpoint) override {
    events.push_back("connect " + std::string(endpoint.host) + ":" +
                     std::to_string(endpoint.port));
    sending_ = response;
    ending_ = ending;
    offset_ = 0;
    next_ = 0;
    bool refused = refuse;
    if (!answers.empty()) {
      const std::size_t at = connections_++;
      refused = at >= answers.size() || answers[at].refused;
      if (!refused) {
        sending_ = answers[at].response;
        ending_ = answers[at].ending;
      }
    }
    if (refused) error_ = connectError;
    return refused ? nullptr : this;
  }
  NetError lastError() const override { return error_; }
  int32_t send(const char* data, int32_t length) override {
    const std::string request(data, static_cast<std::size_t>(length));
    events.push_back("send " + request);
    const std::size_t pathEnd = request.find(' ', 4);
    requests.push_back(request.substr(4, pathEnd == std::string::npos ? 0 : pathEnd - 4));
    if (!responses.empty()) {
      const auto found = responses.find(requests.back());
      sending_ = found != responses.end()
                     ? found->second
                     : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }
    return length;
  }
  int32_t receive(uint8_t* into, int32_t capacity) override {
    ++receives;
    largestRequest = std::max(largestRequest, capacity);
    if (offset_ == sending_.size()) {
      if (ending_ == Ending::Close) return 0;
      error_ = ending_ == Ending::Error ? NetError{NetFailure::Other, 10054}
                                       : NetError{NetFailure::TimedOut, 10060};
      return -1;
    }
    std::size_t size = next_ < pieces.size() ? pieces[next_++] : restPiece;
    if (size == 0) size = static_cast<std::size_t>(capacity);
    size = std::min({size, static_cast<std::size_t>(capacity), sending_.size() - offset_});
    std::memcpy(into, sending_.data() + offset_, size);
    offset_ += size;
    return static_cast<int32_t>(size);
  }
  void close() override { events.push_back("close"); }

 private:
  std::string sending_;  // the response of the current connection
  Ending ending_ = Ending::Close;
  std::size_t connections_ = 0;
  NetError error_;
  std::size_t offset_ = 0;
  std::size_t next_ = 0;
};

}  // namespace vm::test
