// The four window operations through which the install sequence reports: the status text, the
// marquee, the position (the one operation the downloads use, as their ProgressSink) and the
// close. Each one is synchronous: it returns after the user-interface thread has applied it.
#pragma once

#include "net/download.h"

namespace vm {

class ProgressView : public ProgressSink {
 public:
  // Replaces the status line's text.
  virtual void setStatus(const char16_t* text) = 0;
  // Switches the progress bar's marquee animation on or off.
  virtual void setMarquee(bool on) = 0;
  // setPosition (ProgressSink) moves the progress bar; 0-100 is the bar's range.
  // Closes the window, which ends the modal loop and the run.
  virtual void close() = 0;

 protected:
  ~ProgressView() = default;
};

}  // namespace vm
