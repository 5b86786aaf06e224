// downloadFile over a scripted network: the socket calls, the exact positions per chunk, the
// buffer's contents and every way a download fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "net/download.h"
#include "tests/unit/fake_network.h"
#include "tests/unit/recording_progress.h"

namespace vm {
namespace {

using test::FakeNetwork;
using test::RecordingProgress;

constexpr Endpoint kServer = {"download.test", 8080};
constexpr int32_t kUntouched = 12345;
// Bytes after the buffer that no download may touch.
constexpr std::size_t kGuardBytes = 4096;

std::string helloResponse() { return "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"; }

std::string okResponse(const std::string& fields, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + fields + "\r\n" + body;
}

class DownloadFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    buffer_ = new std::vector<uint8_t>(kDownloadBufferSize + kGuardBytes, 0xEE);
  }
  static void TearDownTestSuite() {
    delete buffer_;
    buffer_ = nullptr;
  }
  void SetUp() override { std::fill(buffer_->begin(), buffer_->end(), 0xEE); }

  uint8_t* buffer() { return buffer_->data(); }
  std::string bytesAt(std::size_t offset, std::size_t count) {
    return std::string(buffer_->begin() + offset, buffer_->begin() + offset + count);
  }
  bool guardIntact() {
    for (std::size_t at = kDownloadBufferSize; at < buffer_->size(); ++at)
      if ((*buffer_)[at] != 0xEE) return false;
    return true;
  }
  const uint8_t* download(const char* path = "/file") {
    return downloadFile(view, network, kServer, path, buffer(), contentLength, &bodyBytes);
  }

  FakeNetwork network;
  RecordingProgress view;
  int32_t contentLength = kUntouched;
  int32_t bodyBytes = kUntouched;

 private:
  static std::vector<uint8_t>* buffer_;
};

std::vector<uint8_t>* DownloadFile::buffer_ = nullptr;

TEST_F(DownloadFile, SendsOneRequestAndReturnsTheBodyInsideTheBuffer) {
  network.response = helloResponse();
  const uint8_t* body = download("/DotNetFX40/dotNetFx40_Client_x86_x64.exe");

  EXPECT_EQ(network.events,
            (std::vector<std::string>{
                "connect download.test:8080",
                "send GET /DotNetFX40/dotNetFx40_Client_x86_x64.exe HTTP/1.1\r\n"
                "Host: download.test\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n",
                "close"}));
  EXPECT_EQ(network.largestRequest, 2'097'152);
  ASSERT_EQ(body, buffer() + 38);
  EXPECT_EQ(bytesAt(0, 44), helloResponse() + std::string(1, '\0'));
  EXPECT_EQ(contentLength, 5);
  EXPECT_EQ(bodyBytes, 5);
  EXPECT_EQ(view.positions, (std::vector<int32_t>{100}));  // 43 of 5 bytes, clamped
}

TEST_F(DownloadFile, SetsOnePositionPerChunkOnceTheLengthIsKnown) {
  const std::string head100 = "HTTP/1.1 200 OK\r\nServer: test\r\nContent-Length: 1000000\r\n"
                              "X-Fill: " + std::string(32, 'f') + "\r\n\r\n";
  ASSERT_EQ(head100.size(), 100u);
  const struct {
    const char* name;
    std::string response;
    std::vector<std::size_t> pieces;
    std::size_t restPiece;
    std::vector<int32_t> positions;
    int32_t contentLength;
    int32_t bodyBytes;
  } cases[] = {
      {"a million bytes in pieces of 100,000", head100 + std::string(1'000'000, 'm'), {}, 100'000,
       {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 100}, 1'000'000, 1'000'000},
      {"length line completed by the second piece", okResponse("Content-Length: 2000\r\n",
                                                               std::string(2000, 'b')),
       {30, 10, 1000}, 1000, {2, 52, 100, 100}, 2000, 2000},
      {"empty value", okResponse("Content-Length: \r\n", "abc"), {}, 20, {100}, 0, 3},
      {"no length field", okResponse("Server: test\r\n", std::string(50, 'n')), {}, 20, {}, -1,
       50},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork scripted;
    scripted.response = row.response;
    scripted.pieces = row.pieces;
    scripted.restPiece = row.restPiece;
    RecordingProgress positions;
    contentLength = kUntouched;
    const uint8_t* body =
        downloadFile(positions, scripted, kServer, "/f", buffer(), contentLength, &bodyBytes);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(positions.positions, row.positions);
    EXPECT_EQ(contentLength, row.contentLength);
    EXPECT_EQ(bodyBytes, row.bodyBytes);
    const std::size_t bodyAt = row.response.find("\r\n\r\n") + 4;
    EXPECT_EQ(body, buffer() + bodyAt);
    EXPECT_EQ(bytesAt(0, row.response.size() + 1), row.response + std::string(1, '\0'));
  }
}

