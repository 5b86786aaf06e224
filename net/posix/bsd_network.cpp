#include "net/posix/bsd_network.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/timeouts.h"

namespace vm {
namespace {

NetError errorOf(int code) {
  switch (code) {
    case ECONNREFUSED:
      return {NetFailure::Refused, code};
    case ETIMEDOUT:
    case EAGAIN:  // what a receive or send past SO_RCVTIMEO / SO_SNDTIMEO reports
      return {NetFailure::TimedOut, code};
    default:
      return {NetFailure::Other, code};
  }
}

timeval timeOf(uint32_t milliseconds) {
  return {static_cast<time_t>(milliseconds / 1000),
          static_cast<suseconds_t>(milliseconds % 1000) * 1000};
}

// Connects within kConnectTimeoutMilliseconds (a non-blocking connect waited for by poll), then
// makes the socket blocking again, with the send and receive time-outs.
bool connectWithin(int stream, const sockaddr_in& address, NetError& error) {
  const int flags = fcntl(stream, F_GETFL);
  if (flags < 0 || fcntl(stream, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errorOf(errno);
    return false;
  }
  if (::connect(stream, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      error = errorOf(errno);
      return false;
    }
    pollfd waited = {stream, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&waited, 1, static_cast<int>(kConnectTimeoutMilliseconds));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      error = {NetFailure::TimedOut, ETIMEDOUT};
      return false;
    }
    int socketError = 0;
    socklen_t size = sizeof socketError;
    if (ready < 0 || getsockopt(stream, SOL_SOCKET, SO_ERROR, &socketError, &size) != 0) {
      error = errorOf(errno);
      return false;
    }
    if (socketError != 0) {
      error = errorOf(socketError);
      return false;
    }
  }
  const timeval receiveLimit = timeOf(kReceiveTimeoutMilliseconds);
  const timeval sendLimit = timeOf(kSendTimeoutMilliseconds);
  if (fcntl(stream, F_SETFL, flags) != 0 ||
      setsockopt(stream, SOL_SOCKET, SO_RCVTIMEO, &receiveLimit, sizeof receiveLimit) != 0 ||
      setsockopt(stream, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit) != 0) {
    error = errorOf(errno);
    return false;
  }
  return true;
}

}  // namespace

int32_t BsdConnection::send(const char* data, int32_t length) {
  // No SIGPIPE when the server has already gone: the receive reports it instead.
  const ssize_t sent = ::send(descriptor_, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (sent < 0) *error_ = errorOf(errno);
  return sent < 0 ? -1 : static_cast<int32_t>(sent);
}

int32_t BsdConnection::receive(uint8_t* into, int32_t capacity) {
  ssize_t received;
  do {
    received = ::recv(descriptor_, into, static_cast<size_t>(capacity), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) *error_ = errorOf(errno);
  return received < 0 ? -1 : static_cast<int32_t>(received);
}

void BsdConnection::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

BsdNetwork::BsdNetwork() { connection_.error_ = &error_; }

BsdNetwork::~BsdNetwork() { connection_.close(); }

Connection* BsdNetwork::connect(const Endpoint& endpoint) {
  connection_.close();
  const int stream = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (stream < 0) {
    error_ = errorOf(errno);
    return nullptr;
  }

  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int lookup = getaddrinfo(endpoint.host, nullptr, &hints, &found);
  if (lookup != 0 || found == nullptr) {
    error_ = {NetFailure::NotResolved, lookup};
    ::close(stream);
    return nullptr;
  }
  sockaddr_in address;
  std::memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_port = htons(endpoint.port);
  if (!connectWithin(stream, address, error_)) {
    ::close(stream);
    return nullptr;
  }
  connection_.descriptor_ = stream;
  return &connection_;
}

NetError BsdNetwork::lastError() const { return error_; }

}  // namespace vm
