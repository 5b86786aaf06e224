// Process entry: the admission rules, then the modal progress window. Everything else happens
// on the install worker that the window starts.
#include <windows.h>
#include <commctrl.h>
#include <winsock2.h>

#include "platform/win32/library_search.h"
#include "procs/process_counter.h"
#include "product_values.h"  // generated: the profile
#include "ui/failure_window.h"
#include "ui/install_worker.h"
#include "ui/progress_window.h"

namespace {

constexpr wchar_t kRefusalCaption[] = L"Windows Version Not Supported";
constexpr wchar_t kRefusalText[] =
    L"Sorry, your version of Windows is not supported by Velmora 5.  Please update to a more "
    L"recent version of Windows or use Velmora 4, downloadable from our website.";

// Registers the progress bar's class, which the dialog needs. comctl32 is no KnownDLL, so it is
// loaded here, after the library search is restricted, rather than imported: an import (and
// its own imports) would be resolved at start-up, when the installer's folder is searched
// first. The manifest still makes this load take version 6 from the side-by-side store.
void registerProgressBarClass() {
  using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  HMODULE library = LoadLibraryW(L"comctl32.dll");
  auto initialize = reinterpret_cast<InitFunction>(reinterpret_cast<void*>(
      library != nullptr ? GetProcAddress(library, "InitCommonControlsEx") : nullptr));
  const INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
  if (initialize != nullptr) initialize(&classes);
}

bool isSupportedWindows() {
  OSVERSIONINFOEXW version;
  ZeroMemory(&version, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
  return version.dwMajorVersion >= 6;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Before anything can load a library: none may come from the folder the installer lies in.
  vm::restrictLibrarySearch();

  // This process counts itself when it carries the canonical name.
  if (vm::countProcesses(L"VelmoraInstaller.exe", -1) > 1) return 1;

  if (!isSupportedWindows()) {
    MessageBoxW(nullptr, kRefusalText, kRefusalCaption, MB_OK);
    return 1;
  }

  WSADATA socketLibrary;
  if (WSAStartup(MAKEWORD(2, 2), &socketLibrary) != 0) return 1;

  registerProgressBarClass();

  // Opened once the run is admitted: refusals stay as silent as they always were.
  vm::FileRunLog log;
  vm::runLog = &log;
  // The field profile offers Retry after a failed run; the described one ends with the run.
  if constexpr (vm::kFieldProfile) return vm::runWithRetries(instance, log);
  const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(vm::kProgressDialogId),
                                         nullptr, vm::progressWindowProcedure, 0);
  // 0: no window could be made for it; -1: the dialog itself failed (its template, its
  // classes). Either way no run took place: an admission failure, never the user's close.
  if (result == 0 || result == -1) {
    log.finish(vm::InstallNotAdmitted);
    return vm::InstallNotAdmitted;
  }
  // The worker finishes the log just before it closes the window; a window closed before that
  // was closed by the user. Decided before the socket library is cleaned up, which ends a
  // download the worker is still waiting for with an error of its own.
  log.finish(vm::InstallClosedByUser);
  vm::InstallResult outcome = vm::InstallClosedByUser;
  (void)log.finished(outcome);
  WSACleanup();
  return outcome;
}
