// How a run ended: the worker's result and the installer's exit code, one number per way out.
// Callers (deployment scripts, support, the tests) rely on these numbers: never renumber one,
// never reuse one; a new way out gets a new number.
#pragma once

#include <cstdint>

namespace vm {

enum InstallResult : int32_t {
  InstallSucceeded = 0,          // installed, registered and started
  InstallNotAdmitted = 1,        // another installer runs, Windows before Vista, no sockets
  InstallClosedByUser = 2,       // the window was closed before the run ended
  InstallNoContext = 3,          // a folder or the installer's own path could not be had
  InstallOutOfMemory = 4,        // the download buffer could not be had
  InstallWorkerNotStarted = 5,   // the worker thread could not be created
  RuntimeDownloadFailed = 10,    // the .NET Framework 4 Client Profile installer
  UpdateDownloadFailed = 11,     // the KB2468871 installer
  PackageDownloadFailed = 12,    // the application package
  RuntimePinRefused = 13,        // the runtime installer differs from its pinned SHA-256
  UpdatePinRefused = 14,         // the update installer differs from its pinned SHA-256
  PackageSignatureRefused = 15,  // the package is not signed with the release's key
  PackageNotArchive = 16,        // the package does not open as a ZIP archive
  RuntimeNotWritten = 17,        // the runtime installer could not be written
  UpdateNotWritten = 18,         // the update installer could not be written
  RuntimeNotStarted = 20,        // the runtime installer could not be started
  UpdateNotStarted = 21,         // the update installer could not be started
  RegistrationFailed = 30,       // the uninstall key could not be had (nothing registered)
  ApplicationDamaged = 31,       // registered, but this run left Velmora.exe damaged: not started
  LaunchFailed = 32,             // installed and registered, but Velmora.exe did not start
  // The field profile's own ways out (VELMORA_PROFILE=field), with what each leaves in the
  // application folder.
  UpdateNotRecovered = 40,   // an update a killed run left cannot be finished or undone yet (a
                             // held file): App may hold part of each version until a run can
  UpdateNoSpace = 41,        // too little free space for the package: the update was not begun
  UpdateNotStaged = 42,      // the package did not unpack (or flush) whole beside the
                             // application: App as it was
  UpdateFileHeld = 43,       // a file of the application stayed held: App restored as it was
  UpdateNotSwitched = 44,    // the switch stopped past its mark: App holds part of the new
                             // version; the next run finishes it
  UpdateNotCommitted = 45,   // the commit mark could not be made: App restored as it was
  UpdateNotRolledBack = 46,  // a switch stopped before its mark could not be undone: files of
                             // App lie set aside; the next run puts them back
  UpdateBusy = 47,           // another installer kept the folder's lock: nothing was touched
  // Builds with a package key, both profiles: the signed package's Velmora.exe is older than
  // the installed one (a downgrade): nothing was touched.
  PackageDowngradeRefused = 48,
};

// The log's words for `result` ("installed and started", "package download failed", ...).
const char* installResultText(InstallResult result);

// The log's words for the field profile's results (40 to 47), null for the others; the field
// profile's installResultText answers with them (workflow/failure_message.cpp, with the field
// profile's other words for its results).
const char* fieldResultText(InstallResult result);

}  // namespace vm
