#include "tools/common/package_check.h"

#include <cstdio>

#include "archive/unpack.h"
#include "platform/path.h"
#include "platform/utf8.h"
#include "tools/common/main_program.h"
#include "tools/common/package_limits.h"

namespace vm {
namespace {

// Why an entry could not be described or read whole, in words.
const char* failureReason(const EntryFailure& failure, ArchiveResult result, char (&buffer)[96]) {
  switch (failure.fault) {
    case EntryFault::HeaderUnreadable:
      return "its central directory header cannot be read";
    case EntryFault::NameTooLong:
      std::snprintf(buffer, sizeof buffer, "its name of %d bytes is too long (at most 259)",
                    static_cast<int>(failure.value));
      return buffer;
    case EntryFault::UnsupportedMethod:
      std::snprintf(buffer, sizeof buffer, "compression method %d is not supported (only 0, 8)",
                    static_cast<int>(failure.value));
      return buffer;
    case EntryFault::HeaderMismatch:
      return "its local header is missing or does not match its central header";
    case EntryFault::ExtraPastEnd:
      return "its local extra field runs past the end of the package";
    case EntryFault::DataPastEnd:
      return "its data runs past the end of the package";
    case EntryFault::Encrypted:
      return "it is encrypted with a password";
    case EntryFault::CrcMismatch:
      return "its CRC-32 does not match its data";
    case EntryFault::CorruptData:
    case EntryFault::NoMemory:
    case EntryFault::None:
      break;
  }
  std::snprintf(buffer, sizeof buffer, "its data is corrupt (%s, status %d)",
                archiveResultName(result), static_cast<int>(failure.value));
  return buffer;
}

// How extraction treats an entry whose name ends with a separator but that lacks the folder
// attribute (Java's jar and ZipOutputStream write folders so): the destination's folder part is
// the whole path, so the folder is made, and then no file of that name can be created, so the
// result is ArchiveNoFile. Harmless without data; with data, the data is lost.
enum class FolderWithoutAttribute { No, Harmless, DataLost };

FolderWithoutAttribute folderWithoutAttribute(const ArchiveEntry& entry) {
  const std::size_t length = textLength(entry.name);
  if ((entry.attributes & FileAttributeDirectory) || length == 0 ||
      !isPathSeparator(entry.name[length - 1])) {
    return FolderWithoutAttribute::No;
  }
  return entry.uncompressedSize == 0 ? FolderWithoutAttribute::Harmless
                                     : FolderWithoutAttribute::DataLost;
}

// Counts each finding into the verdict as it passes it on.
class Reporter {
 public:
  Reporter(PackageVerdict& verdict, PackageFindingSink& sink) : verdict_(verdict), sink_(sink) {}
  void report(FindingKind kind, const char* what, const char* why) {
    if (kind == FindingKind::Harmless) {
      ++verdict_.harmless;
    } else if (kind != FindingKind::Signature) {
      ++verdict_.problems;
    }
    sink_.found(PackageFinding{kind, what, why});
  }

