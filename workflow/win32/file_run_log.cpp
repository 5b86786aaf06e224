#include "workflow/win32/file_run_log.h"

#include "platform/fixed_string.h"

namespace vm {
namespace {

constexpr wchar_t kFolderName[] = L"Velmora\\";
constexpr wchar_t kLogName[] = L"VelmoraInstaller.log";
constexpr wchar_t kOldLogName[] = L"VelmoraInstaller.old.log";
// Room kept for the run's last line once the limit is near.
constexpr LONG kLastLineRoom = 2048;

// `folder` + `name` into `out` (MAX_PATH units). False when it does not fit.
bool joinInto(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
  const std::size_t folderLength = textLength(folder);
  const std::size_t nameLength = textLength(name);
  if (folderLength + nameLength >= MAX_PATH) return false;
  for (std::size_t at = 0; at < folderLength; ++at) out[at] = folder[at];
  for (std::size_t at = 0; at <= nameLength; ++at) out[folderLength + at] = name[at];
  return true;
}

}  // namespace

FileRunLog::FileRunLog() : start_(GetTickCount()) {
  wchar_t temp[MAX_PATH], folder[MAX_PATH], path[MAX_PATH], old[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH || !joinInto(folder, temp, kFolderName) ||
      !joinInto(path, folder, kLogName) || !joinInto(old, folder, kOldLogName))
    return;
  CreateDirectoryW(folder, nullptr);
  WIN32_FILE_ATTRIBUTE_DATA existing;
  if (GetFileAttributesExW(path, GetFileExInfoStandard, &existing) &&
      (existing.nFileSizeHigh != 0 || existing.nFileSizeLow >= kRunLogLimitBytes - kLastLineRoom))
    MoveFileExW(path, old, MOVEFILE_REPLACE_EXISTING);
  // Shared for reading and deleting: support can read it, and a later run can move it aside,
  // while this one still writes.
  file_ = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size;
  if (file_ != INVALID_HANDLE_VALUE && GetFileSizeEx(file_, &size))
    size_ = size.HighPart != 0 ? static_cast<LONG>(kRunLogLimitBytes) : size.LowPart;
}

FileRunLog::~FileRunLog() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

void FileRunLog::write(const char* event) {
  // Once the run has its outcome, only the end line follows: a worker that goes on after the
  // user closed the window adds nothing after it.
  const bool finished = result_ >= 0;
  if (finished && finisher_ != GetCurrentThreadId()) return;
  append(event, finished);
}

uint32_t FileRunLog::elapsedMilliseconds() { return GetTickCount() - start_; }

void FileRunLog::finish(InstallResult result) {
  // The first outcome stands, whichever thread gives it.
  if (InterlockedCompareExchange(&result_, result, -1) != -1) return;
  finisher_ = GetCurrentThreadId();
  LogLine().add("end: ").add(installResultText(result)).add(", exit code ").number(result)
      .write(*this);
}

bool FileRunLog::finished(InstallResult& result) const {
  const LONG value = result_;
  if (value < 0) return false;
  result = static_cast<InstallResult>(value);
  return true;
}

void FileRunLog::restart() {
  finisher_ = 0;
  InterlockedExchange(&result_, -1);
}

void FileRunLog::append(const char* event, bool last) {
  if (file_ == INVALID_HANDLE_VALUE) return;
  // "    1234 event\r\n": the milliseconds right-aligned in eight places.
  FixedString<char, 1100> line;
  char stamp[10] = "        ";
  uint32_t value = elapsedMilliseconds();
  for (int at = 7; at >= 0 && (value != 0 || at == 7); --at, value /= 10)
    stamp[at] = static_cast<char>('0' + value % 10);
  stamp[8] = ' ';
  if (!line.assignUnits(stamp, 9) || !line.append(event) || !line.append("\r\n")) return;
  const LONG length = static_cast<LONG>(line.length());
  const LONG limit = static_cast<LONG>(kRunLogLimitBytes) - (last ? 0 : kLastLineRoom);
  if (size_ + length > limit) return;
  DWORD written = 0;
  if (WriteFile(file_, line.get(), static_cast<DWORD>(length), &written, nullptr))
    InterlockedExchangeAdd(&size_, static_cast<LONG>(written));
}

}  // namespace vm
