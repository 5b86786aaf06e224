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
#include "workflow/server_layout.h"

namespace vm {

const char16_t kStatusDownloadingDependencies[] = u"Downloading dependencies...";
const char16_t kStatusDownloadingVelmora[] = u"Downloading Velmora...";
const char16_t kStatusWaiting[] = u"Waiting for Velmora to close...";
const char16_t kStatusInstallingDependencies[] =
    u"Installing dependencies... (this may take a few minutes)";
const char16_t kStatusInstallingVelmora[] = u"Installing Velmora...";

namespace {

constexpr char16_t kApplicationImage[] = u"Velmora.exe";
constexpr uint32_t kWaitMilliseconds = 200;

// Closes the window whenever the sequence is left, however it is left.
class CloseOnExit {
 public:
  explicit CloseOnExit(ProgressView& view) : view_(view) {}
  ~CloseOnExit() { view_.close(); }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  ProgressView& view_;
};

// The one download buffer of a run, given back when the run is done with it.
class DownloadBuffer {
 public:
  DownloadBuffer() : bytes_(static_cast<uint8_t*>(std::malloc(kDownloadBufferSize))) {}
  ~DownloadBuffer() { release(); }
  DownloadBuffer(const DownloadBuffer&) = delete;
  DownloadBuffer& operator=(const DownloadBuffer&) = delete;
  uint8_t* bytes() { return bytes_; }
  void release() {
    std::free(bytes_);
    bytes_ = nullptr;
  }

 private:
  uint8_t* bytes_;
};

// Text first, then the marquee: the bar's mode changes under the new text.
void showStatus(ProgressView& view, const char16_t* text, bool marquee) {
  view.setStatus(text);
  view.setMarquee(marquee);
}

struct Body {
  const uint8_t* data = nullptr;
  int32_t length = 0;
};

// What every download of a run goes through: the window's progress bar, the network, the
// download server and the run's one buffer.
struct Downloads {
  ProgressSink& progress;
  Network& network;
  const Endpoint& server;
  uint8_t* buffer;

  // Downloads `requestPath` into the buffer. A body without a known length ends the run like a
  // failed download: its size would have to be guessed, and a guess could read past what
  // arrived.
  bool fetch(const char* requestPath, Body& body) const {
    int32_t contentLength = -1;
    body.data = downloadFile(progress, network, server, requestPath, buffer, contentLength);
    body.length = contentLength;
    return body.data != nullptr && contentLength >= 0;
  }
};

// True when one of the prerequisite's detection keys opens.
bool isInstalled(InstallSystem& system, const Prerequisite& prerequisite) {
  for (const char16_t* const* key = prerequisite.detectionKeys; *key != nullptr; ++key)
    if (system.machineKeyExists(*key)) return true;
  return false;
}

// True when a pinned installer's body has the SHA-256 it was pinned with (an unpinned one is
// taken as it is).
bool matchesPin(const Release& release, const Prerequisite& prerequisite, const Body& body) {
  if (!prerequisite.pin.pinned) return true;
  return release.crypto != nullptr &&
         sha256Matches(*release.crypto, body.data, static_cast<uint32_t>(body.length),
                       prerequisite.pin.digest);
}

// True when the package may be unpacked: no key was built in, or its signature is good.
bool packageAccepted(const Release& release, const Body& package) {
  if (release.packageKey.modulusLength == 0) return true;
  return release.crypto != nullptr &&
         checkPackageSignature(package.data, static_cast<uint32_t>(package.length),
                               release.packageKey, *release.crypto) == SignatureVerdict::Good;
}

// Downloads a missing prerequisite's installer and writes it to the download folder; it must
// be written before the next download reuses the buffer. A pinned installer is compared first:
// one that differs is never written, so nothing can run it.
bool fetchPrerequisite(InstallSystem& system, ProgressView& view, const Downloads& downloads,
                       const InstallContext& context, const Prerequisite& prerequisite,
                       const Release& release) {
  showStatus(view, kStatusDownloadingDependencies, false);
  Body body;
  if (!downloads.fetch(prerequisite.requestPath, body)) return false;
  if (!matchesPin(release, prerequisite, body)) return false;
  system.createDirectoryChain(context.downloadFolder);
  return system.writeWholeFile(prerequisite.installerPath.get(), body.data, body.length) == 0;
}

// True when cmd.exe would expand part of `path` although it is quoted: "%NAME%" always, and
// "!NAME!" where delayed expansion is switched on for the user.
bool holdsExpansion(const char16_t* path) {
  return textFind(path, u"%") >= 0 || textFind(path, u"!") >= 0;
}

// Runs a prerequisite's installer silently and waits for it. The path is quoted so that cmd.exe
// keeps it whole, blanks and parentheses included. A path that cmd.exe would expand (a user name
// with "%" in the temporary folder) would name another file, and the installer would never run:
// cmd.exe is then started in the download folder and names the installer relative to it.
bool installPrerequisite(InstallSystem& system, ProgressView& view, const InstallContext& context,
                         const Prerequisite& prerequisite) {
  showStatus(view, kStatusInstallingDependencies, true);
  const char16_t* installerPath = prerequisite.installerPath.get();
  WideCommand command;
  const char16_t* workingFolder = nullptr;
  if (holdsExpansion(installerPath)) {
    workingFolder = context.downloadFolder.get();
    if (formatInto(command, u"cmd.exe /c \"\".\\%s\" /q /norestart\"",
                   prerequisite.fileName) < 0)
      return false;
  } else if (formatInto(command, u"cmd.exe /c \"\"%s\" /q /norestart\"", installerPath) < 0) {
    return false;
  }
  return system.runHiddenAndWait(command.get(), workingFolder);
}

// While a Velmora.exe with a version-5 module runs, polls every 200 ms: its files must not be
// replaced under it.
void waitForApplication(InstallSystem& system, ProgressView& view) {
  if (system.countProcesses(kApplicationImage, kApplicationMajorVersion) <= 0) return;
  showStatus(view, kStatusWaiting, false);
  do {
    system.sleepMilliseconds(kWaitMilliseconds);
  } while (system.countProcesses(kApplicationImage, kApplicationMajorVersion) > 0);
}

// Watches the unpack step for the application's executable. An extraction that fails after
// the file was made (a full disk, corrupt data, a failed CRC, a password) leaves a cut-off or
// damaged executable behind, which must not be started; a later whole copy replaces it. One
// that could not make the file at all leaves whatever was there - a damaged copy from an
// earlier entry of this package included - and skipped entries and folders write no file. An
// entry may reach the executable through an alias ("Velmora.exe." or "VELMORA.EXE ").
class ApplicationWatch final : public UnpackObserver {
 public:
  explicit ApplicationWatch(const InstallContext& context) {
    if (!applicationPath(context, path_)) path_.clear();
  }
  void entryDone(const UnpackOutcome& outcome) override {
    if (outcome.destination == nullptr || !namesSameFile(outcome.destination, path_.get()))
      return;
    if (outcome.result == ArchiveOk) {
      // A folder entry of that name succeeds whether or not the folder could be made.
      if ((outcome.entry->attributes & FileAttributeDirectory) == 0) damaged_ = false;
    } else if (outcome.result == ArchiveWriteFailed || outcome.result == ArchiveInflateFailed ||
               outcome.result == ArchiveCorrupt || outcome.result == ArchivePasswordFailed) {
      damaged_ = true;
    }
  }
  bool damaged() const { return damaged_; }

