// The verdict of `vmpkg check` on a package's bytes, shared by vmpkg and velmora-fetch: will the
// installer install this package completely, and (given a key) is it signed with that key?
//
// The check opens the bytes with the installer's own reader (openPackageArchive), runs every
// entry through the extraction loop with a sink that discards (verifyArchiveEntry), reads
// app/Velmora.exe's version resource, and weighs the package against the download buffer. It
// reports each finding to a sink as it goes and returns the counts; it prints nothing.
#pragma once

#include <cstdint>
#include <string>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "platform/crypto.h"

namespace vm {

// What a finding says. Every kind but Signature and Harmless is a problem.
enum class FindingKind : int32_t {
  Signature,     // the signature is good: "signature: good (RSA-N, SHA-256)"
  Refused,       // the signature does not pass: "refused: signature: WHY"
  NotAPackage,   // the bytes do not open as a package archive: "fails: package: WHY"
  Skipped,       // an entry the installer skips: "skipped: NAME: WHY"
  Fails,         // an entry whose extraction fails: "fails: NAME: WHY"
  Harmless,      // fails without changing what the installation leaves: "harmless: NAME: WHY"
  WrongVersion,  // app/Velmora.exe without major version 5: "wrong version: app/Velmora.exe: WHY"
  TooLarge,      // too large for the download buffer: "too large: package: WHY"
  Missing,       // no app/Velmora.exe extracts whole: "missing: app/Velmora.exe: WHY"
};

// One finding. The texts are UTF-8 and valid only during the sink's call.
struct PackageFinding {
  FindingKind kind;
  const char* what;  // an entry's name, "entry N", "package", "signature", "app/Velmora.exe",
                     // or for Signature "good (RSA-N, SHA-256)"
  const char* why;   // null for Signature
};

// Where the check reports its findings, in the order vmpkg check prints them.
class PackageFindingSink {
 public:
  virtual void found(const PackageFinding& finding) = 0;

 protected:
  ~PackageFindingSink() = default;
};

struct PackageVerdict {
  bool opened = false;    // the bytes opened as a package archive
  int32_t entries = 0;    // the entries it declares (0 when it did not open)
  uint32_t problems = 0;  // findings that are problems (see FindingKind)
  uint32_t harmless = 0;  // Harmless findings
  // The installer installs the package completely (and it is signed with the key, when given).
  bool installs() const { return problems == 0; }
};

// Checks the package of `length` bytes at `data` and reports each finding to `sink`: first the
// signature when `key` is not null (checked with checkPackageSignature through `crypto`), then,
// if the package opens, every skipped, failing or harmless entry in index order, a wrong
// version of app/Velmora.exe (the last whole copy, the one extraction leaves), a package too
// large for the download buffer with a typical response head, and a missing app/Velmora.exe.
[[nodiscard]] PackageVerdict checkPackageBytes(const uint8_t* data, uint32_t length,
                                               const RsaPublicKey* key, Crypto* crypto,
                                               PackageFindingSink& sink);

// A finding's kind as vmpkg check prints it: "signature", "refused", "fails", "skipped",
// "harmless", "wrong version", "too large", "missing".
const char* findingKindText(FindingKind kind);

// The finding as vmpkg check prints it: "KIND: WHAT: WHY", or "KIND: WHAT" without a reason.
std::string findingLine(const PackageFinding& finding);

// The verdict's line as vmpkg check ends with it: "check: ok, N entries", "check: ok, N entries,
// M harmless findings" or "check: N problems".
void formatVerdict(const PackageVerdict& verdict, char (&out)[96]);

// The archive result's name, as "ArchiveCorrupt".
const char* archiveResultName(ArchiveResult result);

// The signature verdict in words, as check, verify and sign print it.
const char* signatureVerdictText(SignatureVerdict verdict);

// UTF-16 text (an entry name) as UTF-8 for printing; "(too long)" when it does not fit.
struct Utf8Name {
  char text[4 * 520 + 1];
  explicit Utf8Name(const char16_t* units);
};

}  // namespace vm
