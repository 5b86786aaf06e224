#include "platform/win32/library_search.h"

#include <windows.h>

namespace vm {

const char kLibrariesLoadedByName[] =
    "uxtheme\0dwmapi\0version\0userenv\0profapi\0propsys\0linkinfo\0ntshrui\0srvcli\0cscapi\0"
    "slc\0apphelp\0ntmarta\0cryptbase\0mswsock\0dnsapi\0iphlpapi\0winnsi\0";

void restrictLibrarySearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
      kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
  if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) preloadSystemLibraries();
}

void preloadSystemLibraries() {
  using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  auto setDirectory = reinterpret_cast<SetDllDirectoryFunction>(reinterpret_cast<void*>(
      kernel != nullptr ? GetProcAddress(kernel, "SetDllDirectoryW") : nullptr));
  if (setDirectory != nullptr) setDirectory(L"");

  wchar_t path[MAX_PATH];
  const UINT folderLength = GetSystemDirectoryW(path, MAX_PATH);
  if (folderLength == 0 || folderLength >= MAX_PATH) return;
  const char* name = kLibrariesLoadedByName;
  while (*name != 0) {
    // The system folder, a backslash, the name and ".dll"; a name that does not fit is skipped.
    UINT length = folderLength;
    path[length++] = L'\\';
    for (; *name != 0; ++name)
      if (length + sizeof ".dll" < MAX_PATH) path[length++] = static_cast<wchar_t>(*name);
    ++name;
    if (length + sizeof ".dll" >= MAX_PATH) continue;
    lstrcpyW(path + length, L".dll");
    // Kept loaded for the life of the process.
    (void)LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
}

}  // namespace vm
