// Everything the install workflow asks of the operating system, as one narrow interface: the
// Win32 adapter (workflow/win32) implements it with the real calls, host tests with fakes that
// record the order of steps. No Win32 type crosses it.
#pragma once

#include <cstdint>

#include "platform/fixed_string.h"

namespace vm {

// Well-known folders, by their CSIDL numbers.
enum class KnownFolder : int32_t { Desktop = 0, StartMenu = 11, LocalAppData = 28 };

class InstallSystem {
 public:
  // ---- install context
  // Full path of the running installer. False when it cannot be had or does not fit.
  virtual bool modulePath(WidePath& out) = 0;
  // True when this 32-bit process runs on 64-bit Windows; false also when the check function
  // does not exist.
  virtual bool isWow64() = 0;
  // The folder's path (without trailing backslash). False when the query fails.
  virtual bool knownFolder(KnownFolder folder, WidePath& out) = 0;
  // The user's temporary folder, ending in a backslash. False when there is none or it does not
  // fit.
  virtual bool tempFolder(WidePath& out) = 0;
  // The version Windows reports (for the log).
  virtual void windowsVersion(uint32_t& major, uint32_t& minor, uint32_t& build) = 0;

  // ---- install sequence
  // True when the key under HKEY_LOCAL_MACHINE opens for querying (it is closed again at once).
  virtual bool machineKeyExists(const char16_t* keyPath) = 0;
  // Creates every folder along `path` (see createDirectoryChain); the result is not examined.
  virtual void createDirectoryChain(const WidePath& path) = 0;
  // Writes exactly `length` bytes to `path`, replacing the file. 0 or the platform's error code.
  virtual uint32_t writeWholeFile(const char16_t* path, const uint8_t* data, int32_t length) = 0;
  // Processes named `imageName` (versionMajor -1), or their modules of that file-version major.
  virtual int32_t countProcesses(const char16_t* imageName, int32_t versionMajor) = 0;
  virtual void sleepMilliseconds(uint32_t milliseconds) = 0;
  // Runs `commandLine` through the system's command interpreter without a window and waits for
  // it to end; in `workingFolder`, or in this program's current folder when it is null. False
  // when it cannot be started; else `exitCode` holds its exit code (recorded, not acted on).
  virtual bool runHiddenAndWait(const char16_t* commandLine, const char16_t* workingFolder,
                                uint32_t& exitCode) = 0;

  // ---- registration and launch
  // Creates or opens the per-user uninstall registration key. False when it cannot be had.
  virtual bool openUninstallKey() = 0;
  // Value writers for the open uninstall key: 0 stored, -1 failed.
  virtual int32_t writeStringValue(const char16_t* name, const char16_t* text) = 0;
  virtual int32_t writeFlagValue(const char16_t* name) = 0;
  virtual void closeUninstallKey() = 0;
  // Initialises the component library on the calling thread (needed for shortcuts).
  virtual void initializeComponents() = 0;
  // Creates the shortcut file `linkPath` pointing at `targetPath`; the platform's status code.
  virtual int32_t createShortcut(const char16_t* targetPath, const char16_t* linkPath) = 0;
  // Starts the installed application without arguments and does not wait for it. False when
  // it cannot be started.
  virtual bool launch(const char16_t* applicationPath) = 0;

 protected:
  ~InstallSystem() = default;
};

}  // namespace vm
