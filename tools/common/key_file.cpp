#include "tools/common/key_file.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>

#include "tools/common/whole_file.h"

namespace vm {
namespace {

// Key files are small; anything larger is not one.
constexpr long kLargestKeyFile = 65536;

// Fills `key.view` from the RSA key in `key.openssl`, refusing what the installer refuses
// (isAcceptedRsaKey: 2048 to 4096 bits in whole bytes, an odd exponent of 3 to 32 bits).
bool takeRsaKey(const char* program, const char* path, KeyFile& key) {
  if (!EVP_PKEY_is_a(key.openssl, "RSA")) {
    std::fprintf(stderr, "%s: %s is not an RSA key\n", program, path);
    return false;
  }
  BIGNUM* modulus = nullptr;
  BIGNUM* exponent = nullptr;
  const int bits = EVP_PKEY_get_bits(key.openssl);
  bool ok = EVP_PKEY_get_bn_param(key.openssl, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
            EVP_PKEY_get_bn_param(key.openssl, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1 &&
            BN_num_bytes(modulus) <= static_cast<int>(kLargestRsaModulus) &&
            BN_num_bits(exponent) <= 32;
  if (ok) {
    key.view.modulusLength = static_cast<uint32_t>(BN_bn2bin(modulus, key.modulus));
    key.view.exponent = static_cast<uint32_t>(BN_get_word(exponent));
    ok = isAcceptedRsaKey(key.view);
  }
  if (!ok) {
    std::fprintf(stderr,
                 "%s: %s is an RSA key of %d bits; the installer takes 2048 to 4096 bits in "
                 "whole bytes with an odd public exponent of 3 to 32 bits\n",
                 program, path, bits);
  }
  BN_free(modulus);
  BN_free(exponent);
  return ok;
}

}  // namespace

KeyFile::~KeyFile() { EVP_PKEY_free(openssl); }

bool readPublicKeyFile(const char* program, const char* path, KeyFile& key) {
  // The text first, to tell a public PEM from everything else as the build does.
  WholeFile file;
  std::string text;
  if (!file.load(path, kLargestKeyFile, text)) {
    std::fprintf(stderr, "%s: %s: %s\n", program, path, text.c_str());
    return false;
  }
  text.assign(reinterpret_cast<const char*>(file.data()), file.length());
  if (text.find("PRIVATE KEY-----") != std::string::npos) {
    std::fprintf(stderr, "%s: %s holds a private key: give the public key\n", program, path);
    return false;
  }
  if (text.find("-----BEGIN PUBLIC KEY-----") == std::string::npos &&
      text.find("-----BEGIN RSA PUBLIC KEY-----") == std::string::npos) {
    std::fprintf(stderr, "%s: %s is not a public key in PEM form\n", program, path);
    return false;
  }
  BIO* input = BIO_new_file(path, "rb");
  OSSL_DECODER_CTX* decoder = OSSL_DECODER_CTX_new_for_pkey(
      &key.openssl, "PEM", nullptr, "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr);
  const bool decoded = input != nullptr && decoder != nullptr &&
                       OSSL_DECODER_from_bio(decoder, input) == 1 && key.openssl != nullptr;
  OSSL_DECODER_CTX_free(decoder);
  BIO_free(input);
  if (!decoded) {
    std::fprintf(stderr, "%s: %s is not an RSA public key in PEM form\n", program, path);
    return false;
  }
  return takeRsaKey(program, path, key);
}

bool readPrivateKeyFile(const char* program, const char* path, KeyFile& key) {
  BIO* input = BIO_new_file(path, "rb");
  if (input == nullptr) {
    std::fprintf(stderr, "%s: %s: cannot open\n", program, path);
    return false;
  }
  key.openssl = PEM_read_bio_PrivateKey(input, nullptr, nullptr, nullptr);
  BIO_free(input);
  if (key.openssl == nullptr) {
    std::fprintf(stderr, "%s: %s is not a private key in PEM form\n", program, path);
    return false;
  }
  return takeRsaKey(program, path, key);
}

const char* describeKey(const KeyFile& key, char (&out)[32]) {
  std::snprintf(out, sizeof out, "RSA-%u, SHA-256", key.view.modulusLength * 8);
  return out;
}

}  // namespace vm