 private:
  WidePath path_;
  bool damaged_ = false;
};

}  // namespace

InstallResult runInstallation(InstallSystem& system, ProgressView& view, Network& network,
                              const Release& release) {
  CloseOnExit closer(view);

  InstallContext context;
  if (!resolveInstallContext(system, context, release.pins)) return InstallFailed;

  DownloadBuffer buffer;
  if (buffer.bytes() == nullptr) return InstallFailed;

  const Downloads downloads{view, network, release.server, buffer.bytes()};
  // Every download comes before the wait and the installs; each prerequisite is detected just
  // before it would be fetched.
  bool installed[PrerequisiteCount];
  for (int32_t at = 0; at < PrerequisiteCount; ++at) {
    const Prerequisite& prerequisite = context.prerequisites[at];
    installed[at] = isInstalled(system, prerequisite);
    if (!installed[at] &&
        !fetchPrerequisite(system, view, downloads, context, prerequisite, release))
      return InstallFailed;
  }

  // The package stays in the buffer until it is unpacked. One the release's key refuses ends
  // the run like a failed download.
  showStatus(view, kStatusDownloadingVelmora, false);
  Body package;
  if (!downloads.fetch(context.packageRequestPath.get(), package) ||
      !packageAccepted(release, package))
    return InstallFailed;

  waitForApplication(system, view);

  // One after the other, the runtime first, each waited for.
  for (int32_t at = 0; at < PrerequisiteCount; ++at)
    if (!installed[at] && !installPrerequisite(system, view, context, context.prerequisites[at]))
      return InstallFailed;

  // Failures of single entries, or of the whole archive, are recorded and the run goes on:
  // the application is registered and started whatever was unpacked, unless this run left its
  // executable damaged.
  showStatus(view, kStatusInstallingVelmora, true);
  system.createDirectoryChain(context.appFolder);
  ArchiveHandle* archive =
      openPackageArchive(package.data, static_cast<uint32_t>(package.length));
  ApplicationWatch application(context);
  (void)unpackApplication(archive, context.appFolder.get(), &application);
  (void)closePackageArchive(archive);
  buffer.release();

  return registerAndLaunch(system, context, !application.damaged()) ? InstallSucceeded
                                                                     : InstallFailed;
}

}  // namespace vm
