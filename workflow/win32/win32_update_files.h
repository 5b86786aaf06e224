// UpdateFiles with the real Win32 calls: what the field profile's update switch asks of the disk.
#pragma once

#include "workflow/update_switch.h"

namespace vm {

class Win32UpdateFiles final : public UpdateFiles {
 public:
  uint32_t moveFile(const char16_t* from, const char16_t* to) override;
  bool fileExists(const char16_t* path) override;
  bool folderExists(const char16_t* path) override;
  void createFolders(const char16_t* path) override;
  bool createMark(const char16_t* path) override;
  void deleteFile(const char16_t* path) override;
  void removeTree(const char16_t* path) override;
  bool walk(const char16_t* path, FileVisitor& visitor) override;
  uint64_t freeBytes(const char16_t* path) override;
};

}  // namespace vm
