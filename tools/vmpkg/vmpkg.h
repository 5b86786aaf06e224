// vmpkg's commands besides list, extract and check (docs/archive.md): sign and verify
// (signing.cpp) and pack (pack.cpp), which need OpenSSL and POSIX, so the host build.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/tool_io.h"

namespace vm {

#ifndef _WIN32
// vmpkg verify: 0 good signature, 1 refused (one line on stdout says why), 2 an unusable key
// or an unreadable file.
int verifyCommand(const char* keyPath, const char* packagePath);
// vmpkg sign: signs the package at `packagePath` into `target` (which may be the same path)
// through a new file beside it: 0 signed, 1 refused (one line on stdout), 2 (stderr says why);
// nothing is written unless the installer's check passes on the result.
int signCommand(const char* keyPath, const char* packagePath, const char* target,
                bool dropComment);

// Signs a package as it is written: every byte through the end record's comment-length field
// passes through take(), then comment() gives the signature comment (empty if OpenSSL fails).
class PackageSigner {
 public:
  explicit PackageSigner(const KeyFile& key);
  void take(const uint8_t* data, std::size_t length);
  std::vector<uint8_t> comment();

 private:
  const KeyFile& key_;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_;
  bool ok_;
};

// A ZIP archive as `vmpkg pack` writes it: one disk, no Zip64, no data descriptors, sizes and
// CRC-32 in the local header; a Unix host (version made by 3.0) with the file mode in the
// external attributes; the DOS time in UTC and an extended-timestamp ("UT") field holding the
// modification time in both headers. The writer owns the offsets and the central directory:
// entries go in one after the other, then finish() writes the directory and the end record.
struct ZipEntryRecord {
  const char* name;  // UTF-8, forward slashes; a folder's ends with '/'; kept until finish()
  uint32_t nameLength;  // below 260
  uint16_t method;  // 0 stored, 8 deflated
  uint32_t crc, compressedSize, uncompressedSize;
  uint32_t unixTime;  // modification time, seconds since 1970-01-01 UTC, below 2^31
  uint32_t mode;  // Unix mode: file type and permission bits
};

enum class ZipStep { Ok, TooLarge, Failed };

class ZipWriter {
 public:
  // Writes to `file`, every byte through `signer` too when not null (pack --sign signs the
  // package as it goes); the archive without its comment may not pass `largest` bytes.
  ZipWriter(std::FILE* file, uint64_t largest, PackageSigner* signer)
      : file_(file), largest_(largest), signer_(signer) {}
  // Writes the local header of `entry`, whose compressedSize bytes of data must follow
  // (writeData). TooLarge (nothing written) when header and data would pass the largest size.
  ZipStep addEntry(const ZipEntryRecord& entry);
  // Writes entry data or, after finish(), the archive comment; false once a write failed.
  bool writeData(const void* data, uint64_t length);
  // Writes the central directory and the end record, which announces a comment of
  // `commentLength` bytes.
  ZipStep finish(uint16_t commentLength);
  uint64_t size() const { return position_; }
  bool failed() const { return failed_; }  // a write to the file failed (errno says why)

 private:
  std::FILE* file_;
  uint64_t largest_;
  PackageSigner* signer_;
  uint64_t position_ = 0;
  bool failed_ = false;
  std::vector<std::pair<ZipEntryRecord, uint32_t>> directory_;  // with the local offsets
};

// What pack is asked for besides the two paths.
struct PackOptions {
  long long sourceDateEpoch = -1;  // caps every modification time: SOURCE_DATE_EPOCH, or -1
  const KeyFile* signingKey = nullptr;  // `--sign`: the private key (read before packing)
};

// Packs every file and folder below `appFolder` under "app/" into `outPath` (pack.cpp says in
// what order), or refuses with one line per reason on stderr. Returns 0 (packed), 1 (refused)
// or 2 (usage or I/O error); nothing is written unless 0.
int packFolder(const char* appFolder, const char* outPath, const PackOptions& options);

// The installer refuses entry names of this many bytes or more.
constexpr uint32_t kNameLimit = 260;

struct PackEntry {
  std::string name;  // "app/...", UTF-8; a folder's ends with '/'
  bool folder;
  uint64_t size;
  dev_t device;  // the file the walk saw, which the writer must find again
  ino_t inode;
  // The time (capped by SOURCE_DATE_EPOCH) and the mode (normalised: 040755, 0100644 or
  // 0100444, plus 0111 for owner-executable) from the walk; the rest from the writer.
  ZipEntryRecord record;
};

// One line per refusal on stderr: "vmpkg: pack: refused: NAME: WHY".
struct Refusals {
  unsigned count = 0;
  void add(const std::string& name, const std::string& why) {
    std::fprintf(stderr, "vmpkg: pack: refused: %s: %s\n", name.c_str(), why.c_str());
    ++count;
  }
};

// Adds every file and folder below `root` as an entry (sorted by name), refusing what cannot
// become one: an entry the installer would skip, what Windows cannot hold (also names that
// differ only in case), links and special files, a listing that fails. `cap` is
// SOURCE_DATE_EPOCH or -1.
void walkApplicationFolder(const char* root, long long cap, std::vector<PackEntry>& entries,
                           Refusals& refusals);

// Compresses the files below `root` and writes every entry, then the central directory.
// `stoppedAt` names the entry (or "the central directory") where a failure stopped it.
ZipStep writeEntries(ZipWriter& writer, const char* root, std::vector<PackEntry>& entries,
                     uint16_t commentLength, std::string& stoppedAt);
#endif

}  // namespace vm