 private:
  PackageVerdict& verdict_;
  PackageFindingSink& sink_;
};

void checkSignature(const uint8_t* data, uint32_t length, const RsaPublicKey& key,
                    Crypto& crypto, Reporter& reporter) {
  const SignatureVerdict verdict = checkPackageSignature(data, length, key, crypto);
  if (verdict != SignatureVerdict::Good) {
    reporter.report(FindingKind::Refused, "signature", signatureVerdictText(verdict));
    return;
  }
  char good[48];
  std::snprintf(good, sizeof good, "good (RSA-%u, SHA-256)",
                static_cast<unsigned>(key.modulusLength * 8));
  reporter.report(FindingKind::Signature, good, nullptr);
}

// Every entry, then Velmora.exe's version, the package's size and Velmora.exe's presence.
void checkEntries(ArchiveHandle* handle, uint32_t length, Reporter& reporter,
                  PackageVerdict& verdict) {
  ArchiveEntry entry;
  getArchiveEntry(handle, -1, entry);
  const int32_t count = entry.index;
  verdict.entries = count;
  bool mainProgram = false;
  int32_t mainProgramIndex = -1;  // the last whole app/Velmora.exe: the one that stays
  for (int32_t index = 0; index < count; ++index) {
    char reason[96];
    EntryFailure failure;
    const ArchiveResult query = getArchiveEntry(handle, index, entry, &failure);
    if (query != ArchiveOk) {
      char what[32];
      std::snprintf(what, sizeof what, "entry %d", index);
      reporter.report(FindingKind::Fails, what, failureReason(failure, query, reason));
      continue;
    }
    const Utf8Name name(entry.name);
    switch (classifyEntryName(entry.name)) {
      case EntryDisposition::OutsideApp:
        reporter.report(FindingKind::Skipped, name.text, "outside app/");
        continue;
      case EntryDisposition::Unsafe:
        reporter.report(FindingKind::Skipped, name.text,
                        "unsafe name (absolute, drive, colon, or dot segment)");
        continue;
      default:
        break;
    }
    const ArchiveResult result = verifyArchiveEntry(handle, index, &failure);
    if (result != ArchiveOk) {
      reporter.report(FindingKind::Fails, name.text, failureReason(failure, result, reason));
      continue;
    }
    const FolderWithoutAttribute folder = folderWithoutAttribute(entry);
    if (folder == FolderWithoutAttribute::Harmless) {
      reporter.report(FindingKind::Harmless, name.text,
                      "folder entry without the folder attribute; extraction makes the folder, "
                      "then answers ArchiveNoFile");
      continue;
    }
    if (folder == FolderWithoutAttribute::DataLost) {
      reporter.report(FindingKind::Fails, name.text,
                      "a file entry whose name ends with a slash; extraction makes the folder "
                      "and answers ArchiveNoFile, its data is lost");
      continue;
    }
    if (textEquals(entry.name, u"app/Velmora.exe") &&
        !(entry.attributes & FileAttributeDirectory)) {
      mainProgram = true;
      mainProgramIndex = index;
    }
  }
  char versionWhy[160];
  if (mainProgram) {
    if (const char* why = entryVersionProblem(handle, mainProgramIndex, versionWhy))
      reporter.report(FindingKind::WrongVersion, "app/Velmora.exe", why);
  }
  if (length + kTypicalResponseHead + 1 > static_cast<uint64_t>(kDownloadBufferSize)) {
    char why[160];
    std::snprintf(why, sizeof why,
                  "%llu bytes; with a typical response head the %llu-byte download buffer "
                  "holds at most %llu",
                  static_cast<unsigned long long>(length),
                  static_cast<unsigned long long>(kDownloadBufferSize),
                  static_cast<unsigned long long>(kLargestDownloadablePackage));
    reporter.report(FindingKind::TooLarge, "package", why);
  }
  if (!mainProgram)
    reporter.report(FindingKind::Missing, "app/Velmora.exe", "no such file entry extracts whole");
}

}  // namespace

PackageVerdict checkPackageBytes(const uint8_t* data, uint32_t length, const RsaPublicKey* key,
                                 Crypto* crypto, PackageFindingSink& sink) {
  PackageVerdict verdict;
  Reporter reporter(verdict, sink);
  if (key != nullptr && crypto != nullptr) checkSignature(data, length, *key, *crypto, reporter);
  ArchiveHandle* handle = openPackageArchive(data, length);
  if (handle == nullptr) {
    char why[96];
    std::snprintf(why, sizeof why, "not a readable package archive (%s 0x%x)",
                  archiveResultName(lastArchiveResult()),
                  static_cast<unsigned>(lastArchiveResult()));
    reporter.report(FindingKind::NotAPackage, "package", why);
    return verdict;
  }
  verdict.opened = true;
  checkEntries(handle, length, reporter, verdict);
  closePackageArchive(handle);
  return verdict;
}

const char* findingKindText(FindingKind kind) {
  switch (kind) {
    case FindingKind::Signature: return "signature";
    case FindingKind::Refused: return "refused";
    case FindingKind::NotAPackage: return "fails";
    case FindingKind::Skipped: return "skipped";
    case FindingKind::Fails: return "fails";
    case FindingKind::Harmless: return "harmless";
    case FindingKind::WrongVersion: return "wrong version";
    case FindingKind::TooLarge: return "too large";
    case FindingKind::Missing: return "missing";
  }
  return "unknown";
}

std::string findingLine(const PackageFinding& finding) {
  std::string line = std::string(findingKindText(finding.kind)) + ": " + finding.what;
  return finding.why != nullptr ? line + ": " + finding.why : line;
}

void formatVerdict(const PackageVerdict& verdict, char (&out)[96]) {
  if (verdict.problems != 0) {
    std::snprintf(out, sizeof out, "check: %u problem%s", static_cast<unsigned>(verdict.problems),
                  verdict.problems == 1 ? "" : "s");
  } else if (verdict.harmless == 0) {
    std::snprintf(out, sizeof out, "check: ok, %d entries", static_cast<int>(verdict.entries));
  } else {
    std::snprintf(out, sizeof out, "check: ok, %d entries, %u harmless finding%s",
                  static_cast<int>(verdict.entries), static_cast<unsigned>(verdict.harmless),
                  verdict.harmless == 1 ? "" : "s");
  }
}

const char* archiveResultName(ArchiveResult result) {
  switch (result) {
    case ArchiveOk: return "ArchiveOk";
    case ArchiveNoFile: return "ArchiveNoFile";
    case ArchiveWriteFailed: return "ArchiveWriteFailed";
    case ArchiveCorrupt: return "ArchiveCorrupt";
    case ArchiveReadFailed: return "ArchiveReadFailed";
    case ArchivePasswordFailed: return "ArchivePasswordFailed";
    case ArchiveBadArgument: return "ArchiveBadArgument";
    case ArchiveWrongHandle: return "ArchiveWrongHandle";
    case ArchiveInflateFailed: return "ArchiveInflateFailed";
  }
  return "unknown result";
}

const char* signatureVerdictText(SignatureVerdict verdict) {
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

Utf8Name::Utf8Name(const char16_t* units) {
  if (encodeUtf8(units, text, sizeof text) < 0) std::snprintf(text, sizeof text, "(too long)");
}

}  // namespace vm
