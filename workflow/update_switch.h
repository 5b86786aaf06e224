// The field profile's update: the new version is unpacked into a staging folder beside the
// application folder, then switched in file by file, so that a kill, a power cut, a full disk or
// a held file leaves the complete previous version or the complete new one, never a mixture.
//
// Beside the application folder ...\Velmora\App live, only while an update runs:
//   App.new     the staging folder: the package unpacked whole
//   App.old     the files of App that the new version replaces, set aside
//   App.switch  the commit mark: once it exists, the update is finished forwards
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
  // Moves the file `from` to `to` on the same volume, replacing a file at `to`. 0, or the
  // platform's error code (a file held open by another program gives a sharing violation).
  virtual uint32_t moveFile(const char16_t* from, const char16_t* to) = 0;
  virtual bool fileExists(const char16_t* path) = 0;
  virtual bool folderExists(const char16_t* path) = 0;
  // Creates every missing folder along `path`, `path` included.
  virtual void createFolders(const char16_t* path) = 0;
  // Creates the empty file `path`, replacing one; false when it cannot be made.
  virtual bool createMark(const char16_t* path) = 0;
  virtual void deleteFile(const char16_t* path) = 0;
  // Deletes the folder `path` and everything below it, as far as it can.
  virtual void removeTree(const char16_t* path) = 0;
  // Visits every file and folder below `path` (folders before what they hold). A visitor may
  // move the file it is given away. False when the folder cannot be read.
  virtual bool walk(const char16_t* path, FileVisitor& visitor) = 0;
  // Free bytes for this user on the volume that holds `path`; UINT64_MAX when unknown.
  virtual uint64_t freeBytes(const char16_t* path) = 0;

 protected:
  ~UpdateFiles() = default;
};

// The folders of one update, derived from the application folder.
struct UpdateFolders {
  WidePath app;      // ...\Velmora\App
  WidePath staging;  // ...\Velmora\App.new
  WidePath aside;    // ...\Velmora\App.old
  WidePath mark;     // ...\Velmora\App.switch
};

// Fills `folders` from the application folder (with or without its trailing backslash). False
// when a path would not fit.
[[nodiscard]] bool updateFoldersOf(const char16_t* appFolder, UpdateFolders& folders);

// How often, and how long apart, a file that cannot be moved is tried again: virus scanners and
// indexers hold a new or changed file for a moment.
constexpr int32_t kHeldFileAttempts = 10;
constexpr uint32_t kHeldFileWaitMilliseconds = 500;

// The free space an update needs besides the package's unpacked size: room for the file system's
// own records and for what other programs write meanwhile.
constexpr uint64_t kFreeSpaceMargin = 8ull << 20;

// The run's first step in the field profile, before anything is downloaded: finishes an update
// that a killed run left past its commit mark, undoes one left before it, and removes a staging
// folder left half-unpacked. Logs what it found and did. False when a file could not be moved
// back or forward (the next run tries again).
bool recoverUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                   RunLog& log);

enum class SwitchResult : int32_t {
  Switched,   // the new version is in place; App.new, App.old and the mark are gone
  Held,       // a file of the old version could not be set aside: the old version was restored
  NotMarked,  // the commit mark could not be made: the old version was restored
  NotPlaced,  // a new file could not be moved in after the commit: the next run finishes it
};

// Switches the staged version (folders.staging, unpacked whole) into folders.app: sets aside each
// file it replaces (retrying held ones), makes the commit mark, moves every staged file and
// folder in, then removes App.old, App.new and the mark, in that order. Logs each step.
SwitchResult switchUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                          RunLog& log);

}  // namespace vm
