#include "ui/install_worker.h"

#include <type_traits>

#include "net/win32/wininet_network.h"
#include "net/win32/winsock_network.h"
#include "platform/win32/crypto_api.h"
#include "product_values.h"  // generated: the download host, the transport and the profile
#include "release_trust.h"   // generated: the package key and the prerequisites' pins
#include "ui/progress_window.h"
#include "workflow/install_sequence.h"
#include "workflow/field_sequence.h"
#include "workflow/resuming_transport.h"
#include "workflow/win32/win32_update_files.h"
#include "workflow/win32/win32_install_system.h"

namespace vm {

FileRunLog* runLog = nullptr;
bool runChangedApplication = false;

namespace {

// The download server: the product's fixed host, port 80 (443 with HTTPS).
constexpr Endpoint kDownloadServer = {kDownloadHost, kDownloadPort};

// Whether this build checks anything it downloads. Without a key or pins the platform's crypto
// is not even made, so the installer imports none of it.
constexpr bool kChecksDownloads = kPackageKey.modulusLength != 0 || kRuntimeInstallerPin.pinned ||
                                  kUpdateX86InstallerPin.pinned || kUpdateX64InstallerPin.pinned;

// The system transport as the log sees it: before the first download a line names the route
// (WinINet, the scheme, the user's proxy settings as Windows holds them); a request refused
// before any response gets a line with WinINet's words for its code (a certificate refused for
// its authority, its host name, its dates), and a proxy that wants credentials Windows could not
// give is named as such.
class SystemRouteLog {
 public:
  SystemRouteLog(WinInetNetwork& network, RunLog& log) : network_(network), log_(log) {}

  void before() {
    if (described_) return;
    described_ = true;
    ProxyText proxy;
    LogLine line;
    line.add("transport: system (WinINet), ").add(kDownloadsOverHttps ? "https" : "http")
        .add(" to port ").number(kDownloadPort).add(", proxy settings: ")
        .add(network_.describeProxy(proxy) ? proxy.get() : "not readable");
    line.write(log_);
  }

  void after(const uint8_t* body, const DownloadReport& report) {
    if (body != nullptr) return;
    const char* why = winInetErrorText(report.error.code);
    if (why != nullptr)
      LogLine().add("WinINet error ").number(report.error.code).add(": ").add(why).write(log_);
    else if (report.status == 407)
      LogLine().add("proxy refused: it asks for credentials Windows did not give (407)")
          .write(log_);
  }

 private:
  WinInetNetwork& network_;
  RunLog& log_;
  bool described_ = false;
};

// Whole bodies over WinINet (the described profile).
class LoggedSystemTransport final : public Transport {
 public:
  LoggedSystemTransport(WinInetNetwork& network, RunLog& log)
      : transport_(network, kDownloadServer), route_(network, log) {}

  const uint8_t* fetch(ProgressSink& progress, const char* requestPath, uint8_t* buffer,
                       DownloadReport& report) override {
    route_.before();
    const uint8_t* body = transport_.fetch(progress, requestPath, buffer, report);
    route_.after(body, report);
    return body;
  }

 private:
  SystemTransport transport_;
  SystemRouteLog route_;
};

// Ranges over WinINet (the field profile's attempts).
class LoggedSystemRangedTransport final : public RangedTransport {
 public:
  LoggedSystemRangedTransport(WinInetNetwork& network, RunLog& log)
      : transport_(network, kDownloadServer), route_(network, log) {}

  const uint8_t* fetchRange(ProgressSink& progress, const char* requestPath, const RangeAsk& ask,
                            uint8_t* buffer, int32_t capacity, DownloadReport& report,
                            RangeAnswer& answer) override {
    route_.before();
    const uint8_t* body =
        transport_.fetchRange(progress, requestPath, ask, buffer, capacity, report, answer);
    route_.after(body, report);
    return body;
  }
  SystemNetwork& network() { return transport_.network(); }  // for a partial update's pieces

 private:
  SystemRangedTransport transport_;
  SystemRouteLog route_;
};

// Each build option decided once. VELMORA_TRANSPORT: the network (WinINet or the installer's
// own client over Winsock). With VELMORA_PROFILE: what one attempt fetches over it, a whole body
// or (field) a range the retries resume. Only the chosen types are ever made, so an installer
// carries none of the others' code.
using DownloadNetwork = std::conditional_t<kSystemTransport, WinInetNetwork, WinsockNetwork>;
using AttemptTransport = std::conditional_t<
    kSystemTransport,
    std::conditional_t<kFieldProfile, LoggedSystemRangedTransport, LoggedSystemTransport>,
    std::conditional_t<kFieldProfile, SocketRangedTransport, SocketTransport>>;

// Templates, so that only the chosen branch is compiled.
template <bool kSystem = kSystemTransport>
DownloadNetwork makeNetwork() {
  if constexpr (kSystem) {
    return DownloadNetwork(kDownloadsOverHttps);
  } else {
    return DownloadNetwork();
  }
}

template <typename Network>
AttemptTransport makeAttempts(Network& network) {
  if constexpr (kSystemTransport) {
    // The run's log (opened before the worker starts), or one that drops every line.
    static NullLog noLog;
    return AttemptTransport(network, runLog != nullptr ? static_cast<RunLog&>(*runLog) : noLog);
  } else {
    return AttemptTransport(network, kDownloadServer);
  }
}

// VELMORA_PROFILE: the described sequence over the attempts as they are, or the field one with
// its retries and its staged updates.
template <typename Attempts>
InstallResult runSequence(Win32ProgressView& view, Attempts& attempts, Release& release,
                          RunLog& log) {
  Win32InstallSystem system;
  if constexpr (kFieldProfile && kPackageKey.modulusLength != 0) {
    // With a key (its check vouches for a rebuilt package): updates fetch only what changed
    // since the kept package, over the same network as every other download.
    Win32UpdateFiles files;
    ResumingTransport transport(attempts, system, log);
    std::conditional_t<kSystemTransport, SystemPieceTransport, SocketPieceTransport> pieces(
        attempts.network(), kDownloadServer);
    return runKeptFieldInstallation(system, view, transport, release, files, log,
                                    &runChangedApplication, pieces);
  } else if constexpr (kFieldProfile) {
    Win32UpdateFiles files;
    ResumingTransport transport(attempts, system, log);
    return runFieldInstallation(system, view, transport, release, files, log,
                                &runChangedApplication);
  } else {
    return runInstallation(system, view, attempts, release, log);
  }
}

// The key and the pins: the platform's crypto only when something is checked.
InstallResult runChecked(Win32ProgressView& view, AttemptTransport& attempts, Release& release,
                         RunLog& log) {
  if constexpr (kChecksDownloads) {
    CryptoApi crypto;
    release.crypto = &crypto;
    return runSequence(view, attempts, release, log);
  }
  return runSequence(view, attempts, release, log);
}

}  // namespace

DWORD WINAPI installWorker(LPVOID window) {
  Win32ProgressView view(static_cast<HWND>(window));
  DownloadNetwork network = makeNetwork();
  AttemptTransport attempts = makeAttempts(network);
  Release release{kBuildDescription,
                  {kRuntimeInstallerPin, kUpdateX86InstallerPin, kUpdateX64InstallerPin},
                  kPackageKey, nullptr};
  NullLog noLog;
  RunLog& log = runLog != nullptr ? static_cast<RunLog&>(*runLog) : noLog;
  return static_cast<DWORD>(runChecked(view, attempts, release, log));
}

}  // namespace vm
