// vmpkg sign, vmpkg verify and check's signature line (see signing.h). Where the signature
// lies, what it covers and every verdict come from archive/package_signature.h, the installer's
// own code; only key files and the private-key operation are this file's (OpenSSL).
#include "tools/vmpkg/signing.h"

#include <cstdio>

#ifdef _WIN32

namespace vm {
namespace {

int needsHostBuild() {
  std::fprintf(stderr,
               "vmpkg: sign, verify and check --key need the host build of vmpkg (OpenSSL)\n");
  return 2;
}

bool is(const SigningArgument* argument, const wchar_t* command) {
  for (; *command != 0; ++argument, ++command)
    if (*argument != *command) return false;
  return *argument == 0;
}

}  // namespace

bool isSigningCommand(const SigningArgument* command) {
  return is(command, L"sign") || is(command, L"verify");
}
int runSigningCommand(int, SigningArgument**) { return needsHostBuild(); }
int reportPackageSignature(const SigningArgument*, const uint8_t*, uint64_t) {
  return needsHostBuild();
}

}  // namespace vm

#else

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "platform/posix/openssl_crypto.h"

namespace vm {
namespace {

// The installer hands the archive a signed 32-bit length (as main.cpp).
constexpr uint64_t kLargestPackage = 0x7FFFFFFF;
// Key files are small; anything larger is not one.
constexpr long kLargestKeyFile = 65536;

const char* verdictText(SignatureVerdict verdict) {
  switch (verdict) {
    case SignatureVerdict::Good: return "good signature";
    case SignatureVerdict::NoKey: return "no key to check against";
    case SignatureVerdict::NoEndRecord:
      return "no end of central directory record: not a ZIP package";
    case SignatureVerdict::Truncated:
      return "the end record or its comment runs past the end of the package (cut short)";
    case SignatureVerdict::TrailingBytes:
      return "bytes follow the archive comment (something was appended to the package)";
    case SignatureVerdict::NoComment: return "no archive comment: the package is not signed";
    case SignatureVerdict::ForeignComment:
      return "the archive comment is not a Velmora signature";
    case SignatureVerdict::MalformedSignature:
      return "the archive comment is not exactly the signature tag and one base64 signature";
    case SignatureVerdict::WrongSignatureSize:
      return "the signature's size is not the key's (signed with another key)";
    case SignatureVerdict::Mismatch:
      return "the signature does not match: the package was changed after signing, or it was "
             "signed with another key";
  }
  return "unknown verdict";
}

// ---------------------------------------------------------------- files

// A whole file mapped read-only.
struct MappedFile {
  uint8_t* data = nullptr;
  uint64_t length = 0;
  mode_t mode = 0644;
  ~MappedFile() {
    if (data != nullptr) munmap(data, static_cast<std::size_t>(length));
  }
};

// Maps the regular file at `path` (1 to kLargestPackage bytes); says why on stderr otherwise.
bool mapFile(const char* path, MappedFile& file) {
  const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    std::fprintf(stderr, "vmpkg: %s: cannot open: %s\n", path, std::strerror(errno));
    return false;
  }
  struct stat status;
  bool ok = false;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fprintf(stderr, "vmpkg: %s: not a regular file\n", path);
  } else if (status.st_size == 0 || static_cast<uint64_t>(status.st_size) > kLargestPackage) {
    std::fprintf(stderr, "vmpkg: %s: %lld bytes: not a package (1 to %llu bytes)\n", path,
                 static_cast<long long>(status.st_size),
                 static_cast<unsigned long long>(kLargestPackage));
  } else {
    void* view = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ,
                      MAP_PRIVATE | MAP_POPULATE, descriptor, 0);
    if (view == MAP_FAILED) {
      std::fprintf(stderr, "vmpkg: %s: cannot read: %s\n", path, std::strerror(errno));
    } else {
      file.data = static_cast<uint8_t*>(view);
      file.length = static_cast<uint64_t>(status.st_size);
      file.mode = status.st_mode & 07777;
      ok = true;
    }
  }
  close(descriptor);
  return ok;
}

