#include "tools/velmora-fetch/server_check.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "net/download.h"
#include "net/http_response.h"
#include "platform/format.h"
#include "tools/common/package_check.h"
#include "workflow/server_layout.h"

namespace vm {
namespace {

// A path the installer asks for; `channel` names a package's channel, null for a prerequisite.
struct ServerPath {
  NarrowPath path;
  const char* channel;
};

// As the installer forms them (workflow/server_layout.h): the runtime, its update in both
// variants (the 64-bit one on 64-bit Windows), and the package of each channel.
constexpr int kPathCount = 6;
struct ServerPaths {
  ServerPath paths[kPathCount];
  ServerPaths() {
    const char* const prerequisites[] = {kRuntimeRequestPath, kUpdateRequestPath64,
                                         kUpdateRequestPath32};
    for (int index = 0; index < 3; ++index) {
      (void)paths[index].path.assign(prerequisites[index]);
      paths[index].channel = nullptr;
    }
    for (int index = 0; index < 3; ++index) {
      (void)formatInto(paths[3 + index].path, kPackageRequestFormat, kChannels[index]);
      paths[3 + index].channel = kChannels[index];
    }
  }
};

// Server text shown at most this long.
constexpr int32_t kShownText = 100;

// ---------------------------------------------------------------- what the download did

// Passes every call on to the platform's connection and counts what arrives, so that the buffer
// can be read after a failed download: downloadFile copies every received chunk into it except
// the one that no longer fits.
class ObservedConnection final : public Connection {
 public:
  Connection* inner = nullptr;
  int64_t received = 0;   // bytes received in all
  int32_t lastChunk = 0;  // the latest receive's count
  bool failed = false;    // a receive failed (reset, aborted)

  int32_t send(const char* data, int32_t length) override { return inner->send(data, length); }
  int32_t receive(uint8_t* into, int32_t capacity) override {
    const int32_t count = inner->receive(into, capacity);
    if (count > 0) {
      received += count;
      lastChunk = count;
    } else if (count < 0) {
      failed = true;
    }
    return count;
  }
  void close() override { inner->close(); }
};

class ObservedNetwork final : public Network {
 public:
  explicit ObservedNetwork(Network& platform) : platform_(platform) {}
  bool asked = false;      // downloadFile connected or tried to (its request fitted)
  bool connected = false;
  ObservedConnection connection;

  Connection* connect(const Endpoint& endpoint) override {
    asked = true;
    connection = ObservedConnection{};
    connection.inner = platform_.connect(endpoint);
    connected = connection.inner != nullptr;
    return connected ? &connection : nullptr;
  }
  NetError lastError() const override { return platform_.lastError(); }

