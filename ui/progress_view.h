// The four window operations the worker and the downloader use to report progress. Each one is
// synchronous: it returns after the user-interface thread has applied it.
#pragma once

#include <cstdint>

namespace vm {

class ProgressView {
 public:
  // Replaces the status line's text.
  virtual void setStatus(const char16_t* text) = 0;
  // Switches the progress bar's marquee animation on or off.
  virtual void setMarquee(bool on) = 0;
  // Moves the progress bar to `position` (0-100 is the bar's range).
  virtual void setPosition(int32_t position) = 0;
  // Closes the window, which ends the modal loop and the run.
  virtual void close() = 0;

 protected:
  ~ProgressView() = default;
};

}  // namespace vm
