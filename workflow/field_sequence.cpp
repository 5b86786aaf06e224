#include "workflow/field_sequence.h"

#include "archive/unpack.h"
#include "workflow/registration.h"
#include "workflow/sequence_steps.h"
#include "workflow/staged_update.h"

namespace vm {

uint64_t unpackedSize(ArchiveHandle* archive) {
  ArchiveEntry entry;
  if (getArchiveEntry(archive, -1, entry) != ArchiveOk) return 0;
  const int32_t count = entry.index;
  uint64_t total = 0;
  for (int32_t index = 0; index < count; ++index)
    if (getArchiveEntry(archive, index, entry) == ArchiveOk &&
        classifyEntryName(entry.name) == EntryDisposition::Unpack)
      total += entry.uncompressedSize;
  return total;
}

InstallResult runFieldInstallation(InstallSystem& system, ProgressView& view,
                                   Transport& transport, const Release& release,
                                   UpdateFiles& files, RunLog& log, bool* changed) {
  CloseOnExit closer(view);
  bool touched = false;
  const InstallResult result =
      installSteps<StagedUpdate>(system, view, transport, release, log, files, touched);
  if (changed != nullptr) *changed = touched;
  log.finish(result);
  return result;
}

}  // namespace vm
