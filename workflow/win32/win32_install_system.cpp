#include "workflow/win32/win32_install_system.h"

#include <objbase.h>
#include <shlobj.h>

#include "platform/win32/helpers.h"
#include "platform/win32/wide.h"
#include "procs/process_counter.h"

namespace vm {
namespace {

constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora";

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

// Looked up once per run and kept: the worker is the only thread that asks.
IsWow64ProcessFunction isWow64Process = nullptr;
bool isWow64ProcessLooked = false;

// Starts `applicationPath` with `commandLine` (copied, since CreateProcessW may write to it),
// inheriting handles and using this program's environment, in `workingFolder` or, when it is
// null, this program's current folder.
bool startProcess(const wchar_t* applicationPath, const char16_t* commandLine, DWORD flags,
                  const char16_t* workingFolder, PROCESS_INFORMATION& process) {
  WideCommand writable;
  if (commandLine != nullptr && !writable.assign(commandLine)) return false;
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  ZeroMemory(&process, sizeof process);
  return CreateProcessW(applicationPath, commandLine != nullptr ? asWide(writable.data()) : nullptr,
                        nullptr, nullptr, TRUE, flags, nullptr,
                        workingFolder != nullptr ? asWide(workingFolder) : nullptr, &startup,
                        &process) != FALSE;
}

}  // namespace

Win32InstallSystem::~Win32InstallSystem() { closeUninstallKey(); }

bool Win32InstallSystem::modulePath(WidePath& out) {
  const DWORD length = GetModuleFileNameW(nullptr, asWide(out.data()), WidePath::capacity());
  if (length == 0 || length >= WidePath::capacity()) {
    out.clear();
    return false;
  }
  return true;
}

bool Win32InstallSystem::isWow64() {
  if (!isWow64ProcessLooked) {
    isWow64ProcessLooked = true;
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (kernel != nullptr)
      isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
          reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  }
  BOOL wow64 = FALSE;
  return isWow64Process != nullptr && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool Win32InstallSystem::knownFolder(KnownFolder folder, WidePath& out) {
  static_assert(WidePath::capacity() >= MAX_PATH, "SHGetFolderPathW writes MAX_PATH units");
  if (FAILED(SHGetFolderPathW(nullptr, static_cast<int>(folder), nullptr, 0,
                              asWide(out.data())))) {
    out.clear();
    return false;
  }
  return true;
}

void Win32InstallSystem::windowsVersion(uint32_t& major, uint32_t& minor, uint32_t& build) {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  major = version.dwMajorVersion;
  minor = version.dwMinorVersion;
  build = version.dwBuildNumber;
}

bool Win32InstallSystem::tempFolder(WidePath& out) {
  const DWORD length = GetTempPathW(WidePath::capacity(), asWide(out.data()));
  if (length == 0 || length >= WidePath::capacity()) {
    out.clear();
    return false;
  }
  return true;
}

bool Win32InstallSystem::machineKeyExists(const char16_t* keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, asWide(keyPath), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

void Win32InstallSystem::createDirectoryChain(const WidePath& path) {
  // The helper cuts its text in place at every backslash: it gets a copy.
  WidePath writable;
  if (writable.assign(path.get())) (void)vm::createDirectoryChain(asWide(writable.data()));
}

uint32_t Win32InstallSystem::writeWholeFile(const char16_t* path, const uint8_t* data,
                                            int32_t length) {
  return vm::writeWholeFile(asWide(path), data, length);
}

int32_t Win32InstallSystem::countProcesses(const char16_t* imageName, int32_t versionMajor) {
  return vm::countProcesses(asWide(imageName), versionMajor);
}

void Win32InstallSystem::sleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

bool Win32InstallSystem::runHiddenAndWait(const char16_t* commandLine,
                                          const char16_t* workingFolder, uint32_t& exitCode) {
  // The interpreter is named by its full path, so a cmd.exe lying beside the downloaded
  // installers (or in the current folder) is never the one that runs.
  wchar_t interpreter[MAX_PATH];
  PROCESS_INFORMATION process;
  if (!systemFilePath(L"cmd.exe", interpreter, MAX_PATH) ||
      !startProcess(interpreter, commandLine, CREATE_NO_WINDOW, workingFolder, process))
    return false;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  exitCode = GetExitCodeProcess(process.hProcess, &code) ? code : 0xFFFFFFFF;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool Win32InstallSystem::openUninstallKey() {
  closeUninstallKey();
  return RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_WRITE, nullptr, &uninstallKey_, nullptr) == ERROR_SUCCESS;
}

int32_t Win32InstallSystem::writeStringValue(const char16_t* name, const char16_t* text) {
  return uninstallKey_ != nullptr ? vm::writeStringValue(uninstallKey_, asWide(name), asWide(text))
                                  : -1;
}

int32_t Win32InstallSystem::writeFlagValue(const char16_t* name) {
  return uninstallKey_ != nullptr ? vm::writeFlagValue(uninstallKey_, asWide(name)) : -1;
}

void Win32InstallSystem::closeUninstallKey() {
  if (uninstallKey_ != nullptr) RegCloseKey(uninstallKey_);
  uninstallKey_ = nullptr;
}

void Win32InstallSystem::initializeComponents() { (void)CoInitialize(nullptr); }

int32_t Win32InstallSystem::createShortcut(const char16_t* targetPath, const char16_t* linkPath) {
  return vm::createShortcut(asWide(targetPath), asWide(linkPath));
}

bool Win32InstallSystem::launch(const char16_t* applicationPath) {
  PROCESS_INFORMATION process;
  if (!startProcess(asWide(applicationPath), nullptr, 0, nullptr, process)) return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace vm