// Writes `length` bytes to `path` through a new file beside it that then replaces it, so that
// an interrupted write never leaves a half-signed package under the name.
bool replaceFile(const char* path, const uint8_t* data, uint64_t length, mode_t mode) {
  char temporary[4096];
  if (std::snprintf(temporary, sizeof temporary, "%s.sign-XXXXXX", path) >=
      static_cast<int>(sizeof temporary)) {
    std::fprintf(stderr, "vmpkg: %s: path too long\n", path);
    return false;
  }
  const int descriptor = mkstemp(temporary);
  if (descriptor < 0) {
    std::fprintf(stderr, "vmpkg: %s: cannot create a file beside it: %s\n", path,
                 std::strerror(errno));
    return false;
  }
  bool ok = fchmod(descriptor, mode) == 0;
  for (uint64_t written = 0; ok && written < length;) {
    const ssize_t count = write(descriptor, data + written,
                                static_cast<std::size_t>(length - written));
    if (count <= 0) ok = false;
    else written += static_cast<uint64_t>(count);
  }
  ok = ok && fsync(descriptor) == 0;
  ok = close(descriptor) == 0 && ok;
  ok = ok && rename(temporary, path) == 0;
  if (!ok) {
    std::fprintf(stderr, "vmpkg: %s: cannot write: %s\n", path, std::strerror(errno));
    unlink(temporary);
  }
  return ok;
}

// ---------------------------------------------------------------- keys

struct Key {
  EVP_PKEY* openssl = nullptr;
  uint8_t modulus[kLargestRsaModulus];
  RsaPublicKey view{modulus, 0, 0};
  ~Key() { EVP_PKEY_free(openssl); }
};

// Fills `key.view` from the RSA key in `key.openssl`, refusing what the build refuses (see
// cmake/release_trust.cmake): 2048 to 4096 bits in whole bytes, an exponent of 32 bits.
bool takeRsaKey(const char* path, Key& key) {
  if (!EVP_PKEY_is_a(key.openssl, "RSA")) {
    std::fprintf(stderr, "vmpkg: %s is not an RSA key\n", path);
    return false;
  }
  const int bits = EVP_PKEY_get_bits(key.openssl);
  if (bits < 2048 || bits > 4096 || bits % 8 != 0) {
    std::fprintf(stderr,
                 "vmpkg: %s is an RSA key of %d bits; the installer takes 2048 to 4096 bits in "
                 "whole bytes\n",
                 path, bits);
    return false;
  }
  BIGNUM* modulus = nullptr;
  BIGNUM* exponent = nullptr;
  bool ok = EVP_PKEY_get_bn_param(key.openssl, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
            EVP_PKEY_get_bn_param(key.openssl, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1 &&
            BN_num_bytes(modulus) == bits / 8;
  if (ok && BN_num_bits(exponent) > 32) {
    std::fprintf(stderr, "vmpkg: %s: the public exponent does not fit in 32 bits\n", path);
    ok = false;
  } else if (ok) {
    key.view.modulusLength = static_cast<uint32_t>(BN_bn2bin(modulus, key.modulus));
    key.view.exponent = static_cast<uint32_t>(BN_get_word(exponent));
  } else {
    std::fprintf(stderr, "vmpkg: %s: cannot read the key's numbers\n", path);
  }
  BN_free(modulus);
  BN_free(exponent);
  return ok;
}

// The first bytes of a key file, to tell a public PEM from everything else as the build does.
bool readKeyText(const char* path, char (&text)[kLargestKeyFile + 1]) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "vmpkg: %s: cannot open: %s\n", path, std::strerror(errno));
    return false;
  }
  const std::size_t length = std::fread(text, 1, kLargestKeyFile, file);
  std::fclose(file);
  text[length] = 0;
  return true;
}

