// `vmpkg pack APPDIR OUT`: a package the installer installs completely, from a folder.
#pragma once

namespace vm {

// What pack is asked for besides the two paths.
struct PackOptions {
  // Seconds since 1970 (UTC) that cap every modification time: SOURCE_DATE_EPOCH when set,
  // else -1 (no cap).
  long long sourceDateEpoch = -1;
  // `--sign PRIVATE_KEY.pem` (vmpkg sign) comes here: the key's path, used to sign the
  // temporary file after it has been verified and before it is renamed to OUT.
};

// Packs every file and folder below `appFolder` under "app/" into `outPath`, or refuses with
// one line per reason on stderr. OUT appears only whole and verified: the package is written
// to a temporary file beside it, read back with the installer's archive code, and renamed.
// Returns 0 (packed), 1 (refused: nothing written) or 2 (usage or I/O error: nothing written).
int packFolder(const char* appFolder, const char* outPath, const PackOptions& options);

}  // namespace vm
