// An in-memory file system for the update switch: files with their contents, folders, files
// held open by "another program", and a kill after a chosen number of changes, after which
// nothing changes any more (what a killed process leaves behind).
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
  int killAfter = -1;             // changes that succeed before the kill; -1: never killed
  int changes = 0;
  uint64_t free = UINT64_MAX;

  uint32_t moveFile(const char16_t* from, const char16_t* to) override {
    if (held.count(from) != 0) return 32;
    if (files.count(from) == 0 || !change()) return 2;
    files[to] = files[from];
    files.erase(from);
    return 0;
  }
  bool fileExists(const char16_t* path) override { return files.count(path) != 0; }
  bool folderExists(const char16_t* path) override { return folders.count(path) != 0; }
  void createFolders(const char16_t* path) override {
    if (!change()) return;
    std::u16string folder = path;
    for (;;) {
      folders.insert(folder);
      const std::size_t cut = folder.rfind(u'\\');
      if (cut == std::u16string::npos || cut < 3) return;
      folder.resize(cut);
    }
  }
  bool createMark(const char16_t* path) override {
    if (!change()) return false;
    files[path] = "";
    return true;
  }
  void deleteFile(const char16_t* path) override {
    if (change()) files.erase(path);
  }
  void removeTree(const char16_t* path) override {
    if (!change()) return;
    const std::u16string below = std::u16string(path) + u"\\";
    for (auto at = files.begin(); at != files.end();)
      at = at->first.rfind(below, 0) == 0 ? files.erase(at) : std::next(at);
    for (auto at = folders.begin(); at != folders.end();)
      at = at->rfind(below, 0) == 0 || *at == path ? folders.erase(at) : std::next(at);
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
