// `vmpkg pack [--sign PRIVATE_KEY.pem] APPDIR OUT` (host build): a package the installer
// installs completely, from a folder, signed when asked. packFolder (pack.cpp) runs the pieces
// in order: the walk of the folder (pack_walk.cpp), Windows' name rules (windows_names.cpp),
// compressing and writing the entries (pack_write.cpp, through zip_writer) and reading the
// package back (pack_read_back.cpp).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/vmpkg/zip_writer.h"

namespace vm {

struct KeyFile;
struct RsaPublicKey;

// What pack is asked for besides the two paths.
struct PackOptions {
  long long sourceDateEpoch = -1;  // caps every modification time: SOURCE_DATE_EPOCH, or -1
  const KeyFile* signingKey = nullptr;  // `--sign`: the private key (read before packing)
};

// Packs every file and folder below `appFolder` under "app/" into `outPath`, or refuses with
// one line per reason on stderr. OUT appears only whole, signed when asked, and verified: the
// package is written to a new file beside it (signed as it is written), read back with the
// installer's archive code, and renamed. Returns 0 (packed), 1 (refused) or 2 (usage or I/O
// error); nothing is written unless 0.
int packFolder(const char* appFolder, const char* outPath, const PackOptions& options);

// The installer refuses entry names of this many bytes or more.
constexpr uint32_t kNameLimit = 260;

struct PackEntry {
  std::string name;  // "app/...", UTF-8; a folder's ends with '/'
  bool folder;
  uint64_t size;
  uint32_t mtime;  // seconds since 1970, capped by SOURCE_DATE_EPOCH
  uint32_t mode;  // normalised: 040755, 0100644 or 0100444, plus 0111 for owner-executable
  dev_t device;  // the file the walk saw, which the writer must find again
  ino_t inode;
  ZipEntryRecord record;  // name, time and mode from the walk; data fields from the writer
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
// become one: an entry the installer would skip, what Windows cannot hold, links and special
// files, a listing that fails. `cap` is SOURCE_DATE_EPOCH or -1.
void walkApplicationFolder(const char* root, long long cap, std::vector<PackEntry>& entries,
                           Refusals& refusals);

// Why a file or folder named `segment` (`length` bytes) cannot have that name on Windows, or
// null when it can.
const char* windowsNameProblem(const char* segment, std::size_t length);

// Refuses every entry whose name differs from another's only in the case of A-Z.
void refuseCaseTwins(const std::vector<PackEntry>& entries, Refusals& refusals);

// Compresses the files below `root` and writes every entry, then the central directory.
// `stoppedAt` names the entry (or "the central directory") where a failure stopped it.
ZipStep writeEntries(ZipWriter& writer, const char* root, std::vector<PackEntry>& entries,
                     uint16_t commentLength, std::string& stoppedAt);

// Reads the package at `path` back with the installer's code (and checks its signature with
// `key` when not null); empty when every entry comes back as written, else why not.
std::string readBack(const char* path, const std::vector<PackEntry>& entries,
                     const RsaPublicKey* key);

}  // namespace vm
