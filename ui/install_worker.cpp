#include "ui/install_worker.h"

#include "net/win32/wininet_network.h"
#include "net/win32/winsock_network.h"
#include "platform/win32/crypto_api.h"
#include "product_values.h"  // generated: the download host
#include "release_trust.h"   // generated: the package key and the prerequisites' pins
#include "ui/progress_window.h"
#include "workflow/install_sequence.h"
#include "workflow/field_sequence.h"
#include "workflow/resuming_transport.h"
#include "workflow/win32/win32_update_files.h"
#include "workflow/win32/win32_install_system.h"

namespace vm {
namespace {

// The download server: the product's fixed host, port 80 (443 with HTTPS).
constexpr Endpoint kDownloadServer = {kDownloadHost, kDownloadPort};

// Whether this build checks anything it downloads. Without a key or pins the platform's crypto
// is not even made, so the installer imports none of it.
constexpr bool kChecksDownloads = kPackageKey.modulusLength != 0 || kRuntimeInstallerPin.pinned ||
                                  kUpdateX86InstallerPin.pinned || kUpdateX64InstallerPin.pinned;

// Runs the installation with or without the platform's crypto.
InstallResult runWith(Win32ProgressView& view, Transport& transport, Release& release,
                      RunLog& log) {
  Win32InstallSystem system;
  if constexpr (kChecksDownloads) {
    CryptoApi crypto;
    release.crypto = &crypto;
    return runInstallation(system, view, transport, release, log);
  }
  return runInstallation(system, view, transport, release, log);
}

// The field profile's worker: downloads retried and resumed, updates staged and switched in. The
// plain client is never made, so the installer carries only the ranged one.
DWORD fieldWorker(HWND window) {
  Win32ProgressView view(window);
  WinsockNetwork network;
  Release release{kBuildDescription,
                  {kRuntimeInstallerPin, kUpdateX86InstallerPin, kUpdateX64InstallerPin},
                  kPackageKey, nullptr};
  NullLog noLog;
  RunLog& log = runLog != nullptr ? static_cast<RunLog&>(*runLog) : noLog;
  Win32InstallSystem system;
  Win32UpdateFiles files;
  SocketRangedTransport ranged(network, kDownloadServer);
  ResumingTransport transport(ranged, system, log);
  if constexpr (kChecksDownloads) {
    CryptoApi crypto;
    release.crypto = &crypto;
    // Only a build with a key fetches partial updates: its check vouches for the rebuilt bytes.
    return static_cast<DWORD>(runFieldInstallation(
        system, view, transport, release, files, log, &runChangedApplication,
        kPackageKey.modulusLength != 0 ? &ranged : nullptr));
  }
  return static_cast<DWORD>(runFieldInstallation(system, view, transport, release, files, log,
                                                 &runChangedApplication));
}

// The system transport as the log sees it: before the first download a line names the route
// (WinINet, the scheme, the user's proxy settings as Windows holds them); a request refused
// before any response gets a line with WinINet's words for its code (a certificate refused for
// its authority, its host name, its dates).
class LoggedSystemTransport final : public Transport {
 public:
  LoggedSystemTransport(WinInetNetwork& network, RunLog& log)
      : network_(network), transport_(network, kDownloadServer), log_(log) {}

  const uint8_t* fetch(ProgressSink& progress, const char* requestPath, uint8_t* buffer,
                       DownloadReport& report) override {
    if (!described_) {
      described_ = true;
      ProxyText proxy;
      LogLine line;
      line.add("transport: system (WinINet), ").add(kDownloadsOverHttps ? "https" : "http")
          .add(" to port ").number(kDownloadPort).add(", proxy settings: ")
          .add(network_.describeProxy(proxy) ? proxy.get() : "not readable");
      line.write(log_);
    }
    const uint8_t* body = transport_.fetch(progress, requestPath, buffer, report);
    const char* why = body == nullptr ? winInetErrorText(report.error.code) : nullptr;
    if (why != nullptr)
      LogLine().add("WinINet error ").number(report.error.code).add(": ").add(why).write(log_);
    return body;
  }

 private:
  WinInetNetwork& network_;
  SystemTransport transport_;
  RunLog& log_;
  bool described_ = false;
};

}  // namespace

FileRunLog* runLog = nullptr;
bool runChangedApplication = false;

// The worker of an installer built with the system transport.
static DWORD systemInstallWorker(HWND window, RunLog& log) {
  Win32ProgressView view(window);
  WinInetNetwork network(kDownloadsOverHttps);
  LoggedSystemTransport transport(network, log);
  Release release{kBuildDescription,
                  {kRuntimeInstallerPin, kUpdateX86InstallerPin, kUpdateX64InstallerPin},
                  kPackageKey, nullptr};
  return static_cast<DWORD>(runWith(view, transport, release, log));
}

DWORD WINAPI installWorker(LPVOID window) {
  if constexpr (kFieldProfile) {
    return fieldWorker(static_cast<HWND>(window));
  } else if constexpr (kSystemTransport) {
    NullLog noLog;
    return systemInstallWorker(static_cast<HWND>(window),
                               runLog != nullptr ? static_cast<RunLog&>(*runLog) : noLog);
  } else {
    Win32ProgressView view(static_cast<HWND>(window));
    WinsockNetwork network;
    SocketTransport transport(network, kDownloadServer);
    Release release{kBuildDescription,
                    {kRuntimeInstallerPin, kUpdateX86InstallerPin, kUpdateX64InstallerPin},
                    kPackageKey, nullptr};
    NullLog noLog;
    RunLog& log = runLog != nullptr ? static_cast<RunLog&>(*runLog) : noLog;
    return static_cast<DWORD>(runWith(view, transport, release, log));
  }
}

}  // namespace vm
