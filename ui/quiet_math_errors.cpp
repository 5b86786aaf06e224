// The C runtime's default _matherr prints a floating-point error to stderr: this window program
// does no floating-point maths and has no console, so its own handler (the standard handling,
// without the print) keeps the runtime's message texts and printf out of the field installer.
#include <math.h>

extern "C" int __cdecl _matherr(struct _exception*) { return 0; }
