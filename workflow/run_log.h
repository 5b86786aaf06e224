// The run's log: one line per event, so that a run that ended badly can be explained afterwards.
// The sequence writes plain UTF-8 events; the adapter (workflow/win32/file_run_log) puts the
// milliseconds since the start before each one and writes it through to the file at once. A log
// that cannot be written drops its lines and never changes the run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fixed_string.h"
#include "workflow/install_result.h"

namespace vm {

class RunLog {
 public:
  // Writes one event (UTF-8, no line end).
  virtual void write(const char* event) = 0;
  // Milliseconds since the run started.
  virtual uint32_t elapsedMilliseconds() = 0;
  // Writes the run's last line, its outcome and exit code, and keeps `result` as the run's exit
  // code. Called once, just before the window is closed.
  virtual void finish(InstallResult result) = 0;

 protected:
  ~RunLog() = default;
};

// One log line built from pieces: texts (UTF-16 ones as UTF-8) and numbers. A piece that does
// not fit is left out whole and the line ends with " [cut]"; the line is written by write().
class LogLine {
 public:
  LogLine& add(const char* text);
  LogLine& add(const char16_t* text);
  LogLine& number(int64_t value);
  // Writes the line to `log`.
  void write(RunLog& log);

 private:
  FixedString<char, 1024> text_;
  bool cut_ = false;
};

// A log that writes nothing (tools, and tests that do not read the log).
class NullLog final : public RunLog {
 public:
  void write(const char*) override {}
  uint32_t elapsedMilliseconds() override { return 0; }
  void finish(InstallResult) override {}
};

}  // namespace vm
