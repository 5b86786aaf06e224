// vmpkg sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT] and vmpkg verify PUBLIC_KEY.pem
// PACKAGE (docs/archive.md), and the signer of `vmpkg pack --sign`. Keys are read and
// signatures made with OpenSSL, so these need the host build; the Windows build's vmpkg.exe
// says so and exits 2. The verdict is always the installer's own (checkPackageSignature).
#pragma once

#include <vector>

#include "tools/common/arguments.h"

#ifndef _WIN32
#include <openssl/types.h>

#include <cstdint>

#include "tools/common/key_file.h"
#endif

namespace vm {

inline bool isSigningCommand(const ArgumentUnit* command) {
  return argumentIs(command, "sign") || argumentIs(command, "verify");
}

// Runs sign or verify with main's arguments: 0 signed / good signature, 1 the package is
// refused (one line says why), 2 usage, an unusable key or an unreadable file.
int runSigningCommand(int count, ArgumentUnit** arguments);

// Says on stderr that sign, verify and check --key need the host build; returns 2.
int needsHostBuild();

#ifndef _WIN32
// Signs a package as it is written: every byte through the end record's comment-length field
// passes through take(), then comment() gives the signature comment (empty if OpenSSL fails).
class PackageSigner {
 public:
  explicit PackageSigner(const KeyFile& key);
  ~PackageSigner();
  PackageSigner(const PackageSigner&) = delete;
  PackageSigner& operator=(const PackageSigner&) = delete;
  void take(const uint8_t* data, std::size_t length);
  std::vector<uint8_t> comment();

 private:
  const KeyFile& key_;
  EVP_MD_CTX* context_;
  bool ok_;
};
#endif

}  // namespace vm
