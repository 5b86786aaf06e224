// Fuzzing the package archive over hostile bytes: open, the count, every entry's query and the
// reading of every entry's data (the extraction loop without a file), plus the unpack step's
// name check. Nothing may crash, hang, leak or read outside the input.
#include <cstddef>
#include <cstdint>

#include "archive/archive.h"
#include "archive/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  vm::ArchiveHandle* handle = vm::openPackageArchive(data, static_cast<uint32_t>(size));
  if (handle == nullptr) return 0;
  vm::ArchiveEntry entry;
  vm::getArchiveEntry(handle, -1, entry);
  const int32_t count = entry.index;
  for (int32_t index = 0; index < count; ++index) {
    vm::EntryFailure failure;
    if (vm::getArchiveEntry(handle, index, entry, &failure) == vm::ArchiveOk)
      vm::classifyEntryName(entry.name);
    vm::verifyArchiveEntry(handle, index, &failure);
  }
  // Backwards once more: the walk rewinds and the cache answers repeats.
  for (int32_t index = count; index-- > 0 && index + 3 > count;)
    vm::getArchiveEntry(handle, index, entry);
  vm::closePackageArchive(handle);
  return 0;
}
