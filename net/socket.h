// The few socket operations the download client needs: a blocking TCP stream to one IPv4 host.
// The Winsock adapter (net/win32) serves the installer, the BSD one (net/posix) the host build;
// tests use scripted fakes. No platform type crosses this interface.
#pragma once

#include <cstdint>

namespace vm {

// Where a download goes. The installer always uses its fixed host and port 80; tests, tools and
// benchmarks aim it elsewhere.
struct Endpoint {
  const char* host;  // host name or dotted address; also the request's "Host: " text
  uint16_t port;     // host byte order
};

// What the last failed network call ran into; see Network::lastError.
enum class NetFailure : int32_t {
  None = 0,
  NotResolved = 1,  // the host name has no IPv4 address
  Refused = 2,      // the server refused the connection
  TimedOut = 3,     // connecting, sending or receiving took longer than its time-out
  Other = 4,        // any other error; `code` holds the platform's
};

struct NetError {
  NetFailure failure = NetFailure::None;
  int32_t code = 0;  // the platform's error code (WSAGetLastError, errno); 0 when there is none
};

// One connected stream. Every call blocks, up to the time-outs of net/timeouts.h.
class Connection {
 public:
  // Sends `length` bytes in one call. Returns the bytes the platform took or -1; the download
  // does not act on it (a failed send shows up as a failed or empty receive).
  virtual int32_t send(const char* data, int32_t length) = 0;
  // Receives at most `capacity` bytes into `into`: the count (> 0), 0 when the peer closed the
  // connection, -1 on an error (reset, aborted, no byte within kReceiveTimeoutMilliseconds).
  virtual int32_t receive(uint8_t* into, int32_t capacity) = 0;
  // Closes the stream. The connection must not be used afterwards.
  virtual void close() = 0;

 protected:
  ~Connection() = default;
};

class Network {
 public:
  // Creates a stream socket, looks up `endpoint.host` (the first IPv4 address of the lookup)
  // and connects. Null when the socket cannot be created, the name does not resolve to an IPv4
  // address, or the connection fails, is refused or is not made within
  // kConnectTimeoutMilliseconds; nothing stays open then. The connection
  // belongs to the network and lives until its close(); one is open at a time.
  virtual Connection* connect(const Endpoint& endpoint) = 0;
  // Why the last connect, send or receive that failed did so (kept until the next failure).
  virtual NetError lastError() const = 0;

 protected:
  ~Network() = default;
};

}  // namespace vm
