// vmpkg sign and vmpkg verify, and the signing step of pack --sign (see signing.h). Where the
// signature lies, what it covers and every verdict come from archive/package_signature.h, the
// installer's own code; only the private-key operation is this file's (OpenSSL), key files are
// tools/common/key_file's.
#include "tools/vmpkg/signing.h"

#include <cstdio>

#ifdef _WIN32

namespace vm {
namespace {

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

int needsHostBuild() {
  std::fprintf(stderr,
               "vmpkg: sign, verify and check --key need the host build of vmpkg (OpenSSL)\n");
  return 2;
}

}  // namespace vm

#else

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "platform/posix/openssl_crypto.h"
#include "tools/common/package_check.h"

namespace vm {
namespace {

// The installer hands the archive a signed 32-bit length (as main.cpp).
constexpr uint64_t kLargestPackage = 0x7FFFFFFF;

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

// ---------------------------------------------------------------- signing

// RSA PKCS#1 v1.5 over SHA-256 of `length` bytes; `signature` holds the modulus's length.
bool signBytes(const KeyFile& key, const uint8_t* data, uint64_t length, uint8_t* signature) {
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

// ---------------------------------------------------------------- commands

int verifyCommand(const char* keyPath, const char* packagePath) {
  KeyFile key;
  if (!readPublicKeyFile("vmpkg", keyPath, key)) return 2;
  MappedFile package;
  if (!mapFile(packagePath, package)) return 2;
  OpenSslCrypto crypto;
  const SignatureVerdict verdict = checkPackageSignature(
      package.data, static_cast<uint32_t>(package.length), key.view, crypto);
  if (verdict != SignatureVerdict::Good) {
    std::printf("verify: refused: %s\n", signatureVerdictText(verdict));
    return 1;
  }
  char described[32];
  std::printf("verify: good signature (%s)\n", describeKey(key, described));
  return 0;
}

int signCommand(const char* keyPath, const char* packagePath, const char* outPath,
                bool dropComment) {
  KeyFile key;
  if (!readPrivateKeyFile("vmpkg", keyPath, key)) return 2;
  const char* target = outPath != nullptr ? outPath : packagePath;
  SignedOver earlier = SignedOver::Nothing;
  const int status = signPackageFile(key, packagePath, target, dropComment, earlier);
  if (status == 0) {
    char described[32];
    std::printf("sign: %s signed (%s)%s\n", target, describeKey(key, described),
                earlier == SignedOver::Signature ? ", an earlier signature replaced"
                : earlier == SignedOver::Comment ? ", its earlier comment dropped"
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

int signPackageFile(const KeyFile& key, const char* packagePath, const char* target,
                    bool dropComment, SignedOver& earlier) {
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
    std::printf("sign: refused: %s: %s\n", packagePath, signatureVerdictText(verdict));
    return 1;
  }
  uint8_t earlierSignature[kLargestRsaModulus];
  uint32_t earlierLength = 0;
  verdict = parseSignatureComment(package.data + layout.signedLength, layout.commentLength,
                                  earlierSignature, earlierLength);
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
    std::fprintf(stderr, "vmpkg: signing failed\n");
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
                   signatureVerdictText(verdict));
      status = 2;
    }
  }
  if (status == 0 && !replaceFile(target, signedPackage, total, package.mode)) status = 2;
  std::free(signedPackage);
  earlier = earlierLength != 0              ? SignedOver::Signature
            : layout.commentLength != 0 ? SignedOver::Comment
                                        : SignedOver::Nothing;
  return status;
}

}  // namespace vm

#endif
