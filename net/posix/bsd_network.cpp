#include "net/posix/bsd_network.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vm {

int32_t BsdConnection::send(const char* data, int32_t length) {
  // No SIGPIPE when the server has already gone: the receive reports it instead.
  const ssize_t sent = ::send(descriptor_, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  return sent < 0 ? -1 : static_cast<int32_t>(sent);
}

int32_t BsdConnection::receive(uint8_t* into, int32_t capacity) {
  ssize_t received;
  do {
    received = ::recv(descriptor_, into, static_cast<size_t>(capacity), 0);
  } while (received < 0 && errno == EINTR);
  return received < 0 ? -1 : static_cast<int32_t>(received);
}

void BsdConnection::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

BsdNetwork::~BsdNetwork() { connection_.close(); }

Connection* BsdNetwork::connect(const Endpoint& endpoint) {
  connection_.close();
  const int stream = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (stream < 0) return nullptr;

  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(endpoint.host, nullptr, &hints, &found) != 0 || found == nullptr) {
    ::close(stream);
    return nullptr;
  }
  sockaddr_in address;
  std::memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_port = htons(endpoint.port);
  if (::connect(stream, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(stream);
    return nullptr;
  }
  connection_.descriptor_ = stream;
  return &connection_;
}

}  // namespace vm