// The RSA public key in PEM ("PUBLIC KEY" or "RSA PUBLIC KEY") at `path`.
bool readPublicKey(const char* path, Key& key) {
  static char text[kLargestKeyFile + 1];
  if (!readKeyText(path, text)) return false;
  if (std::strstr(text, "PRIVATE KEY-----") != nullptr) {
    std::fprintf(stderr, "vmpkg: %s holds a private key: give the public key\n", path);
    return false;
  }
  if (std::strstr(text, "-----BEGIN PUBLIC KEY-----") == nullptr &&
      std::strstr(text, "-----BEGIN RSA PUBLIC KEY-----") == nullptr) {
    std::fprintf(stderr, "vmpkg: %s is not a public key in PEM form\n", path);
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
    std::fprintf(stderr, "vmpkg: %s is not an RSA public key in PEM form\n", path);
    return false;
  }
  return takeRsaKey(path, key);
}

// The RSA private key in PEM at `path` (OpenSSL asks for its pass phrase when it has one).
bool readPrivateKey(const char* path, Key& key) {
  BIO* input = BIO_new_file(path, "rb");
  if (input == nullptr) {
    std::fprintf(stderr, "vmpkg: %s: cannot open\n", path);
    return false;
  }
  key.openssl = PEM_read_bio_PrivateKey(input, nullptr, nullptr, nullptr);
  BIO_free(input);
  if (key.openssl == nullptr) {
    std::fprintf(stderr, "vmpkg: %s is not a private key in PEM form\n", path);
    return false;
  }
  return takeRsaKey(path, key);
}

// RSA PKCS#1 v1.5 over SHA-256 of `length` bytes; `signature` holds the modulus's length.
bool signBytes(Key& key, const uint8_t* data, uint64_t length, uint8_t* signature) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::size_t size = key.view.modulusLength;
  const bool ok = context != nullptr &&
                  EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key.openssl) == 1 &&
                  EVP_DigestSign(context, signature, &size, data,
                                 static_cast<std::size_t>(length)) == 1 &&
                  size == key.view.modulusLength;
  EVP_MD_CTX_free(context);
  return ok;
}

const char* describeKey(const Key& key, char (&out)[32]) {
  std::snprintf(out, sizeof out, "RSA-%u, SHA-256", key.view.modulusLength * 8);
  return out;
}

// ---------------------------------------------------------------- commands

int verifyCommand(const char* keyPath, const char* packagePath) {
  Key key;
  if (!readPublicKey(keyPath, key)) return 2;
  MappedFile package;
  if (!mapFile(packagePath, package)) return 2;
  OpenSslCrypto crypto;
  const SignatureVerdict verdict = checkPackageSignature(
      package.data, static_cast<uint32_t>(package.length), key.view, crypto);
  if (verdict != SignatureVerdict::Good) {
    std::printf("verify: refused: %s\n", verdictText(verdict));
    return 1;
  }
  char described[32];
  std::printf("verify: good signature (%s)\n", describeKey(key, described));
  return 0;
}

