// The two cryptographic operations the installer needs, as one narrow interface: SHA-256 and
// the check of an RSA PKCS#1 v1.5 signature over SHA-256. Both come from the platform, never
// from code of ours: CryptoAPI from advapi32 on Windows (platform/win32/crypto_api.h), OpenSSL's
// libcrypto on the host build (platform/posix/openssl_crypto.h); core tests use fakes. No
// platform type crosses it.
#pragma once

#include <cstdint>

namespace vm {

constexpr uint32_t kSha256Size = 32;

struct Sha256Digest {
  uint8_t bytes[kSha256Size];
};

// A file's SHA-256 fixed at build time; a file whose pin is not `pinned` is not checked.
struct Sha256Pin {
  bool pinned;
  Sha256Digest digest;
};

// Sizes of the RSA keys the installer accepts, in bytes of modulus (2048 to 4096 bits, whole
// bytes: CryptoAPI's key blob counts the modulus in whole bytes). The build refuses other keys.
constexpr uint32_t kSmallestRsaModulus = 256;
constexpr uint32_t kLargestRsaModulus = 512;

// An RSA public key, viewed in place (nothing is copied). A modulusLength of 0 means no key.
struct RsaPublicKey {
  const uint8_t* modulus;  // big-endian, as openssl prints it; the first byte is not zero
  uint32_t modulusLength;  // bytes
  uint32_t exponent;       // the public exponent (65537 for every key openssl makes)
};

// True for a key the installer takes: a modulus of kSmallestRsaModulus to kLargestRsaModulus
// bytes that fills its bytes (a first byte of 0x80 or more: CryptoAPI's key blob counts whole
// bytes) and an odd public exponent of at least 3. Both crypto adapters and the tools' key
// reader ask this; cmake/release_trust.cmake makes the same check on the build's key at
// configure time in its own language, and the two must agree.
bool isAcceptedRsaKey(const RsaPublicKey& key);

class Crypto {
 public:
  // Writes the SHA-256 of `length` bytes at `data` into `out`. False (out undefined) when the
  // platform cannot compute it.
  virtual bool sha256(const uint8_t* data, uint32_t length, Sha256Digest& out) = 0;
  // True only when `signature` (`signatureLength` bytes, big-endian as openssl writes it) is an
  // RSA PKCS#1 v1.5 signature of the SHA-256 of `length` bytes at `data` under `key`. False for
  // every other case: a signature that does not verify, one whose length is not the modulus's,
  // a key the platform refuses, or a platform failure.
  virtual bool verifyRsaSha256(const RsaPublicKey& key, const uint8_t* data, uint32_t length,
                               const uint8_t* signature, uint32_t signatureLength) = 0;

 protected:
  ~Crypto() = default;
};

// True when the SHA-256 of `length` bytes at `data` is `expected`; false also when it cannot be
// computed.
bool sha256Matches(Crypto& crypto, const uint8_t* data, uint32_t length,
                   const Sha256Digest& expected);

}  // namespace vm
