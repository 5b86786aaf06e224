/* Preloaded into the 64-bit Wine processes (above all the wineserver) when 32-bit Windows
 * programs run under qemu-i386. qemu keeps the guest's 4 GiB at a fixed offset in its own
 * address space (QEMU_GUEST_BASE), but the wineserver reads and writes a client's memory with
 * ptrace(PTRACE_PEEKDATA/POKEDATA) or through /proc/PID/mem at the guest's addresses - which is
 * how ReadProcessMemory and module snapshots work. This library adds the offset to every such
 * access to a qemu-run process. Test-harness code: the product does not depend on it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_TRACKED_FD 65536

static off_t fdOffset[MAX_TRACKED_FD];

static off_t guestBase(void) {
  const char* text = getenv("VELMORA_QEMU_GUEST_BASE");
  return text ? (off_t)strtoull(text, NULL, 0) : 0;
}

/* The guest base when process `pid` runs under qemu-i386, otherwise 0. */
static off_t offsetForProcess(unsigned pid) {
  static unsigned lastPid;
  static off_t lastOffset;
  if (pid == lastPid) return lastOffset;
  char link[64], target[256];
  snprintf(link, sizeof link, "/proc/%u/exe", pid);
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return 0;
  target[length] = 0;
  lastPid = pid;
  lastOffset = strstr(target, "qemu-i386") ? guestBase() : 0;
  return lastOffset;
}

/* The offset for a file opened at `path`: that of its process when it is /proc/PID/mem. */
static off_t offsetFor(const char* path) {
  unsigned pid;
  char rest[8];
  if (sscanf(path, "/proc/%u/me%7s", &pid, rest) != 2 || strcmp(rest, "m") != 0) return 0;
  return offsetForProcess(pid);
}

static void track(int fd, const char* path) {
  if (fd >= 0 && fd < MAX_TRACKED_FD) fdOffset[fd] = offsetFor(path);
}

static off_t offsetOf(int fd) { return fd >= 0 && fd < MAX_TRACKED_FD ? fdOffset[fd] : 0; }

int open(const char* path, int flags, ...) {
  static int (*real)(const char*, int, ...);
  if (!real) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = (mode_t)va_arg(arguments, int);
    va_end(arguments);
  }
  int fd = real(path, flags, mode);
  track(fd, path);
  return fd;
}

int close(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
  if (fd >= 0 && fd < MAX_TRACKED_FD) fdOffset[fd] = 0;
  return real(fd);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  static ssize_t (*real)(int, void*, size_t, off_t);
  if (!real) real = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  return real(fd, buffer, count, offset + offsetOf(fd));
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  static ssize_t (*real)(int, const void*, size_t, off_t);
  if (!real) real = (ssize_t (*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
  return real(fd, buffer, count, offset + offsetOf(fd));
}

long ptrace(enum __ptrace_request request, ...) {
  static long (*real)(enum __ptrace_request, pid_t, void*, void*);
  if (!real) real = (long (*)(enum __ptrace_request, pid_t, void*, void*))dlsym(RTLD_NEXT, "ptrace");
  va_list arguments;
  va_start(arguments, request);
  pid_t pid = va_arg(arguments, pid_t);
  char* address = va_arg(arguments, char*);
  void* data = va_arg(arguments, void*);
  va_end(arguments);
  if (request == PTRACE_PEEKDATA || request == PTRACE_PEEKTEXT || request == PTRACE_POKEDATA ||
      request == PTRACE_POKETEXT)
    address += offsetForProcess((unsigned)pid);
  return real(request, pid, address, data);
}
