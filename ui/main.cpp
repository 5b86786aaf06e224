// Process entry: the admission rules, then the modal progress window. Everything else happens
// on the install worker that the window starts.
#include <windows.h>
#include <commctrl.h>
#include <winsock2.h>

#include "procs/process_counter.h"
#include "ui/progress_window.h"

namespace {

constexpr wchar_t kRefusalCaption[] = L"Windows Version Not Supported";
constexpr wchar_t kRefusalText[] =
    L"Sorry, your version of Windows is not supported by Velmora 5.  Please update to a more "
    L"recent version of Windows or use Velmora 4, downloadable from our website.";

// Libraries loaded at run time must come from the system folder only, never from the folder the
// installer was downloaded to. SetDefaultDllDirectories is missing on XP and on Vista/7 without
// their update, so it is looked up rather than imported; there, SetDllDirectoryW(L"") at least
// takes the current folder out of the search (and version.dll is loaded by full path anyway).
void restrictLibrarySearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  if (kernel == nullptr) return;
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  auto setDirectory = reinterpret_cast<SetDllDirectoryFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryW")));
  if (setDirectory != nullptr) setDirectory(L"");
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
  restrictLibrarySearch();

  // This process counts itself when it carries the canonical name.
  if (vm::countProcesses(L"VelmoraInstaller.exe", -1) > 1) return 1;

  if (!isSupportedWindows()) {
    MessageBoxW(nullptr, kRefusalText, kRefusalCaption, MB_OK);
    return 1;
  }

  WSADATA socketLibrary;
  if (WSAStartup(MAKEWORD(2, 2), &socketLibrary) != 0) return 1;

  // The progress bar's class must be registered before the dialog creates it.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(vm::kProgressDialogId),
                                         nullptr, vm::progressWindowProcedure, 0);
  if (result == 0) return 1;
  WSACleanup();
  return 0;
}
