// The host tools' system transport: libcurl (over OpenSSL) behind the download client's Network
// interface, so velmora-fetch asks HTTPS servers, and goes through proxies, with the same
// downloadFile the installer runs. The proxy is the user's as the host holds it (libcurl reads
// http_proxy, https_proxy and no_proxy) or one named by the tool's --proxy. Certificates are
// checked against the system's trusted authorities; nothing is ever followed or relaxed.
#pragma once

#include <string>

#include "net/system_request.h"

namespace vm {

class CurlNetwork;

class CurlConnection final : public Connection {
 public:
  // Starts the request for the path in `data` (downloadFile's request text): `length`, or -1.
  int32_t send(const char* data, int32_t length) override;
  // The response's head as received (status line, fields, blank line), then its body.
  int32_t receive(uint8_t* into, int32_t capacity) override;
  void close() override;

 private:
  friend class CurlNetwork;
  CurlNetwork* network_ = nullptr;
  void* multi_ = nullptr;  // CURLM
  void* easy_ = nullptr;   // CURL
  void* fields_ = nullptr;  // curl_slist
  std::string pending_;    // received, not yet handed to receive()
  std::size_t taken_ = 0;  // of pending_
  bool anyByte_ = false;   // a byte of the response has arrived
  bool bodyStarted_ = false;
  bool done_ = false;
  int result_ = 0;  // CURLcode once done_
  bool failed_ = false;

  static std::size_t onHead(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
  bool pump();
};

class CurlNetwork final : public SystemNetwork {
 public:
  // `https`: every request over TLS. `proxy`: null for the user's environment, else the proxy
  // to use ("HOST:PORT" or a proxy URL).
  explicit CurlNetwork(bool https, const char* proxy = nullptr);
  ~CurlNetwork();
  CurlNetwork(const CurlNetwork&) = delete;
  CurlNetwork& operator=(const CurlNetwork&) = delete;

  Connection* connect(const Endpoint& endpoint) override;
  NetError lastError() const override;
  RequestFailure requestFailure() const override;

  // libcurl's words for the latest failure, or "".
  const char* failureText() const { return failureText_; }

 private:
  friend class CurlConnection;
  void fail(int code, bool beforeResponse);

  bool https_;
  const char* proxy_;
  std::string host_;
  uint16_t port_ = 0;
  CurlConnection connection_;
  NetError error_;
  RequestFailure requestFailure_ = RequestFailure::None;
  char failureText_[256] = {};
};

}  // namespace vm
