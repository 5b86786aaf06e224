// The download client's network over Winsock 2.2. The library must already be started
// (WSAStartup): the installer's process entry does it, velmora-fetch does it itself.
#pragma once

#include <winsock2.h>

#include "net/socket.h"

namespace vm {

class WinsockConnection final : public Connection {
 public:
  int32_t send(const char* data, int32_t length) override;
  int32_t receive(uint8_t* into, int32_t capacity) override;
  void close() override;

 private:
  friend class WinsockNetwork;
  SOCKET socket_ = INVALID_SOCKET;
  NetError* error_ = nullptr;  // the network's: where a failed send or receive is noted
};

class WinsockNetwork final : public Network {
 public:
  WinsockNetwork();
  ~WinsockNetwork();
  WinsockNetwork(const WinsockNetwork&) = delete;
  WinsockNetwork& operator=(const WinsockNetwork&) = delete;

  Connection* connect(const Endpoint& endpoint) override;
  NetError lastError() const override;

 private:
  WinsockConnection connection_;
  NetError error_;
};

}  // namespace vm
