#include "workflow/update_switch.h"

#include "platform/path.h"

namespace vm {
namespace {

// `folder` and `relative` joined; false when it would not fit.
bool under(WidePath& out, const WidePath& folder, const char16_t* relative) {
  return combinePath(out, folder.get(), relative);
}

// The folder that holds `path` (the text before its last separator).
bool parentOf(WidePath& out, const WidePath& path) {
  const char16_t* text = path.get();
  std::size_t cut = 0;
  for (std::size_t at = 0; text[at] != 0; ++at)
    if (isPathSeparator(text[at])) cut = at;
  return cut > 0 && out.assignUnits(text, cut);
}

// Moves `from` to `to`, making the folder of `to` first and trying a held file again
// kHeldFileAttempts times, kHeldFileWaitMilliseconds apart. 0 or the last error.
uint32_t moveHeld(UpdateFiles& files, InstallSystem& system, const WidePath& from,
                  const WidePath& to, RunLog& log) {
  WidePath folder;
  if (parentOf(folder, to)) files.createFolders(folder.get());
  uint32_t error = 0;
  for (int32_t attempt = 1; attempt <= kHeldFileAttempts; ++attempt) {
    error = files.moveFile(from.get(), to.get());
    if (error == 0) return 0;
    if (attempt < kHeldFileAttempts) system.sleepMilliseconds(kHeldFileWaitMilliseconds);
  }
  LogLine().add("switch: ").add(from.get()).add(" cannot be moved, system error ")
      .number(error).write(log);
  return error;
}

// Moves each file below `source` to the same place below `target` (folders are made there too),
// counting the moves and the files that could not be moved.
class MoveAll final : public FileVisitor {
 public:
  MoveAll(UpdateFiles& files, InstallSystem& system, const WidePath& source,
          const WidePath& target, RunLog& log)
      : files_(files), system_(system), source_(source), target_(target), log_(log) {}
  void visit(const char16_t* relative, bool isFolder) override {
    WidePath from, to;
    if (!under(from, source_, relative) || !under(to, target_, relative)) {
      ++failed_;
      return;
    }
    if (isFolder) {
      files_.createFolders(to.get());
      return;
    }
    if (moveHeld(files_, system_, from, to, log_) == 0) {
      ++moved_;
    } else {
      ++failed_;
    }
  }
  int32_t moved_ = 0;
  int32_t failed_ = 0;

 private:
  UpdateFiles& files_;
  InstallSystem& system_;
  const WidePath& source_;
  const WidePath& target_;
  RunLog& log_;
};

// Sets aside, from App into App.old, each file of App that a staged file will replace; stops at
// the first one that cannot be moved.
class SetAside final : public FileVisitor {
 public:
  SetAside(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders, RunLog& log)
      : files_(files), system_(system), folders_(folders), log_(log) {}
  void visit(const char16_t* relative, bool isFolder) override {
    if (isFolder || failed_) return;
    WidePath current, aside;
    if (!under(current, folders_.app, relative) || !under(aside, folders_.aside, relative)) {
      failed_ = true;
      return;
    }
    if (!files_.fileExists(current.get())) return;
    if (moveHeld(files_, system_, current, aside, log_) != 0) {
      failed_ = true;
    } else {
      ++moved_;
    }
  }
  int32_t moved_ = 0;
  bool failed_ = false;

 private:
  UpdateFiles& files_;
  InstallSystem& system_;
  const UpdateFolders& folders_;
  RunLog& log_;
};

// Moves every file of `source` below `target`, walking again while a walk moved something (a
// folder changed under its own listing may hide entries). The files that could not be moved.
int32_t moveTree(UpdateFiles& files, InstallSystem& system, const WidePath& source,
                 const WidePath& target, RunLog& log) {
  for (;;) {
    MoveAll mover(files, system, source, target, log);
    if (!files.walk(source.get(), mover)) return 1;
    if (mover.failed_ > 0 || mover.moved_ == 0) return mover.failed_;
  }
}

// Puts the set-aside files back into App and removes App.old and App.new: the old version whole.
bool rollBack(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
              RunLog& log) {
  if (files.folderExists(folders.aside.get()) &&
      moveTree(files, system, folders.aside, folders.app, log) != 0)
    return false;
  files.removeTree(folders.aside.get());
  files.removeTree(folders.staging.get());
  return true;
}

// Moves every staged file into App, then removes App.old, App.new and last the mark: a kill
// before the mark is gone finishes the same way on the next run.
bool rollForward(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                 RunLog& log) {
  if (files.folderExists(folders.staging.get()) &&
      moveTree(files, system, folders.staging, folders.app, log) != 0)
    return false;
  files.removeTree(folders.aside.get());
  files.removeTree(folders.staging.get());
  files.deleteFile(folders.mark.get());
  return true;
}

}  // namespace

bool updateFoldersOf(const char16_t* appFolder, UpdateFolders& folders) {
  if (!folders.app.assign(appFolder)) return false;
  std::size_t length = folders.app.length();
  while (length > 0 && isPathSeparator(folders.app.get()[length - 1])) --length;
  return folders.app.assignUnits(appFolder, length) && length > 0 &&
         folders.staging.assign(folders.app.get()) && folders.staging.append(u".new") &&
         folders.aside.assign(folders.app.get()) && folders.aside.append(u".old") &&
         folders.mark.assign(folders.app.get()) && folders.mark.append(u".switch");
}

bool recoverUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                   RunLog& log) {
  if (files.fileExists(folders.mark.get())) {
    LogLine().add("recover: an update was switched part-way; finishing it").write(log);
    return rollForward(files, system, folders, log);
  }
  if (files.folderExists(folders.aside.get())) {
    LogLine().add("recover: an update was stopped before its switch; undoing it").write(log);
    return rollBack(files, system, folders, log);
  }
  if (files.folderExists(folders.staging.get())) {
    LogLine().add("recover: removing an unfinished staging folder").write(log);
    files.removeTree(folders.staging.get());
  }
  return true;
}

SwitchResult switchUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                          RunLog& log) {
  SetAside aside(files, system, folders, log);
  if (!files.walk(folders.staging.get(), aside) || aside.failed_) {
    LogLine().add("switch: a file of the previous version is held; putting it back").write(log);
    (void)rollBack(files, system, folders, log);
    return SwitchResult::Held;
  }
  const bool marked = files.createMark(folders.mark.get());
  LogLine().add("switch: ").number(aside.moved_).add(" files set aside, ")
      .add(marked ? "marked" : "not marked: putting them back").write(log);
  if (!marked) {
    (void)rollBack(files, system, folders, log);
    return SwitchResult::NotMarked;
  }
  if (!rollForward(files, system, folders, log)) {
    LogLine().add("switch: not finished; the next run finishes it").write(log);
    return SwitchResult::NotPlaced;
  }
  LogLine().add("switch: done").write(log);
  return SwitchResult::Switched;
}

}  // namespace vm
