#include "workflow/install_sequence.h"

#include "archive/unpack.h"
#include "workflow/sequence_steps.h"
#include "workflow/registration.h"

namespace vm {

const char16_t kStatusDownloadingDependencies[] = u"Downloading dependencies...";
const char16_t kStatusDownloadingVelmora[] = u"Downloading Velmora...";
const char16_t kStatusWaiting[] = u"Waiting for Velmora to close...";
const char16_t kStatusInstallingDependencies[] =
    u"Installing dependencies... (this may take a few minutes)";
const char16_t kStatusInstallingVelmora[] = u"Installing Velmora...";

namespace {

// The described placement: the package is unpacked over the application folder, and the
// application is started unless this run left its executable damaged. Failures of single
// entries are recorded and the run goes on: the application is registered and started whatever
// was unpacked.
struct InPlace {
  InstallResult beforeDownloads(InstallSystem&, ProgressView&, const InstallContext&, RunLog&) {
    return InstallSucceeded;
  }
  bool fetchedPartially(const Downloads&, const InstallContext&, const Release&, Body&) {
    return false;
  }
  void packageReady(const Body&) {}
  InstallResult archiveOpened(ArchiveHandle*, RunLog&) { return InstallSucceeded; }
  const char16_t* unpackFolder(InstallSystem& system, const InstallContext& context, RunLog&) {
    system.createDirectoryChain(context.appFolder);
    return context.appFolder.get();
  }
  InstallResult settle(InstallSystem& system, const InstallContext& context,
                       const UnpackSummary&, bool damaged, RunLog& log) {
    return registerAndLaunch(system, context, !damaged, log);
  }
};

}  // namespace

InstallResult runInstallation(InstallSystem& system, ProgressView& view, Transport& transport,
                              const Release& release, RunLog& log) {
  // The window closes on every way out, after the log's last line.
  CloseOnExit closer(view);
  const InstallResult result = installSteps<InPlace>(system, view, transport, release, log);
  log.finish(result);
  return result;
}

}  // namespace vm
