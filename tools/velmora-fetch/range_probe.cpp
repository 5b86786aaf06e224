#include "tools/velmora-fetch/range_probe.h"

#include <cstring>

#include "net/http_response.h"

namespace vm {
namespace {

// A validator that no version of any file carries.
constexpr char kStaleValidator[] = "\"velmora-check-no-such-version\"";
// An answer to a probe is at most the body and this much head.
constexpr int32_t kHeadRoom = 65536;

struct Answer {
  int32_t status = 0;  // 0: no whole status line, or no answer at all
  int32_t first = -1, last = -1, total = -1;  // Content-Range, -1 when absent or malformed
  int32_t length = -1;                        // Content-Length, -1 when absent
  const uint8_t* body = nullptr;              // after the head; null when the head never ended
  int32_t bodyBytes = 0;
  std::string validator;  // its ETag
};

// One request over a fresh connection, the answer read until the server closes it (or
// `answer` is full). Not the installer's exchange: it sends any Range line.
Answer ask(Network& network, const Endpoint& endpoint, const std::string& request,
           std::vector<uint8_t>& into) {
  Answer answer;
  Connection* connection = network.connect(endpoint);
  if (connection == nullptr) return answer;
  connection->send(request.data(), static_cast<int32_t>(request.size()));
  int32_t received = 0;
  const auto capacity = static_cast<int32_t>(into.size());
  for (int32_t got = 1; got > 0 && received < capacity; received += got > 0 ? got : 0)
    got = connection->receive(into.data() + received, capacity - received);
  connection->close();
  const uint8_t* data = into.data();
  const int32_t headEnd = findBytes(data, 0, received, "\r\n\r\n", 4);
  if (received < 12 || std::memcmp(data, "HTTP/1.", 7) != 0 || headEnd < 0) return answer;
  answer.status = parseLengthValue(data + 9, 3);
  const uint8_t* value = nullptr;
  int32_t valueLength = 0;
  if (findHeadField(data, headEnd + 2, "Content-Range", value, valueLength))
    (void)parseContentRange(value, valueLength, answer.first, answer.last, answer.total);
  if (findHeadField(data, headEnd + 2, "Content-Length", value, valueLength))
    answer.length = parseLengthValue(value, valueLength);
  if (findHeadField(data, headEnd + 2, "ETag", value, valueLength))
    answer.validator.assign(reinterpret_cast<const char*>(value), valueLength);
  answer.body = data + headEnd + 4;
  answer.bodyBytes = received - headEnd - 4;
  return answer;
}

std::string request(const char* path, const Endpoint& endpoint, const std::string& range,
                    const std::string& ifRange) {
  return std::string("GET ") + path + " HTTP/1.1\r\nHost: " + endpoint.host + "\r\nRange: " +
         range + "\r\n" + (ifRange.empty() ? "" : "If-Range: " + ifRange + "\r\n") +
         "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
}

// The answer is exactly bytes [first, length) of `body` as a 206.
bool isPart(const Answer& answer, const uint8_t* body, int32_t length, int32_t first) {
  const int32_t count = length - first;
  return answer.status == 206 && answer.first == first && answer.last == length - 1 &&
         answer.total == length && answer.length == count && answer.bodyBytes == count &&
         std::memcmp(answer.body, body + first, static_cast<size_t>(count)) == 0;
}

// The answer is the whole body as a 200.
bool isWhole(const Answer& answer, const uint8_t* body, int32_t length) {
  return answer.status == 200 && answer.length == length && answer.bodyBytes == length &&
         std::memcmp(answer.body, body, static_cast<size_t>(length)) == 0;
}

std::string shownAnswer(const Answer& answer) {
  if (answer.status == 0) return "no answer";
  std::string text = std::to_string(answer.status);
  if (answer.first >= 0) {
    text += ", Content-Range: bytes " + std::to_string(answer.first) + "-" +
            std::to_string(answer.last) + "/" + std::to_string(answer.total);
  }
  return text + ", " + std::to_string(answer.bodyBytes) + " bytes";
}

}  // namespace

RangeFindings probeRanges(Network& network, const Endpoint& endpoint, const char* requestPath,
                          const uint8_t* body, int32_t length, const std::string& validator) {
  RangeFindings found;
  std::vector<uint8_t> into(static_cast<size_t>(length) + kHeadRoom);
  const int32_t half = length / 2;
  const std::string rest = "bytes=" + std::to_string(half) + "-";
  if (validator.empty()) {
    found.warnings.push_back("no ETag or Last-Modified: an interrupted download starts again");
  } else {
    ++found.asked;
    const Answer resumed = ask(network, endpoint, request(requestPath, endpoint, rest, validator),
                               into);
    const bool exactRange = resumed.status == 206 && resumed.first == half &&
                            resumed.last == length - 1 && resumed.total == length;
    if (isPart(resumed, body, length, half)) {
      // as the installer resumes
    } else if (exactRange && (resumed.validator.empty() || resumed.validator == validator)) {
      found.problems.push_back("the rest from byte " + std::to_string(half) +
                               " is not the body's rest (" + shownAnswer(resumed) +
                               "): a resumed download would be damaged");
    } else {
      found.warnings.push_back("the rest from byte " + std::to_string(half) + " is answered " +
                               shownAnswer(resumed) + ": an interrupted download starts again");
    }
  }
  ++found.asked;
  const Answer stale = ask(network, endpoint, request(requestPath, endpoint, rest,
                                                      kStaleValidator), into);
  if (!isWhole(stale, body, length)) {
    found.warnings.push_back("If-Range with another version's ETag is answered " +
                             shownAnswer(stale) + ", not 200 and the whole file: the installer "
                             "starts again only because the answer's ETag differs");
  }
  ++found.asked;
  const int32_t third = (length + 2) / 3;
  const Answer suffix = ask(network, endpoint,
                            request(requestPath, endpoint, "bytes=-" + std::to_string(third), ""),
                            into);
  if (!isPart(suffix, body, length, length - third)) {
    found.warnings.push_back("the last " + std::to_string(third) + " bytes (bytes=-" +
                             std::to_string(third) + ") are answered " + shownAnswer(suffix) +
                             " (the installer asks for no suffix)");
  }
  return found;
}

}  // namespace vm
