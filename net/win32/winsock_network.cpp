#include "net/win32/winsock_network.h"

#include <cstring>

namespace vm {

int32_t WinsockConnection::send(const char* data, int32_t length) {
  return ::send(socket_, data, length, 0);
}

int32_t WinsockConnection::receive(uint8_t* into, int32_t capacity) {
  const int result = ::recv(socket_, reinterpret_cast<char*>(into), capacity, 0);
  return result == SOCKET_ERROR ? -1 : result;
}

void WinsockConnection::close() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

WinsockNetwork::~WinsockNetwork() { connection_.close(); }

Connection* WinsockNetwork::connect(const Endpoint& endpoint) {
  connection_.close();
  const SOCKET stream = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (stream == INVALID_SOCKET) return nullptr;

  // An unresolved name, or one without an IPv4 address, gives no address to use.
  const hostent* host = gethostbyname(endpoint.host);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    closesocket(stream);
    return nullptr;
  }
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
  if (::connect(stream, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    closesocket(stream);
    return nullptr;
  }
  connection_.socket_ = stream;
  return &connection_;
}

}  // namespace vm
