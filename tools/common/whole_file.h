// A file held whole in memory, as the archive code wants a package: one contiguous block, like
// the installer's download buffer. Mapped read-only where it can be (why: row 2 of
// docs/performance.md), read otherwise (a pipe, an empty file).
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/arguments.h"

namespace vm {

class WholeFile {
 public:
  WholeFile() = default;
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  ~WholeFile() { release(); }

  // Holds the file at `path` of at most `limit` bytes. False, with `why` saying so ("cannot
  // open: ...", "too large: ...", "cannot read: ..."), when it cannot; nothing is held then.
  bool load(const ArgumentUnit* path, uint64_t limit, std::string& why);
  // load() of a package (at most kLargestPackage bytes), saying why on stderr
  // ("vmpkg: PATH: WHY") when it cannot.
  bool loadPackage(const ArgumentUnit* path);

  const uint8_t* data() const { return data_; }
  uint32_t length() const { return static_cast<uint32_t>(length_); }  // at most the limit
  unsigned mode() const { return mode_; }  // POSIX permission bits (0644 when unknown)

 private:
  bool map(const ArgumentUnit* path, uint64_t limit);
  void release();
  uint8_t* data_ = nullptr;
  uint64_t length_ = 0;
  unsigned mode_ = 0644;
  bool mapped_ = false;
};

}  // namespace vm
