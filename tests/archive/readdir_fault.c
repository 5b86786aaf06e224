// Loaded into vmpkg with LD_PRELOAD by conformance.py: readdir fails with EIO once it has
// returned VELMORA_READDIR_FAIL_AFTER entries in all, as a folder whose listing breaks off
// part-way (a disk error, a network file system going away). Test code only.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>

struct dirent* readdir(DIR* folder) {
  static struct dirent* (*real)(DIR*);
  static long left = -1;
  if (real == NULL) {
    real = (struct dirent* (*)(DIR*))dlsym(RTLD_NEXT, "readdir");
    const char* after = getenv("VELMORA_READDIR_FAIL_AFTER");
    left = after != NULL ? atol(after) : -1;
  }
  if (left == 0) {
    errno = EIO;
    return NULL;
  }
  if (left > 0) --left;
  return real(folder);
}
