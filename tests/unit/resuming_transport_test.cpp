// The field profile's downloads: the retry decisions as one table, then whole downloads through
// ResumingTransport over the socket client and a scripted network, one answer per connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/unit/fake_install_system.h"
#include "tests/unit/fake_network.h"
#include "tests/unit/recording_progress.h"
#include "workflow/resuming_transport.h"

namespace vm {
namespace {

using test::FakeInstallSystem;
using test::FakeNetwork;
using test::RecordingLog;
using test::RecordingProgress;
using End = DownloadEnd;
using Step = RetryStep;

TEST(NextRetryStep, AnswersEachAttemptWithTheNextStep) {
  const struct {
    const char* name;
    AttemptFacts facts;  // end, status, rangeAsked, continues, keptBytes, resumable, attempt
    Step step;
  } cases[] = {
      {"a whole body", {End::Complete, 200, false, false, 0, true, 1}, Step::Done},
      {"the rest, continuing", {End::Complete, 206, true, true, 10, true, 2}, Step::Done},
      {"a 206 that does not continue", {End::Complete, 206, true, false, 0, true, 2},
       Step::Restart},
      {"a 206 never asked for", {End::Complete, 206, false, false, 0, true, 1}, Step::Restart},
      {"a 200 to a range request: the new whole body", {End::Complete, 200, true, false, 0, true, 2},
       Step::Done},
      {"cut with bytes kept", {End::ReceiveFailed, 200, false, false, 500, true, 1}, Step::Resume},
      {"cut, nothing to name the version by", {End::ReceiveFailed, 200, false, false, 500, false, 1},
       Step::Restart},
      {"stalled body", {End::ReceiveTimedOut, 200, false, false, 9, true, 3}, Step::Resume},
      {"closed before the end of the body", {End::ShortBody, 200, false, false, 9, true, 1},
       Step::Resume},
      {"closed inside the head", {End::HeadUnfinished, 0, false, false, 0, false, 1}, Step::Restart},
      {"refused", {End::ConnectRefused, 0, false, false, 0, false, 1}, Step::Restart},
      {"refused with bytes kept", {End::ConnectRefused, 0, true, false, 9, true, 2}, Step::Resume},
      {"connect timed out", {End::ConnectTimedOut, 0, false, false, 0, false, 4}, Step::Restart},
      {"connect failed otherwise", {End::ConnectFailed, 0, false, false, 0, false, 1}, Step::Restart},
      {"the fifth attempt fails", {End::ReceiveFailed, 200, true, false, 9, true, 5}, Step::GiveUp},
      {"503", {End::StatusRefused, 503, false, false, 0, false, 1}, Step::Restart},
      {"500 with bytes kept", {End::StatusRefused, 500, true, false, 9, true, 2}, Step::Resume},
      {"408", {End::StatusRefused, 408, false, false, 0, false, 1}, Step::Restart},
      {"429", {End::StatusRefused, 429, false, false, 0, false, 1}, Step::Restart},
      {"404", {End::StatusRefused, 404, false, false, 0, false, 1}, Step::GiveUp},
      {"416 to a range: from byte 0 again", {End::StatusRefused, 416, true, false, 9, true, 2},
       Step::Restart},
      {"416 to a whole body", {End::StatusRefused, 416, false, false, 0, true, 1}, Step::GiveUp},
      {"302", {End::StatusRefused, 302, false, false, 0, false, 1}, Step::GiveUp},
      {"not HTTP", {End::StatusRefused, 0, false, false, 0, false, 1}, Step::GiveUp},
      {"no length", {End::NoLength, 200, false, false, 0, false, 1}, Step::GiveUp},
      {"negative length", {End::BadLength, 200, false, false, 0, false, 1}, Step::GiveUp},
      {"too large", {End::TooLarge, 200, false, false, 0, false, 1}, Step::GiveUp},
      {"too large beside the kept bytes", {End::TooLarge, 200, true, false, 0, true, 2},
       Step::Restart},
      {"not resolved", {End::NotResolved, 0, false, false, 0, false, 1}, Step::GiveUp},
      {"no memory", {End::NoMemory, 0, false, false, 0, false, 1}, Step::GiveUp},
      {"range request too long: from byte 0 again", {End::RequestTooLong, 0, true, false, 9, true, 2},
       Step::Restart},
      {"plain request too long", {End::RequestTooLong, 0, false, false, 0, false, 1},
       Step::GiveUp},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(nextRetryStep(row.facts), row.step);
  }
  EXPECT_EQ(retryWaitMilliseconds(2), 1'000u);
  EXPECT_EQ(retryWaitMilliseconds(5), 8'000u);
  // Retry-After replaces the back-off after a 429 or 503 only, and at most 30 s of it.
  EXPECT_EQ(retryWaitMilliseconds(4, 503, 3), 3'000u);
  EXPECT_EQ(retryWaitMilliseconds(2, 429, 0), 0u);
  EXPECT_EQ(retryWaitMilliseconds(2, 503, 120), 30'000u);
  EXPECT_EQ(retryWaitMilliseconds(3, 500, 3), 2'000u);
  EXPECT_EQ(retryWaitMilliseconds(3, 503, -1), 2'000u);
}

std::string head(const std::string& status, const std::string& fields) {
  return "HTTP/1.1 " + status + "\r\n" + fields + "\r\n";
}

std::string whole(const std::string& body, const std::string& etag) {
  return head("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n" +
                            (etag.empty() ? "" : "ETag: " + etag + "\r\n")) + body;
}

std::string rest(const std::string& body, std::size_t from, const std::string& etag) {
  return head("206 Partial Content",
              "Content-Length: " + std::to_string(body.size() - from) +
                  "\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                  std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) +
                  "\r\nETag: " + etag + "\r\n") + body.substr(from);
}

// Cut after the body's first `count` bytes.
std::string cut(const std::string& response, std::size_t count) {
  return response.substr(0, response.find("\r\n\r\n") + 4 + count);
}

TEST(ResumingTransport, ResumesRestartsOrGivesUpAsTheAnswersSay) {
  std::string body(1000, 'a');
  for (std::size_t at = 0; at < body.size(); ++at) body[at] = static_cast<char>('a' + at % 26);
  const std::string changed(800, 'z');
  const std::string sameLength(body.size(), 'y');
  const std::string weak = "W/\"v1\"";
  const std::string weakAndDate = weak + "\r\nLast-Modified: Mon";  // a second field after ETag
  const std::string longPath = "/" + std::string(149, 'p');  // a range request would not fit
  using Ending = FakeNetwork::Ending;
  FakeNetwork::Answer refused{"", Ending::Close, true};
  const struct {
    const char* name;
    std::vector<FakeNetwork::Answer> answers;
    std::string expected;                  // the body returned; empty: none
    std::vector<std::string> ranges;       // the Range line of each request ("" for none)
    std::vector<std::string> sleeps;
    End end;
    std::string path = "/p";
  } cases[] = {
      {"no fault: one plain request", {{whole(body, "\"v1\"")}}, body, {""}, {},
       End::Complete},
      {"cut at half, then the rest", {{cut(whole(body, "\"v1\""), 500), Ending::Error},
                                      {rest(body, 500, "\"v1\"")}},
       body, {"", "Range: bytes=500-\r\nIf-Range: \"v1\""}, {"sleep 1000"}, End::Complete},
      {"cut twice, refused once, then the rest",
       {{cut(whole(body, "\"v1\""), 300), Ending::TimeOut},
        {cut(rest(body, 300, "\"v1\""), 400), Ending::Close},
        refused,
        {rest(body, 700, "\"v1\"")}},
       body,
       {"", "Range: bytes=300-\r\nIf-Range: \"v1\"", "Range: bytes=700-\r\nIf-Range: \"v1\""},
       {"sleep 1000", "sleep 2000", "sleep 4000"}, End::Complete},
      {"the file changed: a 200 starts again from 0",
       {{cut(whole(body, "\"v1\""), 500), Ending::Error}, {whole(changed, "\"v2\"")}}, changed,
       {"", "Range: bytes=500-\r\nIf-Range: \"v1\""}, {"sleep 1000"}, End::Complete},
      {"a 206 elsewhere is dropped",
       {{cut(whole(body, "\"v1\""), 500), Ending::Error}, {rest(body, 400, "\"v1\"")},
        {whole(body, "\"v1\"")}},
       body, {"", "Range: bytes=500-\r\nIf-Range: \"v1\"", ""}, {"sleep 1000", "sleep 2000"},
       End::Complete},
      {"no validator: from byte 0 again",
       {{cut(whole(body, ""), 500), Ending::Error}, {whole(body, "")}}, body, {"", ""},
       {"sleep 1000"}, End::Complete},
      {"503, then the body", {{head("503 Busy", "Content-Length: 0\r\n")}, {whole(body, "\"v\"")}},
       body, {"", ""}, {"sleep 1000"}, End::Complete},
      {"five refusals", {refused, refused, refused, refused, refused}, "", {},
       {"sleep 1000", "sleep 2000", "sleep 4000", "sleep 8000"}, End::ConnectRefused},
      {"404 at once", {{head("404 Not Found", "Content-Length: 0\r\n")}}, "", {""}, {},
       End::StatusRefused},
      {"a weak ETag: resumed by Last-Modified",
       {{cut(whole(body, weakAndDate), 500), Ending::Error}, {rest(body, 500, weakAndDate)}}, body,
       {"", "Range: bytes=500-\r\nIf-Range: Mon"}, {"sleep 1000"}, End::Complete},
      {"a weak ETag alone: from byte 0 again",
       {{cut(whole(body, weak), 500), Ending::Error}, {whole(body, weak)}}, body, {"", ""},
       {"sleep 1000"}, End::Complete},
      {"a 206 of another version (If-Range ignored) is dropped",
       {{cut(whole(body, "\"v1\""), 500), Ending::Error}, {rest(sameLength, 500, "\"v2\"")},
        {whole(sameLength, "\"v2\"")}},
       sameLength, {"", "Range: bytes=500-\r\nIf-Range: \"v1\"", ""},
       {"sleep 1000", "sleep 2000"}, End::Complete},
      {"a 206 without the ETag is dropped",
       {{cut(whole(body, "\"v1\""), 500), Ending::Error},
        {head("206 Partial Content", "Content-Length: 500\r\nContent-Range: bytes 500-999/1000\r\n") +
         body.substr(500)},
        {whole(body, "\"v1\"")}},
       body, {"", "Range: bytes=500-\r\nIf-Range: \"v1\"", ""}, {"sleep 1000", "sleep 2000"},
       End::Complete},
      {"416: from byte 0 again",
       {{cut(whole(body, "\"v1\""), 500), Ending::Error},
        {head("416 Range Not Satisfiable", "Content-Length: 0\r\n")}, {whole(body, "\"v1\"")}},
       body, {"", "Range: bytes=500-\r\nIf-Range: \"v1\"", ""}, {"sleep 1000", "sleep 2000"},
       End::Complete},
      {"a range too long to ask for: from byte 0 again, without a request",
       {{cut(whole(body, "\"v1\""), 500), Ending::Error}, {whole(body, "\"v1\"")}}, body,
       {"", ""}, {"sleep 1000", "sleep 2000"}, End::Complete, longPath},
      {"503 with Retry-After: its wait instead of the back-off",
       {{head("503 Busy", "Retry-After: 3\r\nContent-Length: 0\r\n")}, {whole(body, "\"v\"")}},
       body, {"", ""}, {"sleep 3000"}, End::Complete},
  };
  static std::vector<uint8_t> buffer(kDownloadBufferSize);
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    network.answers = row.answers;
    network.restPiece = 100;
    FakeInstallSystem system;
    RecordingLog log;
    RecordingProgress progress;
    SocketRangedTransport ranged(network, {"download.test", 80});
    ResumingTransport transport(ranged, system, log);
    DownloadReport report;
    const uint8_t* got = transport.fetch(progress, row.path.c_str(), buffer.data(), report);
    EXPECT_EQ(report.end, row.end);
    if (row.expected.empty()) {
      EXPECT_EQ(got, nullptr);
    } else {
      ASSERT_NE(got, nullptr);
      ASSERT_EQ(report.contentLength, static_cast<int32_t>(row.expected.size()));
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), row.expected.size()),
                row.expected);
      // The bar only goes forward, and ends full.
      for (std::size_t at = 1; at < progress.positions.size(); ++at)
        EXPECT_LE(progress.positions[at - 1], progress.positions[at]);
      EXPECT_EQ(progress.positions.back(), 100);
    }
    std::vector<std::string> ranges;
    for (const auto& event : network.events) {
      if (event.rfind("send ", 0) != 0) continue;
      const std::size_t at = event.find("Range: ");
      ranges.push_back(at == std::string::npos
                           ? ""
                           : event.substr(at, event.find("\r\nCache-Control") - at));
    }
    EXPECT_EQ(ranges, row.ranges);
    EXPECT_EQ(system.events, row.sleeps);
    // Each attempt that is followed by another, or given up, is logged.
    const auto logged = [&](const char* part) {
      return std::count_if(log.lines.begin(), log.lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
      });
    };
    EXPECT_EQ(logged("; again in "), static_cast<long>(row.sleeps.size()));
    EXPECT_EQ(logged("; giving up"), row.expected.empty() ? 1 : 0);
  }
}

}  // namespace
}  // namespace vm
