#include "procs/process_counter.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/win32/helpers.h"
#include "platform/win32/wide.h"
#include "procs/image_name.h"

// The record sizes the counter relies on (the wide records of a 32-bit process).
static_assert(sizeof(PROCESSENTRY32W) == 556, "wide process record");
static_assert(sizeof(MODULEENTRY32W) == 1064, "wide module record");

namespace vm {
namespace {

// The version functions live in version.dll, which is not a KnownDLL: importing it would let a
// copy planted beside the installer (say, in a Downloads folder) be loaded instead. It is
// loaded on first need by its full path in the system folder.
struct VersionFunctions {
  decltype(&GetFileVersionInfoSizeW) sizeOf = nullptr;
  decltype(&GetFileVersionInfoW) copy = nullptr;
  decltype(&VerQueryValueW) query = nullptr;
};

// Written and read only by the thread that asks for versions (the install worker).
VersionFunctions versionFunctions;
bool versionFunctionsLoaded = false;

const VersionFunctions* loadVersionFunctions() {
  if (!versionFunctionsLoaded) {
    versionFunctionsLoaded = true;
    wchar_t path[MAX_PATH];
    HMODULE library = systemFilePath(L"version.dll", path, MAX_PATH) ? LoadLibraryW(path) : nullptr;
    if (library != nullptr) {
      versionFunctions.sizeOf = reinterpret_cast<decltype(&GetFileVersionInfoSizeW)>(
          reinterpret_cast<void*>(GetProcAddress(library, "GetFileVersionInfoSizeW")));
      versionFunctions.copy = reinterpret_cast<decltype(&GetFileVersionInfoW)>(
          reinterpret_cast<void*>(GetProcAddress(library, "GetFileVersionInfoW")));
      versionFunctions.query = reinterpret_cast<decltype(&VerQueryValueW)>(
          reinterpret_cast<void*>(GetProcAddress(library, "VerQueryValueW")));
    }
  }
  const VersionFunctions& loaded = versionFunctions;
  return loaded.sizeOf && loaded.copy && loaded.query ? &loaded : nullptr;
}

// True when the file at `path` has a valid fixed version block with this major number.
bool hasVersionMajor(const VersionFunctions& version, const wchar_t* path, int32_t versionMajor) {
  const DWORD size = version.sizeOf(path, nullptr);
  if (size == 0) return false;
  void* block = HeapAlloc(GetProcessHeap(), 0, size);
  if (block == nullptr) return false;
  bool matches = false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (version.copy(path, 0, size, block) &&
      version.query(block, L"\\", reinterpret_cast<void**>(&info), &length) && length != 0 &&
      info->dwSignature == 0xFEEF04BD) {
    matches = static_cast<int32_t>(HIWORD(info->dwFileVersionMS)) == versionMajor;
  }
  HeapFree(GetProcessHeap(), 0, block);
  return matches;
}

int32_t countModulesWithMajor(DWORD processId, int32_t versionMajor) {
  const VersionFunctions* version = loadVersionFunctions();
  if (version == nullptr) return 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  int32_t count = 0;
  MODULEENTRY32W module;
  module.dwSize = sizeof module;
  for (BOOL more = Module32FirstW(snapshot, &module); more;
       more = Module32NextW(snapshot, &module)) {
    if (hasVersionMajor(*version, module.szExePath, versionMajor)) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace

int32_t countProcesses(const wchar_t* imageName, int32_t versionMajor) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  int32_t count = 0;
  PROCESSENTRY32W process;
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(snapshot, &process); more;
       more = Process32NextW(snapshot, &process)) {
    if (!imageNamesEqual(asUtf16(process.szExeFile), asUtf16(imageName))) continue;
    count += versionMajor == -1 ? 1 : countModulesWithMajor(process.th32ProcessID, versionMajor);
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace vm
