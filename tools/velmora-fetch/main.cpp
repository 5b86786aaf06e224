// velmora-fetch: the installer's downloadFile against any server, for tests, the benchmark and
// diagnosis (docs/net.md says what it prints). The download form writes the body and reports
// contentLength and the progress positions; `check` asks a server for every path the installer
// asks for and says, path by path and channel by channel, whether the installer would install
// from it, and how each answers ranges. The server may be a store's address with a path below
// which the installer's paths lie (check http://HOST:PORT/BUCKET). --system, --https and
// --proxy go through the system transport (WinINet in velmora-fetch.exe, libcurl on the host).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/http_head.h"
#include "net/http_response.h"
#include "net/socket.h"
#include "net/system_request.h"
#include "platform/crypto.h"
#include "platform/format.h"
#include "tools/common/package_check.h"
#include "tools/common/tool_io.h"
#include "tools/velmora-fetch/range_probe.h"
#include "workflow/partial_update.h"
#include "workflow/server_layout.h"

#ifdef _WIN32
#include <winsock2.h>

#include "net/win32/wininet_network.h"
#include "net/win32/winsock_network.h"
using PlatformNetwork = vm::WinsockNetwork;
using SystemPlatformNetwork = vm::WinInetNetwork;
#else
#include <curl/curl.h>
#include <sys/mman.h>

#include "net/posix/bsd_network.h"
#include "net/posix/curl_network.h"
#include "platform/posix/openssl_crypto.h"
using PlatformNetwork = vm::BsdNetwork;
using SystemPlatformNetwork = vm::CurlNetwork;
#endif

