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

// A bar with PBS_MARQUEE draws only its moving block, animated or not, so the style itself is
// switched: without it the bar is a plain smooth bar that draws its position as a fill. The
// style is in place before PBM_SETMARQUEE starts or stops the animation, so that the control
// (and anything watching its messages) has the whole new mode when that message arrives.
// Neither step changes the position, which PBM_GETPOS keeps reporting. A style change alone
// repaints nothing, hence the invalidation.
void Win32ProgressView::setMarquee(bool on) {
  HWND bar = GetDlgItem(window_, kProgressBarId);
  const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
  SetWindowLongPtrW(bar, GWL_STYLE,
                    on ? style | PBS_MARQUEE : style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
  InvalidateRect(bar, nullptr, TRUE);
  SendMessageW(bar, PBM_SETMARQUEE, on ? 1 : 0, 0);
}

void Win32ProgressView::setPosition(int32_t position) {
  SendMessageW(GetDlgItem(window_, kProgressBarId), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32ProgressView::close() { SendMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0); }

}  // namespace vm
