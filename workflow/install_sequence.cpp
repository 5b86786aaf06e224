#include "workflow/install_sequence.h"

#include <cstdlib>

#include "archive/archive.h"
#include "archive/unpack.h"
#include "net/download.h"
#include "platform/format.h"
#include "platform/path.h"
#include "procs/image_name.h"
#include "workflow/install_context.h"
#include "workflow/registration.h"

namespace vm {

const char16_t kStatusDownloadingDependencies[] = u"Downloading dependencies...";
const char16_t kStatusDownloadingVelmora[] = u"Downloading Velmora...";
const char16_t kStatusWaiting[] = u"Waiting for Velmora to close...";
const char16_t kStatusInstallingDependencies[] =
    u"Installing dependencies... (this may take a few minutes)";
const char16_t kStatusInstallingVelmora[] = u"Installing Velmora...";

namespace {

constexpr char16_t kRuntimeKey[] = u"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4";
constexpr char16_t kUpdateKey32On64[] =
    u"SOFTWARE\\wow6432node\\Microsoft\\Updates\\Microsoft .NET Framework 4 Client "
    u"Profile\\KB2468871\\";
constexpr char16_t kUpdateKey[] =
    u"SOFTWARE\\Microsoft\\Updates\\Microsoft .NET Framework 4 Client Profile\\KB2468871\\";
constexpr char16_t kApplicationImage[] = u"Velmora.exe";
constexpr int32_t kApplicationMajorVersion = 5;
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

// Downloads `requestPath`. A body without a known length ends the run like a failed download:
// its size would have to be guessed, and a guess could read past what arrived.
bool download(ProgressView& view, Network& network, const Endpoint& server,
              const char* requestPath, uint8_t* buffer, Body& body) {
  int32_t contentLength = -1;
  body.data = downloadFile(view, network, server, requestPath, buffer, contentLength);
  body.length = contentLength;
  return body.data != nullptr && contentLength >= 0;
}

// Steps 3 and 4 for one prerequisite: download it and write it to the download folder.
bool fetchPrerequisite(InstallSystem& system, ProgressView& view, Network& network,
                       const Endpoint& server, InstallContext& context, const char* requestPath,
                       const WidePath& installerPath, uint8_t* buffer) {
  showStatus(view, kStatusDownloadingDependencies, false);
  Body body;
  if (!download(view, network, server, requestPath, buffer, body)) return false;
  system.createDirectoryChain(context.downloadFolder);
  return system.writeWholeFile(installerPath.get(), body.data, body.length) == 0;
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
                         const WidePath& installerPath) {
  showStatus(view, kStatusInstallingDependencies, true);
  WideCommand command;
  const char16_t* workingFolder = nullptr;
  if (holdsExpansion(installerPath.get())) {
    workingFolder = context.downloadFolder.get();
    if (formatInto(command, u"cmd.exe /c \"\".\\%s\" /q /norestart\"",
                   fileNameOf(installerPath.get())) < 0)
      return false;
  } else if (formatInto(command, u"cmd.exe /c \"\"%s\" /q /norestart\"", installerPath.get()) < 0) {
    return false;
  }
  return system.runHiddenAndWait(command.get(), workingFolder);
}

// Step 6: while a Velmora.exe with a version-5 module runs, poll every 200 ms.
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
// earlier entry of this package included - and skipped entries and folders write no file.
class ApplicationWatch final : public UnpackObserver {
 public:
  explicit ApplicationWatch(const InstallContext& context) {
    if (!applicationPath(context, path_)) path_.clear();
  }
  void entryDone(const UnpackOutcome& outcome) override {
    if (outcome.destination == nullptr || !imageNamesEqual(outcome.destination, path_.get()))
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
                              const Endpoint& server) {
  CloseOnExit closer(view);

  InstallContext context;
  if (!resolveInstallContext(system, context)) return InstallFailed;

  DownloadBuffer buffer;
  if (buffer.bytes() == nullptr) return InstallFailed;

  const bool runtimePresent = system.machineKeyExists(kRuntimeKey);
  if (!runtimePresent &&
      !fetchPrerequisite(system, view, network, server, context, context.runtimeRequestPath,
                         context.runtimeInstallerPath, buffer.bytes()))
    return InstallFailed;

  const bool updatePresent =
      system.machineKeyExists(kUpdateKey32On64) || system.machineKeyExists(kUpdateKey);
  if (!updatePresent &&
      !fetchPrerequisite(system, view, network, server, context, context.updateRequestPath,
                         context.updateInstallerPath, buffer.bytes()))
    return InstallFailed;

  // The package stays in the buffer until it is unpacked.
  showStatus(view, kStatusDownloadingVelmora, false);
  Body package;
  if (!download(view, network, server, context.packageRequestPath.get(), buffer.bytes(), package))
    return InstallFailed;

  waitForApplication(system, view);

  if (!runtimePresent && !installPrerequisite(system, view, context, context.runtimeInstallerPath))
    return InstallFailed;
  if (!updatePresent && !installPrerequisite(system, view, context, context.updateInstallerPath))
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
