#include "workflow/update_switch.h"

#include "platform/path.h"

namespace vm {
namespace {

// `folder` and `relative` joined; false when it would not fit.
bool under(WidePath& out, const WidePath& folder, const char16_t* relative) {
  return combinePath(out, folder.get(), relative);
}

// One switch, recovery or rollback: what its steps reach, and the time it may still spend
// waiting for files another program holds.
struct Switch {
  UpdateFiles& files;
  InstallSystem& system;
  const UpdateFolders& folders;
  RunLog& log;
  uint32_t budget = kHeldFilesBudgetMilliseconds;

  // Moves `from` to `to`, making the folder of `to` first. A file held by another program is
  // tried again kHeldFileWaitMilliseconds apart while the budget lasts; any other error ends
  // the move at once. 0 or the last error.
  uint32_t move(const WidePath& from, const WidePath& to) {
    WidePath folder;
    if (parentOf(folder, to)) files.createFolders(folder.get());
    for (;;) {
      const uint32_t error = files.moveFile(from.get(), to.get());
      if (error == 0) return 0;
      if ((error != kSharingViolation && error != kLockViolation) ||
          budget < kHeldFileWaitMilliseconds) {
        LogLine().add("switch: ").add(from.get()).add(" cannot be moved, system error ")
            .number(error).write(log);
        return error;
      }
      system.sleepMilliseconds(kHeldFileWaitMilliseconds);
      budget -= kHeldFileWaitMilliseconds;
    }
  }
};

// Moves each file below `source` to the same place below `target` (folders are made there too),
// counting the moves; stops at the first file that cannot be moved.
class MoveAll final : public FileVisitor {
 public:
  MoveAll(Switch& step, const WidePath& source, const WidePath& target)
      : step_(step), source_(source), target_(target) {}
  void visit(const char16_t* relative, bool isFolder) override {
    if (failed_) return;
    WidePath from, to;
    if (!under(from, source_, relative) || !under(to, target_, relative)) {
      failed_ = true;
    } else if (isFolder) {
      step_.files.createFolders(to.get());
    } else if (step_.move(from, to) == 0) {
      ++moved_;
    } else {
      failed_ = true;
    }
  }
  int32_t moved_ = 0;
  bool failed_ = false;

 private:
  Switch& step_;
  const WidePath& source_;
  const WidePath& target_;
};

// Sets aside, from App into App.old, each file of App that a staged file will replace, each
// folder of App where a file is staged (whole) and each file of App where a folder is staged;
// stops at the first one that cannot be moved.
class SetAside final : public FileVisitor {
 public:
  explicit SetAside(Switch& step) : step_(step) {}
  void visit(const char16_t* relative, bool isFolder) override {
    if (failed_) return;
    WidePath current, aside;
    if (!under(current, step_.folders.app, relative) ||
        !under(aside, step_.folders.aside, relative)) {
      failed_ = true;
      return;
    }
    const bool taken = step_.files.fileExists(current.get()) ||
                       (!isFolder && step_.files.folderExists(current.get()));
    if (!taken) return;
    if (step_.move(current, aside) != 0) {
      failed_ = true;
    } else {
      ++moved_;
    }
  }
  int32_t moved_ = 0;
  bool failed_ = false;

