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
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/unpack.h"
#include "platform/path.h"
#include "platform/utf8.h"
#include "tools/common/package_check.h"
#include "tools/vmpkg/pack.h"
#include "tools/vmpkg/signing.h"

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#define VMPKG_MAIN wmain
using ArgumentUnit = wchar_t;
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/openssl_crypto.h"
#define VMPKG_MAIN main
using ArgumentUnit = char;
#endif

namespace vm {
namespace {

// The installer hands the archive a signed 32-bit length.
constexpr uint64_t kLargestPackage = 0x7FFFFFFF;

// ---------------------------------------------------------------- text

// A command-line argument as UTF-16 (at most 259 units) and as printable UTF-8.
bool argumentToPath(const ArgumentUnit* argument, WidePath& out) {
#ifdef _WIN32
  return out.assign(reinterpret_cast<const char16_t*>(argument));
#else
  return decodeUtf8(argument, std::strlen(argument), out);
#endif
}

// FILETIME (UTC) as ISO 8601, to the second.
void formatTime(const FileTime& time, char (&out)[32]) {
  const int64_t seconds =
      (static_cast<int64_t>(fileTimeValue(time)) - kUnixEpochFileTime) / kFileTimeTicksPerSecond;
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  const int64_t shifted = days + 719468;
  const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const int64_t dayOfEra = shifted - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2);
  std::snprintf(out, sizeof out, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
}

// ---------------------------------------------------------------- the package

struct Package {
  uint8_t* data = nullptr;
  uint64_t length = 0;
  bool mapped = false;  // data is a read-only mapping of the whole file
  ~Package() {
    if (mapped) {
#ifdef _WIN32
      UnmapViewOfFile(data);
#else
      munmap(data, static_cast<std::size_t>(length));
#endif
      return;
    }
    std::free(data);
  }
};

// Maps a regular, non-empty file whole and read-only; false (nothing held) when it cannot, and
// the package is then read. Copying the package into fresh memory instead costs its page faults
// and the copy: on the host more than the extraction itself in the benchmark, under Wine a
// twentieth of the unpack step, work the installer never does (its package is already in its
// download buffer). The archive still sees one block holding the whole package.
#ifdef _WIN32
bool mapPackage(const wchar_t* path, Package& package) {
  // Shared for reading only: a file that someone is still writing is read instead.
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool mapped = false;
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
      static_cast<uint64_t>(size.QuadPart) <= kLargestPackage) {
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
      void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
      CloseHandle(mapping);  // the view keeps the mapping
      if (view != nullptr) {
        package.data = static_cast<uint8_t*>(view);
        package.length = static_cast<uint64_t>(size.QuadPart);
        package.mapped = mapped = true;
      }
    }
  }
  CloseHandle(file);
  return mapped;
}
#else
bool mapPackage(const char* path, Package& package) {
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  struct stat status;
  bool mapped = false;
  if (fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
      static_cast<uint64_t>(status.st_size) <= kLargestPackage) {
    void* view = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ,
                      MAP_PRIVATE | MAP_POPULATE, file, 0);
    if (view != MAP_FAILED) {
      package.data = static_cast<uint8_t*>(view);
      package.length = static_cast<uint64_t>(status.st_size);
      package.mapped = mapped = true;
    }
  }
  close(file);
  return mapped;
}
#endif

