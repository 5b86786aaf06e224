/* Preloaded into 32-bit Wine processes that run under qemu-i386 (machines whose kernel cannot
 * execute 32-bit code itself). It mends two things qemu 7.2 does differently from a kernel.
 *
 * 1. Address-space reservation. Wine starts every process by trying to reserve most of the 4 GiB
 * address space with MAP_FIXED_NOREPLACE, halving each range that fails down to 64 KiB pieces.
 * A real kernel refuses an occupied range in a microsecond; qemu 7.2 ignores the flag and scans
 * its page table downward for another hole, which made each Wine process start take ~50 s.
 *
 * This library remembers which 64 KiB chunks are certainly mapped (because it saw them mapped
 * whole through mmap and not unmapped since) and refuses NOREPLACE requests that touch one of
 * them at once, as the kernel would. Anything it is unsure about goes to the real mmap, so it
 * can only make a refusal faster, never turn a refusal into a mapping.
 *
 * 2. Fault numbers. qemu delivers SIGSEGV, SIGILL and friends with the trap number -1 in the
 * signal context, where Wine's handler expects the CPU's (14 for a page fault). Wine then takes
 * every page fault - guard pages that grow a thread's stack included - for an illegal instruction
 * and the process dies. The handlers Wine installs are wrapped so that they see the trap number
 * the signal implies.
 *
 * It is test-harness code: nothing of the product depends on it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>
#include <errno.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/types.h>

#define NOREPLACE_FLAG 0x100000 /* MAP_FIXED_NOREPLACE */
#define CHUNK_SHIFT 16
#define CHUNK_COUNT (1u << (32 - CHUNK_SHIFT))

static unsigned char mapped[CHUNK_COUNT / 8];

typedef void *(*MmapFunction)(void *, size_t, int, int, int, off_t);
typedef void *(*Mmap64Function)(void *, size_t, int, int, int, off64_t);
typedef int (*MunmapFunction)(void *, size_t);

/* Mapping marks only chunks that lie wholly inside the range; unmapping clears every chunk the
 * range touches. A set bit therefore always means "mapped". */
static void markRange(uintptr_t start, size_t length, int isMapped) {
  uint64_t first, end;
  if (length == 0) return;
  if (isMapped) {
    first = ((uint64_t)start + 0xffff) >> CHUNK_SHIFT;
    end = ((uint64_t)start + length) >> CHUNK_SHIFT;
  } else {
    first = (uint64_t)start >> CHUNK_SHIFT;
    end = ((uint64_t)start + length + 0xffff) >> CHUNK_SHIFT;
  }
  for (uint64_t chunk = first; chunk < end && chunk < CHUNK_COUNT; chunk++) {
    if (isMapped)
      mapped[chunk >> 3] |= (unsigned char)(1u << (chunk & 7));
    else
      mapped[chunk >> 3] &= (unsigned char)~(1u << (chunk & 7));
  }
}

static int touchesMapped(uintptr_t start, size_t length) {
  uint64_t end = ((uint64_t)start + length + 0xffff) >> CHUNK_SHIFT;
  for (uint64_t chunk = (uint64_t)start >> CHUNK_SHIFT; chunk < end && chunk < CHUNK_COUNT; chunk++)
    if (mapped[chunk >> 3] & (1u << (chunk & 7))) return 1;
  return 0;
}

static int refuseAtOnce(void *address, size_t length, int flags) {
  return (flags & NOREPLACE_FLAG) && address && touchesMapped((uintptr_t)address, length);
}

// Both entry points share the refusal and the bookkeeping; only the real function differs.
static void *mapThrough(void *real, int large, void *address, size_t length, int protection,
                        int flags, int fd, off64_t offset) {
  if (refuseAtOnce(address, length, flags)) {
    errno = EEXIST;
    return MAP_FAILED;
  }
  void *result = large ? ((Mmap64Function)real)(address, length, protection, flags, fd, offset)
                       : ((MmapFunction)real)(address, length, protection, flags, fd,
                                              (off_t)offset);
  if (result != MAP_FAILED) markRange((uintptr_t)result, length, 1);
  return result;
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
  static MmapFunction real;
  if (!real) real = (MmapFunction)dlsym(RTLD_NEXT, "mmap");
  return mapThrough((void *)real, 0, address, length, protection, flags, fd, offset);
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, off64_t offset) {
  static Mmap64Function real;
  if (!real) real = (Mmap64Function)dlsym(RTLD_NEXT, "mmap64");
  return mapThrough((void *)real, 1, address, length, protection, flags, fd, offset);
}

int munmap(void *address, size_t length) {
  static MunmapFunction real;
  if (!real) real = (MunmapFunction)dlsym(RTLD_NEXT, "munmap");
  int result = real(address, length);
  if (result == 0) markRange((uintptr_t)address, length, 0);
  return result;
}

typedef void *(*MremapFunction)(void *, size_t, size_t, int, ...);

void *mremap(void *oldAddress, size_t oldLength, size_t newLength, int flags, ...) {
  static MremapFunction real;
  if (!real) real = (MremapFunction)dlsym(RTLD_NEXT, "mremap");
  void *newAddress = 0;
  if (flags & MREMAP_FIXED) {
    __builtin_va_list arguments;
    __builtin_va_start(arguments, flags);
    newAddress = __builtin_va_arg(arguments, void *);
    __builtin_va_end(arguments);
  }
  void *result = real(oldAddress, oldLength, newLength, flags, newAddress);
  if (result != MAP_FAILED) {
    markRange((uintptr_t)oldAddress, oldLength, 0);
    markRange((uintptr_t)result, newLength, 1);
  }
  return result;
}

/* ---- fault numbers ---- */

typedef void (*SignalHandler)(int, siginfo_t *, void *);
typedef int (*SigactionFunction)(int, const struct sigaction *, struct sigaction *);

static SignalHandler wineHandlers[NSIG];

static int trapNumberOf(int signal) {
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
      return 14; /* page fault */
    case SIGILL:
      return 6; /* invalid opcode */
    case SIGFPE:
      return 0; /* divide error */
    case SIGTRAP:
      return 3; /* breakpoint */
    default:
      return -1;
  }
}

static void withTrapNumber(int signal, siginfo_t *information, void *context) {
  ucontext_t *state = (ucontext_t *)context;
  if (state->uc_mcontext.gregs[REG_TRAPNO] == -1)
    state->uc_mcontext.gregs[REG_TRAPNO] = trapNumberOf(signal);
  wineHandlers[signal](signal, information, context);
}

int sigaction(int signal, const struct sigaction *action, struct sigaction *previous) {
  static SigactionFunction real;
  if (!real) real = (SigactionFunction)dlsym(RTLD_NEXT, "sigaction");
  if (signal <= 0 || signal >= NSIG || trapNumberOf(signal) < 0)
    return real(signal, action, previous);
  SignalHandler wrapped = wineHandlers[signal];
  struct sigaction replacement;
  const struct sigaction *installed = action;
  if (action && (action->sa_flags & SA_SIGINFO) && action->sa_sigaction) {
    replacement = *action;
    replacement.sa_sigaction = withTrapNumber;
    installed = &replacement;
  }
  int result = real(signal, installed, previous);
  if (result == 0) {
    if (previous && previous->sa_sigaction == withTrapNumber) previous->sa_sigaction = wrapped;
    if (action) wineHandlers[signal] = installed == &replacement ? action->sa_sigaction : 0;
  }
  return result;
}
