// The system transport of the installer: downloads through WinINet, the HTTP stack Windows
// gives programs a user runs. It brings what the socket client lacks: the user's proxy settings
// as Windows holds them (a named proxy, a configuration script, automatic detection), proxy
// authentication with the user's own credentials (Negotiate, NTLM), and HTTPS with the system's
// certificate checks. See docs/net.md ("The system transport").
//
// wininet.dll is no KnownDLL: it is never imported, but loaded on first use by its full path in
// the system folder, after the process has restricted the library search
// (platform/win32/library_search.h), so a copy planted beside the installer is never used.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "net/system_request.h"

namespace vm {

class WinInetNetwork;

class WinInetConnection final : public Connection {
 public:
  // Makes the request for the path in `data` (downloadFile's or downloadRange's request text),
  // with its Range and If-Range fields when it has them. Returns `length`, or -1 when the
  // request failed (see SystemNetwork::requestFailure).
  int32_t send(const char* data, int32_t length) override;
  // First the response's head as WinINet received it (status line and fields, ending with the
  // blank line), then the body as it arrives.
  int32_t receive(uint8_t* into, int32_t capacity) override;
  void close() override;

 private:
  friend class WinInetNetwork;
  WinInetNetwork* network_ = nullptr;
  HINTERNET server_ = nullptr;
  HINTERNET request_ = nullptr;
  bool headGiven_ = false;
  bool failed_ = false;
  // WinINet reported the connection made: a time-out after it is the answer's, not the connect's.
  bool connected_ = false;

  static void CALLBACK onStatus(HINTERNET handle, DWORD_PTR context, DWORD status, void* info,
                                DWORD infoLength);
};

// What the proxy description holds, at most.
using ProxyText = FixedString<char, 512>;

class WinInetNetwork final : public SystemNetwork {
 public:
  // `https`: every request over TLS (INTERNET_FLAG_SECURE). `proxy`: null for the user's
  // settings (the installer); a "HOST:PORT" for the tools' --proxy.
  explicit WinInetNetwork(bool https, const char* proxy = nullptr);
  ~WinInetNetwork();
  WinInetNetwork(const WinInetNetwork&) = delete;
  WinInetNetwork& operator=(const WinInetNetwork&) = delete;

  // Loads WinINet (once) and names the server; nothing is sent yet. Null when the library or
  // one of its functions is missing, or the session cannot be opened.
  Connection* connect(const Endpoint& endpoint) override;
  NetError lastError() const override;
  RequestFailure requestFailure() const override;

  // The proxy settings the requests go by, for the log ("direct", "named proxy H:P", ...).
  // False (text empty) when they cannot be read.
  bool describeProxy(ProxyText& text);

 private:
  friend class WinInetConnection;
  bool open();
  void fail(DWORD code, bool beforeResponse);

  bool https_;
  const char* proxy_;
  HINTERNET session_ = nullptr;
  bool opened_ = false;
  WinInetConnection connection_;
  NetError error_;
  RequestFailure requestFailure_ = RequestFailure::None;
};

// The words for a WinINet error code that ends a download ("the certificate's authority is not
// trusted"), or null for codes without words here.
const char* winInetErrorText(int32_t code);

}  // namespace vm
