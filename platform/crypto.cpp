#include "platform/crypto.h"

namespace vm {

bool isAcceptedRsaKey(const RsaPublicKey& key) {
  return key.modulusLength >= kSmallestRsaModulus && key.modulusLength <= kLargestRsaModulus &&
         key.modulus[0] >= 0x80 && key.exponent >= 3 && key.exponent % 2 == 1;
}

bool sha256Matches(Crypto& crypto, const uint8_t* data, uint32_t length,
                   const Sha256Digest& expected) {
  Sha256Digest actual;
  if (!crypto.sha256(data, length, actual)) return false;
  // Pins are public values: no need to compare in constant time.
  for (uint32_t at = 0; at < kSha256Size; ++at)
    if (actual.bytes[at] != expected.bytes[at]) return false;
  return true;
}

}  // namespace vm
