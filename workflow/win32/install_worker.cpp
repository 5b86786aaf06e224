#include "workflow/win32/install_worker.h"

#include "net/download.h"
#include "net/win32/winsock_network.h"
#include "ui/progress_window.h"
#include "workflow/install_sequence.h"
#include "workflow/win32/win32_install_system.h"

namespace vm {

DWORD WINAPI installWorker(LPVOID window) {
  Win32ProgressView view(static_cast<HWND>(window));
  Win32InstallSystem system;
  WinsockNetwork network;
  return static_cast<DWORD>(runInstallation(system, view, network, kDownloadServer));
}

}  // namespace vm
