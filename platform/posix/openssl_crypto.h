// platform/crypto.h over OpenSSL's libcrypto (Debian libssl-dev), for the host build: unit
// tests, fuzzing and the tools. Each call builds and frees what it uses.
#pragma once

#include "platform/crypto.h"

namespace vm {

class OpenSslCrypto final : public Crypto {
 public:
  bool sha256(const uint8_t* data, uint32_t length, Sha256Digest& out) override;
  bool verifyRsaSha256(const RsaPublicKey& key, const uint8_t* data, uint32_t length,
                       const uint8_t* signature, uint32_t signatureLength) override;
};

}  // namespace vm
