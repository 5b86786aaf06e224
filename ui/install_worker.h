// The install worker thread: one installation with the Win32 adapters.
#pragma once

#include <windows.h>

#include "workflow/win32/file_run_log.h"

namespace vm {

// The run's log, opened by process entry before the window is shown; the worker and the window
// write to it. Null: the worker logs nothing.
extern FileRunLog* runLog;

// Field profile: whether the last run changed the application folder (for its failure message).
extern bool runChangedApplication;

// Thread procedure; `window` is the progress window's handle. Runs one installation with the
// Win32 adapters, finishes the run's log with its result and closes the window before it
// returns. Returns the result (see workflow/install_result.h).
DWORD WINAPI installWorker(LPVOID window);

}  // namespace vm
