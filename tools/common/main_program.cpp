#include "tools/common/main_program.h"

#include <cstdio>
#include <cstdlib>

#include "tools/common/file_version.h"
#include "tools/common/package_limits.h"

namespace vm {

const char* versionProblem(const uint8_t* data, uint64_t length, char (&why)[160]) {
  FileVersion version{};
  switch (readFileVersion(data, length, version)) {
    case FileVersionStatus::Found:
      if (version.major == kWaitedMajorVersion) return nullptr;
      std::snprintf(why, sizeof why,
                    "its version resource says %u.%u.%u.%u; the installer waits only for a "
                    "running major version %u",
                    version.major, version.minor, version.build, version.revision,
                    kWaitedMajorVersion);
      return why;
    case FileVersionStatus::NotAnImage:
      return "it is no Windows executable (no PE32 or PE32+ headers)";
    case FileVersionStatus::NoVersionResource:
      return "it has no version resource; the installer waits only for a running major "
             "version 5";
    case FileVersionStatus::DamagedResource:
      return "its version resource is damaged (out of bounds, or no fixed block with its "
             "signature)";
  }
  return "its version cannot be read";
}

const char* entryVersionProblem(ArchiveHandle* handle, int32_t index, char (&why)[160]) {
  ArchiveEntry entry;
  if (getArchiveEntry(handle, index, entry) != ArchiveOk) return "it cannot be read";
  if (entry.uncompressedSize > kLargestProgram) {
    std::snprintf(why, sizeof why, "it is too large (%u bytes) to look for its version",
                  entry.uncompressedSize);
    return why;
  }
  // One byte more than declared, so that data longer than its header says fails the read.
  const uint32_t capacity = entry.uncompressedSize + 1;
  uint8_t* bytes = static_cast<uint8_t*>(std::malloc(capacity));
  if (bytes == nullptr) return "no memory to read it";
  uint32_t length = 0;
  const char* problem = nullptr;
  if (readArchiveEntry(handle, index, bytes, capacity, &length) != ArchiveOk) {
    problem = "it cannot be read whole";
  } else {
    problem = versionProblem(bytes, length, why);
  }
  std::free(bytes);
  return problem;
}

}  // namespace vm
