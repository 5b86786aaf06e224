// The one sequence of a run, shared by the described profile (workflow/install_sequence.cpp) and
// the field profile (workflow/field_sequence.cpp), and the steps it takes. The profiles differ
// only in a Placement (see installSteps). Internal to those two files: each compiles its own
// copy with its own Placement, so that the steps called once are inlined into it as they always
// were and the described installer keeps its bytes (its functions keep their names, which is
// what orders them in the image).
#pragma once

#include <cstdlib>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "archive/unpack.h"
#include "net/download.h"
#include "platform/format.h"
#include "platform/path.h"
#include "workflow/install_context.h"
#include "workflow/install_sequence.h"
#include "workflow/registration.h"
#include "workflow/server_layout.h"
#include "workflow/install_result.h"
#include "workflow/version_guard.h"
#include "release_trust.h"  // generated: whether a package key is built in

namespace vm {
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

// What every download of a run goes through: the window's progress bar, the transport, the
// run's one buffer and its log.
struct Downloads {
  ProgressSink& progress;
  Transport& transport;
  uint8_t* buffer;
  RunLog& log;

  // Downloads `requestPath` into the buffer and logs how it went. A body comes back only with
  // its length.
  bool fetch(const char* requestPath, Body& body) const {
    DownloadReport report;
    const uint32_t started = log.elapsedMilliseconds();
    body.data = transport.fetch(progress, requestPath, buffer, report);
    body.length = report.contentLength;
    LogLine line;
    line.add("download ").add(requestPath).add(": status ").number(report.status)
        .add(", length ").number(report.contentLength).add(", received ")
        .number(report.bodyBytes).add(", ").number(log.elapsedMilliseconds() - started)
        .add(" ms, ").add(downloadEndText(report.end));
    if (report.error.code != 0) line.add(" (system error ").number(report.error.code).add(")");
    line.write(log);
    return body.data != nullptr;
  }
};

// True when one of the prerequisite's detection keys opens.
bool isInstalled(InstallSystem& system, const Prerequisite& prerequisite, RunLog& log) {
  for (const char16_t* const* key = prerequisite.detectionKeys; *key != nullptr; ++key) {
    if (system.machineKeyExists(*key)) {
      LogLine().add("detect ").add(prerequisite.fileName).add(": installed (").add(*key).add(")")
          .write(log);
      return true;
    }
  }
  LogLine().add("detect ").add(prerequisite.fileName).add(": missing").write(log);
  return false;
}

// True when a pinned installer's body has the SHA-256 it was pinned with (an unpinned one is
// taken as it is).
bool matchesPin(const Release& release, const Prerequisite& prerequisite, const Body& body,
                RunLog& log) {
  if (!prerequisite.pin.pinned) return true;
  const bool matches =
      release.crypto != nullptr &&
      sha256Matches(*release.crypto, body.data, static_cast<uint32_t>(body.length),
                    prerequisite.pin.digest);
  LogLine().add("pin ").add(prerequisite.fileName).add(matches ? ": matches" : ": differs")
      .write(log);
  return matches;
}

// True when the package may be unpacked: no key was built in, or its signature is good.
bool packageAccepted(const Release& release, const Body& package, RunLog& log) {
  if (release.packageKey.modulusLength == 0) return true;
  const bool good =
      release.crypto != nullptr &&
      checkPackageSignature(package.data, static_cast<uint32_t>(package.length),
                            release.packageKey, *release.crypto) == SignatureVerdict::Good;
  LogLine().add(good ? "signature: good" : "signature: refused").write(log);
  return good;
}

// The results of a prerequisite's steps, by prerequisite.
struct PrerequisiteResults {
  InstallResult downloadFailed, pinRefused, notWritten, notStarted;
};
constexpr PrerequisiteResults kResults[PrerequisiteCount] = {
    {RuntimeDownloadFailed, RuntimePinRefused, RuntimeNotWritten, RuntimeNotStarted},
    {UpdateDownloadFailed, UpdatePinRefused, UpdateNotWritten, UpdateNotStarted},
};

// Downloads a missing prerequisite's installer and writes it to the download folder; it must
// be written before the next download reuses the buffer. A pinned installer is compared first:
// one that differs is never written, so nothing can run it.
InstallResult fetchPrerequisite(InstallSystem& system, ProgressView& view,
                                const Downloads& downloads, const InstallContext& context,
                                int32_t at, const Release& release) {
  const Prerequisite& prerequisite = context.prerequisites[at];
  showStatus(view, kStatusDownloadingDependencies, false);
  Body body;
  if (!downloads.fetch(prerequisite.requestPath, body)) return kResults[at].downloadFailed;
  if (!matchesPin(release, prerequisite, body, downloads.log)) return kResults[at].pinRefused;
  system.createDirectoryChain(context.downloadFolder);
  const uint32_t error =
      system.writeWholeFile(prerequisite.installerPath.get(), body.data, body.length);
  if (error == 0) return InstallSucceeded;
  LogLine().add("write ").add(prerequisite.installerPath.get()).add(": system error ")
      .number(error).write(downloads.log);
  return kResults[at].notWritten;
}

// True when cmd.exe would expand part of `path` although it is quoted: "%NAME%" always, and
// "!NAME!" where delayed expansion is switched on for the user.
bool holdsExpansion(const char16_t* path) {
  return textFind(path, u"%") >= 0 || textFind(path, u"!") >= 0;
}

// Runs a prerequisite's installer silently and waits for it. The path is quoted so that cmd.exe
// keeps it whole, blanks and parentheses included. A path that cmd.exe would expand (a user name
// with "%" in the temporary folder) would name another file, and the installer would never run:
// cmd.exe is then started in the download folder and names the installer relative to it. The
// installer's exit code is logged; nothing acts on it.
bool installPrerequisite(InstallSystem& system, ProgressView& view, const InstallContext& context,
                         const Prerequisite& prerequisite, RunLog& log) {
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
  LogLine().add("run: ").add(command.get()).write(log);
  uint32_t exitCode = 0;
  if (!system.runHiddenAndWait(command.get(), workingFolder, exitCode)) {
    LogLine().add("run: could not be started").write(log);
    return false;
  }
  LogLine().add("run: exit code ").number(exitCode).write(log);
  return true;
}

// While a Velmora.exe with a version-5 module runs, polls every 200 ms: its files must not be
// replaced under it.
void waitForApplication(InstallSystem& system, ProgressView& view, RunLog& log) {
  if (system.countProcesses(kApplicationImage, kApplicationMajorVersion) <= 0) return;
  showStatus(view, kStatusWaiting, false);
  const uint32_t started = log.elapsedMilliseconds();
  LogLine().add("wait: Velmora is running").write(log);
  do {
    system.sleepMilliseconds(kWaitMilliseconds);
  } while (system.countProcesses(kApplicationImage, kApplicationMajorVersion) > 0);
  LogLine().add("wait: Velmora closed after ").number(log.elapsedMilliseconds() - started)
      .add(" ms").write(log);
}

// Watches the unpack step for the application's executable. An extraction that fails after
// the file was made (a full disk, corrupt data, a failed CRC, a password) leaves a cut-off or
// damaged executable behind, which must not be started; a later whole copy replaces it. One
// that could not make the file at all leaves whatever was there - a damaged copy from an
// earlier entry of this package included - and skipped entries and folders write no file. An
// entry may reach the executable through an alias ("Velmora.exe." or "VELMORA.EXE ").
// Each entry that failed is logged with its name and result.
class ApplicationWatch final : public UnpackObserver {
 public:
  ApplicationWatch(const InstallContext& context, RunLog& log) : log_(log) {
    if (!applicationPath(context, path_)) path_.clear();
  }
  void entryDone(const UnpackOutcome& outcome) override {
    if (outcome.disposition == EntryDisposition::QueryFailed ||
        (outcome.disposition == EntryDisposition::Unpack && outcome.result != ArchiveOk))
      LogLine().add("unpack: entry ").number(outcome.index).add(" ").add(outcome.entry->name)
          .add(" failed, result ").number(outcome.result).write(log_);
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
  RunLog& log_;
  WidePath path_;
  bool damaged_ = false;
};

// The run's first line: what runs, where, and how it was built.
void logStart(InstallSystem& system, const InstallContext& context, const Release& release,
              RunLog& log) {
  uint32_t major = 0, minor = 0, build = 0;
  system.windowsVersion(major, minor, build);
  LogLine().add("start: ").add(context.fileName).add(", channel ").add(context.channel.get())
      .add(", Windows ").number(major).add(".").number(minor).add(".").number(build)
      .add(context.isWow64 ? ", 64-bit (WOW64)" : ", 32-bit").add(", build ").add(release.build)
      .write(log);
}

// The steps of one run, from the context to the launch; returns how the run ended. `Placement`
// is where the profiles differ (InPlace, or the field profile's StagedUpdate made from
// `outside`): a step before any download, a check once the package opens as an archive, the
// folder it is unpacked into, and what follows the unpacking.
template <class Placement, class... Outside>
InstallResult installSteps(InstallSystem& system, ProgressView& view, Transport& transport,
                           const Release& release, RunLog& log, Outside&... outside) {
  InstallContext context;
  if (!resolveInstallContext(system, context, release.pins)) {
    LogLine().add("start: the install context could not be resolved, build ").add(release.build)
        .write(log);
    return InstallNoContext;
  }
  logStart(system, context, release, log);

  Placement placement(outside...);
  const InstallResult ready = placement.beforeDownloads(system, view, context, log);
  if (ready != InstallSucceeded) return ready;

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
  // A placement may rebuild the package from what it kept (a partial update), vouched for by
  // the same signature check; otherwise, or when that fails, it is downloaded whole.
  if (!placement.fetchedPartially(downloads, context, release, package)) {
    if (!downloads.fetch(context.packageRequestPath.get(), package)) return PackageDownloadFailed;
    if (!packageAccepted(release, package, log)) return PackageSignatureRefused;
  }
  ArchiveHandle* archive =
      openPackageArchive(package.data, static_cast<uint32_t>(package.length));
  if (archive == nullptr) {
    LogLine().add("package: not a ZIP archive, result ").number(lastArchiveResult()).write(log);
    return PackageNotArchive;
  }
  // With a key, a package any release signed is genuine, an old one with a known hole
  // included: one older than the installed version is refused before anything is touched.
  if constexpr (kPackageKeyModulusLength != 0) {
    WidePath program;
    if (release.packageKey.modulusLength != 0 && applicationPath(context, program) &&
        isDowngrade(archive, program.get(), log)) {
      (void)closePackageArchive(archive);
      return PackageDowngradeRefused;
    }
  }
  placement.packageReady(package);
  const InstallResult fits = placement.archiveOpened(archive, log);
  if (fits != InstallSucceeded) {
    (void)closePackageArchive(archive);
    return fits;
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

  showStatus(view, kStatusInstallingVelmora, true);
  const char16_t* folder = placement.unpackFolder(system, context, log);
  ApplicationWatch application(context, log);
  // No folder: nothing is unpacked (and the placement knows why).
  const UnpackSummary summary =
      unpackApplication(folder != nullptr ? archive : nullptr, folder, &application);
  (void)closePackageArchive(archive);
  buffer.release();
  LogLine().add("unpack: ").number(summary.extracted).add(" written, ").number(summary.failed)
      .add(" failed, ").number(summary.skipped).add(" skipped of ").number(summary.entries)
      .write(log);

  return placement.settle(system, context, summary, application.damaged(), log);
}

}  // namespace
}  // namespace vm
