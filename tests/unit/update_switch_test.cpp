// The update switch against an in-memory file system: a run killed after each of its changes,
// then the next run's recovery, must leave the complete previous or the complete new version;
// held files and a mark that cannot be made leave the previous one.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/unit/fake_install_system.h"
#include "tests/unit/fake_update_files.h"
#include "tests/unit/recording_progress.h"
#include "workflow/update_switch.h"

namespace vm {
namespace {

using test::FakeInstallSystem;
using test::FakeUpdateFiles;
using test::RecordingLog;
using Tree = std::map<std::u16string, std::string>;

const std::u16string kApp = u"C:\\L\\Velmora\\App";
// App before the update: two files the package replaces and one it does not carry.
const Tree kOld = {{u"a.txt", "old a"}, {u"sub\\b.txt", "old b"}, {u"user.txt", "mine"}};
// The package as staged: both files new, and a third.
const Tree kStaged = {{u"a.txt", "new a"}, {u"sub\\b.txt", "new b"}, {u"sub\\c.txt", "new c"}};
const Tree kNew = {{u"a.txt", "new a"},
                   {u"sub\\b.txt", "new b"},
                   {u"sub\\c.txt", "new c"},
                   {u"user.txt", "mine"}};

// The machine just before the switch: App as it was, App.new unpacked whole.
void prepare(FakeUpdateFiles& files) {
  files.folders = {kApp, kApp + u"\\sub", kApp + u".new", kApp + u".new\\sub"};
  for (const auto& file : kOld) files.files[kApp + u"\\" + file.first] = file.second;
  for (const auto& file : kStaged) files.files[kApp + u".new\\" + file.first] = file.second;
}

bool nothingLeftBeside(const FakeUpdateFiles& files) {
  for (const char16_t* suffix : {u".new", u".old"})
    if (files.folders.count(kApp + suffix) != 0) return false;
  return files.files.count(kApp + u".switch") == 0 && files.filesBelow(kApp + u".new").empty() &&
         files.filesBelow(kApp + u".old").empty();
}

TEST(UpdateSwitch, AKillAfterAnyStepLeavesTheNextRunAWholeVersion) {
  UpdateFolders folders;
  ASSERT_TRUE(updateFoldersOf((kApp + u"\\").c_str(), folders));
  const struct {
    int killedAfter;     // changes made before the kill (-1: never killed)
    const char* finds;   // what the next run's recovery logs first ("" when nothing)
    const Tree* version;
  } cases[] = {
      {0, "recover: removing an unfinished staging folder", &kOld},
      {1, "recover: an update was stopped before its switch; undoing it", &kOld},  // App.old made
      {2, "recover: an update was stopped before its switch; undoing it", &kOld},  // a.txt aside
      {4, "recover: an update was stopped before its switch; undoing it", &kOld},  // both aside
      {5, "recover: an update was switched part-way; finishing it", &kNew},         // marked
      {7, "recover: an update was switched part-way; finishing it", &kNew},         // a.txt in
      {12, "recover: an update was switched part-way; finishing it", &kNew},        // all in
      {14, "recover: an update was switched part-way; finishing it", &kNew},  // App.old removed
      {15, "recover: an update was switched part-way; finishing it", &kNew},  // App.new removed
      {-1, "", &kNew},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.killedAfter);
    FakeUpdateFiles files;
    prepare(files);
    files.killAfter = row.killedAfter;
    FakeInstallSystem system;
    RecordingLog log;
    const SwitchResult result = switchUpdate(files, system, folders, log);
    if (row.killedAfter < 0) {
      EXPECT_EQ(result, SwitchResult::Switched);
    }
    // The next run.
    files.killAfter = -1;
    RecordingLog next;
    EXPECT_TRUE(recoverUpdate(files, system, folders, next));
    EXPECT_EQ(next.lines.empty() ? "" : next.lines.front(), std::string(row.finds));
    EXPECT_EQ(files.filesBelow(kApp), *row.version);
    EXPECT_TRUE(nothingLeftBeside(files));
  }
}

TEST(UpdateSwitch, KeepsThePreviousVersionWhenAFileIsHeldOrTheMarkCannotBeMade) {
  UpdateFolders folders;
  ASSERT_TRUE(updateFoldersOf(kApp.c_str(), folders));
  const struct {
    const char* name;
    std::u16string held;
    int killAfter;  // the mark is the fifth change
    SwitchResult result;
    int sleeps;
    uint32_t error = kSharingViolation;  // what moving the held file answers
  } cases[] = {
      {"the first file held", kApp + u"\\a.txt", -1, SwitchResult::Held, kHeldFileAttempts - 1},
      {"the second file held", kApp + u"\\sub\\b.txt", -1, SwitchResult::Held,
       kHeldFileAttempts - 1},
      // Nothing changes any more from the mark on: putting both files back fails too (not
      // retried: only a held file is), and the next run undoes the update.
      {"no mark", u"", 4, SwitchResult::NotRolledBack, 0},
      {"the first file denied, not held", kApp + u"\\a.txt", -1, SwitchResult::Held, 0, 5},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    FakeUpdateFiles files;
    prepare(files);
    if (!row.held.empty()) files.held.insert(row.held);
    files.moveError = row.error;
    files.killAfter = row.killAfter;
    FakeInstallSystem system;
    RecordingLog log;
    EXPECT_EQ(switchUpdate(files, system, folders, log), row.result);
    EXPECT_EQ(static_cast<int>(system.events.size()), row.sleeps);
    if (row.killAfter >= 0) {  // the file system works again: the next run cleans up
      files.killAfter = -1;
      EXPECT_TRUE(recoverUpdate(files, system, folders, log));
    }
    EXPECT_EQ(files.filesBelow(kApp), kOld);
    EXPECT_TRUE(nothingLeftBeside(files));
  }
}

// Every kill: after each change of a switch, then after each change of the next run's recovery
// (and of the one after), on packages that turn a folder into a file and a file into a folder,
// and on one whose second file stays held (a kill during the rollback). The run after that
// finds the complete previous or new version, nothing beside it, and recovers nothing twice.
TEST(UpdateSwitch, EveryKillDuringASwitchItsRecoveryOrItsRollbackLeavesAWholeVersion) {
  UpdateFolders folders;
  ASSERT_TRUE(updateFoldersOf(kApp.c_str(), folders));
  // data\x a folder that becomes a file, data\y a file that becomes a folder.
  const Tree withFolder = {
      {u"a.txt", "old a"}, {u"data\\x\\f.txt", "old f"}, {u"data\\y", "old y"}};
  const Tree withFile = {
      {u"a.txt", "new a"}, {u"data\\x", "new x"}, {u"data\\y\\g.txt", "new g"}};
  const struct {
    const char* name;
    const Tree& before;
    const Tree& staged;
    std::u16string held;  // relative to App
    const Tree& after;    // when the switch was not killed
  } cases[] = {
      {"files replaced", kOld, kStaged, u"", kNew},
      {"a folder becomes a file and a file a folder", withFolder, withFile, u"", withFile},
      {"the second file held: rolled back", kOld, kStaged, u"sub\\b.txt", kOld},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    auto prepared = [&] {
      FakeUpdateFiles files;
      for (const auto& file : row.before) files.files[kApp + u"\\" + file.first] = file.second;
      for (const auto& file : row.staged) files.files[kApp + u".new\\" + file.first] = file.second;
      for (const auto& file : files.files)
        for (std::size_t cut = file.first.rfind(u'\\'); cut > kApp.size();
             cut = file.first.rfind(u'\\', cut - 1))
          files.folders.insert(file.first.substr(0, cut));
      if (!row.held.empty()) files.held.insert(kApp + u"\\" + row.held);
      return files;
    };
    FakeInstallSystem system;
    RecordingLog log;
    FakeUpdateFiles whole = prepared();
    const SwitchResult result = switchUpdate(whole, system, folders, log);
    EXPECT_EQ(result, row.held.empty() ? SwitchResult::Switched : SwitchResult::Held);
    EXPECT_EQ(whole.filesBelow(kApp), row.after);
    EXPECT_TRUE(nothingLeftBeside(whole));
    for (int killed = 0; killed < whole.changes; ++killed) {
      FakeUpdateFiles first = prepared();
      first.killAfter = killed;
      (void)switchUpdate(first, system, folders, log);
      for (int recoveryKilled = 0;; ++recoveryKilled) {
        SCOPED_TRACE(std::to_string(killed) + " " + std::to_string(recoveryKilled));
        FakeUpdateFiles files = first;
        files.changes = 0;
        files.killAfter = recoveryKilled;
        const bool recovered = recoverUpdate(files, system, folders, log);
        const bool wasKilled = files.changes >= recoveryKilled && !recovered;
        files.killAfter = -1;
        EXPECT_TRUE(recoverUpdate(files, system, folders, log));
        const Tree found = files.filesBelow(kApp);
        EXPECT_TRUE(found == row.before || found == row.after);
        EXPECT_TRUE(nothingLeftBeside(files));
        RecordingLog again;
        EXPECT_TRUE(recoverUpdate(files, system, folders, again));
        EXPECT_TRUE(again.lines.empty());
        if (!wasKilled) break;
      }
    }
  }
}

// What a switch cannot remove: a file another program loaded (moved aside, never deleted) keeps
// the mark until it can be removed, and App.old is never moved back over the new version; nor
// is the App.old an earlier installer left after a finished switch (its mark removed).
TEST(UpdateSwitch, LeftoversAreRemovedButNeverMovedBack) {
  UpdateFolders folders;
  ASSERT_TRUE(updateFoldersOf(kApp.c_str(), folders));
  const struct {
    const char* name;
    bool leftByAnEarlierInstaller;
  } cases[] = {{"a loaded library", false}, {"an earlier installer's App.old", true}};
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    FakeUpdateFiles files;
    FakeInstallSystem system;
    RecordingLog log;
    prepare(files);
    files.undeletable.insert(kApp + u"\\a.txt");
    EXPECT_EQ(switchUpdate(files, system, folders, log), SwitchResult::Switched);
    EXPECT_EQ(files.filesBelow(kApp), kNew);
    EXPECT_EQ(files.files.count(kApp + u".switch"), 1u);  // kept until App.old is gone
    if (row.leftByAnEarlierInstaller) files.files.erase(kApp + u".switch");
    EXPECT_EQ(recoverUpdate(files, system, folders, log), false);  // still loaded
    EXPECT_EQ(files.filesBelow(kApp), kNew);
    files.undeletable.clear();
    EXPECT_TRUE(recoverUpdate(files, system, folders, log));
    EXPECT_EQ(files.filesBelow(kApp), kNew);
    EXPECT_TRUE(nothingLeftBeside(files));
  }
}

}  // namespace
}  // namespace vm