 private:
  Network& platform_;
};

class NoProgress final : public ProgressSink {
 public:
  void setPosition(int32_t) override {}
};

// ---------------------------------------------------------------- the response head

// Offset of the first `needle` lying wholly inside [from, to) of `data`, or -1.
int32_t findText(const uint8_t* data, int32_t from, int32_t to, const char* needle) {
  const int32_t length = static_cast<int32_t>(std::strlen(needle));
  for (int32_t at = from; at <= to - length; ++at) {
    const std::size_t span = static_cast<std::size_t>(to - length + 1 - at);
    const void* hit = std::memchr(data + at, needle[0], span);
    if (hit == nullptr) return -1;
    at = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - data);
    if (std::memcmp(data + at, needle, static_cast<std::size_t>(length)) == 0) return at;
  }
  return -1;
}

char lower(uint8_t unit) {
  return static_cast<char>(unit >= 'A' && unit <= 'Z' ? unit - 'A' + 'a' : unit);
}

// True when `length` bytes at `text` are `name` (lower case) but for the case of A-Z.
bool equalsIgnoringCase(const uint8_t* text, int32_t length, const char* name) {
  if (static_cast<std::size_t>(length) != std::strlen(name)) return false;
  for (int32_t at = 0; at < length; ++at)
    if (lower(text[at]) != name[at]) return false;
  return true;
}

// Server bytes as printable text: ASCII as it is, anything else as \xNN, cut short with "...".
std::string shown(const uint8_t* text, int32_t length) {
  std::string out;
  for (int32_t at = 0; at < length && at < kShownText; ++at) {
    if (text[at] >= 0x20 && text[at] < 0x7F && text[at] != '\\') {
      out += static_cast<char>(text[at]);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", text[at]);
      out += escaped;
    }
  }
  if (length > kShownText) out += "...";
  return out;
}

// The response as the buffer holds it after the download.
struct Head {
  const uint8_t* data = nullptr;
  int32_t valid = 0;   // the response's bytes in the buffer
  int32_t end = -1;    // offset of the blank line "\r\n\r\n"; -1 when it did not arrive
  int32_t limit = 0;   // the head: through the last field's line end, or all that arrived
  int32_t statusLength = 0;  // the status line, without its line end
};

Head readHead(const uint8_t* buffer, int32_t valid) {
  Head head;
  head.data = buffer;
  head.valid = valid;
  head.end = findText(buffer, 0, valid, "\r\n\r\n");
  head.limit = head.end >= 0 ? head.end + 2 : valid;
  const int32_t lineEnd = findText(buffer, 0, valid, "\r\n");
  head.statusLength = lineEnd >= 0 ? lineEnd : valid;
  return head;
}

// A field line of the head: the whole line, and its value without the blanks around it.
struct Field {
  int32_t lineAt = -1;
  int32_t lineLength = 0;
  int32_t valueAt = 0;
  int32_t valueLength = 0;
  bool found() const { return lineAt >= 0; }
};

// The first field named `name` (lower case), its name compared without case and with blanks
// before the colon allowed, as servers and proxies may write it.
Field findField(const Head& head, const char* name) {
  Field field;
  int32_t at = head.statusLength + 2;
  while (at < head.limit) {
    int32_t lineEnd = findText(head.data, at, head.limit, "\r\n");
    if (lineEnd < 0) lineEnd = head.limit;
    const uint8_t* line = head.data + at;
    const int32_t length = lineEnd - at;
    int32_t colon = 0;
    while (colon < length && line[colon] != ':') ++colon;
    int32_t nameLength = colon;
    while (nameLength > 0 && (line[nameLength - 1] == ' ' || line[nameLength - 1] == '\t'))
      --nameLength;
    if (colon < length && equalsIgnoringCase(line, nameLength, name)) {
      int32_t from = colon + 1;
      int32_t to = length;
      while (from < to && (line[from] == ' ' || line[from] == '\t')) ++from;
      while (to > from && (line[to - 1] == ' ' || line[to - 1] == '\t')) --to;
      field.lineAt = at;
      field.lineLength = length;
      field.valueAt = at + from;
      field.valueLength = to - from;
      return field;
    }
    at = lineEnd + 2;
  }
  return field;
}

std::string fieldValue(const Head& head, const Field& field) {
  return shown(head.data + field.valueAt, field.valueLength);
}

// The status code of an "HTTP/1.x NNN" line, or -1.
int statusCode(const Head& head) {
  const uint8_t* line = head.data;
  if (head.statusLength < 12 || std::memcmp(line, "HTTP/1.", 7) != 0 || line[8] != ' ')
    return -1;
  int code = 0;
  for (int at = 9; at < 12; ++at) {
    if (line[at] < '0' || line[at] > '9') return -1;
    code = code * 10 + (line[at] - '0');
  }
  return code;
}

// ---------------------------------------------------------------- one path

// Collects check's findings as indented lines, and the signature's verdict for the path line.
class FindingLines final : public PackageFindingSink {
 public:
  std::string lines;
  std::string signature;
  void found(const PackageFinding& finding) override {
    if (finding.kind == FindingKind::Signature) {
      signature = finding.what;
      return;
    }
    if (finding.kind == FindingKind::Refused) {
      signature = std::string("refused: ") + finding.why;
      return;
    }
    lines += "    ";
    lines += findingKindText(finding.kind);
    lines += ": ";
    lines += finding.what;
    if (finding.why != nullptr) {
      lines += ": ";
      lines += finding.why;
    }
    lines += "\n";
  }
};

struct PathReport {
  bool good = false;
  std::string line;      // without the path and the verdict
  std::string findings;  // check's finding lines, each ending with a line end
};

// Why downloadFile returned null, from what arrived.
std::string downloadFailure(const ObservedNetwork& network, const Head& head, bool tooLarge,
                            int32_t contentLength, const ServerCheck& check) {
  const ObservedConnection& connection = network.connection;
  if (!network.asked) return "the request does not fit the installer's 255-character request";
  if (check.system != nullptr && check.system->requestFailure() != RequestFailure::None) {
    const int32_t code = network.lastError().code;
    return "the request failed before any response (system error " + std::to_string(code) +
           ": " + check.systemErrorText(code) + ")";
  }
  if (!network.connected)
    return "no connection (the host does not resolve to an IPv4 address, or refuses it)";
  if (connection.failed)
    return "the connection failed after " + std::to_string(connection.received) + " bytes";
  if (tooLarge) return "the response does not fit the download buffer";
  if (judgeStatusLine(head.data, head.valid) == StatusVerdict::Rejected)
    return "the status is not HTTP/1.x 2xx";
  if (head.valid == 0) return "the server closed the connection without a byte";
  if (head.end < 0) return "the server closed the connection before the head's blank line";
  if (contentLength < -1) return "a negative Content-Length";
  const int32_t body = head.valid - (head.end + 4);
  if (contentLength >= 0 && body < contentLength) {
    return "the body was cut short: " + std::to_string(body) + " of " +
           std::to_string(contentLength) + " bytes";
  }
  return "no receive block (no memory)";
}

PathReport checkPath(Network& platform, uint8_t* buffer, const ServerCheck& check,
                     const ServerPath& path) {
  ObservedNetwork network(platform);
  NoProgress progress;
  int32_t contentLength = -1;
  int32_t bodyBytes = 0;
  const uint8_t* body = downloadFile(progress, network, check.endpoint, path.path.get(),
                                     buffer, contentLength, &bodyBytes);
  const ObservedConnection& connection = network.connection;
  // The chunk that made the response too large was not copied; every other one was.
  const bool tooLarge = connection.received + 1 > kDownloadBufferSize;
  const int64_t valid = tooLarge ? connection.received - connection.lastChunk
                                 : connection.received;
  const Head head = readHead(buffer, network.connected ? static_cast<int32_t>(valid) : 0);

  PathReport report;
  std::string& line = report.line;
  line = body != nullptr ? "download: ok"
                         : "download: failed: " +
                               downloadFailure(network, head, tooLarge, contentLength, check);
  if (head.valid == 0) {
    line += "; status: none";
    if (path.channel != nullptr) line += "; check: not made (no body)";
    return report;
  }
  const StatusVerdict status = judgeStatusLine(head.data, head.valid);
  line += "; status: " + shown(head.data, head.statusLength);
  if (status == StatusVerdict::Rejected) line += " (not HTTP/1.x 2xx)";

  // The length as the installer reads it: the first "Content-Length: " inside the head, to the
  // end of its line (net/http_response.cpp).
  bool lengthGood = false;
  const int32_t exact = findText(head.data, 0, head.limit, "Content-Length: ");
  const int32_t exactEnd = exact < 0 ? -1 : findText(head.data, exact + 16, head.limit, "\r\n");
  if (exactEnd >= 0) {
    const int32_t value = parseLengthValue(head.data + exact + 16, exactEnd - exact - 16);
    lengthGood = value >= 0;
    line += "; length: " + std::to_string(value);
    if (value < 0) line += " (the installer takes no length below 0)";
  } else {
    line += "; length: missing";
    const Field other = findField(head, "content-length");
    if (other.found()) {
      line += " (the head has \"" + shown(head.data + other.lineAt, other.lineLength) +
              "\"; the installer reads only \"Content-Length: \")";
    }
  }

  if (tooLarge) {
    line += "; buffer: too large (more than " + std::to_string(kDownloadBufferSize) +
            " bytes with the zero byte)";
  } else if (connection.failed) {
    line += "; buffer: unknown (the connection failed)";
  } else if (status == StatusVerdict::Rejected) {
    line += "; buffer: not read to the end (status not accepted)";
  } else {
    line += "; buffer: fits (" + std::to_string(valid + 1) + " of " +
            std::to_string(kDownloadBufferSize) + " bytes)";
  }

  // Any coding but identity leaves bytes the installer would take for the file's.
  const Field transfer = findField(head, "transfer-encoding");
  const Field content = findField(head, "content-encoding");
  const bool transferCoded = transfer.found() && !equalsIgnoringCase(
      head.data + transfer.valueAt, transfer.valueLength, "identity");
  const bool contentCoded = content.found() && !equalsIgnoringCase(
      head.data + content.valueAt, content.valueLength, "identity");
  if (!transferCoded && !contentCoded) line += "; coding: none";
  if (transferCoded) {
    const bool chunked = findText(head.data, transfer.valueAt,
                                  transfer.valueAt + transfer.valueLength, "chunked") >= 0;
    line += std::string(chunked ? "; coding: chunked" : "; coding: transfer-coded") +
            " (Transfer-Encoding: " + fieldValue(head, transfer) + ")";
  }
  if (contentCoded) {
    line += std::string(transferCoded ? ", compressed" : "; coding: compressed") +
            " (Content-Encoding: " + fieldValue(head, content) + ")";
  }

  const int code = statusCode(head);
  const Field location = findField(head, "location");
  const bool redirect = (code >= 300 && code <= 399) || location.found();
  if (!redirect) {
    line += "; redirect: no";
  } else {
    // The installer follows none.
    line += "; redirect: yes (";
    line += code >= 0 ? std::to_string(code) : std::string("no status code");
    line += location.found() ? ", Location: " + fieldValue(head, location) : ", no Location";
    line += ")";
  }

  report.good = body != nullptr && lengthGood && !transferCoded && !contentCoded && !redirect;
  if (path.channel == nullptr) return report;
  if (body == nullptr) {
    line += "; check: not made (no body)";
    return report;
  }
  // The bytes the installer would open: contentLength of them, or all with no length.
  const uint32_t size = static_cast<uint32_t>(contentLength >= 0 ? contentLength : bodyBytes);
  FindingLines findings;
  const PackageVerdict verdict = checkPackageBytes(body, size, check.key, check.crypto, findings);
  char verdictLine[96];
  formatVerdict(verdict, verdictLine);
  line += "; ";
  line += verdictLine;
  if (check.key != nullptr) line += "; signature: " + findings.signature;
  report.findings = findings.lines;
  report.good = report.good && verdict.installs();
  return report;
}

}  // namespace