TEST_F(DownloadFile, FailsWithNullAndKeepsWhatArrived) {
  const struct {
    const char* name;
    std::string response;
    FakeNetwork::Ending ending;
    std::size_t piece;
    int32_t contentLength;  // after the failure
    std::vector<int32_t> positions;
    bool zeroByte;  // written when the server closed
  } cases[] = {
      {"closed without a byte", "", FakeNetwork::Ending::Close, 0, -1, {}, true},
      {"reset before a byte", "", FakeNetwork::Ending::Error, 0, -1, {}, false},
      {"reset mid-body", okResponse("Content-Length: 100\r\n", std::string(60, 'r')),
       FakeNetwork::Ending::Error, 50, 100, {50, 100}, false},
      {"closed mid-body", okResponse("Content-Length: 100\r\n", std::string(60, 't')),
       FakeNetwork::Ending::Close, 50, 100, {50, 100}, true},
      {"closed inside the head", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n",
       FakeNetwork::Ending::Close, 0, 5, {100}, true},
      {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
       FakeNetwork::Ending::Close, 0, -1, {}, false},
      {"redirect", "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n",
       FakeNetwork::Ending::Close, 0, -1, {}, false},
      {"not HTTP", "<html>hello</html>\r\n\r\n", FakeNetwork::Ending::Close, 0, -1, {}, false},
      {"negative length", okResponse("Content-Length: -5\r\n", "hello"),
       FakeNetwork::Ending::Close, 0, -5, {0}, true},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    SetUp();
    FakeNetwork scripted;
    scripted.response = row.response;
    scripted.restPiece = row.piece;
    scripted.ending = row.ending;
    RecordingProgress positions;
    contentLength = kUntouched;
    bodyBytes = kUntouched;
    DownloadReport report;
    EXPECT_EQ(downloadFile(positions, scripted, kServer, "/f", buffer(), contentLength,
                           &bodyBytes, &report),
              nullptr);
    EXPECT_EQ(report.receivedBytes, static_cast<int32_t>(row.response.size()));
    EXPECT_EQ(contentLength, row.contentLength);
    EXPECT_EQ(bodyBytes, kUntouched);
    EXPECT_EQ(positions.positions, row.positions);
    EXPECT_EQ(scripted.events.back(), "close");
    EXPECT_EQ(bytesAt(0, row.response.size()), row.response);
    EXPECT_EQ(buffer()[row.response.size()], row.zeroByte ? 0 : 0xEE);
  }
}

TEST_F(DownloadFile, LeavesTheLengthUnwrittenWhenNoConnectionIsMade) {
  network.refuse = true;
  EXPECT_EQ(download(), nullptr);
  EXPECT_EQ(contentLength, kUntouched);
  EXPECT_EQ(network.events, (std::vector<std::string>{"connect download.test:8080"}));
  EXPECT_TRUE(view.positions.empty());
}

TEST_F(DownloadFile, FailsWhenTheReceiveBlockCannotBeHad) {
  network.response = helloResponse();
  const ChunkAllocator previous =
      setChunkAllocatorForTesting([](std::size_t) -> void* { return nullptr; });
  EXPECT_EQ(download(), nullptr);
  setChunkAllocatorForTesting(previous);
  EXPECT_EQ(contentLength, kUntouched);
  ASSERT_EQ(network.events.size(), 3u);  // connected, sent, closed - never received
  EXPECT_EQ(network.events[2], "close");
  EXPECT_EQ(network.receives, 0);
}

TEST_F(DownloadFile, RefusesARequestLongerThan255Characters) {
  const std::size_t around =
      std::string("GET  HTTP/1.1\r\nHost: download.test\r\nCache-Control: no-cache\r\n"
                  "Connection: close\r\n\r\n").size();
  const std::string fits = "/" + std::string(255 - around - 1, 'p');
  network.response = helloResponse();
  EXPECT_NE(download(fits.c_str()), nullptr);
  EXPECT_EQ(network.events[1].size(), 5 + 255u);  // "send " and the request

  FakeNetwork other;
  const std::string tooLong = fits + "p";
  EXPECT_EQ(downloadFile(view, other, kServer, tooLong.c_str(), buffer(), contentLength),
            nullptr);
  EXPECT_TRUE(other.events.empty());  // not even connected
}

