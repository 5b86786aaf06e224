#include "tools/velmora-fetch/server_check.h"

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/http_head.h"
#include "net/http_response.h"
#include "platform/format.h"
#include "tools/common/package_check.h"
#include "workflow/server_layout.h"

namespace vm {
namespace {

// A path the installer asks for; `channel` names a package's channel, null for a prerequisite.
struct ServerPath {
  std::string path;
  const char* channel;
};

// As the installer forms them (workflow/server_layout.h): the runtime, its update in both
// variants (the 64-bit one on 64-bit Windows), and the package of each channel.
std::vector<ServerPath> serverPaths() {
  std::vector<ServerPath> paths = {{kRuntimeRequestPath, nullptr},
                                   {kUpdateRequestPath64, nullptr},
                                   {kUpdateRequestPath32, nullptr}};
  for (const char* channel : kChannels) {
    NarrowPath path;
    (void)formatInto(path, kPackageRequestFormat, channel);
    paths.push_back({path.get(), channel});
  }
  return paths;
}

class NoProgress final : public ProgressSink {
 public:
  void setPosition(int32_t) override {}
};

// Server bytes as printable text: ASCII as it is, anything else as \xNN; at most 100 bytes,
// then "...".
std::string shown(const uint8_t* text, int32_t length) {
  std::string out;
  for (int32_t at = 0; at < length && at < 100; ++at) {
    char escaped[8];
    const bool plain = text[at] >= 0x20 && text[at] < 0x7F && text[at] != '\\';
    std::snprintf(escaped, sizeof escaped, plain ? "%c" : "\\x%02X", text[at]);
    out += escaped;
  }
  return length > 100 ? out + "..." : out;
}

// The response as the download left it in the buffer.
struct Head {
  const uint8_t* data = nullptr;
  int32_t valid = 0;   // the response's bytes in the buffer
  int32_t limit = 0;   // the head: through the last field's line end, or all that arrived
  int32_t statusLength = 0;  // the status line, without its line end
  std::string field(const HeadField& field) const {
    return shown(data + field.valueAt, field.valueLength);
  }
};

// The download read the head's end only while the status was accepted: a refused response's
// head is searched here.
Head readHead(const uint8_t* buffer, const DownloadReport& report) {
  Head head;
  head.data = buffer;
  head.valid = report.receivedBytes;
  const int32_t end =
      report.headEnd >= 0 ? report.headEnd : findBytes(buffer, 0, head.valid, "\r\n\r\n", 4);
  head.limit = end >= 0 ? end + 2 : head.valid;
  const int32_t lineEnd = findBytes(buffer, 0, head.valid, "\r\n", 2);
  head.statusLength = lineEnd >= 0 ? lineEnd : head.valid;
  return head;
}

// ---------------------------------------------------------------- one path

struct PathReport {
  bool good = false;
  std::string line;      // without the path and the verdict
  std::string findings;  // check's finding lines, each ending with a line end
};

// Why downloadFile returned null, in the report's words; a system transport's request refused
// before any response (a certificate, the proxy) with the stack's code and words.
std::string downloadFailure(const DownloadReport& report, const ServerCheck& check) {
  if (check.system != nullptr && check.system->requestFailure() != RequestFailure::None) {
    return "the request failed before any response (system error " +
           std::to_string(report.error.code) + ": " + check.systemErrorText(report.error.code) +
           ")";
  }
  switch (report.end) {
    case DownloadEnd::RequestTooLong:
      return "the request does not fit the installer's 255-character request";
    case DownloadEnd::NotResolved:
    case DownloadEnd::ConnectRefused:
    case DownloadEnd::ConnectTimedOut:
    case DownloadEnd::ConnectFailed:
      return std::string("no connection (") + downloadEndText(report.end) + ")";
    case DownloadEnd::ReceiveTimedOut:
    case DownloadEnd::ReceiveFailed:
      return "the connection failed after " + std::to_string(report.receivedBytes) + " bytes (" +
             downloadEndText(report.end) + ")";
    case DownloadEnd::StatusRefused: return "the status is not HTTP/1.x 2xx";
    case DownloadEnd::TooLarge: return "the response does not fit the download buffer";
    case DownloadEnd::HeadUnfinished:
      return report.receivedBytes == 0
                 ? "the server closed the connection without a byte"
                 : "the server closed the connection before the head's blank line";
    case DownloadEnd::BadLength: return "a negative Content-Length";
    case DownloadEnd::ShortBody:
      return "the body was cut short: " + std::to_string(report.bodyBytes) + " of " +
             std::to_string(report.contentLength) + " bytes";
    default: return downloadEndText(report.end);
  }
}

// "; length: ...": as the installer reads it, the first "Content-Length: " inside the head to
// the end of its line (net/http_response.cpp), and another spelling when the head has one.
// True when the installer reads a length it takes.
bool describeLength(const Head& head, std::string& line) {
  const int32_t exact = findBytes(head.data, 0, head.limit, "Content-Length: ", 16);
  const int32_t exactEnd = exact < 0 ? -1 : findBytes(head.data, exact + 16, head.limit, "\r\n", 2);
  if (exactEnd >= 0) {
    const int32_t value = parseLengthValue(head.data + exact + 16, exactEnd - exact - 16);
    line += "; length: " + std::to_string(value);
    if (value < 0) line += " (the installer takes no length below 0)";
    return value >= 0;
  }
  line += "; length: missing";
  const HeadField other = findHeadField(head.data, head.limit, "content-length");
  if (other.found()) {
    line += " (the head has \"" + shown(head.data + other.lineAt, other.lineLength) +
            "\"; the installer reads only \"Content-Length: \")";
  }
  return false;
}

// "; coding: ...": any coding but identity leaves bytes the installer would take for the
// file's. True when there is none.
bool describeCoding(const Head& head, std::string& line) {
  const HeadField transfer = findHeadField(head.data, head.limit, "transfer-encoding");
  const HeadField content = findHeadField(head.data, head.limit, "content-encoding");
  const bool transferCoded = transfer.found() && !equalsIgnoringCase(
      head.data + transfer.valueAt, transfer.valueLength, "identity");
  const bool contentCoded = content.found() && !equalsIgnoringCase(
      head.data + content.valueAt, content.valueLength, "identity");
  if (!transferCoded && !contentCoded) line += "; coding: none";
  if (transferCoded) {
    const bool chunked = findBytes(head.data, transfer.valueAt,
                                   transfer.valueAt + transfer.valueLength, "chunked", 7) >= 0;
    line += std::string(chunked ? "; coding: chunked" : "; coding: transfer-coded") +
            " (Transfer-Encoding: " + head.field(transfer) + ")";
  }
  if (contentCoded) {
    line += std::string(transferCoded ? ", compressed" : "; coding: compressed") +
            " (Content-Encoding: " + head.field(content) + ")";
  }
  return !transferCoded && !contentCoded;
}

// "; redirect: ...": the installer follows none. True when there is none.
bool describeRedirect(const Head& head, int32_t status, std::string& line) {
  const HeadField location = findHeadField(head.data, head.limit, "location");
  if ((status < 300 || status > 399) && !location.found()) {
    line += "; redirect: no";
    return true;
  }
  line += "; redirect: yes (";
  line += status > 0 ? std::to_string(status) : std::string("no status code");
  line += location.found() ? ", Location: " + head.field(location) : ", no Location";
  line += ")";
  return false;
}

// "; buffer: ...": does the response fit the download buffer.
void describeBuffer(const Head& head, const DownloadReport& report, std::string& line) {
  if (report.end == DownloadEnd::TooLarge) {
    line += "; buffer: too large (more than " + std::to_string(kDownloadBufferSize) +
            " bytes with the zero byte)";
  } else if (report.end == DownloadEnd::ReceiveFailed ||
             report.end == DownloadEnd::ReceiveTimedOut) {
    line += "; buffer: unknown (the connection failed)";
  } else if (judgeStatusLine(head.data, head.valid) == StatusVerdict::Rejected) {
    line += "; buffer: not read to the end (status not accepted)";
  } else {
    line += "; buffer: fits (" + std::to_string(head.valid + 1) + " of " +
            std::to_string(kDownloadBufferSize) + " bytes)";
  }
}

// "; check: ...[; signature: ...]" for a package's body, with check's finding lines.
bool describePackage(const uint8_t* body, const DownloadReport& report,
                     const ServerCheck& check, PathReport& out) {
  // The bytes the installer would open: contentLength of them, or all with no length.
  const uint32_t size =
      static_cast<uint32_t>(report.contentLength >= 0 ? report.contentLength : report.bodyBytes);
  std::string signature;
  const PackageVerdict verdict =
      checkPackageBytes(body, size, check.key, check.crypto, [&](const PackageFinding& finding) {
        if (finding.kind == FindingKind::Signature)
          signature = finding.what;
        else if (finding.kind == FindingKind::Refused)
          signature = std::string("refused: ") + finding.why;
        else
          out.findings += "    " + findingLine(finding) + "\n";
      });
  out.line += "; " + verdictLine(verdict);
  if (check.key != nullptr) out.line += "; signature: " + signature;
  return verdict.installs();
}

PathReport checkPath(Network& network, uint8_t* buffer, const ServerCheck& check,
                     const ServerPath& path) {
  NoProgress progress;
  int32_t contentLength = -1;
  DownloadReport report;
  const uint8_t* body = downloadFile(progress, network, check.endpoint, path.path.c_str(),
                                     buffer, contentLength, nullptr, &report);
  const Head head = readHead(buffer, report);
  PathReport out;
  out.line = body != nullptr ? "download: ok" : "download: failed: " + downloadFailure(report, check);
  if (head.valid == 0) {
    out.line += "; status: none";
    if (path.channel != nullptr) out.line += "; check: not made (no body)";
    return out;
  }
  out.line += "; status: " + shown(head.data, head.statusLength);
  if (judgeStatusLine(head.data, head.valid) == StatusVerdict::Rejected)
    out.line += " (not HTTP/1.x 2xx)";
  bool good = describeLength(head, out.line);
  describeBuffer(head, report, out.line);
  good = describeCoding(head, out.line) && good;
  good = describeRedirect(head, report.status, out.line) && good;
  out.good = body != nullptr && good;
  if (path.channel == nullptr) return out;
  if (body == nullptr) {
    out.line += "; check: not made (no body)";
    return out;
  }
  out.good = describePackage(body, report, check, out) && out.good;
  return out;
}

}  // namespace

int checkServer(Network& network, uint8_t* buffer, const ServerCheck& check) {
  const std::vector<ServerPath> paths = serverPaths();
  std::vector<bool> good;
  for (const ServerPath& path : paths) {
    const PathReport report = checkPath(network, buffer, check, path);
    good.push_back(report.good);
    std::printf("%s: %s; %s\n%s", path.path.c_str(), report.good ? "good" : "bad",
                report.line.c_str(), report.findings.c_str());
    std::fflush(stdout);
  }
  // A channel installs when its package and every prerequisite path are good.
  int installing = 0;
  for (const ServerPath& channel : paths) {
    if (channel.channel == nullptr) continue;
    std::string bad;
    for (std::size_t other = 0; other < paths.size(); ++other) {
      if (good[other] || (&paths[other] != &channel && paths[other].channel != nullptr)) continue;
      bad += (bad.empty() ? "bad " : ", ") + paths[other].path;
    }
    installing += bad.empty() ? 1 : 0;
    std::printf("channel %s: %s%s\n", channel.channel,
                bad.empty() ? "installs" : "does not install: ", bad.c_str());
  }
  const int channels = static_cast<int>(std::size(kChannels));
  std::printf("channels: %d of %d install\n", installing, channels);
  return installing == channels ? 0 : 1;
}

}  // namespace vm
