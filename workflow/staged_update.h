// The field profile's placement (StagedUpdate, see workflow/sequence_steps.h): the lock, the
// recovery, the space check, the staging folder and the switch. Internal to field_sequence.cpp
// and kept_field_sequence.cpp, each of which compiles its own copy, so that a build without a
// package key compiles field_sequence.cpp exactly as before partial updates existed.
#pragma once

#include "archive/unpack.h"
#include "workflow/field_sequence.h"
#include "workflow/registration.h"
#include "workflow/sequence_steps.h"

namespace vm {
namespace {

const char16_t kStatusWaitingForInstaller[] =
    u"Waiting for another Velmora installer...";

// How long a run waits for another installer's switch: it may be downloading the package or
// waiting for Velmora to close; a run that waits longer touches nothing.
constexpr uint32_t kInstallerWaitMilliseconds = 120000;

// Where the field profile's run differs from the described one (the sequence in
// workflow/sequence_steps.h calls these in this order). Each InstallSucceeded goes on;
// any other result ends the run with it. The lock beside the application folder is held from
// the recovery to the end of the switch.
class StagedUpdate {
 public:
  StagedUpdate(UpdateFiles& files, bool& changed) : files_(files), changed_(changed) {}
  ~StagedUpdate() { files_.unlock(); }
  StagedUpdate(const StagedUpdate&) = delete;
  StagedUpdate& operator=(const StagedUpdate&) = delete;

  // Before any download: the lock, then what a killed run left is made whole once Velmora has
  // closed.
  InstallResult beforeDownloads(InstallSystem& system, ProgressView& view,
                                const InstallContext& context, RunLog& log);
  // The package opens as an archive: its unpacked size must fit beside the old version.
  // No partial update: the package is downloaded whole (KeptStagedUpdate below may rebuild it).
  bool fetchedPartially(const Downloads&, const InstallContext&, const Release&, Body&) {
    return false;
  }
  void packageReady(const Body&) {}
  InstallResult archiveOpened(ArchiveHandle* archive, RunLog& log);
  // The staging folder, emptied and made; null when it cannot be emptied (nothing is unpacked).
  const char16_t* unpackFolder(InstallSystem& system, const InstallContext& context, RunLog& log);
  // After the unpacking: a whole staging folder is switched in, then registered and started.
  InstallResult settle(InstallSystem& system, const InstallContext& context,
                       const UnpackSummary& summary, bool damaged, RunLog& log);

 protected:
  bool lock(InstallSystem& system, ProgressView& view, RunLog& log);

  UpdateFiles& files_;
  bool& changed_;  // set once this run changed the application folder
  UpdateFolders folders_;
  bool staging_ = false;  // unpackFolder made an empty staging folder
};

bool StagedUpdate::lock(InstallSystem& system, ProgressView& view, RunLog& log) {
  WidePath parent;
  if (parentOf(parent, folders_.lock)) files_.createFolders(parent.get());
  // Had, or it cannot be made at all (then neither can App.new beside it: the run fails where
  // it first touches the folder, and waiting would not help).
  if (files_.lock(folders_.lock.get()) != kSharingViolation) return true;
  // Another installer (of any channel) recovers or switches this folder: one at a time.
  showStatus(view, kStatusWaitingForInstaller, false);
  LogLine().add("lock: held by another installer; waiting").write(log);
  for (uint32_t tries = kInstallerWaitMilliseconds / kWaitMilliseconds; tries > 0; --tries) {
    system.sleepMilliseconds(kWaitMilliseconds);
    if (files_.lock(folders_.lock.get()) == 0) {
      LogLine().add("lock: had after the wait").write(log);
      return true;
    }
  }
  LogLine().add("lock: still held").write(log);
  return false;
}

InstallResult StagedUpdate::beforeDownloads(InstallSystem& system, ProgressView& view,
                                            const InstallContext& context, RunLog& log) {
  if (!updateFoldersOf(context.appFolder.get(), folders_)) return InstallNoContext;
  if (!lock(system, view, log)) return UpdateBusy;
  // First, even when the server cannot be reached: what a killed run left is made whole, but
  // not under a running Velmora.
  if (!updateLeftBehind(files_, folders_)) return InstallSucceeded;
  waitForApplication(system, view, log);
  changed_ = true;
  return recoverUpdate(files_, system, folders_, log) ? InstallSucceeded : UpdateNotRecovered;
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

const char16_t* StagedUpdate::unpackFolder(InstallSystem&, const InstallContext&, RunLog& log) {
  // A staging folder left by an earlier run is removed first; stale files in it would be
  // switched in with the package.
  if (!files_.removeTree(folders_.staging.get())) {
    LogLine().add("unpack: App.new cannot be emptied").write(log);
    return nullptr;
  }
  files_.createFolders(folders_.staging.get());
  staging_ = true;
  return folders_.staging.get();
}

InstallResult StagedUpdate::settle(InstallSystem& system, const InstallContext& context,
                                   const UnpackSummary& summary, bool, RunLog& log) {
  // Any entry that failed (a full disk, corrupt data): the previous version must stay as it is.
  if (!staging_ || summary.failed != 0) {
    (void)files_.removeTree(folders_.staging.get());
    LogLine().add("unpack: not whole; the previous version stays").write(log);
    return UpdateNotStaged;
  }
  changed_ = true;
  const SwitchResult switched = switchUpdate(files_, system, folders_, log);
  files_.unlock();
  switch (switched) {
    case SwitchResult::Switched:
      break;
    case SwitchResult::Held:
      return UpdateFileHeld;
    case SwitchResult::NotMarked:
      return UpdateNotCommitted;
    case SwitchResult::NotRolledBack:
      return UpdateNotRolledBack;
    case SwitchResult::NotPlaced:
      return UpdateNotSwitched;
  }
  // The switch leaves only whole files: Velmora.exe is never a damaged one.
  return registerAndLaunch(system, context, true, log);
}

}  // namespace
}  // namespace vm
