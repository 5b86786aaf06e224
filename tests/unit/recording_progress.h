// The window as the tests see it: every operation recorded in order, as one line of `events`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/fixed_string.h"
#include "platform/utf8.h"
#include "workflow/progress_view.h"
#include "workflow/run_log.h"

namespace vm::test {

// UTF-16 test text as UTF-8.
inline std::string narrow(const char16_t* text) {
  std::vector<char> out(4 * textLength(text) + 1);
  return encodeUtf8(text, out.data(), out.size()) < 0 ? "<not UTF-8>" : out.data();
}

inline std::u16string widen(const std::string& text) {
  return std::u16string(text.begin(), text.end());  // ASCII only
}

class RecordingProgress final : public ProgressView {
 public:
  std::vector<std::string> events;  // "status TEXT", "marquee on|off", "position N", "close"
  std::vector<int32_t> positions;   // the positions alone

  void setStatus(const char16_t* text) override { events.push_back("status " + narrow(text)); }
  void setMarquee(bool on) override { events.push_back(on ? "marquee on" : "marquee off"); }
  void setPosition(int32_t position) override {
    events.push_back("position " + std::to_string(position));
    positions.push_back(position);
  }
  void close() override { events.push_back("close"); }
};

// The run's log as the tests see it: its lines in order, the last one "end N".
class RecordingLog final : public RunLog {
 public:
  std::vector<std::string> lines;

  void write(const char* event) override { lines.push_back(event); }
  uint32_t elapsedMilliseconds() override { return 0; }
  void finish(InstallResult result) override { lines.push_back("end " + std::to_string(result)); }
  bool holds(const std::string& part) const {
    for (const auto& line : lines)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
};

}  // namespace vm::test