TEST_F(DownloadFile, ASecondShorterDownloadKeepsTheOlderBytesAfterItsZeroByte) {
  const std::string first = okResponse("Content-Length: 26\r\n", "abcdefghijklmnopqrstuvwxyz");
  network.response = first;
  ASSERT_NE(download(), nullptr);

  FakeNetwork second;
  second.response = helloResponse();
  ASSERT_NE(downloadFile(view, second, kServer, "/f", buffer(), contentLength), nullptr);
  EXPECT_EQ(bytesAt(0, first.size() + 1),
            helloResponse() + std::string(1, '\0') + first.substr(44) + std::string(1, '\0'));
  EXPECT_EQ(contentLength, 5);
}

TEST_F(DownloadFile, NeverWritesPastTheBuffer) {
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const struct {
    const char* name;
    std::size_t responseBytes;
    bool fits;
  } cases[] = {
      {"fills the buffer with its zero byte", kDownloadBufferSize - 1, true},
      {"leaves no room for the zero byte", kDownloadBufferSize, false},
      {"far larger", kDownloadBufferSize + 3'000'000, false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    SetUp();
    FakeNetwork scripted;
    scripted.response = head + std::string(row.responseBytes - head.size(), 'L');
    scripted.restPiece = 1'000'000;
    DownloadReport report;
    const uint8_t* body = downloadFile(view, scripted, kServer, "/f", buffer(), contentLength,
                                       &bodyBytes, &report);
    EXPECT_EQ(body != nullptr, row.fits);
    EXPECT_TRUE(guardIntact());
    if (row.fits) {
      EXPECT_EQ(bodyBytes, static_cast<int32_t>(row.responseBytes - head.size()));
      EXPECT_EQ(buffer()[kDownloadBufferSize - 1], 0);
    } else {
      // Stopped at the 51st piece, the first that would not fit, which the buffer never held.
      EXPECT_EQ(scripted.receives, 51);
      EXPECT_EQ(report.receivedBytes, 50'000'000);
    }
  }
}


// downloadRange: the request it sends (the plain one byte for byte without a range), where the
// body lies also after a failure, the fields a resumed download needs, and the capacity.
TEST_F(DownloadFile, DownloadRangeAsksForTheRestAndReadsWhatAResumeNeeds) {
  const std::string plain =
      "GET /f HTTP/1.1\r\nHost: download.test\r\nCache-Control: no-cache\r\nConnection: close"
      "\r\n\r\n";
  const std::string partial = "HTTP/1.1 206 Partial Content\r\nContent-Length: 4\r\n"
                              "Content-Range: bytes 6-9/10\r\nETag: \"b\"\r\n\r\n6789";
  const std::string longValidator(200, 'v');
  const struct {
    const char* name;
    RangeAsk ask;
    std::string response;
    FakeNetwork::Ending ending;
    int32_t capacity;
    std::string request;
    DownloadEnd end;
    int32_t bodyOffset, bodyBytes, first, last, total;
    const char* validator;
    int32_t retryAfter = -1;
  } cases[] = {
      {"whole body, ETag first", {0, ""},
       okResponse("Content-Length: 3\r\nLast-Modified: Mon\r\nETag: \"a\"\r\n", "abc"),
       FakeNetwork::Ending::Close, kDownloadBufferSize, plain, DownloadEnd::Complete, 69, 3, -1,
       -1, -1, "\"a\""},
      {"the rest, cut again", {6, "\"b\""}, partial.substr(0, partial.size() - 2),
       FakeNetwork::Ending::Error, kDownloadBufferSize,
       "GET /f HTTP/1.1\r\nHost: download.test\r\nRange: bytes=6-\r\nIf-Range: \"b\"\r\n"
       "Cache-Control: no-cache\r\nConnection: close\r\n\r\n",
       DownloadEnd::ReceiveFailed, 91, 2, 6, 9, 10, "\"b\""},
      {"Last-Modified alone", {0, ""}, okResponse("Content-Length: 9\r\nLast-Modified: Mon\r\n",
                                                  "abc"),
       FakeNetwork::Ending::Close, kDownloadBufferSize, plain, DownloadEnd::ShortBody, 58, 3, -1,
       -1, -1, "Mon"},
      {"no length", {0, ""}, okResponse("", "abc"), FakeNetwork::Ending::Close,
       kDownloadBufferSize, plain, DownloadEnd::NoLength, 19, 3, -1, -1, -1, ""},
      {"more than the capacity", {0, ""}, helloResponse(), FakeNetwork::Ending::Close, 43, plain,
       DownloadEnd::TooLarge, -1, 0, -1, -1, -1, ""},
      {"a validator too long for the request", {6, longValidator.c_str()}, partial,
       FakeNetwork::Ending::Close, kDownloadBufferSize, "", DownloadEnd::RequestTooLong, -1, 0,
       -1, -1, -1, ""},
      {"a weak ETag: Last-Modified names the version", {0, ""},
       okResponse("Content-Length: 3\r\nETag: W/\"w\"\r\nLast-Modified: Mon\r\n", "abc"),
       FakeNetwork::Ending::Close, kDownloadBufferSize, plain, DownloadEnd::Complete, 71, 3, -1,
       -1, -1, "Mon"},
      {"an ETag too long to send back: Last-Modified", {0, ""},
       okResponse("Content-Length: 3\r\nETag: \"" + std::string(94, 'e') +
                      "\"\r\nLast-Modified: Mon\r\n", "abc"),
       FakeNetwork::Ending::Close, kDownloadBufferSize, plain, DownloadEnd::Complete, 162, 3, -1,
       -1, -1, "Mon"},
      {"a 503's Retry-After", {0, ""},
       "HTTP/1.1 503 Busy\r\nRetry-After: 7\r\nContent-Length: 0\r\n\r\n",
       FakeNetwork::Ending::Close, kDownloadBufferSize, plain, DownloadEnd::StatusRefused, -1, 0,
       -1, -1, -1, "", 7},
      {"a 429's Retry-After as a date is not read", {0, ""},
       "HTTP/1.1 429 Slow\r\nRetry-After: Wed, 21 Oct 2026 07:28:00 GMT\r\n\r\n",
       FakeNetwork::Ending::Close, kDownloadBufferSize, plain, DownloadEnd::StatusRefused, -1, 0,
       -1, -1, -1, "", -1},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork scripted;
    scripted.response = row.response;
    scripted.ending = row.ending;
    RecordingProgress positions;
    DownloadReport report;
    RangeAnswer answer;
    const uint8_t* body = downloadRange(positions, scripted, kServer, "/f", row.ask, buffer(),
                                        row.capacity, report, answer);
    EXPECT_EQ(body != nullptr, row.end == DownloadEnd::Complete);
    if (!row.request.empty()) {
      EXPECT_EQ(scripted.events.at(1), "send " + row.request);
    }
    EXPECT_EQ(report.end, row.end);
    EXPECT_EQ(answer.bodyOffset, row.bodyOffset);
    EXPECT_EQ(report.bodyBytes, row.bodyBytes);
    EXPECT_EQ(answer.rangeFirst, row.first);
    EXPECT_EQ(answer.rangeLast, row.last);
    EXPECT_EQ(answer.rangeTotal, row.total);
    EXPECT_STREQ(answer.validator.get(), row.validator);
    EXPECT_EQ(answer.retryAfterSeconds, row.retryAfter);
    if (body != nullptr) {
      EXPECT_EQ(body, buffer() + row.bodyOffset);
    }
  }
  EXPECT_TRUE(guardIntact());
}

// downloadPiece: the two requests of a partial update (a closed range with If-Range, a suffix
// range), and what it reads back as downloadRange does.
TEST_F(DownloadFile, DownloadPieceAsksForOneRangeAndReadsItsAnswer) {
  const std::string partial = "HTTP/1.1 206 Partial Content\r\nContent-Length: 4\r\n"
                              "Content-Range: bytes 6-9/10\r\nETag: \"b\"\r\n\r\n6789";
  const struct {
    const char* name;
    PieceAsk ask;
    std::string request;
  } cases[] = {
      {"a piece while the file is the same version", {6, 9, 0, "\"b\""},
       "GET /f HTTP/1.1\r\nHost: download.test\r\nRange: bytes=6-9\r\nIf-Range: \"b\"\r\n"
       "Cache-Control: no-cache\r\nConnection: close\r\n\r\n"},
      {"the file's end", {0, 0, 4, ""},
       "GET /f HTTP/1.1\r\nHost: download.test\r\nRange: bytes=-4\r\n"
       "Cache-Control: no-cache\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork scripted;
    scripted.response = partial;
    RecordingProgress positions;
    DownloadReport report;
    RangeAnswer answer;
    const uint8_t* body = downloadPiece(positions, scripted, kServer, "/f", row.ask, buffer(),
                                        kDownloadBufferSize, report, answer);
    EXPECT_EQ(scripted.events.at(1), "send " + row.request);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), 4), "6789");
    EXPECT_EQ(answer.rangeFirst, 6);
    EXPECT_EQ(answer.rangeTotal, 10);
    EXPECT_STREQ(answer.validator.get(), "\"b\"");
  }
  EXPECT_TRUE(guardIntact());
}

}  // namespace
}  // namespace vm
