// RSA key files for the tools' signature work (host build only: keys are read with OpenSSL).
// Refuses what the installer refuses (isAcceptedRsaKey in platform/crypto.h).
#pragma once

#include <openssl/types.h>

#include <cstdint>

#include "platform/crypto.h"

namespace vm {

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
// key, a size the installer does not take, or anything that is not such a key.
bool readPublicKeyFile(const char* program, const char* path, KeyFile& key);

// Reads the RSA private key in PEM at `path` (OpenSSL asks for its pass phrase when it has one).
// False, with one line on stderr, as readPublicKeyFile.
bool readPrivateKeyFile(const char* program, const char* path, KeyFile& key);

// "RSA-N, SHA-256" for the key.
const char* describeKey(const KeyFile& key, char (&out)[32]);

}  // namespace vm
