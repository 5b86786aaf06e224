#include "net/win32/winsock_network.h"

#include <cstring>

#include "net/timeouts.h"

namespace vm {
namespace {

NetError errorOf(int code) {
  switch (code) {
    case WSAECONNREFUSED:
      return {NetFailure::Refused, code};
    case WSAETIMEDOUT:
      return {NetFailure::TimedOut, code};
    default:
      return {NetFailure::Other, code};
  }
}

// Connects within kConnectTimeoutMilliseconds: a non-blocking connect waited for by select,
// then the socket is made blocking again for the request and the response.
bool connectWithin(SOCKET stream, const sockaddr_in& address, NetError& error) {
  u_long nonBlocking = 1;
  if (ioctlsocket(stream, FIONBIO, &nonBlocking) != 0) {
    error = errorOf(WSAGetLastError());
    return false;
  }
  if (::connect(stream, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) {
      error = errorOf(code);
      return false;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(stream, &writable);
    FD_SET(stream, &failed);
    timeval limit = {static_cast<long>(kConnectTimeoutMilliseconds / 1000),
                     static_cast<long>(kConnectTimeoutMilliseconds % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == 0) {
      error = {NetFailure::TimedOut, WSAETIMEDOUT};
      return false;
    }
    int socketError = 0;
    int size = sizeof socketError;
    if (ready < 0 || getsockopt(stream, SOL_SOCKET, SO_ERROR,
                                reinterpret_cast<char*>(&socketError), &size) != 0) {
      error = errorOf(WSAGetLastError());
      return false;
    }
    if (socketError != 0 || !FD_ISSET(stream, &writable)) {
      error = errorOf(socketError != 0 ? socketError : WSAECONNREFUSED);
      return false;
    }
  }
  u_long blocking = 0;
  const DWORD receiveLimit = kReceiveTimeoutMilliseconds;
  const DWORD sendLimit = kSendTimeoutMilliseconds;
  if (ioctlsocket(stream, FIONBIO, &blocking) != 0 ||
      setsockopt(stream, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receiveLimit),
                 sizeof receiveLimit) != 0 ||
      setsockopt(stream, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendLimit),
                 sizeof sendLimit) != 0) {
    error = errorOf(WSAGetLastError());
    return false;
  }
  return true;
}

}  // namespace

int32_t WinsockConnection::send(const char* data, int32_t length) {
  const int result = ::send(socket_, data, length, 0);
  if (result == SOCKET_ERROR) *error_ = errorOf(WSAGetLastError());
  return result == SOCKET_ERROR ? -1 : result;
}

int32_t WinsockConnection::receive(uint8_t* into, int32_t capacity) {
  const int result = ::recv(socket_, reinterpret_cast<char*>(into), capacity, 0);
  if (result == SOCKET_ERROR) *error_ = errorOf(WSAGetLastError());
  return result == SOCKET_ERROR ? -1 : result;
}

void WinsockConnection::close() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

WinsockNetwork::WinsockNetwork() { connection_.error_ = &error_; }

WinsockNetwork::~WinsockNetwork() { connection_.close(); }

Connection* WinsockNetwork::connect(const Endpoint& endpoint) {
  connection_.close();
  const SOCKET stream = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (stream == INVALID_SOCKET) {
    error_ = errorOf(WSAGetLastError());
    return nullptr;
  }

  // An unresolved name, or one without an IPv4 address, gives no address to use.
  const hostent* host = gethostbyname(endpoint.host);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    error_ = {NetFailure::NotResolved, host == nullptr ? WSAGetLastError() : 0};
    closesocket(stream);
    return nullptr;
  }
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
  if (!connectWithin(stream, address, error_)) {
    closesocket(stream);
    return nullptr;
  }
  connection_.socket_ = stream;
  return &connection_;
}

NetError WinsockNetwork::lastError() const { return error_; }

}  // namespace vm
