// The response handling fed whatever a server could send, split into random pieces, into a
// buffer of random size: it must never touch a byte outside the buffer, must reach the same
// result however the bytes are split, and must agree with a plain reading of the whole response.
// The fields a resumed download reads from a head are read from the same bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/http_response.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

struct Result {
  bool body = false;
  int32_t bodyAt = -1;
  int32_t bodyBytes = -1;
  int32_t contentLength = -1;
};

Result feed(const std::vector<uint8_t>& response, const std::vector<std::size_t>& pieces,
            int32_t capacity) {
  // Exactly `capacity` bytes on the heap: the sanitizer reports any byte written past it.
  std::vector<uint8_t> buffer(static_cast<std::size_t>(capacity));
  vm::HttpResponse record;
  vm::startResponse(record, buffer.data(), capacity);
  Result result;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    const vm::ChunkStep step =
        vm::appendChunk(record, response.data() + at, static_cast<int32_t>(piece));
    at += piece;
    if (step != vm::ChunkStep::Continue) return result;
    const int32_t position = vm::positionToShow(record);
    check(position == vm::kNoPosition || (position >= 0 && position <= 100));
  }
  const uint8_t* body = vm::finishResponse(record, &result.bodyBytes);
  check(buffer[static_cast<std::size_t>(record.receivedBytes)] == 0);
  if (body == nullptr) return result;
  result.body = true;
  result.bodyAt = static_cast<int32_t>(body - buffer.data());
  result.contentLength = record.contentLength;
  check(result.bodyAt + result.bodyBytes == record.receivedBytes);
  check(std::memcmp(buffer.data(), response.data(), response.size()) == 0);
  return result;
}

// The same response read the plain way: everything at once, standard library searches.
Result reference(const std::vector<uint8_t>& response, int32_t capacity) {
  Result result;
  if (response.size() + 1 > static_cast<std::size_t>(capacity)) return result;
  const std::string text(response.begin(), response.end());
  const bool statusOk = text.size() >= 13 && text.compare(0, 7, "HTTP/1.") == 0 &&
                        std::isdigit(static_cast<unsigned char>(text[7])) && text[8] == ' ' &&
                        text[9] == '2' && std::isdigit(static_cast<unsigned char>(text[10])) &&
                        std::isdigit(static_cast<unsigned char>(text[11])) &&
                        (text[12] == ' ' || text[12] == '\r');
  const std::size_t headEnd = text.find("\r\n\r\n");
  if (!statusOk || headEnd == std::string::npos) return result;
  const std::string head = text.substr(0, headEnd + 2);
  int32_t length = -1;
  const std::size_t field = head.find("Content-Length: ");
  if (field != std::string::npos) {
    const std::size_t lineEnd = head.find("\r\n", field + 16);
    const std::string value = head.substr(field + 16, lineEnd - field - 16);
    const long long parsed = std::strtoll(value.c_str(), nullptr, 10);
    length = static_cast<int32_t>(std::clamp<long long>(parsed, INT32_MIN, INT32_MAX));
  }
  const auto bodyBytes = static_cast<int32_t>(text.size() - headEnd - 4);
  if (length < -1 || (length >= 0 && bodyBytes < length)) return result;
  result.body = true;
  result.bodyAt = static_cast<int32_t>(headEnd + 4);
  result.bodyBytes = bodyBytes;
  result.contentLength = length;
  return result;
}

bool same(const Result& left, const Result& right) {
  return left.body == right.body && left.bodyAt == right.bodyAt &&
         left.bodyBytes == right.bodyBytes && left.contentLength == right.contentLength;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto capacity = input.ConsumeIntegralInRange<int32_t>(1, 4096);
  const auto largestPiece = input.ConsumeIntegralInRange<std::size_t>(1, 64);
  uint32_t seed = input.ConsumeIntegral<uint32_t>();
  const std::vector<uint8_t> response = input.ConsumeRemainingBytes<uint8_t>();
  if (response.empty()) return 0;  // the record is fed only chunks of at least one byte

  std::vector<std::size_t> pieces;
  for (std::size_t at = 0; at < response.size();) {
    seed = seed * 1664525u + 1013904223u;
    const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % largestPiece,
                                                    response.size() - at);
    pieces.push_back(piece);
    at += piece;
  }
  const Result whole = feed(response, {response.size()}, capacity);
  check(same(whole, feed(response, pieces, capacity)));
  check(same(whole, reference(response, capacity)));
  // The same bytes as a head for a resumed download's fields: nothing read outside them.
  vm::RangeAnswer answer;
  vm::readRangeFields(response.data(), static_cast<int32_t>(response.size()), answer);
  check(answer.retryAfterSeconds >= -1 && answer.validator.length() < vm::Validator::capacity());
  return 0;
}
