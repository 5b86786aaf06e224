// The verdict of `vmpkg check` on a package's bytes, shared by vmpkg and velmora-fetch: will the
// installer install this package completely, and (given a key) is it signed with that key?
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "net/download.h"
#include "platform/crypto.h"

namespace vm {

// The sizes the tools hold a package and its program to.
// The installer's download buffer holds the whole HTTP response and a zero byte after it; a
// typical nginx response head takes a few hundred bytes.
constexpr uint64_t kTypicalResponseHead = 512;
// The largest package that fits the buffer with a typical response head.
constexpr uint64_t kLargestDownloadablePackage =
    static_cast<uint64_t>(kDownloadBufferSize) - kTypicalResponseHead - 1;
// The largest file the tools open as a package: the archive takes a signed 32-bit length.
constexpr uint64_t kLargestPackage = 0x7FFFFFFF;
// The largest Velmora.exe read whole to find its version.
constexpr uint32_t kLargestProgram = 512u << 20;

// What a finding says, and the word check prints for it. Every kind but Signature and
// Harmless is a problem.
enum class FindingKind : int32_t {
  Signature,     // "signature: good (RSA-N, SHA-256)"
  Refused,       // "refused: signature: WHY"
  NotAPackage,   // "fails: package: WHY": the bytes do not open as a package archive
  Skipped,       // "skipped: NAME: WHY": an entry the installer skips
  Fails,         // "fails: NAME: WHY": an entry whose extraction fails
  Harmless,      // "harmless: NAME: WHY": fails without changing what the installation leaves
  WrongVersion,  // "wrong version: app/Velmora.exe: WHY": not major version 5
  TooLarge,      // "too large: package: WHY": too large for the download buffer
  Missing,       // "missing: app/Velmora.exe: WHY": no app/Velmora.exe extracts whole
};

// One finding. The texts are UTF-8 and valid only during the sink's call; `why` is null for
// Signature, whose `what` is "good (RSA-N, SHA-256)".
struct PackageFinding {
  FindingKind kind;
  const char* what;  // an entry's name, "entry N", "package", "signature", "app/Velmora.exe"
  const char* why;
};

// Where the check reports its findings, in the order vmpkg check prints them.
using PackageFindingSink = std::function<void(const PackageFinding&)>;

struct PackageVerdict {
  int32_t entries = 0;    // the entries it declares (0 when it did not open)
  uint32_t problems = 0;  // findings that are problems (see FindingKind)
  uint32_t harmless = 0;  // Harmless findings
  // The installer installs the package completely (and it is signed with the key, when given).
  bool installs() const { return problems == 0; }
};

// Checks the package of `length` bytes at `data` with the installer's own code, reporting to
// `sink`: the signature when `key` is not null (checkPackageSignature through `crypto`), then,
// if the package opens, every skipped, failing (each entry runs through the extraction loop
// into a sink that discards: verifyArchiveEntry) or harmless entry in index order, a wrong
// version of app/Velmora.exe (the last whole copy, the one extraction leaves), a package too
// large for the download buffer with a typical response head, and a missing app/Velmora.exe.
// Nothing is printed.
[[nodiscard]] PackageVerdict checkPackageBytes(const uint8_t* data, uint32_t length,
                                               const RsaPublicKey* key, Crypto* crypto,
                                               const PackageFindingSink& sink);

// The finding as vmpkg check prints it: "KIND: WHAT: WHY", or "KIND: WHAT" without a reason.
std::string findingLine(const PackageFinding& finding);

// The verdict's line as vmpkg check ends with it: "check: ok, N entries", "check: ok, N entries,
// M harmless findings" or "check: N problems".
std::string verdictLine(const PackageVerdict& verdict);

// "RSA-N, SHA-256": how a package signed with the key is signed.
std::string describeKey(const RsaPublicKey& key);

// Why the bytes of a Velmora.exe are none the installer would wait for; empty when their version
// resource carries major version 5.
std::string versionProblem(const uint8_t* data, uint64_t length);

// An archive result's name and number ("ArchiveCorrupt 0x3"); a signature verdict in words; the
// number of entries of an open archive.
std::string archiveResultText(ArchiveResult result);
const char* signatureVerdictText(SignatureVerdict verdict);
int32_t archiveEntryCount(ArchiveHandle* handle);

// UTF-16 text (an entry name) as UTF-8 for printing; "(too long)" when it does not fit.
struct Utf8Name {
  char text[4 * 520 + 1];
  explicit Utf8Name(const char16_t* units);
};

}  // namespace vm
