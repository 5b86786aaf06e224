// `vmpkg pack [--sign PRIVATE_KEY.pem] APPDIR OUT`: a package the installer installs
// completely, from a folder, signed when asked.
#pragma once

namespace vm {

struct KeyFile;

// What pack is asked for besides the two paths.
struct PackOptions {
  // Seconds since 1970 (UTC) that cap every modification time: SOURCE_DATE_EPOCH when set,
  // else -1 (no cap).
  long long sourceDateEpoch = -1;
  // `--sign PRIVATE_KEY.pem`: the private key (read before packing), or null. The temporary
  // file is signed as `vmpkg sign` signs (signPackageFile) before it is read back and renamed.
  const KeyFile* signingKey = nullptr;
};

// Packs every file and folder below `appFolder` under "app/" into `outPath`, or refuses with
// one line per reason on stderr. OUT appears only whole, signed when asked, and verified: the
// package is written to a temporary file beside it, signed, read back with the installer's
// archive code, and renamed.
// Returns 0 (packed), 1 (refused: nothing written) or 2 (usage or I/O error: nothing written).
int packFolder(const char* appFolder, const char* outPath, const PackOptions& options);

}  // namespace vm
