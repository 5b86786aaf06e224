#include "archive/packaged_version.h"

#include "platform/fixed_string.h"
#include "platform/memory.h"

namespace vm {

PackagedVersion readPackagedVersion(ArchiveHandle* archive, FileVersion& version) {
  ArchiveEntry entry;
  if (getArchiveEntry(archive, -1, entry) != ArchiveOk) return PackagedVersion::Unreadable;
  int32_t program = -1;
  uint32_t size = 0;
  const int32_t count = entry.index;
  for (int32_t index = 0; index < count; ++index) {
    if (getArchiveEntry(archive, index, entry) == ArchiveOk &&
        textEquals(entry.name, u"app/Velmora.exe") &&
        !(entry.attributes & FileAttributeDirectory)) {
      program = index;
      size = entry.uncompressedSize;
    }
  }
  if (program < 0) return PackagedVersion::NoProgram;
  // One byte more than declared, so that data longer than its header says fails the read.
  if (size == UINT32_MAX) return PackagedVersion::Unreadable;
  uint8_t* bytes = allocateBytes(size + 1u);
  if (bytes == nullptr) return PackagedVersion::Unreadable;
  uint32_t length = 0;
  FileVersion found{};
  const bool read =
      readArchiveEntry(archive, program, bytes, size + 1u, &length) == ArchiveOk &&
      readFileVersion(bytes, length, found) == FileVersionStatus::Found;
  freeBytes(bytes);
  if (!read) return PackagedVersion::Unreadable;
  version = found;
  return PackagedVersion::Found;
}

}  // namespace vm
