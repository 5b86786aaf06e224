#include "ui/install_worker.h"

#include "net/win32/winsock_network.h"
#include "product_values.h"  // generated: the download host
#include "ui/progress_window.h"
#include "workflow/install_sequence.h"
#include "workflow/win32/win32_install_system.h"

namespace vm {
namespace {

// The download server: the product's fixed host, port 80.
constexpr Endpoint kDownloadServer = {kDownloadHost, 80};

}  // namespace

DWORD WINAPI installWorker(LPVOID window) {
  Win32ProgressView view(static_cast<HWND>(window));
  Win32InstallSystem system;
  WinsockNetwork network;
  return static_cast<DWORD>(runInstallation(system, view, network, kDownloadServer));
}

}  // namespace vm