namespace vm {
namespace {

struct ServerCheck {
  Endpoint endpoint;
  std::string prefix;  // put before each path: where a store's address puts the tree
  const RsaPublicKey* key = nullptr;  // check the packages' signatures with it, or null
  Crypto* crypto = nullptr;           // for the key
  // The system transport's network when the check goes through it, so that a request refused
  // before any response (a certificate, a proxy) is named with the stack's code and words; null
  // for the socket client.
  const SystemNetwork* system = nullptr;
};

// A path the installer asks for; `channel` names a package's channel, null for a prerequisite.
struct ServerPath { std::string path; const char* channel; };

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

// The command line: its options, taken wherever they stand after the program's name, and the
// other words in order.
struct Options {
  bool system = false;  // the system transport instead of the socket client
  bool https = false;
  std::string proxy;  // empty: the user's settings
  const ArgumentUnit* key = nullptr;  // check's --key
  const ArgumentUnit* kept = nullptr;  // the download form's --kept: a partial update first
  bool ranged = false;  // --range FROM VALIDATOR: the field profile's request (downloadRange)
  RangeAsk range;
  std::string validator;
  bool usable = true;
  std::vector<const ArgumentUnit*> words;
};

// The platform stack's words for a failure's code.
const char* systemErrorText(int32_t code) {
#ifdef _WIN32
  const char* text = winInetErrorText(code);
  return text != nullptr ? text : "";
#else
  return curl_easy_strerror(static_cast<CURLcode>(code));
#endif
}

// The network the options ask for: one of the two, both made so that either lives long enough.
struct Networks {
  explicit Networks(const Options& options)
      : system(options.https, options.proxy.empty() ? nullptr : options.proxy.c_str()),
        chosen(options.system ? static_cast<Network&>(system)
                            : static_cast<Network&>(socket)) {}
  PlatformNetwork socket;
  SystemPlatformNetwork system;
  Network& chosen;
};

// Records every position the download sets.
class RecordingProgress final : public ProgressSink {
 public:
  std::vector<int32_t> positions;
  void setPosition(int32_t position) override { positions.push_back(position); }
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

struct PathReport {
  bool good = false;
  std::string line;      // without the path and the verdict
  std::string findings;  // check's finding lines, each ending with a line end
  int32_t warnings = 0;  // what the installer works around
};

// Why downloadFile returned null, in the report's words; a system transport's request refused
// before any response (a certificate, the proxy) with the stack's code and words.
std::string downloadFailure(const DownloadReport& report, const ServerCheck& check) {
  if (check.system != nullptr && check.system->requestFailure() != RequestFailure::None) {
    return "the request failed before any response (system error " +
           std::to_string(report.error.code) + ": " + systemErrorText(report.error.code) +
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
  line += "; redirect: yes (" + (status > 0 ? std::to_string(status) : "no status code") +
          (location.found() ? ", Location: " + head.field(location) : ", no Location") + ")";
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

// "; ranges: ..." for a body that arrived whole, with a finding line per warning and problem.
// False when a resumed download would be damaged.
bool describeRanges(Network& network, const Head& head, const uint8_t* body, int32_t length,
                    const ServerCheck& check, const std::string& requestPath, PathReport& out) {
  if (check.system != nullptr) {
    out.line += "; ranges: not asked (the system transport sends only the path)";
    return true;
  }
  if (body == nullptr || length < 2) {
    out.line += "; ranges: not asked (no body of 2 bytes or more)";
    return true;
  }
  HeadField validator = findHeadField(head.data, head.limit, "etag");
  if (!validator.found()) validator = findHeadField(head.data, head.limit, "last-modified");
  const RangeFindings found = probeRanges(
      network, check.endpoint, requestPath.c_str(), body, length,
      validator.found() ? std::string(reinterpret_cast<const char*>(head.data) +
                                          validator.valueAt, validator.valueLength)
                        : std::string());
  out.warnings = static_cast<int32_t>(found.warnings.size());
  const auto count = [](std::size_t number, const char* what) {
    return std::to_string(number) + " " + what + (number == 1 ? "" : "s");
  };
  out.line += "; ranges: " + (found.warnings.empty() && found.problems.empty()
                                  ? std::to_string(found.asked) + " answered right"
                                  : count(found.problems.size(), "problem") + ", " +
                                        count(found.warnings.size(), "warning"));
  for (const std::string& problem : found.problems) out.findings += "    range: " + problem + "\n";
  for (const std::string& warning : found.warnings)
    out.findings += "    warning: " + warning + "\n";
  return found.problems.empty();
}

PathReport checkPath(Network& network, uint8_t* buffer, const ServerCheck& check,
                     const ServerPath& path) {
  RecordingProgress progress;
  int32_t contentLength = -1;
  DownloadReport report;
  const std::string requestPath = check.prefix + path.path;
  const uint8_t* body = downloadFile(progress, network, check.endpoint, requestPath.c_str(),
                                     buffer, contentLength, nullptr, &report);
  const Head head = readHead(buffer, report);
  PathReport out;
  out.line =
      body != nullptr ? "download: ok" : "download: failed: " + downloadFailure(report, check);
  if (head.valid > 0) {  // else no body either
    out.line += "; status: " + shown(head.data, head.statusLength);
    if (judgeStatusLine(head.data, head.valid) == StatusVerdict::Rejected)
      out.line += " (not HTTP/1.x 2xx)";
    out.good = describeLength(head, out.line);
    describeBuffer(head, report, out.line);
    out.good = describeCoding(head, out.line) && out.good;
    out.good = describeRedirect(head, report.status, out.line) && body != nullptr && out.good;
  } else {
    out.line += "; status: none";
  }
  if (path.channel != nullptr && body == nullptr) out.line += "; check: not made (no body)";
  if (path.channel != nullptr && body != nullptr)
    out.good = describePackage(body, report, check, out) && out.good;
  if (out.good) {
    out.good = describeRanges(network, head, body, report.contentLength, check, requestPath,
                              out);
  }
  return out;
}

// Runs the check and prints its report on stdout. `buffer` holds kDownloadBufferSize bytes.
// Returns 0 when every channel installs, else 1.
int checkServer(Network& network, uint8_t* buffer, const ServerCheck& check) {
  const std::vector<ServerPath> paths = serverPaths();
  std::vector<bool> good;
  int32_t warnings = 0;
  for (const ServerPath& path : paths) {
    const PathReport report = checkPath(network, buffer, check, path);
    good.push_back(report.good);
    warnings += report.warnings;
    std::printf("%s: %s; %s\n%s", path.path.c_str(), report.good ? "good" : "bad",
                report.line.c_str(), report.findings.c_str());
    std::fflush(stdout);
  }
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
  if (warnings > 0)
    std::printf("warnings: %d (the installer works around them)\n", static_cast<int>(warnings));
  return installing == channels ? 0 : 1;
}

constexpr char kUsage[] =
    "usage: velmora-fetch [--https] [--system] [--proxy PROXY] [--range FROM VALIDATOR] HOST PORT "
    "REQUEST_PATH OUTPUT_FILE\n"
    "       velmora-fetch --kept KEPT_PACKAGE HOST PORT REQUEST_PATH OUTPUT_FILE\n"
    "       velmora-fetch check HOST [PORT] [--key PUBLIC_KEY.pem] [--https] [--system] "
    "[--proxy PROXY]\n"
    "       velmora-fetch check http[s]://HOST[:PORT][/PATH] [--key ...] [--system] "
    "[--proxy PROXY]\n";

// The argument as 8-bit text; false when it holds anything but printable ASCII.
bool toNarrow(const ArgumentUnit* text, std::string& out) {
  for (out.clear(); *text != 0; ++text) {
    if (*text < 0x20 || *text > 0x7E) return false;
    out += static_cast<char>(*text);
  }
  return true;
}

Options takeOptions(int argc, ArgumentUnit** argv) {
  Options options;
  for (int index = 1; index < argc && options.usable; ++index) {
    if (argumentIs(argv[index], "--https")) {
      options.https = options.system = true;
    } else if (argumentIs(argv[index], "--system")) {
      options.system = true;
    } else if (argumentIs(argv[index], "--proxy")) {
      options.system = true;
      options.usable = options.proxy.empty() && ++index < argc &&
                       toNarrow(argv[index], options.proxy) && !options.proxy.empty();
    } else if (argumentIs(argv[index], "--kept")) {
      options.usable = options.kept == nullptr && ++index < argc;
      if (options.usable) options.kept = argv[index];
    } else if (argumentIs(argv[index], "--range")) {
      std::string from;
      options.usable = !options.ranged && index + 2 < argc && toNarrow(argv[++index], from) &&
                       toNarrow(argv[++index], options.validator) && !from.empty() &&
                       from.size() <= 9 && from.find_first_not_of("0123456789") == std::string::npos;
      options.ranged = true;
      options.range.from = options.usable ? static_cast<int32_t>(std::stol(from)) : 0;
    } else if (argumentIs(argv[index], "--key")) {
      options.usable = options.key == nullptr && ++index < argc;
      if (options.usable) options.key = argv[index];
    } else {
      options.words.push_back(argv[index]);
    }
  }
  return options;
}

// A port number of 1 to 65535 in decimal digits.
bool parsePort(const std::string& text, uint16_t& port) {
  const bool digits = !text.empty() && text.size() <= 5 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const long value = digits ? std::strtol(text.c_str(), nullptr, 10) : 0;
  port = static_cast<uint16_t>(value);
  return value >= 1 && value <= 65535;
}

bool parsePort(const ArgumentUnit* argument, uint16_t& port) {
  std::string text;
  return toNarrow(argument, text) && parsePort(text, port);
}

// The download buffer, in transparent huge pages where Linux grants them (why: row 1 of
// docs/performance.md). The advice may be ignored.
using Buffer = std::unique_ptr<uint8_t, void (*)(void*)>;
Buffer allocateDownloadBuffer() {
  void* block = nullptr;
#ifdef __linux__
  constexpr std::size_t kHugePage = 2 * 1024 * 1024;
  if (posix_memalign(&block, kHugePage, kDownloadBufferSize) == 0)
    madvise(block, kDownloadBufferSize, MADV_HUGEPAGE);
#else
  block = std::malloc(kDownloadBufferSize);
#endif
  if (block == nullptr) std::fputs("velmora-fetch: no memory for the download buffer\n", stderr);
  return Buffer(static_cast<uint8_t*>(block), std::free);
}

void printReport(int32_t contentLength, const std::vector<int32_t>& positions, double seconds) {
  std::string report = "contentLength: " + std::to_string(contentLength) + "\npositions:";
  for (int32_t position : positions) report += " " + std::to_string(position);
  if (std::getenv("VELMORA_FETCH_TIMING") != nullptr)
    report += "\nseconds: " + std::to_string(seconds);
  std::fprintf(stderr, "%s\n", report.c_str());
}

// The partial update's log lines, on stderr.
class StderrLog final : public RunLog {
 public:
  void write(const char* event) override { std::fprintf(stderr, "%s\n", event); }
  uint32_t elapsedMilliseconds() override { return 0; }
  void finish(InstallResult) override {}
};

// --kept: the installer's partial update over the chosen network, from the kept package; true
// with the rebuilt package at the buffer's start (`length` bytes). Nothing vouches for it here
// (the installer checks its signature; so can vmpkg verify).
bool fetchPartially(const Options& options, Networks& networks, Network& network,
                    const Endpoint& endpoint,
                    const char* requestPath, uint8_t* buffer, ProgressSink& progress,
                    int32_t& length) {
  WholeFile kept;
  std::string why;
  StderrLog log;
  if (!kept.load(options.kept, kLargestPackage, why)) {
    log.write(("partial update: downloading whole: the kept package " + why).c_str());
    return false;
  }
  SocketPieceTransport socket(network, endpoint);
  SystemPieceTransport system(networks.system, endpoint);
  PieceTransport& transport = options.system ? static_cast<PieceTransport&>(system) : socket;
  return fetchPartialUpdate(transport, progress, log, requestPath, kept.data(), kept.length(),
                            buffer, kDownloadBufferSize, length);
}

// The download form: HOST PORT REQUEST_PATH OUTPUT_FILE.
int fetch(const Options& options) {
  std::string host, requestPath;
  uint16_t port = 0;
  const auto& words = options.words;
  if (options.key != nullptr || words.size() != 4 || !toNarrow(words[0], host) ||
      !parsePort(words[1], port) || !toNarrow(words[2], requestPath) ||
      (options.kept != nullptr && options.ranged)) {
    return complain(2, "%s", kUsage);
  }
  const Buffer buffer = allocateDownloadBuffer();
  if (buffer == nullptr) return 2;
  RecordingProgress progress;
  Networks networks(options);
  int32_t contentLength = 0, bodyBytes = 0;
  const auto started = std::chrono::steady_clock::now();
  DownloadReport report;
  RangeAnswer answer;
  const Endpoint endpoint = {host.c_str(), port};
  const uint8_t* body = nullptr;
  if (options.ranged) {
    RangeAsk ask = options.range;
    ask.validator = options.validator.c_str();
    SocketRangedTransport socket(networks.socket, endpoint);
    SystemRangedTransport system(networks.system, endpoint);
    RangedTransport& ranged = options.system ? static_cast<RangedTransport&>(system) : socket;
    body = ranged.fetchRange(progress, requestPath.c_str(), ask, buffer.get(),
                             kDownloadBufferSize, report, answer);
    contentLength = report.contentLength;
    // What a retry would go by, also when the attempt failed.
    std::fprintf(stderr, "status: %d\nrange: %d-%d/%d\nvalidator: %s\nreceived: %d\n",
                 static_cast<int>(report.status), static_cast<int>(answer.rangeFirst),
                 static_cast<int>(answer.rangeLast), static_cast<int>(answer.rangeTotal),
                 answer.validator.get(), static_cast<int>(report.bodyBytes));
  } else if (options.kept != nullptr &&
             fetchPartially(options, networks, networks.chosen, endpoint, requestPath.c_str(),
                            buffer.get(), progress, contentLength)) {
    body = buffer.get();
  } else {
    body = downloadFile(progress, networks.chosen, endpoint, requestPath.c_str(), buffer.get(),
                        contentLength, &bodyBytes, &report);
  }
  if (body == nullptr) {
    // A system transport's request refused before any response (a certificate, the proxy) is
    // named as the installer's log names it, with the stack's code and words.
    const RequestFailure failure = networks.system.requestFailure();
    if (options.system && failure != RequestFailure::None)
      report.end = requestFailureEnd(failure);
    if (options.system && report.error.code != 0) {
      return complain(1, "download failed: %s (system error %d: %s)\n",
                      downloadEndText(report.end), static_cast<int>(report.error.code),
                      systemErrorText(report.error.code));
    }
    return complain(1, "download failed: %s\n", downloadEndText(report.end));
  }
  const auto size = static_cast<std::size_t>(contentLength == -1 ? bodyBytes : contentLength);
#ifdef _WIN32
  FILE* output = _wfopen(words[3], L"wb");
#else
  FILE* output = std::fopen(words[3], "wb");
#endif
  const bool written = output != nullptr && std::fwrite(body, 1, size, output) == size;
  if (output == nullptr || std::fclose(output) != 0 || !written)
    return complain(2, "velmora-fetch: the output file cannot be written\n");
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  printReport(contentLength, progress.positions, elapsed.count());
  return 0;
}

// "http[s]://HOST[:PORT][/PATH]" into the host, the port (when given), the path without a
// trailing "/" and whether it asks for https. False for anything else.
bool parseAddress(const std::string& address, std::string& host, std::string& port,
                  std::string& path, bool& https) {
  https = address.rfind("https://", 0) == 0;
  if (!https && address.rfind("http://", 0) != 0) return false;
  const std::string rest = address.substr(https ? 8 : 7);
  const std::size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  path = slash == std::string::npos ? "" : rest.substr(slash);
  while (!path.empty() && path.back() == '/') path.pop_back();
  const std::size_t colon = authority.find(':');
  host = authority.substr(0, colon);
  port = colon == std::string::npos ? "" : authority.substr(colon + 1);
  return !host.empty() && (colon == std::string::npos || !port.empty()) &&
         path.find_first_of(" \"%?#") == std::string::npos;
}

// check HOST [PORT] or check URL: 0 every channel installs, 1 not, 2 a wrong command line, an
// unusable key or no memory.
int checkCommand(Options options) {
  std::string host, address, portText, prefix;
  const auto& words = options.words;
  bool https = false;
  const bool url = words.size() == 2 && toNarrow(words[1], address) &&
                   parseAddress(address, host, portText, prefix, https);
  if (https) options.https = options.system = true;
  uint16_t port = options.https ? 443 : 80;
  if (url ? !portText.empty() && !parsePort(portText, port)
          : (words.size() < 2 || words.size() > 3 || !toNarrow(words[1], host) ||
             host.empty() || (words.size() == 3 && !parsePort(words[2], port)))) {
    return complain(2, "%s", kUsage);
  }
  ServerCheck check;
  check.endpoint = {host.c_str(), port};
  check.prefix = prefix;
#ifdef _WIN32
  if (options.key != nullptr)
    return complain(2, "velmora-fetch: check --key needs the host build of velmora-fetch "
                       "(OpenSSL)\n");
#else
  KeyFile key;
  OpenSslCrypto crypto;
  if (options.key != nullptr && !readPublicKeyFile("velmora-fetch", options.key, key)) return 2;
  check.key = options.key != nullptr ? &key.view : nullptr;
  check.crypto = &crypto;
#endif
  const Buffer buffer = allocateDownloadBuffer();
  if (buffer == nullptr) return 2;
  Networks networks(options);
  check.system = options.system ? &networks.system : nullptr;
  return checkServer(networks.chosen, buffer.get(), check);
}

// The check, or the download form (also for a host named "check": four words, a port number,
// then a request path, which check never takes).
int run(int argc, ArgumentUnit** argv) {
  const Options options = takeOptions(argc, argv);
  const auto& words = options.words;
  uint16_t port = 0;
  const bool downloadForm = words.size() == 4 && parsePort(words[1], port) && words[2][0] == '/';
  if (!options.usable) return complain(2, "%s", kUsage);
  if (!words.empty() && argumentIs(words[0], "check") && !downloadForm)
    return checkCommand(options);
  return fetch(options);
}

}  // namespace
}  // namespace vm

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // The installer's process entry starts the socket library; this tool is its own entry.
  WSADATA socketLibrary;
  if (WSAStartup(MAKEWORD(2, 2), &socketLibrary) != 0)
    return vm::complain(2, "velmora-fetch: the socket library cannot be started\n");
  const int status = vm::run(argc, argv);
  WSACleanup();
  return status;
}
#else
int main(int argc, char** argv) { return vm::run(argc, argv); }
#endif
