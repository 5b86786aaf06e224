// Small helpers of the Windows adapter tests: a scratch folder per test, file contents, and
// stand-in processes started from the fixtures folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vm::testing {

inline bool isFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

inline std::string fileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0)
    bytes.append(buffer, count);
  CloseHandle(file);
  return bytes;
}

inline void removeTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

// A fresh folder below the temporary folder, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    for (unsigned attempt = GetTickCount();; ++attempt) {
      path_ = std::wstring(temp) + L"velmora-test-" + std::to_wstring(GetCurrentProcessId()) +
              L"-" + std::to_wstring(attempt);
      if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    }
  }
  ~ScratchFolder() { removeTree(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

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

}  // namespace vm::testing
