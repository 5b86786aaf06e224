// The install worker thread: one installation with the Win32 adapters.
#pragma once

#include <windows.h>

namespace vm {

// Thread procedure; `window` is the progress window's handle. Runs one installation with the
// Win32 adapters and closes the window before it returns. Returns 0 on success, 1 on failure.
DWORD WINAPI installWorker(LPVOID window);

}  // namespace vm
