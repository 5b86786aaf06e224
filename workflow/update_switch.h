// The field profile's update: the new version is unpacked into a staging folder beside the
// application folder, then switched in file by file, so that a kill, a power cut, a full disk or
// a held file leaves the complete previous version or the complete new one, never a mixture.
//
// Beside the application folder ...\Velmora\App live, only while an update runs:
//   App.new     the staging folder: the package unpacked whole
//   App.old     the files of App that the new version replaces, set aside
//   App.switch  the commit mark: once it exists, the update is finished forwards
//   App.lock    held open by the run that recovers or switches: one switch at a time
// The steps, and what a kill after each leaves, are in docs/architecture.md ("Updates that
// survive a kill"). Files of App that the package does not carry are never touched.
#pragma once

#include <cstdint>

#include "platform/fixed_string.h"
#include "workflow/install_system.h"
#include "workflow/run_log.h"

namespace vm {

// Called for each file and folder below a walked folder, with its path relative to that folder
// (no leading separator).
class FileVisitor {
 public:
  virtual void visit(const char16_t* relativePath, bool isFolder) = 0;

 protected:
  ~FileVisitor() = default;
};

// What the switch asks of the file system (Win32: workflow/win32/win32_update_files; tests use an
// in-memory fake). Paths are absolute, without a trailing separator.
class UpdateFiles {
 public:
  // Moves the file or folder `from` to `to` on the same volume, written through to the disk; a
  // file at `to` is replaced. 0, or the platform's error code (kSharingViolation or
  // kLockViolation for a file another program holds open).
  virtual uint32_t moveFile(const char16_t* from, const char16_t* to) = 0;
  virtual bool fileExists(const char16_t* path) = 0;
  virtual bool folderExists(const char16_t* path) = 0;
  // Creates every missing folder along `path`, `path` included.
  virtual void createFolders(const char16_t* path) = 0;
  // Creates the empty file `path`, replacing one, written through; false when it cannot be made.
  virtual bool createMark(const char16_t* path) = 0;
  // Deletes the file `path`; true when it is gone (or was never there).
  virtual bool deleteFile(const char16_t* path) = 0;
  // Deletes the folder `path` and everything below it, as far as it can; true when it is gone
  // (or was never there).
  virtual bool removeTree(const char16_t* path) = 0;
  // Visits every file and folder below `path` (folders before what they hold). A visitor may
  // move the file it is given away. False when the folder cannot be read.
  virtual bool walk(const char16_t* path, FileVisitor& visitor) = 0;
  // Free bytes for this user on the volume that holds `path`; UINT64_MAX when unknown.
  virtual uint64_t freeBytes(const char16_t* path) = 0;
  // Opens the lock file `path` for this process alone, making it when needed: 0, or the
  // platform's error code (kSharingViolation while another process holds it). Held until
  // unlock() or the process's end, whichever comes first: a killed run never leaves it held.
  virtual uint32_t lock(const char16_t* path) = 0;
  virtual void unlock() = 0;

 protected:
  ~UpdateFiles() = default;
};

// The errors of a file another program holds open, which may pass: the only ones retried.
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kLockViolation = 33;

// The folders of one update, derived from the application folder.
struct UpdateFolders {
  WidePath app;      // ...\Velmora\App
  WidePath staging;  // ...\Velmora\App.new
  WidePath aside;    // ...\Velmora\App.old
  WidePath mark;     // ...\Velmora\App.switch
  WidePath lock;     // ...\Velmora\App.lock: held from the recovery to the end of the switch
};

// Fills `folders` from the application folder (with or without its trailing backslash). False
// when a path would not fit.
[[nodiscard]] bool updateFoldersOf(const char16_t* appFolder, UpdateFolders& folders);

// How long a switch (or a recovery, or a rollback) waits in all for files held open by another
// program, and how long apart it tries again: virus scanners and indexers hold a new or changed
// file for a moment. Any other error ends the switch at once.
constexpr uint32_t kHeldFileWaitMilliseconds = 500;
constexpr uint32_t kHeldFilesBudgetMilliseconds = 10000;
// The tries a single held file gets when it alone spends the budget.
constexpr int32_t kHeldFileAttempts =
    static_cast<int32_t>(kHeldFilesBudgetMilliseconds / kHeldFileWaitMilliseconds) + 1;

// The folder that holds `path` (the text before its last separator); false when there is none.
[[nodiscard]] bool parentOf(WidePath& out, const WidePath& path);

// The free space an update needs besides the package's unpacked size: room for the file system's
// own records and for what other programs write meanwhile.
constexpr uint64_t kFreeSpaceMargin = 8ull << 20;

// True when a killed or failed run left something beside the application folder that
// recoverUpdate must see to (a mark, App.old or App.new).
bool updateLeftBehind(UpdateFiles& files, const UpdateFolders& folders);

// The run's first step in the field profile, before anything is downloaded (and with the lock
// held): finishes an update that a killed run left past its commit mark, undoes one left before
// it, removes an App.old that a finished switch could not remove (never moving it back) and a
// staging folder left half-unpacked. Logs what it found and did. False when a file could not be
// moved back or forward, or what is left could not be removed (the next run tries again).
bool recoverUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                   RunLog& log);

enum class SwitchResult : int32_t {
  Switched,       // the new version is in place (App.old, App.new and the mark gone, or the
                  // mark kept for the next run to finish removing them)
  Held,           // a file of the old version stayed held: the old version was restored
  NotMarked,      // the commit mark could not be made: the old version was restored
  NotPlaced,      // a new file could not be moved in after the commit: the next run finishes it
  NotRolledBack,  // the old version could not be restored before the commit: the next run does
};

// Switches the staged version (folders.staging, unpacked whole, its files' data on the disk) into
// folders.app: sets aside each file or folder of App that a staged file or
// folder takes the place of (a held file is tried again within kHeldFilesBudgetMilliseconds),
// makes the commit mark, moves every staged file and folder in, then removes App.old, App.new
// and last the mark. Logs each step.
SwitchResult switchUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                          RunLog& log);

}  // namespace vm
