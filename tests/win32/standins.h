// Stand-in processes of the Windows adapter tests, started from the fixtures folder. (Scratch
// folders and file contents come from tests/unit/scratch.h, which these tests share.)
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vm::test {

// The fixtures folder of the build tree (tests\fixtures, beside this program's tests\win32).
inline std::wstring fixturesFolder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  folder.resize(folder.find_last_of(L'\\'));               // tests\win32
  folder.resize(folder.find_last_of(L'\\'));               // tests
  return folder + L"\\fixtures";
}

// Waits until `path` exists; false after `milliseconds`.
inline bool waitForFile(const std::wstring& path, DWORD milliseconds = 60000) {
  for (DWORD waited = 0; waited < milliseconds; waited += 50) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(50);
  }
  return false;
}

// A running stand-in (tests/fixtures/standin.c): started with --record so that the test knows
// when it runs, and --until so that it ends when the test is done with it.
class StandIn {
 public:
  // Copies `fixture` (a file of the fixtures folder) to `folder\name` and starts it with
  // `extraArguments` in front of its own.
  StandIn(const std::wstring& folder, const std::wstring& fixture, const std::wstring& name,
          const std::wstring& extraArguments = L"")
      : started_(folder + L"\\" + name + L".started"), stop_(folder + L"\\" + name + L".stop") {
    const std::wstring image = folder + L"\\" + name;
    CopyFileW((fixturesFolder() + L"\\" + fixture).c_str(), image.c_str(), FALSE);
    std::wstring command = L"\"" + image + L"\" " + extraArguments + L" --record \"" + started_ +
                           L"\" --until \"" + stop_ + L"\"";
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    ZeroMemory(&process_, sizeof process_);
    running_ = CreateProcessW(image.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process_) &&
               waitForFile(started_);
  }
  ~StandIn() {
    HANDLE stop = CreateFileW(stop_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (stop != INVALID_HANDLE_VALUE) CloseHandle(stop);
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process_.hProcess, 1);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;
  bool running() const { return running_; }

 private:
  std::wstring started_;
  std::wstring stop_;
  PROCESS_INFORMATION process_;
  bool running_ = false;
};

}  // namespace vm::test
