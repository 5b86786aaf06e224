// vmpkg sign and vmpkg verify, and pack's signer (see vmpkg.h). Where the signature lies,
// what it covers and every verdict come from archive/package_signature.h, the installer's own
// code; only the private-key operation is this file's (OpenSSL), key files are tool_io's.
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "platform/posix/openssl_crypto.h"
#include "tools/common/package_check.h"
#include "tools/vmpkg/vmpkg.h"

namespace vm {

PackageSigner::PackageSigner(const KeyFile& key)
    : key_(key), context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
  ok_ = context_ != nullptr &&
        EVP_DigestSignInit(context_.get(), nullptr, EVP_sha256(), nullptr, key.openssl) == 1;
}

void PackageSigner::take(const uint8_t* data, std::size_t length) {
  ok_ = ok_ && EVP_DigestSignUpdate(context_.get(), data, length) == 1;
}

std::vector<uint8_t> PackageSigner::comment() {
  uint8_t signature[kLargestRsaModulus];
  std::size_t size = key_.view.modulusLength;
  std::vector<uint8_t> text(signatureCommentLength(key_.view.modulusLength));
  if (!ok_ || EVP_DigestSignFinal(context_.get(), signature, &size) != 1 ||
      size != key_.view.modulusLength) {
    return {};
  }
  formatSignatureComment(signature, key_.view.modulusLength, text.data());
  return text;
}

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
  std::printf("verify: good signature (%s)\n", describeKey(key.view).c_str());
  return 0;
}

namespace {

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

}  // namespace

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
  if (comment.empty()) return complain(2, "vmpkg: signing failed\n");
  bytes.insert(bytes.end(), comment.begin(), comment.end());
  // The installer's check on the result, with the public half of the same key.
  OpenSslCrypto crypto;
  const SignatureVerdict verdict = checkPackageSignature(
      bytes.data(), static_cast<uint32_t>(bytes.size()), key.view, crypto);
  if (verdict != SignatureVerdict::Good)
    return complain(2, "vmpkg: the signed package does not pass the check: %s\n",
                    signatureVerdictText(verdict));
  PendingFile out;
  if (!out.create(target, package.mode(), why) ||
      std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) != bytes.size() ||
      !out.commit())
    return complain(2, "vmpkg: %s: cannot write: %s\n", target,
                    why.empty() ? std::strerror(errno) : why.c_str());
  std::printf("sign: %s signed (%s)%s\n", target, describeKey(key.view).c_str(), earlier);
  return 0;
}

}  // namespace vm