int checkServer(Network& network, uint8_t* buffer, const ServerCheck& check) {
  const ServerPaths layout;
  const ServerPath* paths = layout.paths;
  bool good[kPathCount];
  for (int index = 0; index < kPathCount; ++index) {
    const PathReport report = checkPath(network, buffer, check, paths[index]);
    good[index] = report.good;
    std::printf("%s: %s; %s\n%s", paths[index].path.get(), report.good ? "good" : "bad",
                report.line.c_str(), report.findings.c_str());
    std::fflush(stdout);
  }
  int installing = 0;
  int channels = 0;
  for (int index = 0; index < kPathCount; ++index) {
    if (paths[index].channel == nullptr) continue;
    ++channels;
    std::string bad;
    for (int other = 0; other < kPathCount; ++other) {
      if (good[other] || (other != index && paths[other].channel != nullptr)) continue;
      bad += bad.empty() ? "bad " : ", ";
      bad += paths[other].path.get();
    }
    if (bad.empty()) ++installing;
    std::printf("channel %s: %s%s\n", paths[index].channel,
                bad.empty() ? "installs" : "does not install: ", bad.c_str());
  }
  std::printf("channels: %d of %d install\n", installing, channels);
  return installing == channels ? 0 : 1;
}

}  // namespace vm
