// A stand-in for the platform's crypto in core tests: a "signature" is a keyed checksum of the
// signed bytes, as long as the key's modulus, so that a changed byte, a changed range or another
// key all fail as a real signature would. Not cryptography: it only tells inputs apart. With it,
// packages signed as vmpkg signs them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include <functional>

#include "archive/package_signature.h"
#include "platform/crypto.h"
#include "tests/unit/zip_builder.h"

namespace vm::test {

class FakeCrypto final : public Crypto {
 public:
  bool fail = false;          // every operation fails, as a platform without the provider
  uint32_t lastVerified = 0;  // bytes the last verification covered

  // The signature `key` would give `length` bytes at `data`.
  static std::string sign(const RsaPublicKey& key, const void* data, uint32_t length) {
    uint64_t state = 0xCBF29CE484222325u ^ key.exponent;
    for (uint32_t at = 0; at < key.modulusLength; ++at) state = mix(state, key.modulus[at]);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t at = 0; at < length; ++at) state = mix(state, bytes[at]);
    state = mix(state, length & 0xFF);
    std::string signature(key.modulusLength, '\0');
    for (uint32_t at = 0; at < key.modulusLength; ++at) {
      state = mix(state, at & 0xFF);
      signature[at] = static_cast<char>(state >> 56);
    }
    return signature;
  }

  bool sha256(const uint8_t* data, uint32_t length, Sha256Digest& out) override {
    if (fail) return false;
    static const uint8_t kUnkeyed[kSha256Size] = {};
    const std::string digest = sign(RsaPublicKey{kUnkeyed, kSha256Size, 0}, data, length);
    std::memcpy(out.bytes, digest.data(), kSha256Size);
    return true;
  }

  bool verifyRsaSha256(const RsaPublicKey& key, const uint8_t* data, uint32_t length,
                       const uint8_t* signature, uint32_t signatureLength) override {
    lastVerified = length;
    return !fail && signatureLength == key.modulusLength &&
           sign(key, data, length) == std::string(reinterpret_cast<const char*>(signature),
                                                  signatureLength);
  }

 private:
  static uint64_t mix(uint64_t state, uint8_t byte) {
    return (state ^ byte) * 0x100000001B3u;  // FNV-1a
  }
};

inline const uint8_t* bytesOf(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// A key of `size` bytes whose bytes start from `seed` (the first byte is never zero).
struct TestKey {
  std::string modulus;
  RsaPublicKey key() const {
    return {bytesOf(modulus), static_cast<uint32_t>(modulus.size()), 65537};
  }
};
inline TestKey makeKey(uint32_t size, uint8_t seed) {
  TestKey made;
  for (uint32_t at = 0; at < size; ++at) made.modulus += static_cast<char>(seed + at * 7);
  made.modulus[0] = static_cast<char>(0x80 | seed);
  return made;
}

inline std::string commentFor(const std::string& signature) {
  uint8_t text[kLargestSignatureComment];
  const uint32_t length =
      formatSignatureComment(bytesOf(signature), static_cast<uint32_t>(signature.size()), text);
  return std::string(reinterpret_cast<const char*>(text), length);
}

using CommentChange = std::function<void(std::string&)>;

// The recipe's archive signed with `key` by the fake. `change` edits the comment text before it
// is stored; the signature still covers the archive as stored (comment length included), so
// only the edit itself can make the package fail.
inline std::string signedPackage(ZipRecipe recipe, const TestKey& key,
                                 const CommentChange& change = nullptr) {
  std::string comment = commentFor(std::string(key.modulus.size(), '\0'));
  if (change) change(comment);
  recipe.comment = std::string(comment.size(), ' ');
  std::string package = buildZip(recipe);
  const uint32_t signedLength = static_cast<uint32_t>(package.size() - comment.size());
  comment = commentFor(FakeCrypto::sign(key.key(), package.data(), signedLength));
  if (change) change(comment);
  package.replace(signedLength, comment.size(), comment);
  return package;
}

}  // namespace vm::test