int signCommand(const char* keyPath, const char* packagePath, const char* outPath,
                bool dropComment) {
  Key key;
  if (!readPrivateKey(keyPath, key)) return 2;
  MappedFile package;
  if (!mapFile(packagePath, package)) return 2;
  const uint32_t length = static_cast<uint32_t>(package.length);

  // A package as the installer reads it, ending with its comment.
  ArchiveHandle* handle = openPackageArchive(package.data, length);
  if (handle == nullptr) {
    std::printf("sign: refused: %s: not a readable package archive\n", packagePath);
    return 1;
  }
  closePackageArchive(handle);
  SignatureLayout layout;
  SignatureVerdict verdict = locateSignature(package.data, length, layout);
  if (verdict != SignatureVerdict::Good) {
    std::printf("sign: refused: %s: %s\n", packagePath, verdictText(verdict));
    return 1;
  }
  uint8_t earlier[kLargestRsaModulus];
  uint32_t earlierLength = 0;
  verdict = parseSignatureComment(package.data + layout.signedLength, layout.commentLength,
                                  earlier, earlierLength);
  if (verdict != SignatureVerdict::Good && verdict != SignatureVerdict::NoComment &&
      !dropComment) {
    std::printf("sign: refused: %s carries an archive comment of %u bytes that is not a Velmora "
                "signature; signing replaces it (give --drop-comment to drop it)\n",
                packagePath, layout.commentLength);
    return 1;
  }

  // The comment-length field first, then the signature over everything through it.
  const uint32_t commentLength = signatureCommentLength(key.view.modulusLength);
  const uint64_t signedLength = layout.signedLength;
  const uint64_t total = signedLength + commentLength;
  if (total > kLargestPackage) {
    std::printf("sign: refused: %s: too large once signed\n", packagePath);
    return 1;
  }
  uint8_t* signedPackage = static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(total)));
  if (signedPackage == nullptr) {
    std::fprintf(stderr, "vmpkg: no memory for %llu bytes\n",
                 static_cast<unsigned long long>(total));
    return 2;
  }
  std::memcpy(signedPackage, package.data, static_cast<std::size_t>(signedLength));
  signedPackage[signedLength - 2] = static_cast<uint8_t>(commentLength & 0xFF);
  signedPackage[signedLength - 1] = static_cast<uint8_t>(commentLength >> 8);
  uint8_t signature[kLargestRsaModulus];
  int status = 0;
  if (!signBytes(key, signedPackage, signedLength, signature)) {
    std::fprintf(stderr, "vmpkg: %s: signing failed\n", keyPath);
    status = 2;
  }
  if (status == 0) {
    formatSignatureComment(signature, key.view.modulusLength, signedPackage + signedLength);
    // The installer's check on the result, with the public half of the same key.
    OpenSslCrypto crypto;
    verdict = checkPackageSignature(signedPackage, static_cast<uint32_t>(total), key.view,
                                    crypto);
    if (verdict != SignatureVerdict::Good) {
      std::fprintf(stderr, "vmpkg: the signed package does not pass the check: %s\n",
                   verdictText(verdict));
      status = 2;
    }
  }
  const char* target = outPath != nullptr ? outPath : packagePath;
  if (status == 0 && !replaceFile(target, signedPackage, total, package.mode)) status = 2;
  std::free(signedPackage);
  if (status == 0) {
    char described[32];
    std::printf("sign: %s signed (%s)%s\n", target, describeKey(key, described),
                earlierLength != 0 ? ", an earlier signature replaced"
                : layout.commentLength != 0 ? ", its earlier comment dropped"
                                            : "");
  }
  return status;
}

bool is(const char* argument, const char* command) { return std::strcmp(argument, command) == 0; }

int signingUsage() {
  std::fprintf(stderr,
               "usage: vmpkg sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT]\n"
               "       vmpkg verify PUBLIC_KEY.pem PACKAGE\n");
  return 2;
}

}  // namespace

bool isSigningCommand(const SigningArgument* command) {
  return is(command, "sign") || is(command, "verify");
}

int runSigningCommand(int count, SigningArgument** arguments) {
  if (is(arguments[1], "verify")) {
    if (count != 4) return signingUsage();
    return verifyCommand(arguments[2], arguments[3]);
  }
  const bool dropComment = count > 2 && is(arguments[2], "--drop-comment");
  const int first = dropComment ? 3 : 2;
  const int rest = count - first;
  if (rest != 2 && rest != 3) return signingUsage();
  return signCommand(arguments[first], arguments[first + 1],
                     rest == 3 ? arguments[first + 2] : nullptr, dropComment);
}

int reportPackageSignature(const SigningArgument* keyPath, const uint8_t* data,
                           uint64_t length) {
  Key key;
  if (!readPublicKey(keyPath, key)) return 2;
  OpenSslCrypto crypto;
  // main.cpp reads no package over kLargestPackage bytes.
  const SignatureVerdict verdict =
      checkPackageSignature(data, static_cast<uint32_t>(length), key.view, crypto);
  if (verdict != SignatureVerdict::Good) {
    std::printf("refused: signature: %s\n", verdictText(verdict));
    return 1;
  }
  char described[32];
  std::printf("signature: good (%s)\n", describeKey(key, described));
  return 0;
}

}  // namespace vm

#endif
