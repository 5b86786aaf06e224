// A scripted InstallSystem for tests of the install workflow: answers come from public fields,
// and every call is recorded as one line of `events`, in order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/recording_progress.h"
#include "workflow/install_system.h"

namespace vm::test {

class FakeInstallSystem final : public InstallSystem {
 public:
  // Answers.
  std::u16string modulePathValue = u"C:\\Users\\Ann\\Downloads\\VelmoraInstaller.exe";
  bool modulePathWorks = true;
  bool wow64 = true;
  std::map<KnownFolder, std::u16string> folders = {
      {KnownFolder::LocalAppData, u"C:\\Users\\Ann\\AppData\\Local"},
      {KnownFolder::Desktop, u"C:\\Users\\Ann\\Desktop"},
      {KnownFolder::StartMenu, u"C:\\Users\\Ann\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu"},
  };
  std::u16string tempFolderValue = u"C:\\Users\\Ann\\AppData\\Local\\Temp\\";
  bool tempFolderWorks = true;
  std::set<std::string> presentMachineKeys;
  uint32_t writeResult = 0;
  std::vector<int32_t> processCounts;  // answers to successive countProcesses calls, then 0
  bool installersStart = true;
  uint32_t installerExitCode = 0;
  bool launchWorks = true;
  bool uninstallKeyOpens = true;

  // Records.
  std::vector<std::string> events;
  std::map<std::string, std::string> writtenFiles;  // path -> bytes
  std::vector<std::string> registryValues;          // "name=type:data" in order

  bool modulePath(WidePath& out) override {
    events.push_back("modulePath");
    return modulePathWorks && out.assign(modulePathValue.c_str());
  }
  bool isWow64() override {
    events.push_back("isWow64");
    return wow64;
  }
  bool knownFolder(KnownFolder folder, WidePath& out) override {
    events.push_back("knownFolder " + std::to_string(static_cast<int>(folder)));
    const auto found = folders.find(folder);
    return found != folders.end() && out.assign(found->second.c_str());
  }
  bool tempFolder(WidePath& out) override {
    events.push_back("tempFolder");
    return tempFolderWorks && out.assign(tempFolderValue.c_str());
  }
  bool machineKeyExists(const char16_t* keyPath) override {
    events.push_back("key " + narrow(keyPath));
    return presentMachineKeys.count(narrow(keyPath)) > 0;
  }
  void createDirectoryChain(const WidePath& path) override {
    events.push_back("mkdirs " + narrow(path.get()));
  }
  uint32_t writeWholeFile(const char16_t* path, const uint8_t* data, int32_t length) override {
    events.push_back("write " + narrow(path) + " " + std::to_string(length));
    if (writeResult == 0)
      writtenFiles[narrow(path)] = std::string(reinterpret_cast<const char*>(data),
                                               static_cast<std::size_t>(length));
    return writeResult;
  }
  int32_t countProcesses(const char16_t* imageName, int32_t versionMajor) override {
    events.push_back("count " + narrow(imageName) + " " + std::to_string(versionMajor));
    if (processCounts.empty()) return 0;
    const int32_t answer = processCounts.front();
    processCounts.erase(processCounts.begin());
    return answer;
  }
  void sleepMilliseconds(uint32_t milliseconds) override {
    events.push_back("sleep " + std::to_string(milliseconds));
  }
  void windowsVersion(uint32_t& major, uint32_t& minor, uint32_t& build) override {
    major = 10;
    minor = 0;
    build = 19045;
  }
  bool runHiddenAndWait(const char16_t* commandLine, const char16_t* workingFolder,
                        uint32_t& exitCode) override {
    events.push_back("run " + narrow(commandLine) +
                     (workingFolder != nullptr ? " in " + narrow(workingFolder) : ""));
    exitCode = installerExitCode;
    return installersStart;
  }
  bool openUninstallKey() override {
    events.push_back("openUninstallKey");
    return uninstallKeyOpens;
  }
  int32_t writeStringValue(const char16_t* name, const char16_t* text) override {
    registryValues.push_back(narrow(name) + "=sz:" + narrow(text));
    return 0;
  }
  int32_t writeFlagValue(const char16_t* name) override {
    registryValues.push_back(narrow(name) + "=dword:1");
    return 0;
  }
  void closeUninstallKey() override { events.push_back("closeUninstallKey"); }
  void initializeComponents() override { events.push_back("initializeComponents"); }
  int32_t createShortcut(const char16_t* targetPath, const char16_t* linkPath) override {
    events.push_back("shortcut " + narrow(linkPath) + " -> " + narrow(targetPath));
    return 0;
  }
  bool launch(const char16_t* applicationPath) override {
    events.push_back("launch " + narrow(applicationPath));
    return launchWorks;
  }
};

}  // namespace vm::test
