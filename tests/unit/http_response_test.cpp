// The response record: the length value, the status line, the percentage, and that the outcome
// of a response does not depend on how it was split into chunks.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "net/http_response.h"

namespace vm {
namespace {

const uint8_t* bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(ParseLengthValue, ReadsTheValueTheWayAtoiDoes) {
  const struct {
    std::string text;
    int32_t value;
  } cases[] = {
      {"5", 5},
      {" 42abc", 42},
      {"", 0},
      {"abc", 0},
      {"+7", 7},
      {"-5", -5},
      {"-1", -1},
      {"\t \v\f7", 7},
      {"\r7", 7},  // a lone \r belongs to the value's line, and is white space
      {"007", 7},
      {"5 6", 5},
      {"- 5", 0},
      {"+-5", 0},
      {std::string("\0" "5", 2), 0},  // the copied text would end at the zero byte
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},  // saturates like the platform's atoi
      {"99999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999", INT32_MIN},
  };
  for (const auto& row : cases)
    EXPECT_EQ(parseLengthValue(bytes(row.text), static_cast<int32_t>(row.text.size())),
              row.value)
        << '"' << row.text << '"';
}

TEST(JudgeStatusLine, AcceptsOnlyHttp1SuccessCodes) {
  const struct {
    const char* line;
    StatusVerdict verdict;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n", StatusVerdict::Accepted},
      {"HTTP/1.0 204 No Content\r\n", StatusVerdict::Accepted},
      {"HTTP/1.1 206 Partial Content\r\n", StatusVerdict::Accepted},
      {"HTTP/1.1 200\r\n", StatusVerdict::Accepted},  // no reason phrase
      {"HTTP/1.1 299 ", StatusVerdict::Accepted},
      {"", StatusVerdict::Pending},
      {"HTTP/1.", StatusVerdict::Pending},
      {"HTTP/1.1 200", StatusVerdict::Pending},  // could still become 2000
      {"HTTP/1.1 404 Not Found\r\n", StatusVerdict::Rejected},
      {"HTTP/1.1 301 Moved Permanently\r\n", StatusVerdict::Rejected},
      {"HTTP/1.1 500 Internal Server Error\r\n", StatusVerdict::Rejected},
      {"HTTP/1.1 2000 OK\r\n", StatusVerdict::Rejected},
      {"HTTP/1.1 20 OK\r\n", StatusVerdict::Rejected},
      {"HTTP/1.1  200 OK\r\n", StatusVerdict::Rejected},
      {"HTTP/1.1 2x0 OK\r\n", StatusVerdict::Rejected},
      {"HTTP/2 200\r\n", StatusVerdict::Rejected},
      {"HTTP/2.0 200 OK\r\n", StatusVerdict::Rejected},
      {"http/1.1 200 OK\r\n", StatusVerdict::Rejected},
      {"ICY 200 OK\r\n", StatusVerdict::Rejected},
      {"H", StatusVerdict::Pending},
      {"X", StatusVerdict::Rejected},  // judged at the first wrong byte
      {"\r\n\r\n", StatusVerdict::Rejected},
  };
  for (const auto& row : cases) {
    const std::string line = row.line;
    EXPECT_EQ(judgeStatusLine(bytes(line), static_cast<int32_t>(line.size())), row.verdict)
        << '"' << line << '"';
  }
}

TEST(ProgressPercentage, TruncatesTheSinglePrecisionRatioAndClampsAt100) {
  const struct {
    int32_t received;
    int32_t length;
    int32_t position;
  } cases[] = {
      {43, 5, 100},  // ratio 860
      {100'000, 1'000'000, 10},
      {999'999, 1'000'000, 99},
      {1'000'100, 1'000'000, 100},  // 100.01
      {1, 3, 33},
      // Exactly 49.9999975 in real numbers; single precision rounds the quotient to 50.
      {10'000'000, 20'000'001, 50},
      {51'000'000, 1, 100},  // 5.1e9 is beyond int32_t: clamped before converting
      {1, INT32_MAX, 0},
      {51'000'000, INT32_MAX, 2},
      {5, 0, 100},  // a length of 0: the body is complete
      {5, -5, 0},   // a negative length gives no meaningful percentage
      {5, INT32_MIN, 0},
  };
  for (const auto& row : cases)
    EXPECT_EQ(progressPercentage(row.received, row.length), row.position)
        << row.received << " of " << row.length;
}

// What one response fed in given pieces comes to.
struct Outcome {
  ChunkStep stoppedBy = ChunkStep::Continue;  // Continue: the server closed
  bool hasBody = false;
  int32_t bodyAt = -1;
  int32_t bodyBytes = -1;
  int32_t contentLength = -1;
  std::vector<int32_t> positions;
  std::string buffer;  // the received bytes and the zero byte, once finished

  bool sameResultAs(const Outcome& other) const {
    return stoppedBy == other.stoppedBy && hasBody == other.hasBody &&
           bodyAt == other.bodyAt && bodyBytes == other.bodyBytes &&
           (!hasBody || contentLength == other.contentLength) && buffer == other.buffer;
  }
};

Outcome feed(const std::string& response, const std::vector<std::size_t>& pieces,
             int32_t capacity) {
  // Exactly `capacity` bytes on the heap, so the sanitizer sees any write past the end.
  std::vector<uint8_t> buffer(static_cast<std::size_t>(capacity), 0xEE);
  HttpResponse record;
  startResponse(record, buffer.data(), capacity);
  Outcome outcome;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    outcome.stoppedBy = appendChunk(record, bytes(response) + at, static_cast<int32_t>(piece));
    at += piece;
    if (outcome.stoppedBy != ChunkStep::Continue) return outcome;
    const int32_t position = positionToShow(record);
    if (position != kNoPosition) outcome.positions.push_back(position);
  }
  int32_t bodyBytes = -1;
  const uint8_t* body = finishResponse(record, &bodyBytes);
  outcome.hasBody = body != nullptr;
  outcome.bodyAt = body == nullptr ? -1 : static_cast<int32_t>(body - buffer.data());
  outcome.bodyBytes = bodyBytes;
  outcome.contentLength = record.contentLength;
  outcome.buffer.assign(buffer.begin(), buffer.begin() + record.receivedBytes + 1);
  return outcome;
}

std::vector<std::size_t> evenPieces(std::size_t total, std::size_t size) {
  std::vector<std::size_t> pieces;
  for (std::size_t at = 0; at < total; at += size) pieces.push_back(std::min(size, total - at));
  return pieces;
}

TEST(HttpResponse, ComesToTheSameResultHoweverTheResponseIsSplit) {
  const struct {
    const char* name;
    std::string response;
    int32_t capacity;
    // The expected result: the body and its length, or nothing.
    std::optional<std::string> body;
    int32_t contentLength;
  } cases[] = {
      {"hello", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 64, "hello", 5},
      {"several fields, reason-less status",
       "HTTP/1.0 200\r\nServer: x\r\nContent-Length:  3\r\nETag: \"a\"\r\n\r\nabc", 128, "abc",
       3},
      {"more body than announced", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nabc", 64, "abc",
       2},
      {"no length field", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nabc", 64, "abc", -1},
      {"lower-case field name", "HTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\nabc", 64, "abc",
       -1},
      {"no blank after the colon", "HTTP/1.1 200 OK\r\nContent-Length:3\r\n\r\nabc", 64, "abc",
       -1},
      {"field only in the body",
       "HTTP/1.1 200 OK\r\n\r\nContent-Length: 1\r\n", 64, "Content-Length: 1\r\n", -1},
      {"value 42abc", "HTTP/1.1 200 OK\r\nContent-Length:  42abc\r\n\r\n" + std::string(42, 'x'),
       128, std::string(42, 'x'), 42},
      {"empty value", "HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\nabc", 64, "abc", 0},
      {"length -1 means unknown", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nab", 64, "ab",
       -1},
      {"empty body", "HTTP/1.1 204 No Content\r\n\r\n", 64, "", -1},
      {"zero bytes in the body", std::string("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n\0\0\0", 41),
       64, std::string(3, '\0'), 3},
      {"fits exactly with its zero byte", "HTTP/1.1 200 OK\r\n\r\n12345", 25, "12345", -1},
      {"body shorter than announced", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", 64,
       std::nullopt, 10},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello", 64, std::nullopt,
       -5},
      {"saturated length", "HTTP/1.1 200 OK\r\nContent-Length: 9999999999\r\n\r\nx", 64,
       std::nullopt, INT32_MAX},
      {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\nnope!", 64, std::nullopt,
       -1},
      {"not HTTP", "ICY 200 OK\r\nContent-Length: 5\r\n\r\nhello", 64, std::nullopt, -1},
      {"head never ends", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nhello", 64, std::nullopt, 5},
      {"only the status line", "HTTP/1.1 200 OK", 64, std::nullopt, -1},
      {"one byte too large", "HTTP/1.1 200 OK\r\n\r\n123456", 25, std::nullopt, -1},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    const std::size_t size = row.response.size();
    const Outcome whole = feed(row.response, {size}, row.capacity);
    ASSERT_EQ(whole.hasBody, row.body.has_value());
    if (row.body) {
      EXPECT_EQ(whole.buffer.substr(static_cast<std::size_t>(whole.bodyAt),
                                    static_cast<std::size_t>(whole.bodyBytes)),
                *row.body);
      EXPECT_EQ(whole.buffer.back(), '\0');
      EXPECT_EQ(whole.contentLength, row.contentLength);
    } else if (whole.stoppedBy == ChunkStep::Continue) {
      EXPECT_EQ(whole.contentLength, row.contentLength);
    }
    std::vector<std::vector<std::size_t>> splits = {evenPieces(size, 1), evenPieces(size, 3)};
    for (std::size_t first = 1; first < size; ++first) splits.push_back({first, size - first});
    for (const auto& pieces : splits) {
      const Outcome split = feed(row.response, pieces, row.capacity);
      EXPECT_TRUE(split.sameResultAs(whole)) << "first piece " << pieces[0] << " of "
                                             << pieces.size();
      if (split.hasBody && row.contentLength == -1) {
        EXPECT_TRUE(split.positions.empty());
      } else if (split.hasBody) {
        ASSERT_FALSE(split.positions.empty());
        EXPECT_EQ(split.positions.back(), 100);
      }
    }
  }
}

TEST(HttpResponse, RefusesAChunkThatWouldNotFitAndKeepsTheBytesBefore) {
  const std::string response = "HTTP/1.1 200 OK\r\n\r\nabcdef";
  std::vector<uint8_t> buffer(24, 0xEE);
  HttpResponse record;
  startResponse(record, buffer.data(), 24);
  ASSERT_EQ(appendChunk(record, bytes(response), 20), ChunkStep::Continue);
  // 20 + 4 bytes would leave no room for the zero byte.
  EXPECT_EQ(appendChunk(record, bytes(response) + 20, 4), ChunkStep::TooLarge);
  EXPECT_EQ(record.receivedBytes, 20);
  EXPECT_EQ(std::string(buffer.begin() + 20, buffer.end()), std::string(4, '\xEE'));
  ASSERT_EQ(appendChunk(record, bytes(response) + 20, 3), ChunkStep::Continue);
  int32_t bodyBytes = 0;
  const uint8_t* body = finishResponse(record, &bodyBytes);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(body)), "abcd");
  EXPECT_EQ(bodyBytes, 4);
}


TEST(HeadFields, AreFoundWithoutCaseAtALineStartAndRangesReadOnlyWhole) {
  const std::string head =
      "HTTP/1.1 206 Partial Content\r\nx-etag: no\r\netag:  \"v1\" \r\nContent-Range: "
      "bytes 5-9/10\r\nLast-Modified: Tue, 08 Dec 2026 10:00:00 GMT";
  const auto* bytes = reinterpret_cast<const uint8_t*>(head.data());
  const struct {
    const char* name;
    const char* value;  // null: not found
  } fields[] = {{"ETag", "\"v1\""}, {"Content-Range", "bytes 5-9/10"},
                {"last-modified", "Tue, 08 Dec 2026 10:00:00 GMT"}, {"HTTP/1.1 206", nullptr},
                {"Range", nullptr}, {"X-ETag", "no"}};
  for (const auto& row : fields) {
    SCOPED_TRACE(row.name);
    const uint8_t* value = nullptr;
    int32_t length = -1;
    const bool found = findHeadField(bytes, static_cast<int32_t>(head.size()), row.name, value,
                                     length);
    ASSERT_EQ(found, row.value != nullptr);
    if (found) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(value), length), row.value);
    }
  }
  const struct {
    const char* value;
    bool read;
    int32_t first, last, total;
  } ranges[] = {{"bytes 0-0/1", true, 0, 0, 1},
                {"bytes 500-999/1000", true, 500, 999, 1000},
                {"bytes 500-999/*", false, -1, -1, -1},
                {"bytes 500-1000/1000", false, -1, -1, -1},
                {"bytes 9-5/10", false, -1, -1, -1},
                {"bytes -5/10", false, -1, -1, -1},
                {"items 0-1/2", false, -1, -1, -1},
                {"bytes 0-1/2 ", false, -1, -1, -1},
                {"bytes 0-1/99999999999", false, -1, -1, -1}};
  for (const auto& row : ranges) {
    SCOPED_TRACE(row.value);
    int32_t first = -1, last = -1, total = -1;
    EXPECT_EQ(parseContentRange(reinterpret_cast<const uint8_t*>(row.value),
                                static_cast<int32_t>(std::strlen(row.value)), first, last, total),
              row.read);
    EXPECT_EQ(first, row.first);
    EXPECT_EQ(last, row.last);
    EXPECT_EQ(total, row.total);
  }
}

}  // namespace
}  // namespace vm
