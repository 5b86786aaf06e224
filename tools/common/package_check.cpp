#include "tools/common/package_check.h"

#include <cstdio>
#include <vector>

#include "archive/unpack.h"
#include "platform/path.h"
#include "platform/utf8.h"
#include "platform/file_version.h"
#include "workflow/server_layout.h"

namespace vm {
namespace {

// An archive result's name ("ArchiveCorrupt").
const char* archiveResultName(ArchiveResult result) {
#define VM_NAME_OF(known) case known: return #known
  switch (result) {
    VM_NAME_OF(ArchiveOk); VM_NAME_OF(ArchiveNoFile); VM_NAME_OF(ArchiveWriteFailed);
    VM_NAME_OF(ArchiveCorrupt); VM_NAME_OF(ArchiveReadFailed); VM_NAME_OF(ArchivePasswordFailed);
    VM_NAME_OF(ArchiveBadArgument); VM_NAME_OF(ArchiveWrongHandle);
    VM_NAME_OF(ArchiveInflateFailed);
  }
#undef VM_NAME_OF
  return "unknown result";
}

// Why an entry could not be described or read whole, in words.
std::string failureReason(const EntryFailure& failure, ArchiveResult result) {
  const std::string value = std::to_string(static_cast<int>(failure.value));
  switch (failure.fault) {
    case EntryFault::HeaderUnreadable: return "its central directory header cannot be read";
    case EntryFault::HeaderMismatch:
      return "its local header is missing or does not match its central header";
    case EntryFault::ExtraPastEnd: return "its local extra field runs past the end of the package";
    case EntryFault::DataPastEnd: return "its data runs past the end of the package";
    case EntryFault::Encrypted: return "it is encrypted with a password";
    case EntryFault::CrcMismatch: return "its CRC-32 does not match its data";
    case EntryFault::NameTooLong:
      return "its name of " + value + " bytes is too long (at most 259)";
    case EntryFault::UnsupportedMethod:
      return "compression method " + value + " is not supported (only 0, 8)";
    default:
      return std::string("its data is corrupt (") + archiveResultName(result) + ", status " +
             value + ")";
  }
}

// Counts each finding into the verdict as it passes it on.
struct Reporter {
  PackageVerdict& verdict;
  const PackageFindingSink& sink;
  void report(FindingKind kind, const char* what, const char* why) {
    if (kind == FindingKind::Harmless) ++verdict.harmless;
    else if (kind != FindingKind::Signature) ++verdict.problems;
    sink(PackageFinding{kind, what, why});
  }
};

// Reports what the installer would do wrong with entry `index`; true when it extracts whole as
// a file of its name. An entry whose name ends with a separator but lacks the folder attribute
// (Java's jar writes folders so) makes its folder, then cannot be created as a file
// (ArchiveNoFile): harmless without data, its data lost with.
bool judgeEntry(ArchiveHandle* handle, int32_t index, ArchiveEntry& entry, Reporter& reporter) {
  EntryFailure failure;
  const ArchiveResult query = getArchiveEntry(handle, index, entry, &failure);
  if (query != ArchiveOk) {
    const std::string what = "entry " + std::to_string(index);
    reporter.report(FindingKind::Fails, what.c_str(), failureReason(failure, query).c_str());
    return false;
  }
  const Utf8Name name(entry.name);
  const EntryDisposition disposition = classifyEntryName(entry.name);
  if (disposition != EntryDisposition::Unpack) {
    reporter.report(FindingKind::Skipped, name.text,
                    disposition == EntryDisposition::OutsideApp ? "outside app/"
                    : "unsafe name (absolute, drive, colon, or dot segment)");
    return false;
  }
  const ArchiveResult result = verifyArchiveEntry(handle, index, &failure);
  if (result != ArchiveOk) {
    reporter.report(FindingKind::Fails, name.text, failureReason(failure, result).c_str());
    return false;
  }
  const std::size_t length = textLength(entry.name);
  if (!(entry.attributes & FileAttributeDirectory) && length > 0 &&
      isPathSeparator(entry.name[length - 1])) {
    const bool empty = entry.uncompressedSize == 0;
    reporter.report(empty ? FindingKind::Harmless : FindingKind::Fails, name.text,
                    empty ? "folder entry without the folder attribute; extraction makes the "
                            "folder, then answers ArchiveNoFile"
                          : "a file entry whose name ends with a slash; extraction makes the "
                            "folder and answers ArchiveNoFile, its data is lost");
    return false;
  }
  return textEquals(entry.name, kPackagedApplicationWide) &&
         !(entry.attributes & FileAttributeDirectory);
}

// Why entry `index`, read whole (at most kLargestProgram bytes), is no Velmora.exe the
// installer would wait for; empty when it is one.
std::string entryVersionProblem(ArchiveHandle* handle, int32_t index) {
  ArchiveEntry entry;
  if (getArchiveEntry(handle, index, entry) != ArchiveOk) return "it cannot be read";
  if (entry.uncompressedSize > kLargestProgram) {
    return "it is too large (" + std::to_string(entry.uncompressedSize) +
           " bytes) to look for its version";
  }
  // One byte more than declared, so that data longer than its header says fails the read.
  std::vector<uint8_t> bytes(entry.uncompressedSize + 1u);
  uint32_t length = 0;
  if (readArchiveEntry(handle, index, bytes.data(), static_cast<uint32_t>(bytes.size()),
                       &length) != ArchiveOk) {
    return "it cannot be read whole";
  }
  return versionProblem(bytes.data(), length);
}

// Every entry, then Velmora.exe's version, the package's size and Velmora.exe's presence.
void checkEntries(ArchiveHandle* handle, uint32_t length, Reporter& reporter) {
  ArchiveEntry entry;
  reporter.verdict.entries = archiveEntryCount(handle);
  int32_t program = -1;  // the last whole app/Velmora.exe: the one that stays
  for (int32_t index = 0; index < reporter.verdict.entries; ++index)
    if (judgeEntry(handle, index, entry, reporter)) program = index;
  const std::string problem = program >= 0 ? entryVersionProblem(handle, program) : "";
  if (!problem.empty())
    reporter.report(FindingKind::WrongVersion, kPackagedApplication, problem.c_str());
  if (length > kLargestDownloadablePackage) {
    const std::string why = std::to_string(length) + " bytes; with a typical response head the " +
                            std::to_string(kDownloadBufferSize) +
                            "-byte download buffer holds at most " +
                            std::to_string(kLargestDownloadablePackage);
    reporter.report(FindingKind::TooLarge, "package", why.c_str());
  }
  if (program < 0)
    reporter.report(FindingKind::Missing, kPackagedApplication,
                    "no such file entry extracts whole");
}

}  // namespace

PackageVerdict checkPackageBytes(const uint8_t* data, uint32_t length, const RsaPublicKey* key,
                                 Crypto* crypto, const PackageFindingSink& sink) {
  PackageVerdict verdict;
  Reporter reporter{verdict, sink};
  if (key != nullptr && crypto != nullptr) {
    const SignatureVerdict signature = checkPackageSignature(data, length, *key, *crypto);
    const std::string good = "good (" + describeKey(*key) + ")";
    if (signature == SignatureVerdict::Good)
      reporter.report(FindingKind::Signature, good.c_str(), nullptr);
    else
      reporter.report(FindingKind::Refused, "signature", signatureVerdictText(signature));
  }
  ArchiveHandle* handle = openPackageArchive(data, length);
  if (handle == nullptr) {
    const std::string why =
        "not a readable package archive (" + archiveResultText(lastArchiveResult()) + ")";
    reporter.report(FindingKind::NotAPackage, "package", why.c_str());
    return verdict;
  }
  checkEntries(handle, length, reporter);
  closePackageArchive(handle);
  return verdict;
}

std::string findingLine(const PackageFinding& finding) {
  static const char* const kWords[] = {"signature", "refused",       "fails",
                                       "skipped",   "fails",         "harmless",
                                       "wrong version", "too large", "missing"};
  std::string line = std::string(kWords[static_cast<int>(finding.kind)]) + ": " + finding.what;
  return finding.why != nullptr ? line + ": " + finding.why : line;
}

std::string verdictLine(const PackageVerdict& verdict) {
  const auto count = [](uint32_t number, const char* what) {
    return std::to_string(number) + " " + what + (number == 1 ? "" : "s");
  };
  if (verdict.problems != 0) return "check: " + count(verdict.problems, "problem");
  const std::string ok = "check: ok, " + std::to_string(verdict.entries) + " entries";
  return verdict.harmless == 0 ? ok : ok + ", " + count(verdict.harmless, "harmless finding");
}

std::string versionProblem(const uint8_t* data, uint64_t length) {
  FileVersion version{};
  switch (readFileVersion(data, length, version)) {
    case FileVersionStatus::Found:
      if (version.major == kApplicationMajorVersion) return "";
      return "its version resource says " + std::to_string(version.major) + "." +
             std::to_string(version.minor) + "." + std::to_string(version.build) + "." +
             std::to_string(version.revision) + "; the installer waits only for a running " +
             "major version " + std::to_string(kApplicationMajorVersion);
    case FileVersionStatus::NotAnImage:
      return "it is no Windows executable (no PE32 or PE32+ headers)";
    case FileVersionStatus::NoVersionResource:
      return "it has no version resource; the installer waits only for a running major "
             "version 5";
    case FileVersionStatus::DamagedResource:
      return "its version resource is damaged (out of bounds, or no fixed block with its "
             "signature)";
    case FileVersionStatus::NoFile:  // only for a path, never for bytes
      break;
  }
  return "its version cannot be read";
}

std::string describeKey(const RsaPublicKey& key) {
  return "RSA-" + std::to_string(key.modulusLength * 8) + ", SHA-256";
}

std::string archiveResultText(ArchiveResult result) {
  char number[16];
  std::snprintf(number, sizeof number, " 0x%x", static_cast<unsigned>(result));
  return archiveResultName(result) + std::string(number);
}

int32_t archiveEntryCount(ArchiveHandle* handle) {
  ArchiveEntry entry;
  getArchiveEntry(handle, -1, entry);
  return entry.index;
}

const char* signatureVerdictText(SignatureVerdict verdict) {
  // In the order of SignatureVerdict's fixed numbers.
  static const char* const kTexts[] = {
      "good signature",
      "no key to check against",
      "no end of central directory record: not a ZIP package",
      "the end record or its comment runs past the end of the package (cut short)",
      "bytes follow the archive comment (something was appended to the package)",
      "no archive comment: the package is not signed",
      "the archive comment is not a Velmora signature",
      "the archive comment is not exactly the signature tag and one base64 signature",
      "the signature's size is not the key's (signed with another key)",
      ("the signature does not match: the package was changed after signing, or it was signed "
       "with another key")};
  const auto index = static_cast<uint32_t>(verdict);
  return index < sizeof kTexts / sizeof *kTexts ? kTexts[index] : "unknown verdict";
}

Utf8Name::Utf8Name(const char16_t* units) {
  if (encodeUtf8(units, text, sizeof text) < 0) std::snprintf(text, sizeof text, "(too long)");
}

}  // namespace vm
