// What the system transports share: the request path taken from downloadFile's request text,
// and SystemTransport's verdicts over a scripted system network.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/system_request.h"
#include "tests/unit/recording_progress.h"

namespace vm {
namespace {

struct PathRow {
  const char* request;
  const char* path;  // null: refused
};

TEST(RequestPathOf, TakesThePathOfTheRequestLineAndRefusesAnythingElse) {
  const std::string longPath = "/" + std::string(255, 'a');
  const std::string longRequest = "GET " + longPath + " HTTP/1.1\r\n";
  const std::string fitting = "/" + std::string(254, 'b');
  const std::string fittingRequest = "GET " + fitting + " HTTP/1.1\r\n";
  const PathRow rows[] = {
      {"GET /DotNetFX40/x.exe HTTP/1.1\r\nHost: h\r\n\r\n", "/DotNetFX40/x.exe"},
      {"GET / HTTP/1.1\r\n", "/"},
      {"GET /a?b=c%20d HTTP/1.1\r\n", "/a?b=c%20d"},
      {fittingRequest.c_str(), fitting.c_str()},
      {longRequest.c_str(), nullptr},          // does not fit the request text
      {"GET  HTTP/1.1\r\n", nullptr},          // empty path
      {"GET x HTTP/1.1\r\n", nullptr},         // not absolute
      {"GET /a\r\nHost: h\r\n\r\n", nullptr},  // a line end inside the path
      {"GET /a", nullptr},                     // no blank after the path
      {"POST /a HTTP/1.1\r\n", nullptr},
      {"get /a HTTP/1.1\r\n", nullptr},
      {"GET", nullptr},
      {"", nullptr},
  };
  for (const PathRow& row : rows) {
    RequestText path;
    ASSERT_TRUE(path.assign("unchanged"));
    const bool taken =
        requestPathOf(row.request, static_cast<int32_t>(std::strlen(row.request)), path);
    EXPECT_EQ(taken, row.path != nullptr) << row.request;
    EXPECT_STREQ(path.get(), row.path != nullptr ? row.path : "unchanged") << row.request;
  }
}

// A system network that answers every request with `response`, or fails it before any byte
// with `failure` and `code`, or breaks after the response's bytes with `breakCode`.
class FakeSystemNetwork final : public SystemNetwork, public Connection {
 public:
  std::string response;
  RequestFailure failure = RequestFailure::None;
  int32_t code = 0;
  int32_t breakCode = 0;
  std::vector<std::string> paths;
  std::vector<std::string> ranges;  // the Range and If-Range fields of each request

  Connection* connect(const Endpoint&) override {
    failure_ = RequestFailure::None;
    offset_ = 0;
    return this;
  }
  NetError lastError() const override { return error_; }
  RequestFailure requestFailure() const override { return failure_; }
  int32_t send(const char* data, int32_t length) override {
    RequestText path;
    paths.push_back(requestPathOf(data, length, path) ? path.get() : "?");
    ranges.push_back(rangeFieldsOf(data, length, path) ? path.get() : "?");
    if (failure == RequestFailure::None) return length;
    failure_ = failure;
    error_ = {NetFailure::Other, code};
    return -1;
  }
  int32_t receive(uint8_t* into, int32_t capacity) override {
    if (failure_ != RequestFailure::None) return -1;
    if (offset_ == response.size()) {
      if (breakCode == 0) return 0;
      error_ = {NetFailure::Other, breakCode};
      return -1;
    }
    const std::size_t size = std::min(response.size() - offset_, static_cast<std::size_t>(capacity));
    std::memcpy(into, response.data() + offset_, size);
    offset_ += size;
    return static_cast<int32_t>(size);
  }
  void close() override {}

