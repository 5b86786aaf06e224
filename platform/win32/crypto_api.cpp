#include "platform/win32/crypto_api.h"

#include <windows.h>
#include <wincrypt.h>

namespace vm {
namespace {

constexpr DWORD kRsaPublicMagic = 0x31415352;  // "RSA1"

// A verify-only context of the default provider of the AES type (the type that has SHA-256);
// released when it goes out of scope.
struct Provider {
  HCRYPTPROV handle = 0;
  Provider() {
    if (!CryptAcquireContextW(&handle, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
      handle = 0;
  }
  ~Provider() {
    if (handle != 0) CryptReleaseContext(handle, 0);
  }
};

struct Hash {
  HCRYPTHASH handle = 0;
  ~Hash() {
    if (handle != 0) CryptDestroyHash(handle);
  }
};

struct Key {
  HCRYPTKEY handle = 0;
  ~Key() {
    if (handle != 0) CryptDestroyKey(handle);
  }
};

// A SHA-256 hash object of the provider fed with the bytes. False when any step fails.
bool hashBytes(const Provider& provider, const uint8_t* data, uint32_t length, Hash& hash) {
  if (provider.handle == 0) return false;
  if (!CryptCreateHash(provider.handle, CALG_SHA_256, 0, 0, &hash.handle)) {
    hash.handle = 0;
    return false;
  }
  return CryptHashData(hash.handle, data, length, 0) != FALSE;
}

}  // namespace

bool CryptoApi::sha256(const uint8_t* data, uint32_t length, Sha256Digest& out) {
  Provider provider;
  Hash hash;
  if (!hashBytes(provider, data, length, hash)) return false;
  DWORD size = kSha256Size;
  return CryptGetHashParam(hash.handle, HP_HASHVAL, out.bytes, &size, 0) &&
         size == kSha256Size;
}

bool CryptoApi::verifyRsaSha256(const RsaPublicKey& key, const uint8_t* data, uint32_t length,
                                const uint8_t* signature, uint32_t signatureLength) {
  const uint32_t size = key.modulusLength;
  if (!isAcceptedRsaKey(key) || signatureLength != size) return false;
  // PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY, then the modulus little-endian.
  uint8_t blob[sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + kLargestRsaModulus];
  BLOBHEADER* header = reinterpret_cast<BLOBHEADER*>(blob);
  header->bType = PUBLICKEYBLOB;
  header->bVersion = CUR_BLOB_VERSION;
  header->reserved = 0;
  header->aiKeyAlg = CALG_RSA_SIGN;
  RSAPUBKEY* rsa = reinterpret_cast<RSAPUBKEY*>(blob + sizeof(BLOBHEADER));
  rsa->magic = kRsaPublicMagic;
  rsa->bitlen = size * 8;
  rsa->pubexp = key.exponent;
  uint8_t* modulus = blob + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  uint8_t reversed[kLargestRsaModulus];
  for (uint32_t at = 0; at < size; ++at) {
    modulus[at] = key.modulus[size - 1 - at];
    reversed[at] = signature[size - 1 - at];
  }

  Provider provider;
  Hash hash;
  if (!hashBytes(provider, data, length, hash)) return false;
  Key imported;
  if (!CryptImportKey(provider.handle, blob, sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + size, 0,
                      0, &imported.handle)) {
    imported.handle = 0;
    return false;
  }
  return CryptVerifySignatureW(hash.handle, reversed, size, imported.handle, nullptr, 0) !=
         FALSE;
}

}  // namespace vm
