// velmora-fetch HOST PORT REQUEST_PATH OUTPUT_FILE: the installer's downloadFile against any
// server (tests, benchmark, diagnosis). Writes the body (contentLength bytes, or every body byte
// without a length) and prints "contentLength: N" and "positions: P1 P2 ..." on stderr: exit 0;
// "download failed: HOW": exit 1; a wrong command line or a local failure: exit 2. With
// VELMORA_FETCH_TIMING set it also prints "seconds: S" from connecting to the closed file.
// velmora-fetch check HOST [PORT] [--key PUBLIC_KEY.pem]: see server_check.h.
// Either form takes --system (the system transport: WinINet in velmora-fetch.exe, as the
// installer built with VELMORA_TRANSPORT=system; libcurl on the host), --https (over TLS; check's
// port is then 443 unless given) and --proxy PROXY (through it instead of the user's settings);
// the last two imply --system.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "net/download.h"
#include "tools/common/arguments.h"
#include "tools/velmora-fetch/server_check.h"

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
#include "tools/common/key_file.h"
using PlatformNetwork = vm::BsdNetwork;
using SystemPlatformNetwork = vm::CurlNetwork;
#endif

namespace {

constexpr char kUsage[] =
    "usage: velmora-fetch [--https] [--system] [--proxy PROXY] HOST PORT REQUEST_PATH "
    "OUTPUT_FILE\n"
    "       velmora-fetch check HOST [PORT] [--key PUBLIC_KEY.pem] [--https] [--system] "
    "[--proxy PROXY]\n";

// How the tool downloads: the socket client, or the system transport.
struct Route {
  bool system = false;
  bool https = false;
  std::string proxy;  // empty: the user's settings
  bool usable = true;
};

// The platform stack's words for a failure's code.
const char* systemErrorText(int32_t code) {
#ifdef _WIN32
  const char* text = vm::winInetErrorText(code);
  return text != nullptr ? text : "";
#else
  return curl_easy_strerror(static_cast<CURLcode>(code));
#endif
}

// The network a route asks for: one of the two, both made so that either lives long enough.
struct Networks {
  explicit Networks(const Route& route)
      : system(route.https, route.proxy.empty() ? nullptr : route.proxy.c_str()),
        chosen(route.system ? static_cast<vm::Network&>(system)
                            : static_cast<vm::Network&>(socket)) {}
  PlatformNetwork socket;
  SystemPlatformNetwork system;
  vm::Network& chosen;
};

// Records every position the download sets.
class RecordingProgress final : public vm::ProgressSink {
 public:
  std::vector<int32_t> positions;
  void setPosition(int32_t position) override { positions.push_back(position); }
};

// The argument as 8-bit text; false when it holds anything but printable ASCII.
bool toNarrow(const vm::ArgumentUnit* text, std::string& out) {
  for (out.clear(); *text != 0; ++text) {
    if (*text < 0x20 || *text > 0x7E) return false;
    out += static_cast<char>(*text);
  }
  return true;
}

// Takes the route's options out of the command line, wherever they stand after the program's
// name; `arguments` keeps the others in order (and a null after them).
Route takeRoute(int argc, vm::ArgumentUnit** argv, std::vector<vm::ArgumentUnit*>& arguments) {
  Route route;
  arguments.assign(argv, argv + 1);
  for (int index = 1; index < argc; ++index) {
    if (vm::argumentIs(argv[index], "--https")) {
      route.https = route.system = true;
    } else if (vm::argumentIs(argv[index], "--system")) {
      route.system = true;
    } else if (vm::argumentIs(argv[index], "--proxy")) {
      route.system = true;
      route.usable = route.usable && route.proxy.empty() && ++index < argc &&
                     toNarrow(argv[index], route.proxy) && !route.proxy.empty();
    } else {
      arguments.push_back(argv[index]);
    }
  }
  arguments.push_back(nullptr);
  return route;
}

// A port number of 1 to 65535 in decimal digits.
bool parsePort(const vm::ArgumentUnit* argument, uint16_t& port) {
  std::string text;
  if (!toNarrow(argument, text) || text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  port = static_cast<uint16_t>(value);
  return value >= 1 && value <= 65535;
}

// The download buffer, in transparent huge pages where Linux grants them (why: row 1 of
// docs/performance.md). The advice may be ignored.
using Buffer = std::unique_ptr<uint8_t, void (*)(void*)>;
Buffer allocateDownloadBuffer() {
  void* block = nullptr;
#ifdef __linux__
  constexpr std::size_t kHugePage = 2 * 1024 * 1024;
  if (posix_memalign(&block, kHugePage, vm::kDownloadBufferSize) == 0)
    madvise(block, vm::kDownloadBufferSize, MADV_HUGEPAGE);
#else
  block = std::malloc(vm::kDownloadBufferSize);
#endif
  if (block == nullptr) std::fputs("velmora-fetch: no memory for the download buffer\n", stderr);
  return Buffer(static_cast<uint8_t*>(block), std::free);
}

void printReport(int32_t contentLength, const std::vector<int32_t>& positions,
                 double seconds) {
  std::string report = "contentLength: " + std::to_string(contentLength) + "\npositions:";
  for (int32_t position : positions) report += " " + std::to_string(position);
  if (std::getenv("VELMORA_FETCH_TIMING") != nullptr)
    report += "\nseconds: " + std::to_string(seconds);
  std::fprintf(stderr, "%s\n", report.c_str());
}

int fetch(int argc, vm::ArgumentUnit** argv, const Route& route) {
  std::string host;
  std::string requestPath;
  uint16_t port = 0;
  if (argc != 5 || !toNarrow(argv[1], host) || !parsePort(argv[2], port) ||
      !toNarrow(argv[3], requestPath)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const Buffer buffer = allocateDownloadBuffer();
  if (buffer == nullptr) return 2;
  RecordingProgress progress;
  Networks networks(route);
  vm::Network& network = networks.chosen;
  int32_t contentLength = 0;
  int32_t bodyBytes = 0;
  const auto started = std::chrono::steady_clock::now();
  vm::DownloadReport report;
  const uint8_t* body = vm::downloadFile(progress, network, {host.c_str(), port},
                                         requestPath.c_str(), buffer.get(), contentLength,
                                         &bodyBytes, &report);
  if (body == nullptr) {
    // A system transport's request refused before any response (a certificate, the proxy) is
    // named as the installer's log names it, with the stack's code and words.
    const vm::RequestFailure failure = networks.system.requestFailure();
    if (route.system && failure != vm::RequestFailure::None)
      report.end = vm::requestFailureEnd(failure);
    if (route.system && report.error.code != 0) {
      std::fprintf(stderr, "download failed: %s (system error %d: %s)\n",
                   vm::downloadEndText(report.end), static_cast<int>(report.error.code),
                   systemErrorText(report.error.code));
    } else {
      std::fprintf(stderr, "download failed: %s\n", vm::downloadEndText(report.end));
    }
    return 1;
  }
  const auto size = static_cast<std::size_t>(contentLength == -1 ? bodyBytes : contentLength);
#ifdef _WIN32
  FILE* output = _wfopen(argv[4], L"wb");
#else
  FILE* output = std::fopen(argv[4], "wb");
#endif
  const bool written = output != nullptr && std::fwrite(body, 1, size, output) == size;
  if (output == nullptr || std::fclose(output) != 0 || !written) {
    std::fputs("velmora-fetch: the output file cannot be written\n", stderr);
    return 2;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  printReport(contentLength, progress.positions, elapsed.count());
  return 0;
}

// True for the download form's command line whose host happens to be named "check": four
// arguments, a port number, then a request path (check takes no such pair).
bool isDownloadForm(int argc, vm::ArgumentUnit** argv) {
  uint16_t port = 0;
  return argc == 5 && parsePort(argv[2], port) && argv[3][0] == '/';
}

// velmora-fetch check HOST [PORT] [--key PUBLIC_KEY.pem]: 0 every channel installs, 1 not,
// 2 a wrong command line, an unusable key or no memory.
int checkCommand(int argc, vm::ArgumentUnit** argv, const Route& route) {
  std::string host;
  uint16_t port = route.https ? 443 : 80;
  const vm::ArgumentUnit* keyPath = nullptr;
  int positional = 0;
  bool usable = true;
  for (int index = 2; index < argc && usable; ++index) {
    if (vm::argumentIs(argv[index], "--key")) {
      usable = keyPath == nullptr && ++index < argc;
      keyPath = usable ? argv[index] : nullptr;
    } else {
      usable = positional == 0   ? toNarrow(argv[index], host) && !host.empty()
               : positional == 1 ? parsePort(argv[index], port)
                                 : false;
      ++positional;
    }
  }
  if (!usable || positional == 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  vm::ServerCheck check;
  check.endpoint = {host.c_str(), port};
#ifdef _WIN32
  if (keyPath != nullptr) {
    std::fputs("velmora-fetch: check --key needs the host build of velmora-fetch (OpenSSL)\n",
               stderr);
    return 2;
  }
#else
  vm::KeyFile key;
  vm::OpenSslCrypto crypto;
  if (keyPath != nullptr && !vm::readPublicKeyFile("velmora-fetch", keyPath, key)) return 2;
  check.key = keyPath != nullptr ? &key.view : nullptr;
  check.crypto = &crypto;
#endif
  const Buffer buffer = allocateDownloadBuffer();
  if (buffer == nullptr) return 2;
  Networks networks(route);
  if (route.system) {
    check.system = &networks.system;
    check.systemErrorText = systemErrorText;
  }
  return vm::checkServer(networks.chosen, buffer.get(), check);
}

// The check, or the download form.
int run(int argc, vm::ArgumentUnit** argv) {
  std::vector<vm::ArgumentUnit*> arguments;
  const Route route = takeRoute(argc, argv, arguments);
  if (!route.usable) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const int count = static_cast<int>(arguments.size()) - 1;
  if (count >= 2 && vm::argumentIs(arguments[1], "check") &&
      !isDownloadForm(count, arguments.data()))
    return checkCommand(count, arguments.data(), route);
  return fetch(count, arguments.data(), route);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // The installer's process entry starts the socket library; this tool is its own entry.
  WSADATA socketLibrary;
  if (WSAStartup(MAKEWORD(2, 2), &socketLibrary) != 0) {
    std::fputs("velmora-fetch: the socket library cannot be started\n", stderr);
    return 2;
  }
  const int status = run(argc, argv);
  WSACleanup();
  return status;
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
