#include "net/win32/wininet_network.h"

#include "net/timeouts.h"
#include "platform/win32/helpers.h"

namespace vm {
namespace {

// WinINet's codes that the log and the tools name (winerror values of wininet.h).
constexpr DWORD kTimedOut = 12002;
// Wine hands on the socket's own code when a read runs out of time (WSAETIMEDOUT).
constexpr DWORD kSocketTimedOut = 10060;
constexpr DWORD kNameNotResolved = 12007;
constexpr DWORD kCannotConnect = 12029;
constexpr DWORD kConnectionAborted = 12030;
constexpr DWORD kConnectionReset = 12031;
constexpr DWORD kCertificateDates = 12037;
constexpr DWORD kCertificateName = 12038;
constexpr DWORD kClientCertificate = 12044;
constexpr DWORD kUnknownAuthority = 12045;
constexpr DWORD kCertificateErrors = 12055;
constexpr DWORD kRevocationUnknown = 12057;
constexpr DWORD kSecureChannel = 12157;
constexpr DWORD kProxyUnreachable = 12165;
constexpr DWORD kInvalidCertificate = 12169;
constexpr DWORD kCertificateRevoked = 12170;

// The functions the transport calls, looked up in the loaded library.
struct WinInetFunctions {
  decltype(&InternetOpenA) open = nullptr;
  decltype(&InternetSetOptionA) setOption = nullptr;
  decltype(&InternetQueryOptionW) queryOption = nullptr;
  decltype(&InternetConnectA) connect = nullptr;
  decltype(&HttpOpenRequestA) openRequest = nullptr;
  decltype(&HttpSendRequestA) sendRequest = nullptr;
  decltype(&HttpAddRequestHeadersA) addFields = nullptr;
  decltype(&InternetSetStatusCallbackA) setCallback = nullptr;
  decltype(&HttpQueryInfoA) queryInfo = nullptr;
  decltype(&InternetQueryDataAvailable) available = nullptr;
  decltype(&InternetReadFile) read = nullptr;
  decltype(&InternetCloseHandle) closeHandle = nullptr;
};

// Loaded once per process (by the one thread that downloads) and kept.
WinInetFunctions winInet;
bool winInetLoaded = false;

template <typename Function>
bool lookUp(HMODULE library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  return function != nullptr;
}

// By full path from the system folder; its own imports are resolved from there too
// (LOAD_WITH_ALTERED_SEARCH_PATH), whatever the search order of the process.
bool loadWinInet() {
  if (winInetLoaded) return winInet.closeHandle != nullptr;
  winInetLoaded = true;
  wchar_t path[MAX_PATH];
  HMODULE library = systemFilePath(L"wininet.dll", path, MAX_PATH)
                        ? LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                        : nullptr;
  WinInetFunctions found;
  if (library == nullptr || !lookUp(library, "InternetOpenA", found.open) ||
      !lookUp(library, "InternetSetOptionA", found.setOption) ||
      !lookUp(library, "InternetQueryOptionW", found.queryOption) ||
      !lookUp(library, "InternetConnectA", found.connect) ||
      !lookUp(library, "HttpOpenRequestA", found.openRequest) ||
      !lookUp(library, "HttpSendRequestA", found.sendRequest) ||
      !lookUp(library, "HttpAddRequestHeadersA", found.addFields) ||
      !lookUp(library, "InternetSetStatusCallbackA", found.setCallback) ||
      !lookUp(library, "HttpQueryInfoA", found.queryInfo) ||
      !lookUp(library, "InternetQueryDataAvailable", found.available) ||
      !lookUp(library, "InternetReadFile", found.read) ||
      !lookUp(library, "InternetCloseHandle", found.closeHandle))
    return false;
  winInet = found;
  return true;
}

RequestFailure failureOf(DWORD code) {
  switch (code) {
    case kNameNotResolved:
      return RequestFailure::NotResolved;
    case kCannotConnect:
    case kProxyUnreachable:
      return RequestFailure::Refused;
    case kTimedOut:
    case kSocketTimedOut:
      return RequestFailure::TimedOut;
    case kCertificateDates:
    case kCertificateName:
    case kUnknownAuthority:
    case kCertificateErrors:
    case kRevocationUnknown:
    case kInvalidCertificate:
    case kCertificateRevoked:
      return RequestFailure::Certificate;
    default:
      return RequestFailure::Other;
  }
}

// Never from the cache nor into it (the browser's cache is the user's), no dialog of any kind,
// no cookies, no redirect followed (one from HTTPS to HTTP least of all: a 3xx is refused like
// any status but 2xx). No flag that ignores a certificate problem is ever set.
constexpr DWORD kRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;

// The fields of the socket client's request: no caching along the way, and the connection
// closed after the response. A run makes three requests minutes apart (the prerequisites run in
// between), so a kept connection would gain nothing; and a connection WinINet keeps makes it
// start a thread that collects idle connections, which crashed the installer under the Wine of
// the tests (qemu-i386) on the next request.
constexpr char kRequestFields[] = "Cache-Control: no-cache\r\nConnection: close\r\n";

// The socket client's time-outs (net/timeouts.h) on `handle`. Windows hands the session's on to
// every handle made from it; Wine keeps only the connect time-out of a session, so each request
// gets them too (without, a server that never answered held the download for ever).
void setTimeOuts(HINTERNET handle) {
  DWORD limit = kConnectTimeoutMilliseconds;
  winInet.setOption(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &limit, sizeof limit);
  limit = kReceiveTimeoutMilliseconds;
  winInet.setOption(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &limit, sizeof limit);
  limit = kSendTimeoutMilliseconds;
  winInet.setOption(handle, INTERNET_OPTION_SEND_TIMEOUT, &limit, sizeof limit);
}

void appendAscii(ProxyText& text, const wchar_t* wide) {
  char unit[2] = {0, 0};
  for (; wide != nullptr && *wide != 0; ++wide) {
    unit[0] = *wide >= 0x20 && *wide < 0x7F ? static_cast<char>(*wide) : '?';
    if (!text.append(unit)) return;
  }
}

}  // namespace

WinInetNetwork::WinInetNetwork(bool https, const char* proxy) : https_(https), proxy_(proxy) {
  connection_.network_ = this;
}

WinInetNetwork::~WinInetNetwork() {
  connection_.close();
  if (session_ != nullptr) winInet.closeHandle(session_);
}

bool WinInetNetwork::open() {
  if (opened_) return session_ != nullptr;
  opened_ = true;
  if (!loadWinInet()) return false;
  session_ = winInet.open("Velmora 5 installer",
                          proxy_ != nullptr ? INTERNET_OPEN_TYPE_PROXY
                                            : INTERNET_OPEN_TYPE_PRECONFIG,
                          proxy_, nullptr, 0);
  if (session_ == nullptr) return false;
  setTimeOuts(session_);
  // HTTP/1.1 only, as the socket client speaks it: the head is handed on as the stack reports
  // it, and "HTTP/2" is no status line the download takes. Windows before 10 and Wine do not
  // know the option, and speak HTTP/1.1 anyway.
  DWORD limit = 0;
  winInet.setOption(session_, INTERNET_OPTION_ENABLE_HTTP_PROTOCOL, &limit, sizeof limit);
  // Inherited by the handles made later; it only notes when the connection is made.
  winInet.setCallback(session_, &WinInetConnection::onStatus);
  return true;
}

void WinInetNetwork::fail(DWORD code, bool beforeResponse) {
  RequestFailure failure = failureOf(code);
  // HttpSendRequest also waits for the head: once connected, its time-out is the answer's and a
  // connection that ends is a broken one (Wine reports the receive time-out there as 12030).
  if (connection_.connected_ && failure == RequestFailure::TimedOut)
    failure = RequestFailure::AnswerTimedOut;
  if (connection_.connected_ && (code == kConnectionAborted || code == kConnectionReset))
    failure = RequestFailure::Broken;
  if (beforeResponse) requestFailure_ = failure;
  error_ = {netFailureOf(failure), static_cast<int32_t>(code)};
}

Connection* WinInetNetwork::connect(const Endpoint& endpoint) {
  connection_.close();
  requestFailure_ = RequestFailure::None;
  if (!open()) {
    error_ = {NetFailure::Other, static_cast<int32_t>(GetLastError())};
    return nullptr;
  }
  connection_.server_ = winInet.connect(session_, endpoint.host, endpoint.port, nullptr, nullptr,
                                        INTERNET_SERVICE_HTTP, 0, 0);
  if (connection_.server_ == nullptr) {
    fail(GetLastError(), false);
    return nullptr;
  }
  connection_.headGiven_ = false;
  connection_.failed_ = false;
  connection_.connected_ = false;
  return &connection_;
}

NetError WinInetNetwork::lastError() const { return error_; }

RequestFailure WinInetNetwork::requestFailure() const { return requestFailure_; }

bool WinInetNetwork::describeProxy(ProxyText& text) {
  text.clear();
  if (proxy_ != nullptr) return text.assign("named proxy ") && text.append(proxy_);
  if (!loadWinInet()) return false;
  INTERNET_PER_CONN_OPTIONW options[3] = {};
  options[0].dwOption = INTERNET_PER_CONN_FLAGS;
  options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  options[2].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
  INTERNET_PER_CONN_OPTION_LISTW list = {};
  list.dwSize = sizeof list;
  list.dwOptionCount = 3;
  list.pOptions = options;
  DWORD size = sizeof list;
  if (!winInet.queryOption(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size))
    return false;
  const DWORD flags = options[0].Value.dwValue;
  const wchar_t* server = options[1].Value.pszValue;
  const wchar_t* script = options[2].Value.pszValue;
  bool any = false;
  if ((flags & PROXY_TYPE_PROXY) != 0 && server != nullptr && *server != 0) {
    (void)text.append("named proxy ");
    appendAscii(text, server);
    any = true;
  }
  if ((flags & PROXY_TYPE_AUTO_PROXY_URL) != 0 && script != nullptr && *script != 0) {
    (void)text.append(any ? ", configuration script " : "configuration script ");
    appendAscii(text, script);
    any = true;
  }
  if ((flags & PROXY_TYPE_AUTO_DETECT) != 0) {
    (void)text.append(any ? ", automatic detection" : "automatic detection");
    any = true;
  }
  if (!any) (void)text.append("direct");
  if (server != nullptr) GlobalFree(options[1].Value.pszValue);
  if (script != nullptr) GlobalFree(options[2].Value.pszValue);
  return true;
}

int32_t WinInetConnection::send(const char* data, int32_t length) {
  RequestText path;
  if (!requestPathOf(data, length, path)) {
    failed_ = true;
    network_->fail(ERROR_INVALID_PARAMETER, true);
    return -1;
  }
  RequestText range;
  if (!rangeFieldsOf(data, length, range)) {
    failed_ = true;
    network_->fail(ERROR_INVALID_PARAMETER, true);
    return -1;
  }
  const DWORD flags = kRequestFlags | (network_->https_ ? INTERNET_FLAG_SECURE : 0);
  // The context is what the status callback is given (WinINet calls none for a context of 0).
  request_ = winInet.openRequest(server_, "GET", path.get(), "HTTP/1.1", nullptr, nullptr,
                                 flags, reinterpret_cast<DWORD_PTR>(this));
  if (request_ != nullptr) setTimeOuts(request_);
  // Connecting, the proxy's handshake and its authentication, TLS and the certificate checks
  // all happen inside HttpSendRequest, which returns once the response's head has arrived.
  if (request_ == nullptr ||
      (!range.empty() &&
       !winInet.addFields(request_, range.get(), static_cast<DWORD>(-1),
                          HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) ||
      !winInet.sendRequest(request_, kRequestFields, static_cast<DWORD>(-1), nullptr, 0)) {
    failed_ = true;
    network_->fail(GetLastError(), true);
    return -1;
  }
  return length;
}

int32_t WinInetConnection::receive(uint8_t* into, int32_t capacity) {
  if (failed_ || request_ == nullptr) return -1;
  if (!headGiven_) {
    // The head as the stack holds it: the status line and the fields, each with its line end,
    // then the blank line. Room is kept for a blank line the stack might leave off.
    DWORD size = static_cast<DWORD>(capacity - 4);
    if (!winInet.queryInfo(request_, HTTP_QUERY_RAW_HEADERS_CRLF, into, &size, nullptr) ||
        size < 2) {
      failed_ = true;
      network_->fail(GetLastError(), false);
      return -1;
    }
    const bool blankLine = size >= 4 && into[size - 4] == '\r' && into[size - 3] == '\n' &&
                           into[size - 2] == '\r' && into[size - 1] == '\n';
    if (!blankLine) {
      if (into[size - 2] != '\r' || into[size - 1] != '\n') {
        into[size++] = '\r';
        into[size++] = '\n';
      }
      if (!(size >= 4 && into[size - 4] == '\r' && into[size - 3] == '\n')) {
        into[size++] = '\r';
        into[size++] = '\n';
      }
    }
    headGiven_ = true;
    return static_cast<int32_t>(size);
  }
  DWORD available = 0;
  if (!winInet.available(request_, &available, 0, 0)) {
    failed_ = true;
    network_->fail(GetLastError(), false);
    return -1;
  }
  if (available == 0) return 0;
  // At least kLeastRead bytes per call (fewer only at the end of the body): WinINet reports a
  // few KiB as available at a time, and a call per few KiB made the download several times
  // slower than the socket client's under Wine. A stall still ends with the receive time-out.
  // Not more: InternetReadFile waits until it has them all, and a connection that breaks
  // meanwhile loses what that call had read, which a resumed download must then fetch again.
  constexpr DWORD kLeastRead = 64 * 1024;
  DWORD read = 0;
  const DWORD asked = available > kLeastRead ? available : kLeastRead;
  const DWORD wanted = asked < static_cast<DWORD>(capacity) ? asked
                                                            : static_cast<DWORD>(capacity);
  if (!winInet.read(request_, into, wanted, &read)) {
    failed_ = true;
    network_->fail(GetLastError(), false);
    return -1;
  }
  return static_cast<int32_t>(read);
}

void CALLBACK WinInetConnection::onStatus(HINTERNET, DWORD_PTR context, DWORD status, void*,
                                          DWORD) {
  if (context != 0 && (status == INTERNET_STATUS_CONNECTED_TO_SERVER ||
                       status == INTERNET_STATUS_REQUEST_SENT))
    reinterpret_cast<WinInetConnection*>(context)->connected_ = true;
}

void WinInetConnection::close() {
  if (request_ != nullptr) winInet.closeHandle(request_);
  if (server_ != nullptr) winInet.closeHandle(server_);
  request_ = nullptr;
  server_ = nullptr;
}

const char* winInetErrorText(int32_t code) {
  switch (static_cast<DWORD>(code)) {
    case kTimedOut: return "timed out";
    case kNameNotResolved: return "the host name (or the proxy's) does not resolve";
    case kCannotConnect: return "cannot connect to the server or the proxy";
    case kConnectionAborted: return "the connection was ended before the answer";
    case kConnectionReset: return "the connection was reset";
    case kCertificateDates: return "certificate refused: expired or not yet valid";
    case kCertificateName: return "certificate refused: issued for another host name";
    case kClientCertificate: return "the server asks for a client certificate";
    case kUnknownAuthority: return "certificate refused: its authority is not trusted";
    case kCertificateErrors: return "certificate refused";
    case kRevocationUnknown: return "certificate refused: its revocation could not be checked";
    case kSecureChannel:
      return "the TLS handshake failed: no TLS version or cipher in common with the server";
    case kProxyUnreachable: return "proxy refused: the proxy server cannot be reached";
    case kInvalidCertificate: return "certificate refused: not valid";
    case kCertificateRevoked: return "certificate refused: revoked";
  }
  return nullptr;
}

}  // namespace vm
