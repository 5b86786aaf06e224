// Linked into every Windows test program. GoogleTest copies each failure and skip message to
// OutputDebugStringA, which Wine implements by raising and catching an exception; where the
// harness runs 32-bit programs under qemu-i386 (docs/wine-harness.md) that exception handling
// brings the test program down. The messages go to stdout as well, and no debugger listens, so
// the debugger channel is replaced by nothing here: the program's import slot for
// OutputDebugStringA is defined by this file instead of the kernel32 import library.
#include <windows.h>

namespace {

void WINAPI ignoreDebugOutput(LPCSTR) {}

}  // namespace

extern "C" {
void(WINAPI* importedOutputDebugStringA)(LPCSTR) __asm__("__imp__OutputDebugStringA@4") =
    ignoreDebugOutput;
}