 private:
  RequestFailure failure_ = RequestFailure::None;
  NetError error_;
  std::size_t offset_ = 0;
};

struct TransportRow {
  const char* what;
  std::string response;
  RequestFailure failure;
  int32_t code;
  int32_t breakCode;
  bool body;
  DownloadEnd end;
  int32_t errorCode;  // the report's
  int32_t status;
};

TEST(SystemTransport, EndsEachDownloadAsTheSocketClientWouldAndNamesFailuresBeforeTheResponse) {
  const std::string hello = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  const TransportRow rows[] = {
      {"complete", hello, RequestFailure::None, 0, 0, true, DownloadEnd::Complete, 0, 200},
      {"unknown authority", "", RequestFailure::Certificate, 12045, 0, false,
       DownloadEnd::ConnectFailed, 12045, 0},
      {"not resolved", "", RequestFailure::NotResolved, 12007, 0, false,
       DownloadEnd::NotResolved, 12007, 0},
      {"cannot connect", "", RequestFailure::Refused, 12029, 0, false,
       DownloadEnd::ConnectRefused, 12029, 0},
      {"timed out", "", RequestFailure::TimedOut, 12002, 0, false, DownloadEnd::ConnectTimedOut,
       12002, 0},
      {"connected, then ended before the head", "", RequestFailure::Broken, 12030, 0, false,
       DownloadEnd::ReceiveFailed, 12030, 0},
      {"redirect to http", "HTTP/1.1 302 Found\r\nLocation: http://h/p\r\nContent-Length: 0\r\n\r\n",
       RequestFailure::None, 0, 0, false, DownloadEnd::StatusRefused, 0, 302},
      {"proxy wants credentials", "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n",
       RequestFailure::None, 0, 0, false, DownloadEnd::StatusRefused, 0, 407},
      {"no length", "HTTP/1.1 200 OK\r\n\r\nhello", RequestFailure::None, 0, 0, false,
       DownloadEnd::NoLength, 0, 200},
      {"short body", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello", RequestFailure::None,
       0, 0, false, DownloadEnd::ShortBody, 0, 200},
      {"broken after the head", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhel",
       RequestFailure::None, 0, 12031, false, DownloadEnd::ReceiveFailed, 12031, 200},
  };
  std::vector<uint8_t> buffer(kDownloadBufferSize);
  for (const TransportRow& row : rows) {
    FakeSystemNetwork network;
    network.response = row.response;
    network.failure = row.failure;
    network.code = row.code;
    network.breakCode = row.breakCode;
    SystemTransport transport(network, {"download.test", 443});
    test::RecordingProgress progress;
    DownloadReport report;
    const uint8_t* body = transport.fetch(progress, "/p/q.vmpkg", buffer.data(), report);
    EXPECT_EQ(body != nullptr, row.body) << row.what;
    EXPECT_EQ(report.end, row.end) << row.what;
    EXPECT_EQ(report.error.code, row.errorCode) << row.what;
    EXPECT_EQ(report.status, row.status) << row.what;
    EXPECT_EQ(network.paths, std::vector<std::string>{"/p/q.vmpkg"}) << row.what;
    if (row.body) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), 5), "hello");
      EXPECT_EQ(progress.positions, std::vector<int32_t>{100});
    }
  }
}

TEST(RangeFieldsOf, TakesOnlyRangeAndIfRangeFromAWholeHead) {
  const PathRow rows[] = {
      {"GET /a HTTP/1.1\r\nHost: h\r\nCache-Control: no-cache\r\n\r\n", ""},
      {"GET /a HTTP/1.1\r\nHost: h\r\nRange: bytes=5-\r\nIf-Range: \"x y\"\r\n"
       "Connection: close\r\n\r\n",
       "Range: bytes=5-\r\nIf-Range: \"x y\"\r\n"},
      {"GET /Range: HTTP/1.1\r\nX-Range: 1\r\n\r\n", ""},  // neither is a Range field
      {"GET /a HTTP/1.1\r\nRange: bytes=5-\r\n", nullptr},   // the head does not end
      {"GET /a HTTP/1.1", nullptr},
  };
  for (const PathRow& row : rows) {
    RequestText fields;
    const bool taken =
        rangeFieldsOf(row.request, static_cast<int32_t>(std::strlen(row.request)), fields);
    EXPECT_EQ(taken, row.path != nullptr) << row.request;
    EXPECT_STREQ(fields.get(), row.path != nullptr ? row.path : "") << row.request;
  }
}

TEST(SystemRangedTransport, AsksForTheRestAndNamesATimeOutAfterConnectingAsTheAnswers) {
  FakeSystemNetwork network;
  network.response = "HTTP/1.1 206 Partial Content\r\nContent-Length: 3\r\nETag: \"v1\"\r\n"
                     "Content-Range: bytes 2-4/5\r\n\r\nllo";
  SystemRangedTransport transport(network, {"download.test", 80});
  std::vector<uint8_t> buffer(kDownloadBufferSize);
  test::RecordingProgress progress;
  DownloadReport report;
  RangeAnswer answer;
  const uint8_t* body = transport.fetchRange(progress, "/p", {2, "\"v1\""}, buffer.data(),
                                             kDownloadBufferSize, report, answer);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), 3), "llo");
  EXPECT_EQ(report.status, 206);
  EXPECT_EQ(answer.rangeFirst, 2);
  EXPECT_EQ(answer.rangeTotal, 5);
  EXPECT_STREQ(answer.validator.get(), "\"v1\"");
  EXPECT_EQ(network.ranges, std::vector<std::string>{"Range: bytes=2-\r\nIf-Range: \"v1\"\r\n"});

  network.failure = RequestFailure::AnswerTimedOut;
  network.code = 12002;
  EXPECT_EQ(transport.fetchRange(progress, "/p", {}, buffer.data(), kDownloadBufferSize, report,
                                 answer),
            nullptr);
  EXPECT_EQ(report.end, DownloadEnd::ReceiveTimedOut);
  EXPECT_EQ(report.error.code, 12002);
  EXPECT_EQ(network.ranges.back(), "");
}

}  // namespace
}  // namespace vm
