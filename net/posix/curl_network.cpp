#include "net/posix/curl_network.h"

#include <curl/curl.h>

#include <cstring>

#include "net/timeouts.h"

namespace vm {
namespace {

RequestFailure failureOf(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return RequestFailure::NotResolved;
    case CURLE_COULDNT_CONNECT:
      return RequestFailure::Refused;
    case CURLE_OPERATION_TIMEDOUT:
      return RequestFailure::TimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return RequestFailure::Certificate;
    default:
      return RequestFailure::Other;
  }
}

// Once per process, before the first handle.
bool curlStarted() {
  static const bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return started;
}

}  // namespace

CurlNetwork::CurlNetwork(bool https, const char* proxy) : https_(https), proxy_(proxy) {
  connection_.network_ = this;
}

CurlNetwork::~CurlNetwork() { connection_.close(); }

void CurlNetwork::fail(int code, bool beforeResponse) {
  const RequestFailure failure = failureOf(static_cast<CURLcode>(code));
  if (beforeResponse) requestFailure_ = failure;
  error_ = {netFailureOf(failure), code};
}

Connection* CurlNetwork::connect(const Endpoint& endpoint) {
  connection_.close();
  requestFailure_ = RequestFailure::None;
  failureText_[0] = 0;
  if (!curlStarted()) {
    error_ = {NetFailure::Other, CURLE_FAILED_INIT};
    return nullptr;
  }
  host_ = endpoint.host;
  port_ = endpoint.port;
  return &connection_;
}

NetError CurlNetwork::lastError() const { return error_; }

RequestFailure CurlNetwork::requestFailure() const { return requestFailure_; }

int32_t CurlConnection::send(const char* data, int32_t length) {
  RequestText path;
  RequestText range;
  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  easy_ = easy;
  multi_ = multi;
  if (!requestPathOf(data, length, path) || !rangeFieldsOf(data, length, range) ||
      easy == nullptr || multi == nullptr) {
    failed_ = true;
    network_->fail(CURLE_FAILED_INIT, true);
    return -1;
  }
  const std::string url = std::string(network_->https_ ? "https://" : "http://") +
                          network_->host_ + ":" + std::to_string(network_->port_) + path.get();
  curl_slist* fields = curl_slist_append(nullptr, "Cache-Control: no-cache");
  // Range and If-Range as downloadRange wrote them, one field per line without its end.
  for (const char* line = range.get(); *line != 0;) {
    const char* end = std::strstr(line, "\r\n");
    fields = curl_slist_append(fields, std::string(line, end).c_str());
    line = end + 2;
  }
  fields_ = fields;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  // The one scheme asked for: no redirect is followed (the default), and none could change it.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, network_->https_ ? "https" : "http");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  // HTTP/1.1 as the installer speaks it: an HTTP/2 head would read "HTTP/2 200".
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, fields);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (network_->proxy_ != nullptr) curl_easy_setopt(easy, CURLOPT_PROXY, network_->proxy_);
  // A proxy's own answer to CONNECT is not the server's head.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // The time-outs of net/timeouts.h: no byte for the receive time-out ends the download.
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kConnectTimeoutMilliseconds));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(kReceiveTimeoutMilliseconds / 1000));
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlConnection::onHead);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlConnection::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, network_->failureText_);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_multi_add_handle(multi, easy);
  return length;
}

std::size_t CurlConnection::onHead(char* data, std::size_t size, std::size_t count, void* self) {
  auto* connection = static_cast<CurlConnection*>(self);
  const std::size_t length = size * count;
  // A new status line before any body byte begins another head (after a proxy's 407 and the
  // authenticated retry): only the last one is the response.
  if (!connection->bodyStarted_ && length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
    connection->pending_.clear();
    connection->taken_ = 0;
  }
  connection->pending_.append(data, length);
  connection->anyByte_ = true;
  return length;
}

std::size_t CurlConnection::onBody(char* data, std::size_t size, std::size_t count, void* self) {
  auto* connection = static_cast<CurlConnection*>(self);
  const std::size_t length = size * count;
  connection->pending_.append(data, length);
  connection->anyByte_ = true;
  connection->bodyStarted_ = true;
  return length;
}

// Runs the transfer until bytes are pending or it has ended. False when it ended in a failure.
bool CurlConnection::pump() {
  auto* multi = static_cast<CURLM*>(multi_);
  while (taken_ == pending_.size() && !done_) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      done_ = true;
      result_ = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      const CURLMsg* message = curl_multi_info_read(multi, &left);
      result_ = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result
                                                                   : CURLE_OK;
      done_ = true;
      break;
    }
    if (taken_ == pending_.size()) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  return taken_ < pending_.size() || result_ == CURLE_OK;
}

int32_t CurlConnection::receive(uint8_t* into, int32_t capacity) {
  if (failed_ || multi_ == nullptr) return -1;
  if (!pump()) {
    failed_ = true;
    network_->fail(result_, !anyByte_);
    return -1;
  }
  const std::size_t left = pending_.size() - taken_;
  if (left == 0) return 0;
  const std::size_t count = left < static_cast<std::size_t>(capacity)
                                ? left : static_cast<std::size_t>(capacity);
  std::memcpy(into, pending_.data() + taken_, count);
  taken_ += count;
  if (taken_ == pending_.size()) {
    pending_.clear();
    taken_ = 0;
  }
  return static_cast<int32_t>(count);
}

void CurlConnection::close() {
  if (multi_ != nullptr && easy_ != nullptr)
    curl_multi_remove_handle(static_cast<CURLM*>(multi_), static_cast<CURL*>(easy_));
  if (easy_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(easy_));
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
  if (fields_ != nullptr) curl_slist_free_all(static_cast<curl_slist*>(fields_));
  easy_ = multi_ = fields_ = nullptr;
  pending_.clear();
  taken_ = 0;
  anyByte_ = bodyStarted_ = done_ = failed_ = false;
  result_ = 0;
}

}  // namespace vm
