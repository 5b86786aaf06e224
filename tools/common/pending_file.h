// A new file that takes a path's place only when it is complete (host build): written beside
// the target as TARGET.tmp-XXXXXX, flushed to disk, then renamed over the target. Until then the
// target is untouched, and a file that is not committed is removed, also when the process ends
// for want of memory (see dieForWantOfMemory).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace vm {

class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Creates the file beside `target` with permission bits `mode`. False, with `why`, when it
  // cannot.
  bool create(const char* target, mode_t mode, std::string& why);
  // The open file (buffered) and its path.
  std::FILE* stream() const { return stream_; }
  const char* path() const { return path_.c_str(); }
  // Everything written so far on disk; false (errno set) when it cannot be.
  bool sync();
  // Syncs, closes and renames the file to the target; false (errno set, the file removed) when
  // any of it fails.
  bool commit();

 private:
  void discard();
  std::FILE* stream_ = nullptr;
  std::string path_;
  std::string target_;
};

// The permission bits a new file gets in this process (0666 less the umask).
mode_t newFileMode();

// Makes an allocation failure end the process with "PROGRAM: no memory; nothing written" and
// exit code 2, after removing every pending file (the tools' containers cannot report it).
void dieForWantOfMemory(const char* program);

}  // namespace vm
