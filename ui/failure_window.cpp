#include "ui/failure_window.h"

#include <winsock2.h>

#include "platform/fixed_string.h"
#include "platform/format.h"
#include "platform/win32/wide.h"
#include "resources/resource_ids.h"
#include "ui/install_worker.h"
#include "ui/progress_window.h"
#include "workflow/win32/file_run_log.h"
#include "workflow/failure_message.h"

namespace vm {
namespace {

// Where FileRunLog writes (%TEMP%\Velmora\VelmoraInstaller.log), as the user's text. Empty when
// the temporary folder cannot be had.
void describeLogPath(FixedString<char16_t, 400>& text) {
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH ||
      formatInto(text, u"What happened is written in %sVelmora\\VelmoraInstaller.log.",
                 asUtf16(temp)) < 0)
    text.clear();
}

INT_PTR CALLBACK failureWindowProcedure(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetDlgItemTextW(window, IDC_FAILURE_TEXT, reinterpret_cast<const wchar_t*>(lParam));
      // The sentence above, the log's path below.
      FixedString<char16_t, 400> logPath;
      describeLogPath(logPath);
      SetDlgItemTextW(window, IDC_LOG_PATH, asWide(logPath.get()));
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDRETRY || LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

bool askToRetry(HINSTANCE instance, InstallResult result) {
  const FailureMessage message = failureMessage(result, runChangedApplication);
  if (message.sentence == nullptr) return false;
  // ASCII text, widened unit by unit.
  wchar_t sentence[256];
  std::size_t at = 0;
  const char* parts[] = {message.sentence, message.nothingChanged ? kNothingChanged : ""};
  for (const char* part : parts)
    for (; *part != 0 && at + 1 < sizeof sentence / sizeof *sentence; ++part)
      sentence[at++] = static_cast<wchar_t>(*part);
  sentence[at] = 0;
  return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_FAILURE_WINDOW), nullptr,
                         failureWindowProcedure, reinterpret_cast<LPARAM>(sentence)) == IDRETRY;
}

int runWithRetries(HINSTANCE instance, FileRunLog& log) {
  for (;;) {
    const INT_PTR shown = DialogBoxParamW(instance, MAKEINTRESOURCEW(kProgressDialogId), nullptr,
                                          progressWindowProcedure, 0);
    if (shown == 0 || shown == -1) {  // no window: no run (as in the described run)
      log.finish(InstallNotAdmitted);
      return InstallNotAdmitted;
    }
    // As in the described run: a window closed before the worker finished the log was closed by
    // the user, who needs no message; the first outcome stands.
    log.finish(InstallClosedByUser);
    InstallResult outcome = InstallClosedByUser;
    (void)log.finished(outcome);
    if (!askToRetry(instance, outcome)) {
      WSACleanup();
      return outcome;
    }
    log.restart();
    LogLine().add("retry: the user asked for the run again").write(log);
    allowAnotherWorker();
  }
}

}  // namespace vm
