#include "workflow/field_sequence.h"

#include "archive/unpack.h"
#include "workflow/registration.h"
#include "workflow/sequence_steps.h"

namespace vm {
namespace {

// Where the field profile's run differs from the described one (the sequence in
// workflow/sequence_steps.h calls these in this order). Each InstallSucceeded goes on;
// any other result ends the run with it.
class StagedUpdate {
 public:
  explicit StagedUpdate(UpdateFiles& files) : files_(files) {}
  // Before any download: what a killed run left is made whole.
  InstallResult beforeDownloads(InstallSystem& system, ProgressView& view,
                                const InstallContext& context, RunLog& log);
  // The package opens as an archive: its unpacked size must fit beside the old version.
  InstallResult archiveOpened(ArchiveHandle* archive, RunLog& log);
  // The staging folder, emptied and made; null when it cannot be (nothing is unpacked).
  const char16_t* unpackFolder(InstallSystem& system, const InstallContext& context, RunLog& log);
  // After the unpacking: a whole staging folder is switched in, then registered and started.
  InstallResult settle(InstallSystem& system, const InstallContext& context,
                       const UnpackSummary& summary, bool damaged, RunLog& log);

 private:
  UpdateFiles& files_;
  UpdateFolders folders_;
  bool staging_ = false;  // unpackFolder made the staging folder
};

}  // namespace

InstallResult StagedUpdate::beforeDownloads(InstallSystem& system, ProgressView&,
                                            const InstallContext& context, RunLog& log) {
  // First, even when the server cannot be reached: what a killed run left is made whole.
  if (!updateFoldersOf(context.appFolder.get(), folders_)) return InstallNoContext;
  if (!recoverUpdate(files_, system, folders_, log)) return UpdateNotRecovered;
  return InstallSucceeded;
}

InstallResult StagedUpdate::archiveOpened(ArchiveHandle* archive, RunLog& log) {
  // Before anything is run or touched: the unpacked package must fit beside the old version.
  const uint64_t needed = unpackedSize(archive) + kFreeSpaceMargin;
  const uint64_t free = files_.freeBytes(folders_.app.get());
  LogLine().add("space: ").number(static_cast<int64_t>(needed >> 10)).add(" KiB needed, ")
      .number(free == UINT64_MAX ? -1 : static_cast<int64_t>(free >> 10)).add(" KiB free")
      .write(log);
  return free < needed ? UpdateNoSpace : InstallSucceeded;
}

const char16_t* StagedUpdate::unpackFolder(InstallSystem&, const InstallContext&, RunLog&) {
  // A staging folder left by an earlier run is removed first.
  files_.removeTree(folders_.staging.get());
  files_.createFolders(folders_.staging.get());
  staging_ = true;
  return folders_.staging.get();
}

InstallResult StagedUpdate::settle(InstallSystem& system, const InstallContext& context,
                                   const UnpackSummary& summary, bool, RunLog& log) {
  // Any entry that failed (a full disk, corrupt data): the previous version must stay as it is.
  if (!staging_ || summary.failed != 0) {
    files_.removeTree(folders_.staging.get());
    LogLine().add("unpack: not whole; the previous version stays").write(log);
    return UpdateNotStaged;
  }
  switch (switchUpdate(files_, system, folders_, log)) {
    case SwitchResult::Switched:
      break;
    case SwitchResult::Held:
      return UpdateFileHeld;
    case SwitchResult::NotMarked:
    case SwitchResult::NotPlaced:
      return UpdateNotSwitched;
  }
  // The switch leaves only whole files: Velmora.exe is never a damaged one.
  return registerAndLaunch(system, context, true, log);
}

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
                                   UpdateFiles& files, RunLog& log) {
  CloseOnExit closer(view);
  const InstallResult result =
      installSteps<StagedUpdate>(system, view, transport, release, log, files);
  log.finish(result);
  return result;
}

}  // namespace vm
