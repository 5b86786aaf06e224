// The field profile with a package key (runKeptFieldInstallation, field_sequence.h): a file of
// its own, so that a build without a key links nothing of partial updates.
#include "workflow/field_sequence.h"
#include "workflow/partial_update.h"
#include "workflow/staged_update.h"

namespace vm {
namespace {

// The field profile with a package key: StagedUpdate that also keeps the package it switched
// in (App.vmpkg beside App: a temporary App.vmpkg.new written before the unpacking, renamed once
// the switch is done) and rebuilds the next package from it and single ranges (a partial
// update), which must pass the same signature check as a whole download.
class KeptStagedUpdate final : public StagedUpdate {
 public:
  KeptStagedUpdate(UpdateFiles& files, bool& changed, PieceTransport& pieces)
      : StagedUpdate(files, changed), pieces_(pieces) {}

  InstallResult beforeDownloads(InstallSystem& system, ProgressView& view,
                                const InstallContext& context, RunLog& log) {
    const InstallResult ready = StagedUpdate::beforeDownloads(system, view, context, log);
    if (!kept_.assign(folders_.app.get()) || !kept_.append(u".vmpkg") ||
        !keptNew_.assign(kept_.get()) || !keptNew_.append(u".new")) {
      kept_.clear();  // no partial updates for a folder this deep
    }
    return ready;
  }
  bool fetchedPartially(const Downloads& downloads, const InstallContext& context,
                        const Release& release, Body& package);
  void packageReady(const Body& package) { package_ = package; }
  const char16_t* unpackFolder(InstallSystem& system, const InstallContext& context,
                               RunLog& log);
  InstallResult settle(InstallSystem& system, const InstallContext& context,
                       const UnpackSummary& summary, bool damaged, RunLog& log);

 private:
  PieceTransport& pieces_;
  WidePath kept_, keptNew_;  // ...\Velmora\App.vmpkg and App.vmpkg.new
  Body package_;
};

bool KeptStagedUpdate::fetchedPartially(const Downloads& downloads, const InstallContext& context,
                                        const Release& release, Body& package) {
  if (kept_.length() == 0 || release.packageKey.modulusLength == 0) return false;
  int32_t length = 0;
  if (!fetchFromKeptPackage(pieces_, downloads.progress, downloads.log,
                            context.packageRequestPath.get(), kept_.get(), downloads.buffer,
                            kDownloadBufferSize, length)) {
    return false;
  }
  package.data = downloads.buffer;
  package.length = length;
  if (packageAccepted(release, package, downloads.log)) return true;
  LogLine().add("partial update: whole: the key refuses it")
      .write(downloads.log);
  return false;
}

const char16_t* KeptStagedUpdate::unpackFolder(InstallSystem& system,
                                               const InstallContext& context, RunLog& log) {
  const char16_t* folder = StagedUpdate::unpackFolder(system, context, log);
  if (folder == nullptr || kept_.length() == 0 || package_.data == nullptr) return folder;
  // Not flushed: a kept package a power cut damaged only costs the next update a whole download.
  const uint32_t error = system.writeWholeFile(keptNew_.get(), package_.data, package_.length);
  if (error != 0) {
    (void)files_.deleteFile(keptNew_.get());
    LogLine().add("kept package: error ").number(error).write(log);
  }
  return folder;
}

InstallResult KeptStagedUpdate::settle(InstallSystem& system, const InstallContext& context,
                                       const UnpackSummary& summary, bool damaged, RunLog& log) {
  const InstallResult result = StagedUpdate::settle(system, context, summary, damaged, log);
  if (kept_.length() == 0 || !files_.fileExists(keptNew_.get())) return result;
  // Only a package that was switched in is a source of the installed version's bytes.
  const bool switched = result != UpdateNotStaged && result != UpdateFileHeld &&
                        result != UpdateNotCommitted && result != UpdateNotRolledBack &&
                        result != UpdateNotSwitched;
  if (!switched) {
    (void)files_.deleteFile(keptNew_.get());
    return result;
  }
  const uint32_t error = files_.moveFile(keptNew_.get(), kept_.get());
  if (error != 0) LogLine().add("kept package: error ").number(error).write(log);
  return result;
}

}  // namespace

InstallResult runKeptFieldInstallation(InstallSystem& system, ProgressView& view,
                                       Transport& transport, const Release& release,
                                       UpdateFiles& files, RunLog& log, bool* changed,
                                       PieceTransport& pieces) {
  CloseOnExit closer(view);
  bool touched = false;
  const InstallResult result = installSteps<KeptStagedUpdate>(system, view, transport, release,
                                                              log, files, touched, pieces);
  if (changed != nullptr) *changed = touched;
  log.finish(result);
  return result;
}

}  // namespace vm
