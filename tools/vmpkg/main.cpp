// vmpkg: the package tool for release engineers (docs/archive.md): list, extract and check
// (tools/common/package_check) a package as the installer reads it, held whole like its
// download buffer; pack, sign and verify (vmpkg.h) on the host build. Exit codes:
// 0 nothing to report, 1 entries failed, were skipped or problems were found, 2 usage error or
// unreadable package.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "archive/archive.h"
#include "archive/packaged_version.h"
#include "archive/unpack.h"
#include "platform/path.h"
#include "tools/common/tool_io.h"
#include "tools/common/package_check.h"
#include "tools/vmpkg/vmpkg.h"

#ifndef _WIN32
#include "platform/posix/openssl_crypto.h"
#endif

namespace vm {
namespace {

#ifdef _WIN32
// The Windows build has no OpenSSL to read keys with: says so, and gives the exit code.
int needsHostBuild() {
  return complain(
      2, "vmpkg: sign, verify and check --key need the host build of vmpkg (OpenSSL)\n");
}
#endif

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

int listPackage(ArchiveHandle* handle) {
  ArchiveEntry entry;
  const int32_t count = archiveEntryCount(handle);
  int status = 0;
  for (int32_t index = 0; index < count; ++index) {
    const ArchiveResult result = getArchiveEntry(handle, index, entry);
    if (result != ArchiveOk) {
      std::printf("%d query failed: %s\n", index, archiveResultText(result).c_str());
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

// Every failed or skipped entry on stderr; `failed` once an app/ entry was not extracted.
class ExtractReporter : public UnpackObserver {
 public:
  void entryDone(const UnpackOutcome& outcome) override {
    const Utf8Name name(outcome.entry->name);
    const bool unsafe = outcome.disposition == EntryDisposition::Unsafe;
    const bool queryFailed = outcome.disposition == EntryDisposition::QueryFailed;
    if (unsafe || outcome.disposition == EntryDisposition::OutsideApp) {
      std::fprintf(stderr, "vmpkg: skipped: %s: %s\n", name.text,
                   unsafe ? "unsafe name" : "outside app/");
      failed = failed || unsafe;
    } else if (queryFailed || outcome.result != ArchiveOk) {
      const std::string what = queryFailed ? "entry " + std::to_string(outcome.index) : name.text;
      std::fprintf(stderr, "vmpkg: failed: %s: %s\n", what.c_str(),
                   archiveResultText(outcome.result).c_str());
      failed = true;
    }
  }
  bool failed = false;
};

int extractPackage(ArchiveHandle* handle, const ArgumentUnit* destination) {
  WidePath folder;
#ifdef _WIN32
  const bool fits = folder.assign(reinterpret_cast<const char16_t*>(destination));
#else
  const bool fits = decodeUtf8(destination, std::strlen(destination), folder);
#endif
  if (!fits || folder.empty())
    return complain(2, "vmpkg: DEST must be a path of 1 to 259 UTF-16 units\n");
  ensureFolder(nullptr, folder.get());  // as the installer makes the application folder first
  ExtractReporter reporter;
  const UnpackSummary summary = unpackApplication(handle, folder.get(), &reporter);
  std::printf("extracted %u of %u entries (%u failed, %u skipped)\n", summary.extracted,
              summary.entries, summary.failed, summary.skipped);
  return reporter.failed ? 1 : 0;
}

// check [--key KEY] PACKAGE: the signature first (counted among the problems), then the
// package; a package that does not open is said on stderr, as list and extract say it.
int checkCommand(const ArgumentUnit* keyPath, const ArgumentUnit* path) {
  WholeFile package;
  if (!package.loadPackage(path)) return 2;
  const RsaPublicKey* key = nullptr;
  Crypto* crypto = nullptr;
#ifdef _WIN32
  if (keyPath != nullptr) return needsHostBuild();
#else
  KeyFile keyFile;
  OpenSslCrypto openSsl;
  if (keyPath != nullptr && !readPublicKeyFile("vmpkg", keyPath, keyFile)) return 2;
  if (keyPath != nullptr) key = &keyFile.view;
  crypto = &openSsl;
#endif
  const std::string shown = shownArgument(path);
  const PackageVerdict verdict = checkPackageBytes(
      package.data(), package.length(), key, crypto, [&](const PackageFinding& finding) {
        if (finding.kind == FindingKind::NotAPackage)
          std::fprintf(stderr, "vmpkg: %s: %s\n", shown.c_str(), finding.why);
        else
          std::printf("%s\n", findingLine(finding).c_str());
      });
  std::printf("%s\n", verdictLine(verdict).c_str());
  return verdict.installs() ? 0 : 1;
}

// version PACKAGE: app/Velmora.exe's file version (the release kit compares it with the
// served package's, the installer with the installed one's).
int printVersion(ArchiveHandle* handle, const ArgumentUnit* path) {
  FileVersion found{};
  switch (readPackagedVersion(handle, found)) {
    case PackagedVersion::Found:
      std::printf("%u.%u.%u.%u\n", found.major, found.minor, found.build, found.revision);
      return 0;
    case PackagedVersion::NoProgram:
      return complain(1, "vmpkg: %s: no app/Velmora.exe\n", shownArgument(path).c_str());
    case PackagedVersion::Unreadable:
      break;
  }
  return complain(1, "vmpkg: %s: app/Velmora.exe has no readable version\n",
                  shownArgument(path).c_str());
}

int usage() {
  return complain(2,
                  "usage: vmpkg list PACKAGE\n"
                  "       vmpkg extract PACKAGE DEST\n"
                  "       vmpkg check [--key PUBLIC_KEY.pem] PACKAGE\n"
                  "       vmpkg version PACKAGE\n"
                  "       vmpkg pack [--sign PRIVATE_KEY.pem] APPDIR OUT\n"
                  "       vmpkg sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT]\n"
                  "       vmpkg verify PUBLIC_KEY.pem PACKAGE\n");
}

// vmpkg pack [--sign PRIVATE_KEY.pem] APPDIR OUT. SOURCE_DATE_EPOCH (decimal seconds since
// 1970) caps the times. The key is read (and its pass phrase asked for) before packing.
int pack(int count, ArgumentUnit** arguments) {
  const bool sign = count == 6 && argumentIs(arguments[2], "--sign");
  if (count != 4 && !sign) return usage();
#ifdef _WIN32
  return complain(2, "vmpkg: pack is made by the host build's vmpkg\n");
#else
  PackOptions options;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    errno = 0;
    options.sourceDateEpoch = std::strtoll(epoch, &end, 10);
    if (*epoch < '0' || *epoch > '9' || *end != 0 || errno != 0 ||
        options.sourceDateEpoch > 0x7FFFFFFF)
      return complain(2, "vmpkg: SOURCE_DATE_EPOCH must be a count of seconds from 0 to "
                         "2147483647\n");
  }
  KeyFile key;
  if (sign && !readPrivateKeyFile("vmpkg", arguments[3], key)) return 2;
  options.signingKey = sign ? &key : nullptr;
  return packFolder(arguments[sign ? 4 : 2], arguments[sign ? 5 : 3], options);
#endif
}

// sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT] and verify PUBLIC_KEY.pem PACKAGE.
int signing([[maybe_unused]] int count, [[maybe_unused]] ArgumentUnit** arguments) {
#ifdef _WIN32
  return needsHostBuild();
#else
  if (argumentIs(arguments[1], "verify"))
    return count == 4 ? verifyCommand(arguments[2], arguments[3]) : usage();
  const bool dropComment = argumentIs(arguments[2], "--drop-comment");
  const int rest = count - (dropComment ? 3 : 2);
  if (rest != 2 && rest != 3) return usage();
  return signCommand(arguments[count - rest], arguments[count - rest + 1], arguments[count - 1],
                     dropComment);
#endif
}

int run(int count, ArgumentUnit** arguments) {
  if (count < 3) return usage();
  const ArgumentUnit* command = arguments[1];
  if (argumentIs(command, "pack")) return pack(count, arguments);
  if (argumentIs(command, "sign") || argumentIs(command, "verify"))
    return signing(count, arguments);
  if (argumentIs(command, "check") && count == 3) return checkCommand(nullptr, arguments[2]);
  if (argumentIs(command, "check") && count == 5 && argumentIs(arguments[2], "--key"))
    return checkCommand(arguments[3], arguments[4]);
  const bool list = argumentIs(command, "list") && count == 3;
  const bool version = argumentIs(command, "version") && count == 3;
  if (!list && !version && !(argumentIs(command, "extract") && count == 4)) return usage();
  WholeFile package;
  if (!package.loadPackage(arguments[2])) return 2;
  ArchiveHandle* handle = openPackageArchive(package.data(), package.length());
  if (handle == nullptr)
    return complain(2, "vmpkg: %s: not a readable package archive (%s)\n",
                    shownArgument(arguments[2]).c_str(),
                    archiveResultText(lastArchiveResult()).c_str());
  const int status = list      ? listPackage(handle)
                     : version ? printVersion(handle, arguments[2])
                               : extractPackage(handle, arguments[3]);
  closePackageArchive(handle);
  return status;
}

}  // namespace
}  // namespace vm

#ifdef _WIN32
int wmain(int count, wchar_t** arguments) { return vm::run(count, arguments); }
#else
int main(int count, char** arguments) {
  vm::dieForWantOfMemory("vmpkg");
  return vm::run(count, arguments);
}
#endif
