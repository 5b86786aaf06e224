// vmpkg pack's last step before the rename: the written package read back with the
// installer's own code, so that OUT never names a package the installer would read otherwise.
#include "archive/archive.h"
#include "archive/package_signature.h"
#include "archive/unpack.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/posix/openssl_crypto.h"
#include "tools/common/package_check.h"
#include "tools/common/package_limits.h"
#include "tools/common/whole_file.h"
#include "tools/vmpkg/pack.h"
#include "workflow/server_layout.h"

namespace vm {
namespace {

// Why entry `index` does not come back as `expected` was written, or null when it does: its
// name, kind, read-only attribute and time, the installer's unpacking, its data with its
// CRC-32, and Velmora.exe's version.
const char* entryProblem(ArchiveHandle* handle, int32_t index, const PackEntry& expected,
                         char (&why)[160]) {
  ArchiveEntry entry;
  WidePath name;
  if (getArchiveEntry(handle, index, entry) != ArchiveOk) return "its query fails";
  if (!decodeUtf8(expected.name.data(), expected.name.size(), name) ||
      !textEquals(entry.name, name.get())) {
    return "its name differs";
  }
  if (classifyEntryName(entry.name) != EntryDisposition::Unpack)
    return "the installer would skip it";
  const bool folder = (entry.attributes & FileAttributeDirectory) != 0;
  const bool readOnly = (entry.attributes & FileAttributeReadOnly) != 0;
  if (folder != expected.folder || readOnly != (!expected.folder && !(expected.mode & 0200)))
    return "its attributes differ";
  if (fileTimeValue(entry.modificationTime) != fileTimeValue(fileTimeOfUnixSeconds(expected.mtime)))
    return "its time differs";
  if (verifyArchiveEntry(handle, index, nullptr) != ArchiveOk)
    return "its data does not read back whole";
  if (expected.name == kPackagedApplication) return entryVersionProblem(handle, index, why);
  return nullptr;
}

}  // namespace

std::string readBack(const char* path, const std::vector<PackEntry>& entries,
                     const RsaPublicKey* key) {
  WholeFile package;
  std::string problem;
  if (!package.load(path, kLargestPackage, problem)) return "it " + problem;
  if (key != nullptr) {
    OpenSslCrypto crypto;
    const SignatureVerdict verdict =
        checkPackageSignature(package.data(), package.length(), *key, crypto);
    if (verdict != SignatureVerdict::Good)
      return std::string("its signature: ") + signatureVerdictText(verdict);
  }
  ArchiveHandle* handle = openPackageArchive(package.data(), package.length());
  ArchiveEntry entry;
  getArchiveEntry(handle, -1, entry);
  if (handle == nullptr || entry.index != static_cast<int32_t>(entries.size()))
    problem = "it does not open with all its entries";
  for (std::size_t index = 0; problem.empty() && index < entries.size(); ++index) {
    char why[160];
    if (const char* what = entryProblem(handle, static_cast<int32_t>(index), entries[index], why))
      problem = entries[index].name + ": " + what;
  }
  if (handle != nullptr) closePackageArchive(handle);
  return problem;
}

}  // namespace vm
