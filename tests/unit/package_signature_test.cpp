// The package signature's place, comment and verdicts (package_signature.cpp), with a fake
// crypto: every refusal the core decides, on packages built by the test's ZIP writer. Real
// signatures are checked by the tools' conformance rows and the Win32 adapter test.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "archive/package_signature.h"
#include "tests/unit/fake_crypto.h"
#include "tests/unit/zip_builder.h"

namespace vm {
namespace {

using test::buildZip;
using test::ZipEntryRecipe;
using test::ZipRecipe;
using test::bytesOf;
using test::CommentChange;
using test::commentFor;
using test::FakeCrypto;
using test::makeKey;
using test::signedPackage;
using test::TestKey;

const TestKey kKey = makeKey(256, 0x11);
const TestKey kSameSizeKey = makeKey(256, 0x22);
const TestKey kLargerKey = makeKey(384, 0x33);

ZipRecipe samplePackage() {
  ZipEntryRecipe program;
  program.name = "app/Velmora.exe";
  program.data = "MZ" + std::string(300, 'p');
  ZipEntryRecipe readme;
  readme.name = "app/readme.txt";
  readme.data = "Velmora 5";
  ZipRecipe recipe;
  recipe.entries = {program, readme};
  return recipe;
}

// Field positions of the archive in `package` (no stub): the end record found from the end.
uint32_t endRecordOf(const std::string& package) {
  return static_cast<uint32_t>(package.rfind(std::string("PK\x05\x06", 4)));
}
uint32_t directoryOf(const std::string& package) {
  const uint32_t end = endRecordOf(package);
  uint32_t offset = 0;
  for (int at = 3; at >= 0; --at)
    offset = offset << 8 | static_cast<uint8_t>(package[end + 16 + at]);
  return offset;
}

std::string flipped(std::string package, std::size_t position, uint8_t bits = 0x01) {
  package[position] = static_cast<char>(package[position] ^ bits);
  return package;
}

TEST(CheckPackageSignature, AcceptsOnlyAnUntouchedPackageSignedWithTheKey) {
  const std::string good = signedPackage(samplePackage(), kKey);
  const uint32_t end = endRecordOf(good);
  const uint32_t signatureText = end + 22 + kSignatureTagLength;
  ZipRecipe unsigned_ = samplePackage();
  ZipRecipe foreign = samplePackage();
  foreign.comment = "release 5.0";
  ZipRecipe holdingEndRecord = samplePackage();
  holdingEndRecord.comment = std::string("PK\x05\x06", 4) + std::string(18, '\0');
  ZipRecipe stub = samplePackage();
  stub.prefix.assign(1000, 'M');
  const std::string stubbed = signedPackage(stub, kKey);
  const struct {
    const char* what;
    std::string package;
    SignatureVerdict verdict;
  } cases[] = {
      {"a good signature", good, SignatureVerdict::Good},
      {"a flipped byte in entry data", flipped(good, 30 + 15 + 100), SignatureVerdict::Mismatch},
      {"a flipped byte in the central directory", flipped(good, directoryOf(good) + 16),
       SignatureVerdict::Mismatch},
      {"a flipped byte in the end record's entry count", flipped(good, end + 10),
       SignatureVerdict::Mismatch},
      {"a flipped byte in the end record's signature", flipped(good, end + 1),
       SignatureVerdict::NoEndRecord},
      // The comment of a 256-byte signature is 365 (0x16D) bytes long.
      {"a comment length one smaller", flipped(good, end + 20, 0x01),
       SignatureVerdict::TrailingBytes},
      {"a comment length two larger", flipped(good, end + 20, 0x02),
       SignatureVerdict::Truncated},
      {"a flipped byte in the signature text (another base64 character)",
       flipped(good, signatureText + 10), SignatureVerdict::Mismatch},
      {"a flipped byte in the tag", flipped(good, end + 22 + 3), SignatureVerdict::ForeignComment},
      {"a flipped byte in bytes before the archive", flipped(stubbed, 10),
       SignatureVerdict::Mismatch},
      {"a signed package with bytes before the archive", stubbed, SignatureVerdict::Good},
      {"a byte appended after the comment", good + "x", SignatureVerdict::TrailingBytes},
      {"a line break appended after the comment", good + "\n", SignatureVerdict::TrailingBytes},
      {"cut inside the comment", good.substr(0, good.size() - 5), SignatureVerdict::Truncated},
      {"cut inside the end record", good.substr(0, end + 12), SignatureVerdict::Truncated},
      {"cut before the end record", good.substr(0, end), SignatureVerdict::NoEndRecord},
      {"fewer bytes than an end record", good.substr(end, 4), SignatureVerdict::NoEndRecord},
      {"no comment", buildZip(unsigned_), SignatureVerdict::NoComment},
      {"a foreign comment", buildZip(foreign), SignatureVerdict::ForeignComment},
      // The reader's search takes the highest hit: the record inside the comment, with an
      // empty comment of its own.
      {"a comment holding the end record's bytes", buildZip(holdingEndRecord),
       SignatureVerdict::NoComment},
      {"signed with another key of the same size", signedPackage(samplePackage(), kSameSizeKey),
       SignatureVerdict::Mismatch},
      {"signed with a larger key", signedPackage(samplePackage(), kLargerKey),
       SignatureVerdict::WrongSignatureSize},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    FakeCrypto crypto;
    EXPECT_EQ(checkPackageSignature(bytesOf(row.package),
                                    static_cast<uint32_t>(row.package.size()), kKey.key(),
                                    crypto),
              row.verdict);
  }
}

TEST(CheckPackageSignature, RefusesEveryCommentThatIsNotExactlyTagAndOneCanonicalText) {
  const struct {
    const char* what;
    CommentChange change;
    SignatureVerdict verdict;
  } cases[] = {
      {"the text as written", [](std::string&) {}, SignatureVerdict::Good},
      {"a line break after the text (as zip -z leaves)", [](std::string& c) { c += "\n"; },
       SignatureVerdict::MalformedSignature},
      {"a blank inside the text", [](std::string& c) { c.insert(40, " "); },
       SignatureVerdict::MalformedSignature},
      {"a blank after the tag", [](std::string& c) { c.insert(kSignatureTagLength, " "); },
       SignatureVerdict::MalformedSignature},
      {"the padding left out", [](std::string& c) { c.resize(c.size() - 2); },
       SignatureVerdict::MalformedSignature},
      {"one '=' of two", [](std::string& c) { c.resize(c.size() - 1); },
       SignatureVerdict::MalformedSignature},
      {"a third '='", [](std::string& c) { c[c.size() - 3] = '='; },
       SignatureVerdict::MalformedSignature},
      {"'=' in the middle", [](std::string& c) { c[40] = '='; },
       SignatureVerdict::MalformedSignature},
      {"a character outside the alphabet", [](std::string& c) { c[41] = '-'; },
       SignatureVerdict::MalformedSignature},
      // 256 bytes end in one byte and "==": its last character's low 4 bits are unused.
      {"unused bits set (a second text for the same bytes)",
       [](std::string& c) { c[c.size() - 3] = static_cast<char>(c[c.size() - 3] + 1); },
       SignatureVerdict::MalformedSignature},
      {"a second signature after the first",
       [](std::string& c) { c += c.substr(kSignatureTagLength); },
       SignatureVerdict::MalformedSignature},
      {"the tag alone", [](std::string& c) { c.resize(kSignatureTagLength); },
       SignatureVerdict::MalformedSignature},
      {"the tag cut short", [](std::string& c) { c.resize(kSignatureTagLength - 1); },
       SignatureVerdict::ForeignComment},
      {"the tag in upper case", [](std::string& c) { c[0] = 'V'; },
       SignatureVerdict::ForeignComment},
      {"three bytes of signature", [](std::string& c) { c.resize(kSignatureTagLength + 4); },
       SignatureVerdict::WrongSignatureSize},
      {"516 bytes of signature",
       [](std::string& c) { c = kSignatureTag + std::string(688, 'A'); },
       SignatureVerdict::MalformedSignature},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    const std::string package = signedPackage(samplePackage(), kKey, row.change);
    FakeCrypto crypto;
    EXPECT_EQ(checkPackageSignature(bytesOf(package), static_cast<uint32_t>(package.size()),
                                    kKey.key(), crypto),
              row.verdict);
  }
}

TEST(CheckPackageSignature, CoversEverythingThroughTheCommentLengthAndFailsClosed) {
  const std::string good = signedPackage(samplePackage(), kKey);
  FakeCrypto crypto;
  ASSERT_EQ(checkPackageSignature(bytesOf(good), static_cast<uint32_t>(good.size()), kKey.key(),
                                  crypto),
            SignatureVerdict::Good);
  EXPECT_EQ(crypto.lastVerified, endRecordOf(good) + 22u);

  crypto.fail = true;  // the platform cannot verify
  EXPECT_EQ(checkPackageSignature(bytesOf(good), static_cast<uint32_t>(good.size()), kKey.key(),
                                  crypto),
            SignatureVerdict::Mismatch);
  const RsaPublicKey noKey{nullptr, 0, 0};
  EXPECT_EQ(checkPackageSignature(bytesOf(good), static_cast<uint32_t>(good.size()), noKey,
                                  crypto),
            SignatureVerdict::NoKey);
}

TEST(FormatSignatureComment, WritesTheTagAndPaddedBase64ThatParsesBack) {
  const struct {
    std::string signature;
    const char* text;  // nullptr: only the round trip is checked
  } cases[] = {
      {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"\xFF\xFE\xFD", "//79"}, {std::string(256, '\xA5'), nullptr},
      {std::string(384, '\x00'), nullptr}, {std::string(512, '\xFF'), nullptr},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.signature.size());
    const std::string comment = commentFor(row.signature);
    EXPECT_EQ(comment.size(), signatureCommentLength(static_cast<uint32_t>(row.signature.size())));
    if (row.text != nullptr) {
      EXPECT_EQ(comment, std::string(kSignatureTag) + row.text);
    }
    uint8_t decoded[kLargestRsaModulus];
    uint32_t length = 0;
    ASSERT_EQ(parseSignatureComment(bytesOf(comment), static_cast<uint32_t>(comment.size()),
                                    decoded, length),
              SignatureVerdict::Good);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decoded), length), row.signature);
  }
  uint8_t out[kLargestSignatureComment + 8];
  const std::string tooLong(513, 'x');
  EXPECT_EQ(formatSignatureComment(bytesOf(tooLong), 513, out), 0u);
  EXPECT_EQ(formatSignatureComment(bytesOf(tooLong), 0, out), 0u);
}

}  // namespace
}  // namespace vm
