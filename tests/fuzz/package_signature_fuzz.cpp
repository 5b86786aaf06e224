// Fuzzing the package signature's check over hostile bytes: the end-record search, the comment's
// tag and base64 text, the size against the key. Twice per input: with a crypto that accepts
// every signature (so that the fuzzer reaches the end of the check) and with OpenSSL and a fixed
// key (which no input can satisfy). Checked on every input: the two verdicts differ only where
// the accepting one says Good; what is verified is exactly the bytes through the comment-length
// field of the end record the reader uses; a comment that parses is the one text
// formatSignatureComment writes for its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/package_signature.h"
#include "archive/reader.h"
#include "platform/posix/openssl_crypto.h"

namespace {

class AcceptingCrypto final : public vm::Crypto {
 public:
  uint32_t verifiedLength = 0;
  bool sha256(const uint8_t*, uint32_t, vm::Sha256Digest& out) override {
    std::memset(out.bytes, 0, sizeof out.bytes);
    return true;
  }
  bool verifyRsaSha256(const vm::RsaPublicKey&, const uint8_t*, uint32_t length,
                       const uint8_t*, uint32_t) override {
    verifiedLength = length;
    return true;
  }
};

struct FixedKey {
  uint8_t modulus[256];
  FixedKey() {
    for (uint32_t at = 0; at < sizeof modulus; ++at)
      modulus[at] = static_cast<uint8_t>(0xC3 ^ (at * 29));
    modulus[0] = 0xC3;
    modulus[sizeof modulus - 1] |= 1;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  static const FixedKey fixed;
  const vm::RsaPublicKey key{fixed.modulus, sizeof fixed.modulus, 65537};
  const uint32_t length = static_cast<uint32_t>(size);

  AcceptingCrypto accepting;
  vm::OpenSslCrypto openssl;
  const vm::SignatureVerdict structural = vm::checkPackageSignature(data, length, key, accepting);
  const vm::SignatureVerdict real = vm::checkPackageSignature(data, length, key, openssl);
  if (structural == vm::SignatureVerdict::Good) {
    if (real != vm::SignatureVerdict::Mismatch) std::abort();  // nobody forges RSA here
    vm::SignatureLayout layout;
    if (vm::locateSignature(data, length, layout) != vm::SignatureVerdict::Good) std::abort();
    vm::ArchiveReader reader;
    if (vm::initReader(reader, data, length) == vm::ReaderOk &&
        reader.endRecordPos != layout.endRecordPosition) {
      std::abort();  // the check and the reader disagree about where the archive ends
    }
    if (accepting.verifiedLength != layout.endRecordPosition + 22) std::abort();
  } else if (real != structural) {
    std::abort();
  }

  // The comment parser on the input itself: what parses is written back byte for byte.
  uint8_t signature[vm::kLargestRsaModulus];
  uint32_t signatureLength = 0;
  const uint32_t commentLength = length > 0xFFFF ? 0xFFFF : length;
  if (vm::parseSignatureComment(data, commentLength, signature, signatureLength) ==
      vm::SignatureVerdict::Good) {
    uint8_t text[vm::kLargestSignatureComment];
    if (vm::formatSignatureComment(signature, signatureLength, text) != commentLength ||
        std::memcmp(text, data, commentLength) != 0) {
      std::abort();
    }
  }
  return 0;
}
