#include "workflow/install_sequence.h"

#include <cstdlib>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "archive/unpack.h"
#include "net/download.h"
#include "platform/format.h"
#include "platform/path.h"
#include "workflow/install_context.h"
#include "workflow/registration.h"
#include "workflow/sequence_steps.h"
#include "workflow/server_layout.h"

namespace vm {

const char16_t kStatusDownloadingDependencies[] = u"Downloading dependencies...";
const char16_t kStatusDownloadingVelmora[] = u"Downloading Velmora...";
const char16_t kStatusWaiting[] = u"Waiting for Velmora to close...";
const char16_t kStatusInstallingDependencies[] =
    u"Installing dependencies... (this may take a few minutes)";
const char16_t kStatusInstallingVelmora[] = u"Installing Velmora...";

namespace {

// The steps of one run, from the context to the launch; returns how the run ended.
InstallResult installSteps(InstallSystem& system, ProgressView& view, Transport& transport,
                           const Release& release, RunLog& log) {
  InstallContext context;
  if (!resolveInstallContext(system, context, release.pins)) {
    LogLine().add("start: the install context could not be resolved, build ").add(release.build)
        .write(log);
    return InstallNoContext;
  }
  logStart(system, context, release, log);

  DownloadBuffer buffer;
  if (buffer.bytes() == nullptr) return InstallOutOfMemory;

  const Downloads downloads{view, transport, buffer.bytes(), log};
  // Every download comes before the wait and the installs; each prerequisite is detected just
  // before it would be fetched.
  bool installed[PrerequisiteCount];
  for (int32_t at = 0; at < PrerequisiteCount; ++at) {
    installed[at] = isInstalled(system, context.prerequisites[at], log);
    if (installed[at]) continue;
    const InstallResult fetched =
        fetchPrerequisite(system, view, downloads, context, at, release);
    if (fetched != InstallSucceeded) return fetched;
  }

  // The package stays in the buffer until it is unpacked. One the release's key refuses ends
  // the run like a failed download, and so does one that is no ZIP archive at all (an error
  // page, a captive portal's answer): nothing may be run, registered or linked for it.
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

  waitForApplication(system, view, log);

  // One after the other, the runtime first, each waited for.
  for (int32_t at = 0; at < PrerequisiteCount; ++at) {
    if (!installed[at] &&
        !installPrerequisite(system, view, context, context.prerequisites[at], log)) {
      (void)closePackageArchive(archive);
      return kResults[at].notStarted;
    }
  }

  // Failures of single entries are recorded and the run goes on: the application is registered
  // and started whatever was unpacked, unless this run left its executable damaged.
  showStatus(view, kStatusInstallingVelmora, true);
  system.createDirectoryChain(context.appFolder);
  ApplicationWatch application(context, log);
  const UnpackSummary summary =
      unpackApplication(archive, context.appFolder.get(), &application);
  (void)closePackageArchive(archive);
  buffer.release();
  LogLine().add("unpack: ").number(summary.extracted).add(" written, ").number(summary.failed)
      .add(" failed, ").number(summary.skipped).add(" skipped of ").number(summary.entries)
      .write(log);

  return registerAndLaunch(system, context, !application.damaged(), log);
}

}  // namespace

InstallResult runInstallation(InstallSystem& system, ProgressView& view, Transport& transport,
                              const Release& release, RunLog& log) {
  // The window closes on every way out, after the log's last line.
  CloseOnExit closer(view);
  const InstallResult result = installSteps(system, view, transport, release, log);
  log.finish(result);
  return result;
}

}  // namespace vm
