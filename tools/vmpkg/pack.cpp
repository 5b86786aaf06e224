// vmpkg pack on POSIX hosts, in order: the walk and its refusals (pack_walk.cpp),
// Velmora.exe's version, the entries written to a new file beside OUT
// (pack_write.cpp, zip_writer.cpp) and signed as they are written when asked, the package read
// back with the installer's code, so that OUT never names a package the installer would read
// otherwise, the rename, and the summary line.
#include "tools/vmpkg/vmpkg.h"

#include <libgen.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/posix/openssl_crypto.h"
#include "tools/common/package_check.h"
#include "tools/common/tool_io.h"
#include "workflow/server_layout.h"

namespace vm {
namespace {

// APPDIR must be a folder, and OUT must lie outside it: 0, or 2 with the reason said.
int checkPaths(const char* appFolder, const char* outPath) {
  struct stat status;
  if (stat(appFolder, &status) != 0 || !S_ISDIR(status.st_mode))
    return complain(2, "vmpkg: pack: %s: not a folder\n", appFolder);
  // OUT's folder, resolved: OUT itself need not exist yet.
  std::string outCopy = outPath;
  char app[PATH_MAX], resolved[PATH_MAX];
  if (realpath(appFolder, app) == nullptr || realpath(dirname(&outCopy[0]), resolved) == nullptr)
    return complain(2, "vmpkg: pack: %s: its folder cannot be found\n", outPath);
  const std::string outFolder = resolved;
  const std::size_t length = std::strlen(app);
  if (outFolder.compare(0, length, app) == 0 &&
      (outFolder.size() == length || outFolder[length] == '/' || length == 1))
    return complain(2, "vmpkg: pack: %s lies inside %s; it would pack itself\n", outPath,
                    appFolder);
  return 0;
}

// Walks APPDIR and checks Velmora.exe; true when there is nothing to refuse.
bool collect(const char* appFolder, const PackOptions& options, std::vector<PackEntry>& entries) {
  Refusals refusals;
  walkApplicationFolder(appFolder, options.sourceDateEpoch, entries, refusals);
  const bool found = std::any_of(entries.begin(), entries.end(), [](const PackEntry& entry) {
    return !entry.folder && entry.name == kPackagedApplication;
  });
  WholeFile program;
  std::string why;
  const std::string path = std::string(appFolder) + "/" + (kPackagedApplication + 4);
  if (!found) {
    refusals.add(kPackagedApplication, "missing: the installer starts and waits for this file");
  } else if (!program.load(path.c_str(), kLargestProgram, why)) {
    refusals.add(kPackagedApplication, "cannot be read whole (or is larger than 512 MiB)");
  } else if (!(why = versionProblem(program.data(), program.length())).empty()) {
    refusals.add(kPackagedApplication, why);
  }
  if (refusals.count > 0) {
    std::fprintf(stderr, "vmpkg: pack: %u problem%s; nothing written\n", refusals.count,
                 refusals.count == 1 ? "" : "s");
  }
  return refusals.count == 0;
}

// Why entry `index` does not come back as `expected` was written (its name, kind, read-only
// attribute and time), or null when it does.
const char* entryProblem(ArchiveHandle* handle, int32_t index, const PackEntry& expected) {
  ArchiveEntry entry;
  WidePath name;
  if (getArchiveEntry(handle, index, entry) != ArchiveOk) return "its query fails";
  if (!decodeUtf8(expected.name.data(), expected.name.size(), name) ||
      !textEquals(entry.name, name.get())) {
    return "its name differs";
  }
  const bool folder = (entry.attributes & FileAttributeDirectory) != 0;
  const bool readOnly = (entry.attributes & FileAttributeReadOnly) != 0;
  if (folder != expected.folder || readOnly != (!expected.folder && !(expected.record.mode & 0200)))
    return "its attributes differ";
  const auto time = fileTimeValue(fileTimeOfUnixSeconds(expected.record.unixTime));
  return fileTimeValue(entry.modificationTime) != time ? "its time differs" : nullptr;
}

// Reads the package at `path` back with the installer's code: check's verdict on it (with the
// signature when `key` is not null) must find nothing, and every entry must come back as
// written. Empty when it does, else why not.
std::string readBack(const char* path, const std::vector<PackEntry>& entries,
                     const RsaPublicKey* key) {
  WholeFile package;
  std::string problem;
  if (!package.load(path, kLargestPackage, problem)) return "it " + problem;
  OpenSslCrypto crypto;
  (void)checkPackageBytes(package.data(), package.length(), key, &crypto,
                          [&](const PackageFinding& finding) {
                            if (problem.empty() && finding.kind != FindingKind::Signature)
                              problem = findingLine(finding);
                          });
  ArchiveHandle* handle = openPackageArchive(package.data(), package.length());
  if (problem.empty() &&
      (handle == nullptr || archiveEntryCount(handle) != static_cast<int32_t>(entries.size())))
    problem = "it does not open with all its entries";
  for (std::size_t index = 0; problem.empty() && index < entries.size(); ++index) {
    if (const char* what = entryProblem(handle, static_cast<int32_t>(index), entries[index]))
      problem = entries[index].name + ": " + what;
  }
  if (handle != nullptr) closePackageArchive(handle);
  return problem;
}

// Writes the package into `out`, signed as it goes when a key is given: 0, 1 (too large:
// refused) or 2 (said why).
int writePackage(PendingFile& out, const char* appFolder, std::vector<PackEntry>& entries,
                 const KeyFile* key, uint64_t& size) {
  const uint16_t commentLength =
      key != nullptr ? signatureCommentLength(key->view.modulusLength) : 0;
  std::unique_ptr<PackageSigner> signer(key != nullptr ? new PackageSigner(*key) : nullptr);
  ZipWriter writer(out.stream(), kLargestDownloadablePackage - commentLength, signer.get());
  std::string stoppedAt;
  ZipStep step = writeEntries(writer, appFolder, entries, commentLength, stoppedAt);
  if (step == ZipStep::Ok && signer != nullptr) {
    const std::vector<uint8_t> comment = signer->comment();
    if (comment.empty()) std::fprintf(stderr, "vmpkg: pack: signing failed\n");
    if (comment.empty() || !writer.writeData(comment.data(), comment.size()))
      step = ZipStep::Failed;
  }
  size = writer.size();
  if (step == ZipStep::TooLarge)
    return complain(1,
                    "vmpkg: pack: refused: package: larger than %llu bytes (reached at %s), the "
                    "most the installer's %d-byte download buffer holds with a typical response "
                    "head%s; nothing written\n",
                    static_cast<unsigned long long>(kLargestDownloadablePackage - commentLength),
                    stoppedAt.c_str(), kDownloadBufferSize,
                    key != nullptr ? " and the signature" : "");
  if ((step == ZipStep::Ok && !out.sync()) || writer.failed())
    return complain(2, "vmpkg: pack: cannot write the package: %s\n", std::strerror(errno));
  return step == ZipStep::Ok ? 0 : 2;
}

// "packed N entries (F files, D deflated; G folders) into OUT: B bytes, U unpacked[, signed]".
void printSummary(const std::vector<PackEntry>& entries, const char* outPath, uint64_t size,
                  const KeyFile* key) {
  unsigned folders = 0, deflated = 0;
  uint64_t unpacked = 0;
  for (const PackEntry& entry : entries) {
    folders += entry.folder ? 1 : 0;
    deflated += entry.record.method == 8 ? 1 : 0;
    unpacked += entry.size;
  }
  const std::string signedWith = key != nullptr ? ", signed (" + describeKey(key->view) + ")" : "";
  std::printf("packed %zu entries (%zu files, %u deflated; %u folders) into %s: %llu bytes, "
              "%llu unpacked%s\n",
              entries.size(), entries.size() - folders, deflated, folders, outPath,
              static_cast<unsigned long long>(size), static_cast<unsigned long long>(unpacked),
              signedWith.c_str());
}

}  // namespace

int packFolder(const char* appFolder, const char* outPath, const PackOptions& options) {
  if (const int status = checkPaths(appFolder, outPath)) return status;
  std::vector<PackEntry> entries;
  if (!collect(appFolder, options, entries)) return 1;
  PendingFile out;
  std::string why;
  if (!out.create(outPath, newFileMode(), why))
    return complain(2, "vmpkg: pack: %s: %s\n", outPath, why.c_str());
  static char buffer[1 << 20];
  std::setvbuf(out.stream(), buffer, _IOFBF, sizeof buffer);
  uint64_t size = 0;
  if (const int status = writePackage(out, appFolder, entries, options.signingKey, size))
    return status;
  why = readBack(out.path(), entries,
                 options.signingKey != nullptr ? &options.signingKey->view : nullptr);
  if (!why.empty())
    return complain(2, "vmpkg: pack: the written package does not read back as packed (%s); "
                       "nothing written\n", why.c_str());
  if (!out.commit())
    return complain(2, "vmpkg: pack: cannot rename the package to %s: %s\n", outPath,
                    std::strerror(errno));
  printSummary(entries, outPath, size, options.signingKey);
  return 0;
}

}  // namespace vm
