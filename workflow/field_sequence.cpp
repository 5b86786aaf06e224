#include "workflow/field_sequence.h"

#include "archive/unpack.h"
#include "workflow/sequence_steps.h"

namespace vm {
namespace {

// Unpacks the package whole into App.new: a staging folder left by an earlier run is removed
// first. False, with App.new removed again, when any entry fails (a full disk, corrupt data):
// the previous version must stay as it is.
bool stage(UpdateFiles& files, const InstallContext& context,
           const UpdateFolders& folders, ArchiveHandle* archive, RunLog& log) {
  files.removeTree(folders.staging.get());
  files.createFolders(folders.staging.get());
  ApplicationWatch watch(context, log);  // logs each failed entry
  const UnpackSummary summary = unpackApplication(archive, folders.staging.get(), &watch);
  LogLine().add("unpack: ").number(summary.extracted).add(" written, ").number(summary.failed)
      .add(" failed, ").number(summary.skipped).add(" skipped of ").number(summary.entries)
      .add(" into ").add(folders.staging.get()).write(log);
  if (summary.failed == 0) return true;
  files.removeTree(folders.staging.get());
  LogLine().add("unpack: not whole; the previous version stays").write(log);
  return false;
}

InstallResult fieldSteps(InstallSystem& system, ProgressView& view, Transport& transport,
                         const Release& release, UpdateFiles& files, RunLog& log) {
  InstallContext context;
  if (!resolveInstallContext(system, context, release.pins)) {
    LogLine().add("start: the install context could not be resolved, build ").add(release.build)
        .write(log);
    return InstallNoContext;
  }
  logStart(system, context, release, log);

  // First, even when the server cannot be reached: what a killed run left is made whole.
  UpdateFolders folders;
  if (!updateFoldersOf(context.appFolder.get(), folders)) return InstallNoContext;
  if (!recoverUpdate(files, system, folders, log)) return UpdateNotRecovered;

  DownloadBuffer buffer;
  if (buffer.bytes() == nullptr) return InstallOutOfMemory;
  const Downloads downloads{view, transport, buffer.bytes(), log};
  bool installed[PrerequisiteCount];
  for (int32_t at = 0; at < PrerequisiteCount; ++at) {
    installed[at] = isInstalled(system, context.prerequisites[at], log);
    if (installed[at]) continue;
    const InstallResult fetched =
        fetchPrerequisite(system, view, downloads, context, at, release);
    if (fetched != InstallSucceeded) return fetched;
  }

  showStatus(view, kStatusDownloadingVelmora, false);
  Body package;
  if (!downloads.fetch(context.packageRequestPath.get(), package)) return PackageDownloadFailed;
  if (!packageAccepted(release, package, log)) return PackageSignatureRefused;
  ArchiveHandle* archive =
      openPackageArchive(package.data, static_cast<uint32_t>(package.length));
  if (archive == nullptr) {
    LogLine().add("package: not a ZIP archive, result ").number(lastArchiveResult()).write(log);
    return PackageNotArchive;
  }

  // Before anything is run or touched: the unpacked package must fit beside the old version.
  const uint64_t needed = unpackedSize(archive) + kFreeSpaceMargin;
  const uint64_t free = files.freeBytes(folders.app.get());
  LogLine().add("space: ").number(static_cast<int64_t>(needed >> 10)).add(" KiB needed, ")
      .number(free == UINT64_MAX ? -1 : static_cast<int64_t>(free >> 10)).add(" KiB free")
      .write(log);
  if (free < needed) {
    (void)closePackageArchive(archive);
    return UpdateNoSpace;
  }

  waitForApplication(system, view, log);
  for (int32_t at = 0; at < PrerequisiteCount; ++at) {
    if (!installed[at] &&
        !installPrerequisite(system, view, context, context.prerequisites[at], log)) {
      (void)closePackageArchive(archive);
      return kResults[at].notStarted;
    }
  }

  showStatus(view, kStatusInstallingVelmora, true);
  const bool staged = stage(files, context, folders, archive, log);
  (void)closePackageArchive(archive);
  buffer.release();
  if (!staged) return UpdateNotStaged;
  switch (switchUpdate(files, system, folders, log)) {
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

}  // namespace

// Here rather than in run_log.cpp: a described build links none of these texts.
const char* fieldResultText(InstallResult result) {
  switch (result) {
    case UpdateNotRecovered: return "an interrupted update could not be finished or undone";
    case UpdateNoSpace: return "not enough free space for the package";
    case UpdateNotStaged: return "the package could not be unpacked whole";
    case UpdateFileHeld: return "a file of Velmora is held by another program";
    case UpdateNotSwitched: return "the update could not be switched in";
    default: return nullptr;
  }
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
  const InstallResult result = fieldSteps(system, view, transport, release, files, log);
  log.finish(result);
  return result;
}

}  // namespace vm
