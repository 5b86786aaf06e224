// The download client's network over BSD sockets, for the host build (tests, tools, benchmarks).
#pragma once

#include "net/socket.h"

namespace vm {

class BsdConnection final : public Connection {
 public:
  int32_t send(const char* data, int32_t length) override;
  int32_t receive(uint8_t* into, int32_t capacity) override;
  void close() override;

 private:
  friend class BsdNetwork;
  int descriptor_ = -1;
  NetError* error_ = nullptr;  // the network's: where a failed send or receive is noted
};

class BsdNetwork final : public Network {
 public:
  BsdNetwork();
  ~BsdNetwork();
  BsdNetwork(const BsdNetwork&) = delete;
  BsdNetwork& operator=(const BsdNetwork&) = delete;

  Connection* connect(const Endpoint& endpoint) override;
  NetError lastError() const override;

 private:
  BsdConnection connection_;
  NetError error_;
};

}  // namespace vm