// Maps or reads the whole file; prints a one-line error and returns false when it cannot.
bool readPackage(const ArgumentUnit* path, Package& package) {
  if (mapPackage(path, package)) return true;
#ifdef _WIN32
  FILE* file = _wfopen(path, L"rb");
  const Utf8Name shown(reinterpret_cast<const char16_t*>(path));
  const char* name = shown.text;
#else
  FILE* file = std::fopen(path, "rb");
  const char* name = path;
#endif
  if (file == nullptr) {
    std::fprintf(stderr, "vmpkg: %s: cannot open: %s\n", name, std::strerror(errno));
    return false;
  }
  // One allocation of the file's size (and a byte to see the end) when it can be asked;
  // pipes and files that grow are read on, in larger and larger blocks.
  uint64_t capacity = 0;
  uint64_t expected = 1u << 20;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    if (size >= 0 && static_cast<uint64_t>(size) <= kLargestPackage) expected = size + 1;
    std::rewind(file);
  }
  bool ok = true;
  for (;;) {
    if (package.length == capacity) {
      const uint64_t grown = capacity == 0 ? expected : capacity * 2;
      if (capacity >= kLargestPackage + 1) {
        std::fprintf(stderr, "vmpkg: %s: too large: more than %llu bytes\n", name,
                     static_cast<unsigned long long>(kLargestPackage));
        ok = false;
        break;
      }
      const uint64_t next = grown > kLargestPackage + 1 ? kLargestPackage + 1 : grown;
      void* larger = std::realloc(package.data, static_cast<std::size_t>(next));
      if (larger == nullptr) {
        std::fprintf(stderr, "vmpkg: %s: too large: no memory for %llu bytes\n", name,
                     static_cast<unsigned long long>(next));
        ok = false;
        break;
      }
      package.data = static_cast<uint8_t*>(larger);
      capacity = next;
    }
    const std::size_t got = std::fread(package.data + package.length, 1,
                                       static_cast<std::size_t>(capacity - package.length), file);
    package.length += got;
    if (got == 0) {
      if (std::ferror(file)) {
        std::fprintf(stderr, "vmpkg: %s: cannot read: %s\n", name, std::strerror(errno));
        ok = false;
      }
      break;
    }
  }
  std::fclose(file);
  if (ok && package.length > kLargestPackage) {
    std::fprintf(stderr, "vmpkg: %s: too large: more than %llu bytes\n", name,
                 static_cast<unsigned long long>(kLargestPackage));
    ok = false;
  }
  return ok;
}

ArchiveHandle* openPackage(const Package& package, const ArgumentUnit* path) {
  ArchiveHandle* handle =
      openPackageArchive(package.data, static_cast<uint32_t>(package.length));
  if (handle == nullptr) {
#ifdef _WIN32
    const Utf8Name shown(reinterpret_cast<const char16_t*>(path));
    const char* name = shown.text;
#else
    const char* name = path;
#endif
    std::fprintf(stderr, "vmpkg: %s: not a readable package archive (%s 0x%x)\n", name,
                 archiveResultName(lastArchiveResult()),
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
    printFinding(stdout, "", finding);
  }

 private:
  const char* name_;
};

// check [--key KEY] PACKAGE: the signature first (counted among the problems), then the
// package. 0 when the installer installs it completely, 1 when not, 2 for an unreadable package
// or key.
int checkCommand(const ArgumentUnit* keyPath, const ArgumentUnit* path) {
  Package package;
  if (!readPackage(path, package)) return 2;
#ifdef _WIN32
  if (keyPath != nullptr) return needsHostBuild();
  const RsaPublicKey* key = nullptr;
  Crypto* crypto = nullptr;
  const Utf8Name shown(reinterpret_cast<const char16_t*>(path));
  const char* name = shown.text;
#else
  KeyFile keyFile;
  if (keyPath != nullptr && !readPublicKeyFile("vmpkg", keyPath, keyFile)) return 2;
  const RsaPublicKey* key = keyPath != nullptr ? &keyFile.view : nullptr;
  OpenSslCrypto openSsl;
  Crypto* crypto = &openSsl;
  const char* name = path;
#endif
  CheckPrinter printer(name);
  // readPackage reads no package over kLargestPackage bytes.
  const PackageVerdict verdict = checkPackageBytes(
      package.data, static_cast<uint32_t>(package.length), key, crypto, printer);
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

bool argumentIs(const ArgumentUnit* argument, const char* command) {
  for (; *command != 0; ++argument, ++command)
    if (*argument != static_cast<ArgumentUnit>(*command)) return false;
  return *argument == 0;
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
  Package package;
  if (!readPackage(arguments[2], package)) return 2;
  ArchiveHandle* handle = openPackage(package, arguments[2]);
  if (handle == nullptr) return 2;
  const int status = list ? listPackage(handle) : extractPackage(handle, arguments[3]);
  closePackageArchive(handle);
  return status;
}

}  // namespace
}  // namespace vm

int VMPKG_MAIN(int count, ArgumentUnit** arguments) { return vm::run(count, arguments); }
