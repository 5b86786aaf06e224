// Scratch folders and file facts for tests that write real files (host and Windows builds).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace vm::test {

// A fresh folder below the system's temporary folder, removed with everything in it (read-only
// files included) when the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& name);
  ~ScratchFolder();
  const std::filesystem::path& path() const { return path_; }
  // `relative` below the folder as a UTF-16 path with the platform's separators.
  std::u16string at(const std::string& relative = "") const;

 private:
  std::filesystem::path path_;
};

std::u16string toUtf16(const std::filesystem::path& path);
std::string readFile(const std::filesystem::path& path);
// Last-write time as a FILETIME value, and the read-only state as the platform shows it.
uint64_t modificationTicks(const std::filesystem::path& path);
bool isReadOnly(const std::filesystem::path& path);
// True while this process holds the file open.
bool isOpenHere(const std::filesystem::path& path);
// Every file and folder below `root`, as relative generic paths, sorted.
std::string listTree(const std::filesystem::path& root);

}  // namespace vm::test
