#include "tools/common/pending_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vm {
namespace {

// The pending file's path, for the allocation-failure handler (a tool has one at a time).
char gPendingPath[4096];
const char* gProgram = "vmpkg";

void outOfMemory() {
  if (gPendingPath[0] != 0) unlink(gPendingPath);
  std::fprintf(stderr, "%s: no memory; nothing written\n", gProgram);
  std::_Exit(2);
}

}  // namespace

PendingFile::~PendingFile() { discard(); }

bool PendingFile::create(const char* target, mode_t mode, std::string& why) {
  target_ = target;
  path_ = target_ + ".tmp-XXXXXX";
  if (path_.size() >= sizeof gPendingPath) {
    why = "path too long";
    return false;
  }
  const int descriptor = mkstemp(&path_[0]);
  if (descriptor < 0 || fchmod(descriptor, mode) != 0 ||
      (stream_ = fdopen(descriptor, "wb")) == nullptr) {
    why = std::string("cannot create a file beside it: ") + std::strerror(errno);
    path_.clear();
    if (descriptor >= 0) {
      close(descriptor);
      unlink(path_.c_str());
    }
    return false;
  }
  std::memcpy(gPendingPath, path_.c_str(), path_.size() + 1);
  return true;
}

bool PendingFile::sync() { return std::fflush(stream_) == 0 && fsync(fileno(stream_)) == 0; }

bool PendingFile::commit() {
  const bool synced = sync();
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (synced && closed && rename(path_.c_str(), target_.c_str()) == 0) {
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
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
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
