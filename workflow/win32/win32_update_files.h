// UpdateFiles with the real Win32 calls: what the field profile's update switch asks of the disk.
#pragma once

#include "workflow/update_switch.h"

namespace vm {

class Win32UpdateFiles final : public UpdateFiles {
 public:
  Win32UpdateFiles() = default;
  ~Win32UpdateFiles() { unlock(); }
  Win32UpdateFiles(const Win32UpdateFiles&) = delete;
  Win32UpdateFiles& operator=(const Win32UpdateFiles&) = delete;

  uint32_t moveFile(const char16_t* from, const char16_t* to) override;
  bool fileExists(const char16_t* path) override;
  bool folderExists(const char16_t* path) override;
  void createFolders(const char16_t* path) override;
  bool createMark(const char16_t* path) override;
  bool deleteFile(const char16_t* path) override;
  bool removeTree(const char16_t* path) override;
  bool walk(const char16_t* path, FileVisitor& visitor) override;
  uint64_t freeBytes(const char16_t* path) override;
  uint32_t lock(const char16_t* path) override;
  void unlock() override;

 private:
  void* lock_ = nullptr;  // the lock file's handle while this run holds it
};

}  // namespace vm
