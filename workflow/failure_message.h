// The field profile's failure message: one sentence a user understands for each way a run can
// fail - what failed, and that nothing was changed where that is true. The window shows it with
// the log's path and Retry and Close (ui/failure_window.cpp).
#pragma once

#include "workflow/install_result.h"

namespace vm {

// What the message says: ASCII text, narrow to keep the installer small.
struct FailureMessage {
  const char* sentence;  // null when the run needs no message
  bool nothingChanged;   // followed by kNothingChanged: the computer is as it was
};

constexpr char kNothingChanged[] = " Nothing was changed on this computer.";

// The message for `result`; none for a success, the user's own close and the admission
// refusals (which stay as they always were). `changed`: the run changed the application folder
// before it ended (its recovery finished or undid an earlier update), so it never says that
// nothing was changed.
FailureMessage failureMessage(InstallResult result, bool changed = false);

}  // namespace vm
