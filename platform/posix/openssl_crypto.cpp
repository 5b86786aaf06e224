#include "platform/posix/openssl_crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace vm {
namespace {

// The key as an EVP_PKEY holding only n and e, or null.
EVP_PKEY* publicKeyOf(const RsaPublicKey& key) {
  BIGNUM* modulus = BN_bin2bn(key.modulus, static_cast<int>(key.modulusLength), nullptr);
  BIGNUM* exponent = BN_new();
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM* parameters = nullptr;
  EVP_PKEY_CTX* context = nullptr;
  EVP_PKEY* result = nullptr;
  if (modulus != nullptr && exponent != nullptr && builder != nullptr &&
      BN_set_word(exponent, key.exponent) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, modulus) &&
      OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, exponent) &&
      (parameters = OSSL_PARAM_BLD_to_param(builder)) != nullptr &&
      (context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr)) != nullptr &&
      EVP_PKEY_fromdata_init(context) == 1) {
    if (EVP_PKEY_fromdata(context, &result, EVP_PKEY_PUBLIC_KEY, parameters) != 1)
      result = nullptr;
  }
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(parameters);
  OSSL_PARAM_BLD_free(builder);
  BN_free(exponent);
  BN_free(modulus);
  return result;
}

}  // namespace

bool OpenSslCrypto::sha256(const uint8_t* data, uint32_t length, Sha256Digest& out) {
  unsigned int size = 0;
  return EVP_Digest(data, length, out.bytes, &size, EVP_sha256(), nullptr) == 1 &&
         size == kSha256Size;
}

bool OpenSslCrypto::verifyRsaSha256(const RsaPublicKey& key, const uint8_t* data,
                                    uint32_t length, const uint8_t* signature,
                                    uint32_t signatureLength) {
  // The same rule as the CryptoAPI adapter, so that both builds refuse the same keys.
  const uint32_t size = key.modulusLength;
  if (!isAcceptedRsaKey(key) || signatureLength != size) return false;
  EVP_PKEY* publicKey = publicKeyOf(key);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool verified = false;
  // The default padding of an RSA key is PKCS#1 v1.5.
  if (publicKey != nullptr && context != nullptr &&
      EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, publicKey) == 1) {
    verified = EVP_DigestVerify(context, signature, signatureLength, data, length) == 1;
  }
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(publicKey);
  return verified;
}

}  // namespace vm
