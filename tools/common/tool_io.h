// What the tools share besides check's verdict: their command lines (wmain's UTF-16 on Windows,
// main's bytes elsewhere), files held whole, and on the host build RSA key files (read with
// OpenSSL) and files that take a path's place only when complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/common/package_check.h"

#ifndef _WIN32
#include <openssl/types.h>
#include <sys/types.h>

#include <memory>
#endif

namespace vm {

#ifdef _WIN32
using ArgumentUnit = wchar_t;
#else
using ArgumentUnit = char;
#endif

// Says `format` on stderr and returns `status`, as the tools end a command that fails.
[[gnu::format(printf, 2, 3)]] int complain(int status, const char* format, ...);

// True when `argument` is exactly the ASCII `word`.
inline bool argumentIs(const ArgumentUnit* argument, const char* word) {
  for (; *word != 0; ++argument, ++word)
    if (*argument != static_cast<ArgumentUnit>(*word)) return false;
  return *argument == 0;
}

// An argument as UTF-8 for messages (a path as the user gave it).
inline std::string shownArgument(const ArgumentUnit* argument) {
#ifdef _WIN32
  return Utf8Name(reinterpret_cast<const char16_t*>(argument)).text;
#else
  return argument;
#endif
}

// A file held whole in memory, as the archive code wants a package: one contiguous block, like
// the installer's download buffer. Mapped read-only where it can be (why: row 2 of
// docs/performance.md), read otherwise (a pipe, an empty file).
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

#ifndef _WIN32
// A key read from a file: OpenSSL's key, and its public half as the installer sees it.
struct KeyFile {
  EVP_PKEY* openssl = nullptr;
  uint8_t modulus[kLargestRsaModulus];
  RsaPublicKey view{modulus, 0, 0};
  KeyFile() = default;
  KeyFile(const KeyFile&) = delete;
  KeyFile& operator=(const KeyFile&) = delete;
  ~KeyFile();
};

// Reads the RSA public key in PEM ("PUBLIC KEY" or "RSA PUBLIC KEY") at `path`. False, with one
// line "PROGRAM: ..." on stderr saying why, for a missing file, a private key, another kind of
// key, a size the installer does not take (isAcceptedRsaKey), or anything that is not such a key.
bool readPublicKeyFile(const char* program, const char* path, KeyFile& key);
// Reads the RSA private key in PEM at `path` (OpenSSL asks for its pass phrase when it has one).
// False, with one line on stderr, as readPublicKeyFile.
bool readPrivateKeyFile(const char* program, const char* path, KeyFile& key);

// A new file written beside the target as TARGET.tmp-XXXXXX, flushed to disk, then renamed
// over the target. Until then the target is untouched; a file that is not committed is
// removed, also when the process ends for want of memory (dieForWantOfMemory).
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
#endif

}  // namespace vm
