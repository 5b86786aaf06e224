// A new file that takes a path's place only when it is complete (host build): written beside
// the target as TARGET.tmp-XXXXXX, flushed to disk, then renamed over the target. Until then
// the target is untouched; a file that is not committed is removed, also when the process ends
// for want of memory (dieForWantOfMemory).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>

namespace vm {

class PendingFile {
 public:
  ~PendingFile() { discard(); }
  // Creates the file beside `target` with permission bits `mode`; false, with `why`, if not.
  bool create(const char* target, mode_t mode, std::string& why);
  std::FILE* stream() const { return stream_.get(); }  // buffered
  const char* path() const { return path_.c_str(); }
  // Everything written so far on disk; false (errno set) when it cannot be.
  bool sync();
  // Syncs, closes and renames the file over the target; false (errno set, the file removed)
  // when any of it fails.
  bool commit();

 private:
  void discard();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream_{nullptr, std::fclose};
  std::string path_;
  std::string target_;
};

// The permission bits a new file gets in this process (0666 less the umask).
mode_t newFileMode();

// Makes an allocation failure end the process with "PROGRAM: no memory; nothing written" and
// exit code 2, after removing the pending file (the tools' containers cannot report it).
void dieForWantOfMemory(const char* program);

}  // namespace vm
