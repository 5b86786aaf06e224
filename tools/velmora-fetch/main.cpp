// velmora-fetch HOST PORT REQUEST_PATH OUTPUT_FILE
// velmora-fetch check HOST [PORT] [--key PUBLIC_KEY.pem]
//
// Runs the installer's downloadFile against any server, for the tests, the benchmark and anyone
// diagnosing a download server. On success the first form writes the body to OUTPUT_FILE
// (contentLength bytes; every body byte received when the length is unknown), prints
// "contentLength: N" and "positions: P1 P2 ..." (every position set, in order) on stderr and
// exits 0. A failed download prints "download failed" and exits 1; a wrong command line or a
// local failure exits 2. `check` asks for every path the installer asks for and says whether
// each channel would install (server_check.h; --key needs the host build).
// With VELMORA_FETCH_TIMING set in the environment, a successful run also prints
// "seconds: S", the time from connecting to the closed output file: the benchmark's measure
// where starting the process dominates (Wine).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/download.h"
#include "tools/velmora-fetch/server_check.h"

#ifdef _WIN32
#include <winsock2.h>

#include "net/win32/winsock_network.h"
using NativeChar = wchar_t;
using PlatformNetwork = vm::WinsockNetwork;
#else
#include <sys/mman.h>

#include "net/posix/bsd_network.h"
#include "platform/posix/openssl_crypto.h"
#include "tools/common/key_file.h"
using NativeChar = char;
using PlatformNetwork = vm::BsdNetwork;
#endif

