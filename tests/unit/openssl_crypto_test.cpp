// The OpenSSL adapter (platform/posix/openssl_crypto.cpp) with the same fixed vectors as the
// CryptoAPI adapter's test, so that both builds accept and refuse the same signatures.
#include <gtest/gtest.h>

#include "platform/posix/openssl_crypto.h"
#include "tests/unit/crypto_vectors.h"

namespace vm {
namespace {

TEST(OpenSslCrypto, HashesAndVerifiesWhatOpensslMadeAndRefusesEveryChange) {
  OpenSslCrypto crypto;
  test::checkCryptoVectors(crypto);
}

TEST(OpenSslCrypto, ChecksAPackageSignedByVmpkgWithTheInstallersOwnCheck) {
  OpenSslCrypto crypto;
  test::checkSignedPackageVector(crypto);
}

}  // namespace
}  // namespace vm
