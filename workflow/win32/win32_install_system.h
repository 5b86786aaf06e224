// The install workflow's system interface over the real Win32 calls.
#pragma once

#include <windows.h>

#include "workflow/install_system.h"

namespace vm {

class Win32InstallSystem final : public InstallSystem {
 public:
  Win32InstallSystem() = default;
  ~Win32InstallSystem();
  Win32InstallSystem(const Win32InstallSystem&) = delete;
  Win32InstallSystem& operator=(const Win32InstallSystem&) = delete;

  bool modulePath(WidePath& out) override;
  bool isWow64() override;
  bool knownFolder(KnownFolder folder, WidePath& out) override;
  bool tempFolder(WidePath& out) override;
  void windowsVersion(uint32_t& major, uint32_t& minor, uint32_t& build) override;

  bool machineKeyExists(const char16_t* keyPath) override;
  void createDirectoryChain(const WidePath& path) override;
  uint32_t writeWholeFile(const char16_t* path, const uint8_t* data, int32_t length) override;
  int32_t countProcesses(const char16_t* imageName, int32_t versionMajor) override;
  void sleepMilliseconds(uint32_t milliseconds) override;
  bool runHiddenAndWait(const char16_t* commandLine, const char16_t* workingFolder,
                        uint32_t& exitCode) override;

  bool openUninstallKey() override;
  int32_t writeStringValue(const char16_t* name, const char16_t* text) override;
  int32_t writeFlagValue(const char16_t* name) override;
  void closeUninstallKey() override;
  void initializeComponents() override;
  int32_t createShortcut(const char16_t* targetPath, const char16_t* linkPath) override;
  bool launch(const char16_t* applicationPath) override;

 private:
  HKEY uninstallKey_ = nullptr;
};

}  // namespace vm
