// What the system transports (WinINet in the installer, libcurl in the host tools) share. They
// sit behind the same Network and Connection interfaces as the socket adapters, so downloadFile
// drives them unchanged: the same buffer, the same progress positions, the same mends. The
// platform's HTTP stack makes the request itself (proxy, TLS, authentication); the connection
// takes only the request path from the text downloadFile sends, then hands back the response's
// head and body as received.
#pragma once

#include <cstdint>

#include "net/download.h"
#include "platform/fixed_string.h"

namespace vm {

// The path of a request text as downloadFile forms it ("GET PATH HTTP/1.1\r\n..."). False when
// the text does not begin that way, the path is empty, does not begin with "/", holds a blank
// or a control character, or does not fit `path` (left unchanged then).
[[nodiscard]] bool requestPathOf(const char* request, int32_t length, RequestText& path);

// The fields of a request text that ask for part of a body ("Range: ..." and "If-Range: ...",
// each with its line end, in the text's order), which the platform's stack must send as they
// are. Empty for a plain request. False when the text holds no blank line ending its head, or
// `fields` cannot hold them (left empty then).
[[nodiscard]] bool rangeFieldsOf(const char* request, int32_t length, RequestText& fields);

// How a system transport's request failed before any response arrived: the platform's stack
// connects, negotiates TLS and talks to the proxy inside one call, so these failures surface
// when the request is sent, not at connect().
enum class RequestFailure : int32_t {
  None = 0,
  NotResolved,   // the host (or the proxy) has no address
  Refused,       // the server or the proxy could not be reached
  TimedOut,      // no connection within the connect time-out
  AnswerTimedOut,  // connected and the request sent, but no head within the receive time-out
  Broken,        // connected, then the connection broke (aborted, reset) before the head
  Certificate,   // the server's certificate was refused (unknown CA, name, dates, revoked)
  Other,         // any other failure of the stack; the platform's code says which
};

// The download's end for a request that failed this way.
DownloadEnd requestFailureEnd(RequestFailure failure);
// The network error kind of a refused request, for Network::lastError.
NetFailure netFailureOf(RequestFailure failure);

// A Network whose connections hand the request to the platform's HTTP stack. connect() only
// names the server; the request is made when downloadFile sends its text, and a failure there
// makes the first receive fail (-1).
class SystemNetwork : public Network {
 public:
  // How the latest request failed before any byte of its response, or None; lastError() holds
  // the platform's code.
  virtual RequestFailure requestFailure() const = 0;

 protected:
  ~SystemNetwork() = default;
};

// The installer's Transport over a system network: downloadFile as the socket client runs it,
// with a failure before the response named as such (not as a broken connection), and a body
// without a known length refused like the socket client does.
class SystemTransport final : public Transport {
 public:
  SystemTransport(SystemNetwork& network, const Endpoint& endpoint)
      : network_(network), endpoint_(endpoint) {}
  const uint8_t* fetch(ProgressSink& progress, const char* requestPath, uint8_t* buffer,
                       DownloadReport& report) override;

 private:
  SystemNetwork& network_;
  Endpoint endpoint_;
};

// The same over ranges, for the field profile's retries: downloadRange as the socket client runs
// it, with a failure before the response named as SystemTransport names it.
class SystemRangedTransport final : public RangedTransport {
 public:
  SystemRangedTransport(SystemNetwork& network, const Endpoint& endpoint)
      : network_(network), endpoint_(endpoint) {}
  SystemNetwork& network() { return network_; }  // for a SystemPieceTransport beside it
  const uint8_t* fetchRange(ProgressSink& progress, const char* requestPath, const RangeAsk& ask,
                            uint8_t* buffer, int32_t capacity, DownloadReport& report,
                            RangeAnswer& answer) override;

 private:
  SystemNetwork& network_;
  Endpoint endpoint_;
};

// A partial update's pieces over the system's stack: downloadPiece, with a failure before the
// response named as SystemTransport names it (net/piece_download.cpp).
class SystemPieceTransport final : public PieceTransport {
 public:
  SystemPieceTransport(SystemNetwork& network, const Endpoint& endpoint)
      : network_(network), endpoint_(endpoint) {}
  const uint8_t* fetchPiece(ProgressSink& progress, const char* requestPath, const PieceAsk& ask,
                            uint8_t* buffer, int32_t capacity, DownloadReport& report,
                            RangeAnswer& answer) override;

 private:
  SystemNetwork& network_;
  Endpoint endpoint_;
};

}  // namespace vm