 private:
  Switch& step_;
};

// Finds whether a walked folder holds any file.
class AnyFile final : public FileVisitor {
 public:
  void visit(const char16_t*, bool isFolder) override { found_ = found_ || !isFolder; }
  bool found_ = false;
};

// Moves every file of `source` below `target`, walking again while a walk moved something (a
// folder changed under its own listing may hide entries). False when a file could not be moved.
bool moveTree(Switch& step, const WidePath& source, const WidePath& target) {
  for (;;) {
    MoveAll mover(step, source, target);
    if (!step.files.walk(source.get(), mover) || mover.failed_) return false;
    if (mover.moved_ == 0) return true;
  }
}

// Puts the set-aside files back into App and removes App.old and App.new: the old version whole.
bool rollBack(Switch& step) {
  const UpdateFolders& folders = step.folders;
  if (step.files.folderExists(folders.aside.get()) &&
      !moveTree(step, folders.aside, folders.app))
    return false;
  return step.files.removeTree(folders.aside.get()) && step.files.removeTree(folders.staging.get());
}

// Moves every staged file into App.
bool placeAll(Switch& step) {
  return !step.files.folderExists(step.folders.staging.get()) ||
         moveTree(step, step.folders.staging, step.folders.app);
}

// Removes App.old, App.new and last the mark: the mark stays until both are gone, so that a
// run that finds them again finishes the removal and never takes App.old for a switch stopped
// before its mark.
bool cleanUp(Switch& step) {
  const UpdateFolders& folders = step.folders;
  if (step.files.removeTree(folders.aside.get()) && step.files.removeTree(folders.staging.get()) &&
      step.files.deleteFile(folders.mark.get()))
    return true;
  LogLine().add("switch: App.old or App.new not removed yet").write(step.log);
  return false;
}

// Undoes a switch stopped before its mark (with a budget of its own): `result`, or NotRolledBack
// when the old version cannot be put back whole.
SwitchResult undo(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                  RunLog& log, SwitchResult result) {
  Switch step{files, system, folders, log};
  if (rollBack(step)) return result;
  LogLine().add("switch: not put back; the next run does").write(log);
  return SwitchResult::NotRolledBack;
}

}  // namespace

bool parentOf(WidePath& out, const WidePath& path) {
  const char16_t* text = path.get();
  std::size_t cut = 0;
  for (std::size_t at = 0; text[at] != 0; ++at)
    if (isPathSeparator(text[at])) cut = at;
  return cut > 0 && out.assignUnits(text, cut);
}

bool updateFoldersOf(const char16_t* appFolder, UpdateFolders& folders) {
  if (!folders.app.assign(appFolder)) return false;
  std::size_t length = folders.app.length();
  while (length > 0 && isPathSeparator(folders.app.get()[length - 1])) --length;
  return folders.app.assignUnits(appFolder, length) && length > 0 &&
         folders.staging.assign(folders.app.get()) && folders.staging.append(u".new") &&
         folders.aside.assign(folders.app.get()) && folders.aside.append(u".old") &&
         folders.mark.assign(folders.app.get()) && folders.mark.append(u".switch") &&
         folders.lock.assign(folders.app.get()) && folders.lock.append(u".lock");
}

bool updateLeftBehind(UpdateFiles& files, const UpdateFolders& folders) {
  return files.fileExists(folders.mark.get()) || files.folderExists(folders.aside.get()) ||
         files.folderExists(folders.staging.get());
}

bool recoverUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                   RunLog& log) {
  Switch step{files, system, folders, log};
  if (files.fileExists(folders.mark.get())) {
    LogLine().add("recover: an update was switched part-way; finishing it").write(log);
    return placeAll(step) && cleanUp(step);
  }
  // Before its mark a switch has the staged files in App.new beside App.old, and a rollback
  // removes App.old before them: App.old without them is what a finished switch could not
  // remove (an earlier installer removed the mark regardless), never to be moved back.
  if (files.folderExists(folders.aside.get())) {
    AnyFile staged;
    if (files.walk(folders.staging.get(), staged) && staged.found_) {
      LogLine().add("recover: an update was stopped before its switch; undoing it").write(log);
      return rollBack(step);
    }
    LogLine().add("recover: removing a finished update's App.old").write(log);
    return files.removeTree(folders.aside.get()) && files.removeTree(folders.staging.get());
  }
  if (files.folderExists(folders.staging.get())) {
    LogLine().add("recover: removing an unfinished staging folder").write(log);
    return files.removeTree(folders.staging.get());
  }
  return true;
}

SwitchResult switchUpdate(UpdateFiles& files, InstallSystem& system, const UpdateFolders& folders,
                          RunLog& log) {
  Switch step{files, system, folders, log};
  SetAside aside(step);
  if (!files.walk(folders.staging.get(), aside) || aside.failed_) {
    LogLine().add("switch: a file of the previous version is held; putting it back").write(log);
    return undo(files, system, folders, log, SwitchResult::Held);
  }
  const bool marked = files.createMark(folders.mark.get());
  LogLine().add("switch: ").number(aside.moved_).add(" files set aside, ")
      .add(marked ? "marked" : "not marked: putting them back").write(log);
  if (!marked) return undo(files, system, folders, log, SwitchResult::NotMarked);
  if (!placeAll(step)) {
    LogLine().add("switch: not finished; the next run finishes it").write(log);
    return SwitchResult::NotPlaced;
  }
  // The new version is whole in App; what is left beside it the next run removes.
  LogLine().add(cleanUp(step) ? "switch: done" : "switch: done; the next run removes the rest")
      .write(log);
  return SwitchResult::Switched;
}

}  // namespace vm
