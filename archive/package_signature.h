// The package's signature: where it lies, what it covers, and the verdict on it.
//
// A signed package carries its signature in the ZIP archive comment, so it stays one file that
// every ZIP tool (and an installer built without a key) opens as before. The comment is exactly
// kSignatureTag followed by the base64 text (with padding, nothing else) of an RSA PKCS#1 v1.5
// signature over SHA-256 of every byte of the package before the comment: from the package's
// first byte up to and including the end record's comment-length field. Base64 and the tag are
// ASCII, so the comment can never hold the end record's signature bytes; the end record is found
// with the reader's own search (findEndRecord), on the same bytes that are then unpacked, so the
// check and the reader always agree on where the archive ends.
#pragma once

#include <cstdint>

#include "platform/crypto.h"

namespace vm {

// The comment's first bytes.
constexpr char kSignatureTag[] = "velmora-signature-v1:";
constexpr uint32_t kSignatureTagLength = sizeof kSignatureTag - 1;
// Base64 text of the largest signature (4096 bits), and the longest signature comment.
constexpr uint32_t kLargestSignatureText = (kLargestRsaModulus + 2) / 3 * 4;
constexpr uint32_t kLargestSignatureComment = kSignatureTagLength + kLargestSignatureText;

// The verdict on a package's signature; each refusal has its own value. The numbers are fixed.
enum class SignatureVerdict : uint32_t {
  Good = 0,
  NoKey = 1,              // the key is empty: nothing can be verified
  NoEndRecord = 2,        // the reader's search finds no end record: not a package
  Truncated = 3,          // the end record or its comment runs past the package's end
  TrailingBytes = 4,      // bytes follow the comment
  NoComment = 5,          // the comment is empty: the package is not signed
  ForeignComment = 6,     // the comment does not begin with kSignatureTag
  MalformedSignature = 7,  // tag, then not exactly one padded base64 text
  WrongSignatureSize = 8,  // the signature's length is not the key's modulus length
  Mismatch = 9,           // the signature does not verify with the key
};

// Where the end record and its comment lie.
struct SignatureLayout {
  uint32_t endRecordPosition;  // as findEndRecord gives it
  uint32_t signedLength;       // bytes covered: through the comment-length field
  uint32_t commentLength;      // as the end record declares it; it starts at signedLength
};

// Finds the end record with the reader's search and reads its comment length. Good with
// `layout` filled when the package ends exactly with the comment; otherwise NoEndRecord,
// Truncated (record or comment past the end; `layout` then holds what was read) or
// TrailingBytes (`layout` filled).
SignatureVerdict locateSignature(const uint8_t* data, uint32_t length, SignatureLayout& layout);

// Reads a signature comment: the tag, then padded base64 of 1 to kLargestRsaModulus bytes and
// nothing else (no line breaks, no blanks, unused bits zero). Good with the decoded bytes in
// `signature` (of kLargestRsaModulus bytes) and their count in `signatureLength`; otherwise
// NoComment (empty), ForeignComment or MalformedSignature.
SignatureVerdict parseSignatureComment(const uint8_t* comment, uint32_t commentLength,
                                       uint8_t* signature, uint32_t& signatureLength);

// The whole check of the package in `data`: locateSignature, parseSignatureComment, the size
// against the key, then the platform's verification of the signed bytes. Good only when every
// step passes; the first refusal otherwise (NoKey before looking at anything).
SignatureVerdict checkPackageSignature(const uint8_t* data, uint32_t length,
                                       const RsaPublicKey& key, Crypto& crypto);

// Writes the comment for `signature` (`signatureLength` bytes, 1 to kLargestRsaModulus) into
// `out` (at least kLargestSignatureComment bytes): kSignatureTag and the padded base64 text.
// Returns its length, or 0 (nothing written) for a signature length out of range.
uint32_t formatSignatureComment(const uint8_t* signature, uint32_t signatureLength,
                                uint8_t* out);

// Length of the comment formatSignatureComment writes for a signature of `signatureLength`
// bytes.
constexpr uint32_t signatureCommentLength(uint32_t signatureLength) {
  return kSignatureTagLength + (signatureLength + 2) / 3 * 4;
}

}  // namespace vm
