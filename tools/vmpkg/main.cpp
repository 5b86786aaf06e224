// vmpkg: the package tool for release engineers.
//
//   vmpkg list PACKAGE           one line per entry, then "entries: N"
//   vmpkg extract PACKAGE DEST   the installer's unpack step with DEST as the application folder
//   vmpkg check PACKAGE          will the installer install this package completely?
//   vmpkg check --key KEY PACKAGE      ... and is it signed with that key? (host build)
//                                (the verdict is tools/common/package_check's)
//   vmpkg pack [--sign PRIVATE_KEY.pem] APPDIR OUT
//                                a package of APPDIR that the installer installs completely,
//                                signed with the key when given (host build; see pack.h)
//   vmpkg sign, vmpkg verify     the package signature (host build; see signing.h)
//
// The package is mapped whole (read into memory when it cannot be mapped) and opened with
// openPackageArchive, as the installer opens its download buffer. Exit codes: 0 success
// (nothing to report), 1 entries failed, were skipped or problems were found, 2 usage error or
// unreadable package.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "archive/archive.h"
#include "archive/unpack.h"
#include "platform/path.h"
#include "platform/utf8.h"
#include "tools/common/arguments.h"
#include "tools/common/package_check.h"
#include "tools/common/package_limits.h"
#include "tools/common/whole_file.h"
#include "tools/vmpkg/pack.h"
#include "tools/vmpkg/signing.h"

#ifdef _WIN32
#define VMPKG_MAIN wmain
#else
#include <cerrno>

#include "platform/posix/openssl_crypto.h"
#include "tools/common/key_file.h"
#include "tools/common/pending_file.h"
#define VMPKG_MAIN main
#endif

