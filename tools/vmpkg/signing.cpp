// vmpkg sign and vmpkg verify, and pack's signer (see signing.h). Where the signature lies,
// what it covers and every verdict come from archive/package_signature.h, the installer's own
// code; only the private-key operation is this file's (OpenSSL), key files are
// tools/common/key_file's.
#include "tools/vmpkg/signing.h"

#include <cstdio>

namespace vm {

int needsHostBuild() {
  std::fprintf(stderr,
               "vmpkg: sign, verify and check --key need the host build of vmpkg (OpenSSL)\n");
  return 2;
}

}  // namespace vm

#ifdef _WIN32

namespace vm {
int runSigningCommand(int, ArgumentUnit**) { return needsHostBuild(); }
}  // namespace vm

#else

#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "platform/posix/openssl_crypto.h"
#include "tools/common/package_check.h"
#include "tools/common/package_limits.h"
#include "tools/common/pending_file.h"
#include "tools/common/whole_file.h"

namespace vm {

PackageSigner::PackageSigner(const KeyFile& key) : key_(key), context_(EVP_MD_CTX_new()) {
  ok_ = context_ != nullptr &&
        EVP_DigestSignInit(context_, nullptr, EVP_sha256(), nullptr, key.openssl) == 1;
}

PackageSigner::~PackageSigner() { EVP_MD_CTX_free(context_); }

void PackageSigner::take(const uint8_t* data, std::size_t length) {
  ok_ = ok_ && EVP_DigestSignUpdate(context_, data, length) == 1;
}

std::vector<uint8_t> PackageSigner::comment() {
  uint8_t signature[kLargestRsaModulus];
  std::size_t size = key_.view.modulusLength;
  std::vector<uint8_t> text(signatureCommentLength(key_.view.modulusLength));
  if (!ok_ || EVP_DigestSignFinal(context_, signature, &size) != 1 ||
      size != key_.view.modulusLength) {
    return {};
  }
  formatSignatureComment(signature, key_.view.modulusLength, text.data());
  return text;
}

namespace {

int verifyCommand(const char* keyPath, const char* packagePath) {
  KeyFile key;
  if (!readPublicKeyFile("vmpkg", keyPath, key)) return 2;
  WholeFile package;
  if (!package.loadPackage(packagePath)) return 2;
  OpenSslCrypto crypto;
  const SignatureVerdict verdict =
      checkPackageSignature(package.data(), package.length(), key.view, crypto);
  if (verdict != SignatureVerdict::Good) {
    std::printf("verify: refused: %s\n", signatureVerdictText(verdict));
    return 1;
  }
  char described[32];
  std::printf("verify: good signature (%s)\n", describeKey(key, described));
  return 0;
}

// Why the package cannot be signed as it is (printed as sign's refusal), or empty; `layout`
// says where its comment lies and `earlier` what it held.
std::string signingRefusal(const WholeFile& package, bool dropComment, SignatureLayout& layout,
                           const char*& earlier) {
  ArchiveHandle* handle = openPackageArchive(package.data(), package.length());
  if (handle == nullptr) return "not a readable package archive";
  closePackageArchive(handle);
  SignatureVerdict verdict = locateSignature(package.data(), package.length(), layout);
  if (verdict != SignatureVerdict::Good) return signatureVerdictText(verdict);
  uint8_t signature[kLargestRsaModulus];
  uint32_t signatureLength = 0;
  verdict = parseSignatureComment(package.data() + layout.signedLength, layout.commentLength,
                                  signature, signatureLength);
  earlier = verdict == SignatureVerdict::Good      ? ", an earlier signature replaced"
            : verdict == SignatureVerdict::NoComment ? ""
                                                     : ", its earlier comment dropped";
  if (verdict == SignatureVerdict::Good || verdict == SignatureVerdict::NoComment || dropComment)
    return "";
  return "carries an archive comment of " + std::to_string(layout.commentLength) +
         " bytes that is not a Velmora signature; signing replaces it (give --drop-comment to "
         "drop it)";
}

// Signs the package at `packagePath` into `target` (which may be the same path) through a new
// file beside it: 0 signed, 1 refused (one line on stdout), 2 (stderr says why); nothing is
// written unless the installer's check passes on the result.
int signCommand(const char* keyPath, const char* packagePath, const char* target,
                bool dropComment) {
  KeyFile key;
  if (!readPrivateKeyFile("vmpkg", keyPath, key)) return 2;
  WholeFile package;
  if (!package.loadPackage(packagePath)) return 2;
  SignatureLayout layout;
  const char* earlier = "";
  std::string why = signingRefusal(package, dropComment, layout, earlier);
  if (!why.empty()) {
    std::printf("sign: refused: %s: %s\n", packagePath, why.c_str());
    return 1;
  }
  // The comment-length field first, then the signature over everything through it.
  const uint32_t commentLength = signatureCommentLength(key.view.modulusLength);
  std::vector<uint8_t> bytes(package.data(), package.data() + layout.signedLength);
  if (bytes.size() + commentLength > kLargestPackage) {
    std::printf("sign: refused: %s: too large once signed\n", packagePath);
    return 1;
  }
  bytes[bytes.size() - 2] = static_cast<uint8_t>(commentLength & 0xFF);
  bytes[bytes.size() - 1] = static_cast<uint8_t>(commentLength >> 8);
  PackageSigner signer(key);
  signer.take(bytes.data(), bytes.size());
  const std::vector<uint8_t> comment = signer.comment();
  if (comment.empty()) {
    std::fprintf(stderr, "vmpkg: signing failed\n");
    return 2;
  }
  bytes.insert(bytes.end(), comment.begin(), comment.end());
  // The installer's check on the result, with the public half of the same key.
  OpenSslCrypto crypto;
  const SignatureVerdict verdict = checkPackageSignature(
      bytes.data(), static_cast<uint32_t>(bytes.size()), key.view, crypto);
  if (verdict != SignatureVerdict::Good) {
    std::fprintf(stderr, "vmpkg: the signed package does not pass the check: %s\n",
                 signatureVerdictText(verdict));
    return 2;
  }
  PendingFile out;
  if (!out.create(target, package.mode(), why) ||
      std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) != bytes.size() ||
      !out.commit()) {
    std::fprintf(stderr, "vmpkg: %s: cannot write: %s\n", target,
                 why.empty() ? std::strerror(errno) : why.c_str());
    return 2;
  }
  char described[32];
  std::printf("sign: %s signed (%s)%s\n", target, describeKey(key, described), earlier);
  return 0;
}

}  // namespace

int runSigningCommand(int count, ArgumentUnit** arguments) {
  const bool verify = argumentIs(arguments[1], "verify");
  const bool dropComment = !verify && count > 2 && argumentIs(arguments[2], "--drop-comment");
  const int first = dropComment ? 3 : 2;
  const int rest = count - first;
  if (verify && count == 4) return verifyCommand(arguments[2], arguments[3]);
  if (!verify && (rest == 2 || rest == 3)) {
    return signCommand(arguments[first], arguments[first + 1],
                       arguments[rest == 3 ? first + 2 : first + 1], dropComment);
  }
  std::fprintf(stderr,
               "usage: vmpkg sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT]\n"
               "       vmpkg verify PUBLIC_KEY.pem PACKAGE\n");
  return 2;
}

}  // namespace vm

#endif