namespace {

constexpr char kUsage[] =
    "usage: velmora-fetch HOST PORT REQUEST_PATH OUTPUT_FILE\n"
    "       velmora-fetch check HOST [PORT] [--key PUBLIC_KEY.pem]\n";

// Records every position the download sets.
class RecordingProgress final : public vm::ProgressSink {
 public:
  std::vector<int32_t> positions;
  void setPosition(int32_t position) override { positions.push_back(position); }
};

// The argument as 8-bit text; false when it holds anything but ASCII.
bool toNarrow(const NativeChar* text, std::string& out) {
  for (; *text != 0; ++text) {
    if (*text < 0x20 || *text > 0x7E) return false;
    out += static_cast<char>(*text);
  }
  return true;
}

bool parsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  long value = 0;
  for (char digit : text) {
    if (digit < '0' || digit > '9') return false;
    value = value * 10 + (digit - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// The download buffer. On Linux it asks for transparent huge pages: first touching 51 MB of
// fresh memory page by page costs some 12,000 page faults, which on a virtual machine took more
// time than the download itself; in 2 MiB pages it is a few dozen. The advice may be ignored.
uint8_t* allocateDownloadBuffer() {
#ifdef __linux__
  constexpr std::size_t kHugePage = 2 * 1024 * 1024;
  void* block = nullptr;
  if (posix_memalign(&block, kHugePage, vm::kDownloadBufferSize) != 0) return nullptr;
  madvise(block, vm::kDownloadBufferSize, MADV_HUGEPAGE);
  return static_cast<uint8_t*>(block);
#else
  return static_cast<uint8_t*>(std::malloc(vm::kDownloadBufferSize));
#endif
}

FILE* openOutput(const NativeChar* path) {
#ifdef _WIN32
  return _wfopen(path, L"wb");
#else
  return std::fopen(path, "wb");
#endif
}

void printReport(int32_t contentLength, const std::vector<int32_t>& positions,
                 double seconds) {
  std::string report = "contentLength: " + std::to_string(contentLength) + "\npositions:";
  for (int32_t position : positions) report += " " + std::to_string(position);
  report += "\n";
  if (std::getenv("VELMORA_FETCH_TIMING") != nullptr) {
    char line[64];
    std::snprintf(line, sizeof line, "seconds: %.6f\n", seconds);
    report += line;
  }
  std::fwrite(report.data(), 1, report.size(), stderr);
}

int fetch(int argc, NativeChar** argv) {
  std::string host;
  std::string portText;
  std::string requestPath;
  uint16_t port = 0;
  if (argc != 5 || !toNarrow(argv[1], host) || !toNarrow(argv[2], portText) ||
      !toNarrow(argv[3], requestPath) || !parsePort(portText, port)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  uint8_t* buffer = allocateDownloadBuffer();
  if (buffer == nullptr) {
    std::fputs("velmora-fetch: no memory for the download buffer\n", stderr);
    return 2;
  }
  RecordingProgress progress;
  PlatformNetwork network;
  const vm::Endpoint endpoint = {host.c_str(), port};
  int32_t contentLength = 0;
  int32_t bodyBytes = 0;
  const auto started = std::chrono::steady_clock::now();
  vm::DownloadReport report;
  const uint8_t* body = vm::downloadFile(progress, network, endpoint, requestPath.c_str(), buffer,
                                         contentLength, &bodyBytes, &report);
  if (body == nullptr) {
    std::free(buffer);
    std::fprintf(stderr, "download failed: %s\n", vm::downloadEndText(report.end));
    return 1;
  }
  const auto size = static_cast<std::size_t>(contentLength == -1 ? bodyBytes : contentLength);
  FILE* output = openOutput(argv[4]);
  const bool written = output != nullptr && std::fwrite(body, 1, size, output) == size;
  const bool closed = output != nullptr && std::fclose(output) == 0;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  std::free(buffer);
  if (!written || !closed) {
    std::fputs("velmora-fetch: the output file cannot be written\n", stderr);
    return 2;
  }
  printReport(contentLength, progress.positions, elapsed.count());
  return 0;
}

bool argumentIs(const NativeChar* argument, const char* text) {
  for (; *text != 0; ++argument, ++text)
    if (*argument != static_cast<NativeChar>(*text)) return false;
  return *argument == 0;
}

// True for the download form's command line whose host happens to be named "check": four
// arguments, a port number, then a request path (check takes no such pair).
bool isDownloadForm(int argc, NativeChar** argv) {
  std::string portText;
  uint16_t port = 0;
  return argc == 5 && toNarrow(argv[2], portText) && parsePort(portText, port) &&
         argv[3][0] == '/';
}

// velmora-fetch check HOST [PORT] [--key PUBLIC_KEY.pem]: 0 every channel installs, 1 not,
// 2 a wrong command line, an unusable key or no memory.
int checkCommand(int argc, NativeChar** argv) {
  std::string host;
  std::string portText = "80";
  const NativeChar* keyPath = nullptr;
  int positional = 0;
  bool usable = true;
  for (int index = 2; index < argc && usable; ++index) {
    if (argumentIs(argv[index], "--key")) {
      usable = keyPath == nullptr && ++index < argc;
      if (usable) keyPath = argv[index];
    } else if (positional == 0) {
      usable = toNarrow(argv[index], host) && !host.empty();
      ++positional;
    } else if (positional == 1) {
      portText.clear();
      usable = toNarrow(argv[index], portText);
      ++positional;
    } else {
      usable = false;
    }
  }
  uint16_t port = 0;
  if (!usable || positional == 0 || !parsePort(portText, port)) {
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
  if (keyPath != nullptr) {
    if (!vm::readPublicKeyFile("velmora-fetch", keyPath, key)) return 2;
    check.key = &key.view;
    check.crypto = &crypto;
  }
#endif
  uint8_t* buffer = allocateDownloadBuffer();
  if (buffer == nullptr) {
    std::fputs("velmora-fetch: no memory for the download buffer\n", stderr);
    return 2;
  }
  PlatformNetwork network;
  const int status = vm::checkServer(network, buffer, check);
  std::free(buffer);
  return status;
}

// The check, or the download form.
int run(int argc, NativeChar** argv) {
  if (argc >= 2 && argumentIs(argv[1], "check") && !isDownloadForm(argc, argv))
    return checkCommand(argc, argv);
  return fetch(argc, argv);
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
