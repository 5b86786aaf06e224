#include "ui/install_worker.h"

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

// The download server: the product's fixed host, port 80.
constexpr Endpoint kDownloadServer = {kDownloadHost, 80};

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
    return static_cast<DWORD>(runFieldInstallation(system, view, transport, release, files, log));
  }
  return static_cast<DWORD>(runFieldInstallation(system, view, transport, release, files, log));
}

}  // namespace

FileRunLog* runLog = nullptr;

DWORD WINAPI installWorker(LPVOID window) {
  if constexpr (kFieldProfile) return fieldWorker(static_cast<HWND>(window));
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

}  // namespace vm
