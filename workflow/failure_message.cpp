#include "workflow/failure_message.h"

#include "release_trust.h"  // generated: whether a package key is built in

namespace vm {

// The log's words for the field profile's results, beside the user's: a described build links
// neither (run_log.cpp asks for these only in the field profile).
const char* fieldResultText(InstallResult result) {
  switch (result) {
    case UpdateNotRecovered: return "an interrupted update could not be finished or undone";
    case UpdateNoSpace: return "not enough free space for the package";
    case UpdateNotStaged: return "the package could not be unpacked whole";
    case UpdateFileHeld: return "a file of Velmora is held by another program";
    case UpdateNotSwitched: return "the update could not be switched in";
    case UpdateNotCommitted: return "update not committed; the previous version is whole";
    case UpdateNotRolledBack: return "update not undone yet; the next run does";
    case UpdateBusy: return "another installer kept the lock";
    default: return nullptr;
  }
}

namespace {

// The message for `result`, whatever the run changed before it ended.
FailureMessage failureMessageOf(InstallResult result) {
  // Only a build with a package key refuses a downgrade; one without keeps its bytes.
  if constexpr (kPackageKeyModulusLength != 0) {
    if (result == PackageDowngradeRefused)
      return {"The server offered an older Velmora than the one installed.", true};
  }
  switch (result) {
    case InstallSucceeded:
    case InstallNotAdmitted:
    case InstallClosedByUser:
      return {nullptr, false};
    case RuntimeDownloadFailed:
    case UpdateDownloadFailed:
    case PackageDownloadFailed:
      return {"Velmora could not be downloaded; check the internet connection.", true};
    case RuntimePinRefused:
    case UpdatePinRefused:
    case PackageSignatureRefused:
    case PackageNotArchive:
      return {"The download was not the genuine Velmora (perhaps a network sign-in page).", true};
    case RuntimeNotWritten:
    case UpdateNotWritten:
      return {"The downloaded files could not be saved to the temporary folder.", true};
    case RuntimeNotStarted:
    case UpdateNotStarted:
      return {"A component Velmora needs could not be installed. Velmora was not changed.", false};
    case RegistrationFailed:
      return {"Velmora was installed, but it could not be added to the list of programs.", false};
    case ApplicationDamaged:
    case LaunchFailed:
      return {"Velmora was installed, but it could not be started.", false};
    case UpdateNotRecovered:
      return {"An earlier update of Velmora could not be completed yet; close the programs using "
              "Velmora and try again.", false};
    case UpdateNoSpace:
      return {"There is not enough free disk space for Velmora.", true};
    case UpdateNotStaged:
      return {"Velmora could not be unpacked. The version you had is unchanged.", false};
    case UpdateFileHeld:
      return {"A file of Velmora is in use by another program. The version you had is unchanged.",
              false};
    case UpdateNotSwitched:
      return {"The update of Velmora could not be finished; it will be finished the next time "
              "you run this installer.", false};
    case UpdateNotCommitted:
      return {"The update of Velmora could not be committed. The version you had is unchanged.",
              false};
    case UpdateNotRolledBack:
      return {"The update of Velmora could not be undone yet; it will be the next time you run "
              "this installer.", false};
    case UpdateBusy:
      return {"Another installer is updating Velmora; try again when it is done.", true};
    case InstallNoContext:
    case InstallOutOfMemory:
    case InstallWorkerNotStarted:
    default:  // PackageDowngradeRefused: above, in a build with a key
      break;
  }
  return {"Velmora could not be installed.", true};
}

}  // namespace

FailureMessage failureMessage(InstallResult result, bool changed) {
  FailureMessage message = failureMessageOf(result);
  // A run whose recovery finished or undid an earlier update has changed the computer, however
  // it ended afterwards.
  if (changed) message.nothingChanged = false;
  return message;
}

}  // namespace vm
