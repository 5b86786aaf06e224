// platform/crypto.h over CryptoAPI (advapi32, already imported by the installer and a KnownDLL):
// the AES provider type, whose default provider has SHA-256, in a verify-only context. Each
// call acquires and releases everything it uses; nothing is kept between calls.
#pragma once

#include "platform/crypto.h"

namespace vm {

class CryptoApi final : public Crypto {
 public:
  bool sha256(const uint8_t* data, uint32_t length, Sha256Digest& out) override;
  // The key is imported as a PUBLICKEYBLOB; the signature is handed over little-endian, as
  // CryptVerifySignatureW reads it.
  bool verifyRsaSha256(const RsaPublicKey& key, const uint8_t* data, uint32_t length,
                       const uint8_t* signature, uint32_t signatureLength) override;
};

}  // namespace vm
