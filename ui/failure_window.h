// The field profile's failure message: a modal window with one sentence saying what failed, the
// log's path, and Retry and Close.
#pragma once

#include <windows.h>

#include "workflow/install_result.h"

namespace vm {

// Shows the message for `result` (failureSentence) and waits for the user. True when Retry was
// chosen; false for Close, the window's close button, or a result that needs no message (a
// success stays silent).
bool askToRetry(HINSTANCE instance, InstallResult result);

class FileRunLog;

// The field profile's process after admission: the progress window, and after a failed run the
// failure message, again for as long as the user chooses Retry. Returns the exit code (of the
// last run), as the described wWinMain does.
int runWithRetries(HINSTANCE instance, FileRunLog& log);

}  // namespace vm
