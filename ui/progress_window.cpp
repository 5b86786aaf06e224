#include "ui/progress_window.h"

#include <commctrl.h>

#include "platform/win32/wide.h"
#include "ui/install_worker.h"

namespace vm {
namespace {

// Only the user-interface thread reads and writes this.
bool workerStarted = false;

}  // namespace

INT_PTR CALLBACK progressWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_SHOWWINDOW:
      // One more show-window notification arrives while the window is hidden at close; the
      // worker must still start only once.
      if (!workerStarted) {
        workerStarted = true;
        HANDLE thread = CreateThread(nullptr, 0, installWorker, window, 0, nullptr);
        if (thread != nullptr) {
          CloseHandle(thread);
        } else {
          // Without a worker nothing would ever close the window: close it as the worker would.
          if (runLog != nullptr) runLog->finish(InstallWorkerNotStarted);
          Win32ProgressView(window).close();
        }
      }
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

void allowAnotherWorker() { workerStarted = false; }

void Win32ProgressView::setStatus(const char16_t* text) {
  SendMessageW(GetDlgItem(window_, kStatusControlId), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(asWide(text)));
}

void Win32ProgressView::setMarquee(bool on) {
  SendMessageW(GetDlgItem(window_, kProgressBarId), PBM_SETMARQUEE, on ? 1 : 0, 0);
}

void Win32ProgressView::setPosition(int32_t position) {
  SendMessageW(GetDlgItem(window_, kProgressBarId), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32ProgressView::close() { SendMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0); }

}  // namespace vm