namespace vm {
namespace {

// ---------------------------------------------------------------- the package

// A command-line argument as UTF-16 (at most 259 units).
bool argumentToPath(const ArgumentUnit* argument, WidePath& out) {
#ifdef _WIN32
  return out.assign(reinterpret_cast<const char16_t*>(argument));
#else
  return decodeUtf8(argument, std::strlen(argument), out);
#endif
}

// FILETIME (UTC) as ISO 8601, to the second.
void formatTime(const FileTime& time, char (&out)[32]) {
  const std::time_t seconds = static_cast<std::time_t>(
      (static_cast<int64_t>(fileTimeValue(time)) - kUnixEpochFileTime) / kFileTimeTicksPerSecond);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

// Maps or reads the whole package; prints a one-line error and returns false when it cannot.
bool readPackage(const ArgumentUnit* path, WholeFile& package) {
  std::string why;
  if (package.load(path, kLargestPackage, why)) return true;
  std::fprintf(stderr, "vmpkg: %s: %s\n", ShownArgument(path).text, why.c_str());
  return false;
}

ArchiveHandle* openPackage(const WholeFile& package, const ArgumentUnit* path) {
  ArchiveHandle* handle = openPackageArchive(package.data(), package.length());
  if (handle == nullptr) {
    std::fprintf(stderr, "vmpkg: %s: not a readable package archive (%s 0x%x)\n",
                 ShownArgument(path).text, archiveResultName(lastArchiveResult()),
                 static_cast<unsigned>(lastArchiveResult()));
  }
  return handle;
}

// ---------------------------------------------------------------- list

int listPackage(ArchiveHandle* handle) {
  ArchiveEntry entry;
  getArchiveEntry(handle, -1, entry);
  const int32_t count = entry.index;
  int status = 0;
  for (int32_t index = 0; index < count; ++index) {
    const ArchiveResult result = getArchiveEntry(handle, index, entry);
    if (result != ArchiveOk) {
      std::printf("%d query failed: %s 0x%x\n", index, archiveResultName(result),
                  static_cast<unsigned>(result));
      status = 1;
      continue;
    }
    char time[32];
    formatTime(entry.modificationTime, time);
    std::printf("%d 0x%02x %u %u %s %s\n", index, entry.attributes, entry.compressedSize,
                entry.uncompressedSize, time, Utf8Name(entry.name).text);
  }
  std::printf("entries: %d\n", count);
  return status;
}

// ---------------------------------------------------------------- extract

class ExtractReporter : public UnpackObserver {
 public:
  void entryDone(const UnpackOutcome& outcome) override {
    const Utf8Name name(outcome.entry->name);
    switch (outcome.disposition) {
      case EntryDisposition::Unpack:
        if (outcome.result == ArchiveOk) return;
        std::fprintf(stderr, "vmpkg: failed: %s: %s 0x%x\n", name.text,
                     archiveResultName(outcome.result), static_cast<unsigned>(outcome.result));
        failed = true;
        return;
      case EntryDisposition::QueryFailed:
        std::fprintf(stderr, "vmpkg: failed: entry %d: %s 0x%x\n", outcome.index,
                     archiveResultName(outcome.result), static_cast<unsigned>(outcome.result));
        failed = true;
        return;
      case EntryDisposition::OutsideApp:
        std::fprintf(stderr, "vmpkg: skipped: %s: outside app/\n", name.text);
        return;
      case EntryDisposition::Unsafe:
        std::fprintf(stderr, "vmpkg: skipped: %s: unsafe name\n", name.text);
        failed = true;  // an "app/" entry that was not extracted
        return;
    }
  }
  bool failed = false;
};

int extractPackage(ArchiveHandle* handle, const ArgumentUnit* destination) {
  WidePath folder;
  if (!argumentToPath(destination, folder) || folder.empty()) {
    std::fprintf(stderr, "vmpkg: DEST must be a path of 1 to 259 UTF-16 units\n");
    return 2;
  }
  // As the installer creates the application folder before unpacking.
  ensureFolder(nullptr, folder.get());
  ExtractReporter reporter;
  const UnpackSummary summary = unpackApplication(handle, folder.get(), &reporter);
  std::printf("extracted %u of %u entries (%u failed, %u skipped)\n", summary.extracted,
              summary.entries, summary.failed, summary.skipped);
  return reporter.failed ? 1 : 0;
}

// ---------------------------------------------------------------- check

// Prints check's findings as they come; the one for a package that does not open goes to
// stderr with the file's name, as list and extract say it.
class CheckPrinter final : public PackageFindingSink {
 public:
  explicit CheckPrinter(const char* name) : name_(name) {}
  void found(const PackageFinding& finding) override {
    if (finding.kind == FindingKind::NotAPackage) {
      std::fprintf(stderr, "vmpkg: %s: %s\n", name_, finding.why);
      return;
    }
    std::printf("%s\n", findingLine(finding).c_str());
  }

 private:
  const char* name_;
};

// check [--key KEY] PACKAGE: the signature first (counted among the problems), then the
// package. 0 when the installer installs it completely, 1 when not, 2 for an unreadable package
// or key.
int checkCommand(const ArgumentUnit* keyPath, const ArgumentUnit* path) {
  WholeFile package;
  if (!readPackage(path, package)) return 2;
#ifdef _WIN32
  if (keyPath != nullptr) return needsHostBuild();
  const RsaPublicKey* key = nullptr;
  Crypto* crypto = nullptr;
#else
  KeyFile keyFile;
  if (keyPath != nullptr && !readPublicKeyFile("vmpkg", keyPath, keyFile)) return 2;
  const RsaPublicKey* key = keyPath != nullptr ? &keyFile.view : nullptr;
  OpenSslCrypto openSsl;
  Crypto* crypto = &openSsl;
#endif
  const ShownArgument shown(path);
  CheckPrinter printer(shown.text);
  const PackageVerdict verdict =
      checkPackageBytes(package.data(), package.length(), key, crypto, printer);
  char line[96];
  formatVerdict(verdict, line);
  std::printf("%s\n", line);
  return verdict.installs() ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: vmpkg list PACKAGE\n"
               "       vmpkg extract PACKAGE DEST\n"
               "       vmpkg check [--key PUBLIC_KEY.pem] PACKAGE\n"
               "       vmpkg pack [--sign PRIVATE_KEY.pem] APPDIR OUT\n"
               "       vmpkg sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT]\n"
               "       vmpkg verify PUBLIC_KEY.pem PACKAGE\n");
  return 2;
}

// vmpkg pack [--sign PRIVATE_KEY.pem] APPDIR OUT. SOURCE_DATE_EPOCH (decimal seconds since
// 1970) caps the times. The key is read (and its pass phrase asked for) before packing.
int pack(int count, ArgumentUnit** arguments) {
  const bool sign = count == 6 && argumentIs(arguments[2], "--sign");
  if (count != 4 && !sign) return usage();
#ifdef _WIN32
  (void)arguments;
  std::fprintf(stderr, "vmpkg: pack is made by the host build's vmpkg\n");
  return 2;
#else
  PackOptions options;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(epoch, &end, 10);
    if (*epoch < '0' || *epoch > '9' || *end != 0 || errno != 0 || value > 0x7FFFFFFF) {
      std::fprintf(stderr, "vmpkg: SOURCE_DATE_EPOCH must be a count of seconds from 0 to "
                           "2147483647\n");
      return 2;
    }
    options.sourceDateEpoch = value;
  }
  KeyFile key;
  if (sign) {
    if (!readPrivateKeyFile("vmpkg", arguments[3], key)) return 2;
    options.signingKey = &key;
  }
  const int first = sign ? 4 : 2;
  return packFolder(arguments[first], arguments[first + 1], options);
#endif
}

int run(int count, ArgumentUnit** arguments) {
  if (count < 3) return usage();
  const ArgumentUnit* command = arguments[1];
  if (argumentIs(command, "pack")) return pack(count, arguments);
  if (isSigningCommand(command)) return runSigningCommand(count, arguments);
  if (argumentIs(command, "check")) {
    if (count == 3) return checkCommand(nullptr, arguments[2]);
    if (count == 5 && argumentIs(arguments[2], "--key"))
      return checkCommand(arguments[3], arguments[4]);
    return usage();
  }
  const bool list = argumentIs(command, "list") && count == 3;
  const bool extract = argumentIs(command, "extract") && count == 4;
  if (!list && !extract) return usage();
  WholeFile package;
  if (!readPackage(arguments[2], package)) return 2;
  ArchiveHandle* handle = openPackage(package, arguments[2]);
  if (handle == nullptr) return 2;
  const int status = list ? listPackage(handle) : extractPackage(handle, arguments[3]);
  closePackageArchive(handle);
  return status;
}

}  // namespace
}  // namespace vm

int VMPKG_MAIN(int count, vm::ArgumentUnit** arguments) {
#ifndef _WIN32
  vm::dieForWantOfMemory("vmpkg");
#endif
  return vm::run(count, arguments);
}
