// An in-memory file system for the update switch: files with their contents, folders, files
// held open by "another program" (moves fail; removals leave them), a lock another installer
// holds for a number of tries, and a kill after a chosen number of changes, after which nothing
// changes any more (what a killed process leaves behind).
#pragma once

#include <map>
#include <set>
#include <string>

#include "workflow/update_switch.h"

namespace vm::test {

class FakeUpdateFiles final : public UpdateFiles {
 public:
  std::map<std::u16string, std::string> files;  // full path -> contents
  std::set<std::u16string> folders;
  std::set<std::u16string> held;  // moving these fails with a sharing violation
  std::set<std::u16string> undeletable;  // moved, but never removed (a DLL another program loaded)
  uint32_t moveError = 32;        // what moving a held file answers
  int lockedFor = 0;              // tries of lock() another holder still refuses; -1: for ever
  uint32_t lockError = 32;        // what lock() answers meanwhile
  bool locked = false;
  bool markFails = false;
  // Files (relative, with their contents) that appear when `unpackInto` is made: what an unpack
  // into it writes.
  std::u16string unpackInto;
  std::map<std::u16string, std::string> unpacked;
  int killAfter = -1;             // changes that succeed before the kill; -1: never killed
  int changes = 0;
  uint64_t free = UINT64_MAX;

  uint32_t moveFile(const char16_t* from, const char16_t* to) override {
    if (held.count(from) != 0) return moveError;
    const std::u16string source = from, below = source + u"\\";
    if (files.count(source) == 0 && folders.count(source) == 0) return 2;
    if (!change()) return 2;
    for (auto& set : {&undeletable, &held})
      if (set->erase(source) != 0) set->insert(to);
    auto moved = [&](const std::u16string& path) {
      return std::u16string(to) + path.substr(source.size());
    };
    std::map<std::u16string, std::string> kept;
    for (const auto& file : files)
      if (file.first == source || file.first.rfind(below, 0) == 0) {
        kept[moved(file.first)] = file.second;
      } else {
        kept.insert(file);
      }
    files = kept;
    std::set<std::u16string> keptFolders;
    for (const auto& folder : folders)
      keptFolders.insert(folder == source || folder.rfind(below, 0) == 0 ? moved(folder) : folder);
    folders = keptFolders;
    return 0;
  }
  bool fileExists(const char16_t* path) override { return files.count(path) != 0; }
  bool folderExists(const char16_t* path) override { return folders.count(path) != 0; }
  void createFolders(const char16_t* path) override {
    if (!change()) return;
    std::u16string folder = path;
    if (folder == unpackInto)
      for (const auto& file : unpacked) files[folder + u"\\" + file.first] = file.second;
    for (;;) {
      folders.insert(folder);
      const std::size_t cut = folder.rfind(u'\\');
      if (cut == std::u16string::npos || cut < 3) return;
      folder.resize(cut);
    }
  }
  bool createMark(const char16_t* path) override {
    if (markFails || !change()) return false;
    files[path] = "";
    return true;
  }
  bool deleteFile(const char16_t* path) override {
    if (change()) files.erase(path);
    return files.count(path) == 0;
  }
  bool removeTree(const char16_t* path) override {
    if (!change()) return folders.count(path) == 0;
    const std::u16string below = std::u16string(path) + u"\\";
    bool whole = true;
    for (auto at = files.begin(); at != files.end();) {
      const bool inside = at->first.rfind(below, 0) == 0;
      whole = whole && !(inside && undeletable.count(at->first) != 0);
      at = inside && undeletable.count(at->first) == 0 ? files.erase(at) : std::next(at);
    }
    if (whole)
      for (auto at = folders.begin(); at != folders.end();)
        at = at->rfind(below, 0) == 0 || *at == path ? folders.erase(at) : std::next(at);
    return whole;
  }
  bool walk(const char16_t* path, FileVisitor& visitor) override {
    if (folders.count(path) == 0) return false;
    const std::u16string below = std::u16string(path) + u"\\";
    std::map<std::u16string, bool> entries;  // sorted: a folder before what it holds
    for (const auto& file : files)
      if (file.first.rfind(below, 0) == 0) entries[file.first.substr(below.size())] = false;
    for (const auto& folder : folders)
      if (folder.rfind(below, 0) == 0) entries[folder.substr(below.size())] = true;
    for (const auto& entry : entries) visitor.visit(entry.first.c_str(), entry.second);
    return true;
  }
  uint64_t freeBytes(const char16_t*) override { return free; }
  uint32_t lock(const char16_t*) override {
    if (lockedFor != 0) {
      if (lockedFor > 0) --lockedFor;
      return lockError;
    }
    locked = true;
    return 0;
  }
  void unlock() override { locked = false; }

  // The files below `folder`, relative to it, with their contents.
  std::map<std::u16string, std::string> filesBelow(const std::u16string& folder) const {
    std::map<std::u16string, std::string> found;
    for (const auto& file : files)
      if (file.first.rfind(folder + u"\\", 0) == 0)
        found[file.first.substr(folder.size() + 1)] = file.second;
    return found;
  }

 private:
  bool change() {
    if (killAfter >= 0 && changes >= killAfter) return false;
    ++changes;
    return true;
  }
};

}  // namespace vm::test
