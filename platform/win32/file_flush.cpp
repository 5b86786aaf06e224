// flushFile on its own: only the field profile calls it, and a described installer that linked
// the file holding it would import FlushFileBuffers.
#include <windows.h>

#include "platform/file_system.h"

namespace vm {

bool flushFile(FileHandle file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file.value)) != 0;
}

}  // namespace vm
