// The package signature's place, its comment text and its check. Only the hash and the RSA
// operation are the platform's (Crypto); everything that decides a refusal is here.
#include "archive/package_signature.h"

#include "archive/reader.h"

namespace vm {
namespace {

constexpr uint32_t kEndRecordSize = 22;  // fixed part, comment-length field included
constexpr uint32_t kCommentLengthField = 20;  // its offset within the end record

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of a base64 character, or -1 (padding and everything else).
int base64Value(uint8_t character) {
  if (character >= 'A' && character <= 'Z') return character - 'A';
  if (character >= 'a' && character <= 'z') return character - 'a' + 26;
  if (character >= '0' && character <= '9') return character - '0' + 52;
  if (character == '+') return 62;
  if (character == '/') return 63;
  return -1;
}

// Decodes padded base64 exactly as formatSignatureComment writes it: a multiple of 4
// characters, padding only in the last group (one or two '='), the unused low bits of the last
// character zero, at most `capacity` bytes out. False for anything else.
bool decodeBase64(const uint8_t* text, uint32_t length, uint8_t* out, uint32_t capacity,
                  uint32_t& written) {
  if (length == 0 || length % 4 != 0) return false;
  const uint32_t padding = text[length - 1] != '=' ? 0 : text[length - 2] != '=' ? 1 : 2;
  const uint32_t decoded = length / 4 * 3 - padding;
  if (decoded > capacity) return false;
  uint32_t count = 0;
  for (uint32_t group = 0; group < length; group += 4) {
    const uint32_t characters = group + 4 == length ? 4 - padding : 4;
    uint32_t bits = 0;
    for (uint32_t at = 0; at < 4; ++at) {
      int value = 0;
      if (at < characters) {
        value = base64Value(text[group + at]);
        if (value < 0) return false;
      }
      bits = (bits << 6) | static_cast<uint32_t>(value);
    }
    // Padding leaves the low bits of the last character unused (2 bits after one '=', 4 after
    // two): they must be zero, so that one signature has exactly one text.
    const uint32_t bytes = characters - 1;
    const uint32_t unusedMask = bytes == 3 ? 0 : bytes == 2 ? 0xFF : 0xFFFF;
    if ((bits & unusedMask) != 0) return false;
    for (uint32_t at = 0; at < bytes; ++at)
      out[count++] = static_cast<uint8_t>(bits >> (16 - 8 * at));
  }
  written = count;
  return true;
}

}  // namespace

SignatureVerdict locateSignature(const uint8_t* data, uint32_t length, SignatureLayout& layout) {
  layout = SignatureLayout{};
  MemorySource source{data, length, 0};
  uint32_t position = 0;
  if (!findEndRecord(source, position)) return SignatureVerdict::NoEndRecord;
  layout.endRecordPosition = position;
  const uint64_t fixedEnd = static_cast<uint64_t>(position) + kEndRecordSize;
  if (fixedEnd > length) return SignatureVerdict::Truncated;
  layout.signedLength = static_cast<uint32_t>(fixedEnd);
  layout.commentLength = data[position + kCommentLengthField] |
                         (static_cast<uint32_t>(data[position + kCommentLengthField + 1]) << 8);
  const uint64_t commentEnd = fixedEnd + layout.commentLength;
  if (commentEnd > length) return SignatureVerdict::Truncated;
  if (commentEnd < length) return SignatureVerdict::TrailingBytes;
  return SignatureVerdict::Good;
}

SignatureVerdict parseSignatureComment(const uint8_t* comment, uint32_t commentLength,
                                       uint8_t* signature, uint32_t& signatureLength) {
  signatureLength = 0;
  if (commentLength == 0) return SignatureVerdict::NoComment;
  if (commentLength < kSignatureTagLength) return SignatureVerdict::ForeignComment;
  for (uint32_t at = 0; at < kSignatureTagLength; ++at)
    if (comment[at] != static_cast<uint8_t>(kSignatureTag[at]))
      return SignatureVerdict::ForeignComment;
  if (!decodeBase64(comment + kSignatureTagLength, commentLength - kSignatureTagLength,
                    signature, kLargestRsaModulus, signatureLength)) {
    signatureLength = 0;
    return SignatureVerdict::MalformedSignature;
  }
  return SignatureVerdict::Good;
}

SignatureVerdict checkPackageSignature(const uint8_t* data, uint32_t length,
                                       const RsaPublicKey& key, Crypto& crypto) {
  if (key.modulusLength == 0) return SignatureVerdict::NoKey;
  SignatureLayout layout;
  SignatureVerdict verdict = locateSignature(data, length, layout);
  if (verdict != SignatureVerdict::Good) return verdict;
  uint8_t signature[kLargestRsaModulus];
  uint32_t signatureLength = 0;
  verdict = parseSignatureComment(data + layout.signedLength, layout.commentLength, signature,
                                  signatureLength);
  if (verdict != SignatureVerdict::Good) return verdict;
  if (signatureLength != key.modulusLength) return SignatureVerdict::WrongSignatureSize;
  return crypto.verifyRsaSha256(key, data, layout.signedLength, signature, signatureLength)
             ? SignatureVerdict::Good
             : SignatureVerdict::Mismatch;
}

uint32_t formatSignatureComment(const uint8_t* signature, uint32_t signatureLength,
                                uint8_t* out) {
  if (signatureLength == 0 || signatureLength > kLargestRsaModulus) return 0;
  uint32_t written = 0;
  for (; written < kSignatureTagLength; ++written)
    out[written] = static_cast<uint8_t>(kSignatureTag[written]);
  for (uint32_t at = 0; at < signatureLength; at += 3) {
    const uint32_t left = signatureLength - at;
    const uint32_t bits = (static_cast<uint32_t>(signature[at]) << 16) |
                          (left > 1 ? static_cast<uint32_t>(signature[at + 1]) << 8 : 0) |
                          (left > 2 ? signature[at + 2] : 0);
    out[written++] = static_cast<uint8_t>(kBase64Alphabet[bits >> 18]);
    out[written++] = static_cast<uint8_t>(kBase64Alphabet[(bits >> 12) & 0x3F]);
    out[written++] = left > 1 ? static_cast<uint8_t>(kBase64Alphabet[(bits >> 6) & 0x3F]) : '=';
    out[written++] = left > 2 ? static_cast<uint8_t>(kBase64Alphabet[bits & 0x3F]) : '=';
  }
  return written;
}

}  // namespace vm
