// The run's log as a file: VelmoraInstaller.log in the download folder (%TEMP%\Velmora\), UTF-8,
// one line per event with the milliseconds since the log was opened. Each line is handed to the
// system as it is written, so a run that is killed keeps everything up to that point. A file
// that cannot be opened or written drops the lines; the run never notices.
#pragma once

#include <windows.h>

#include "workflow/run_log.h"

namespace vm {

// The file is kept below this size: a larger one is moved aside (VelmoraInstaller.old.log,
// replacing the one before) when a run starts, and a run that would grow it past this size
// drops its lines, the last one excepted.
constexpr DWORD kRunLogLimitBytes = 1 << 20;

class FileRunLog final : public RunLog {
 public:
  // Opens (or makes) the file for appending; the clock starts now.
  FileRunLog();
  ~FileRunLog();
  FileRunLog(const FileRunLog&) = delete;
  FileRunLog& operator=(const FileRunLog&) = delete;

  void write(const char* event) override;
  uint32_t elapsedMilliseconds() override;

  // Writes the end line and keeps `result` for finished(); only the first call counts.
  void finish(InstallResult result) override;

  // The result finish() was given, or false when the run has not finished (any thread).
  bool finished(InstallResult& result) const;

  // Forgets the finished result: the user asked for the run again (field profile's Retry).
  void restart();

 private:
  void append(const char* event, bool last);

  HANDLE file_ = INVALID_HANDLE_VALUE;
  DWORD start_;
  volatile LONG size_ = 0;       // bytes in the file
  volatile LONG result_ = -1;    // the finished run's result, -1 before
  volatile DWORD finisher_ = 0;  // the thread that writes the end line
};

}  // namespace vm
