// Small wrappers around Win32 calls that the install workflow uses: folder chains, whole-file
// writes, registry values and shell shortcuts. Each is stateless and releases what it takes.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vm {

// Creates the folder at every backslash of `path` and at its end (CreateDirectoryW each
// prefix); single failures (empty prefix, bare drive, existing folder) are ignored. Returns the
// success flag of the last creation, so a path ending in a backslash reports failure although
// the chain exists. `path` is cut in place for each call and is the same afterwards.
BOOL createDirectoryChain(wchar_t* path);

// Leaves exactly `length` bytes from `data` in the file at `path`, creating it or replacing
// the contents of an existing file (which is truncated). Returns 0, or the platform's error
// code when the file cannot be opened, a write fails or stops short, or it cannot be cut.
DWORD writeWholeFile(const wchar_t* path, const void* data, int32_t length);

// Stores `text` as REG_SZ without its terminator (an empty text has data of length 0).
// 0 stored, -1 refused.
int32_t writeStringValue(HKEY key, const wchar_t* name, const wchar_t* text);

// Stores the 32-bit number 1 as REG_DWORD. 0 stored, -1 refused.
int32_t writeFlagValue(HKEY key, const wchar_t* name);

// Saves a shell link at `linkPath` pointing at `targetPath`, with no description. Returns the
// status of the step that ended the operation (negative on failure). The component library
// must be initialised on the calling thread.
HRESULT createShortcut(const wchar_t* targetPath, const wchar_t* linkPath);

// Path of `fileName` in the system folder (for loading libraries and starting system programs
// without a search). False when it does not fit in `capacity` units.
bool systemFilePath(const wchar_t* fileName, wchar_t* out, UINT capacity);

}  // namespace vm
