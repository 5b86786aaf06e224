// The CryptoAPI adapter (platform/win32/crypto_api.cpp) against the real advapi32 under Wine,
// with the fixed vectors made by openssl.
#include <gtest/gtest.h>

#include "platform/win32/crypto_api.h"
#include "tests/unit/crypto_vectors.h"

namespace vm {
namespace {

TEST(CryptoApi, HashesAndVerifiesWhatOpensslMadeAndRefusesEveryChange) {
  CryptoApi crypto;
  test::checkCryptoVectors(crypto);
}

TEST(CryptoApi, ChecksAPackageSignedByVmpkgWithTheInstallersOwnCheck) {
  CryptoApi crypto;
  test::checkSignedPackageVector(crypto);
}

}  // namespace
}  // namespace vm
