#include "tools/common/pending_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vm {
namespace {

// The pending file's path for the allocation-failure handler (a tool has one at a time).
char gPendingPath[4096];
const char* gProgram = "vmpkg";

void outOfMemory() {
  if (gPendingPath[0] != 0) unlink(gPendingPath);
  std::fprintf(stderr, "%s: no memory; nothing written\n", gProgram);
  std::_Exit(2);
}

}  // namespace

bool PendingFile::create(const char* target, mode_t mode, std::string& why) {
  target_ = target;
  std::string path = target_ + ".tmp-XXXXXX";
  errno = ENAMETOOLONG;
  const int descriptor = path.size() < sizeof gPendingPath ? mkstemp(&path[0]) : -1;
  if (descriptor >= 0) {
    path_ = path;
    std::memcpy(gPendingPath, path.c_str(), path.size() + 1);
    if (fchmod(descriptor, mode) == 0) stream_.reset(fdopen(descriptor, "wb"));
  }
  if (stream_ == nullptr) {
    why = std::string("cannot create a file beside it: ") + std::strerror(errno);
    if (descriptor >= 0) close(descriptor);
    discard();
  }
  return stream_ != nullptr;
}

bool PendingFile::sync() { return std::fflush(stream()) == 0 && fsync(fileno(stream())) == 0; }

bool PendingFile::commit() {
  const bool synced = sync();
  if (std::fclose(stream_.release()) == 0 && synced &&
      rename(path_.c_str(), target_.c_str()) == 0) {
    path_.clear();
    gPendingPath[0] = 0;
    return true;
  }
  const int error = errno;
  discard();
  errno = error;
  return false;
}

void PendingFile::discard() {
  stream_.reset();
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
  gPendingPath[0] = 0;
}

mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

void dieForWantOfMemory(const char* program) {
  gProgram = program;
  std::set_new_handler(outOfMemory);
}

}  // namespace vm
