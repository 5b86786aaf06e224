// What one run works out before it downloads anything: release channel, architecture, the
// three request paths, the folders it writes to and the installers' local file names.
#pragma once

#include "platform/fixed_string.h"
#include "workflow/install_system.h"

namespace vm {

struct InstallContext {
  WidePath modulePath;                      // the running installer
  const char16_t* fileName = nullptr;       // into modulePath: after its last backslash
  FixedString<char, kPathCapacity> channel; // "Live", "Beta" or "Testing"
  bool isWow64 = false;
  const char* runtimeRequestPath = nullptr;
  const char* updateRequestPath = nullptr;
  const char16_t* updateFileName = nullptr;
  NarrowPath packageRequestPath;
  WidePath appFolder;        // local application data + "\Velmora\App\"
  WidePath desktopFolder;
  WidePath startMenuFolder;  // the Start menu's root, not its Programs folder
  WidePath downloadFolder;   // temporary folder + "\Velmora\"
  WidePath runtimeInstallerPath;
  WidePath updateInstallerPath;
};

// The release channel an installer file name selects: "Beta" when it contains "-Beta",
// otherwise "Testing" when it contains "-Testing", otherwise "Live". Case-sensitive; the text
// may stand anywhere in the name.
const char* selectChannel(const char16_t* fileName);

// Fills `context` from the platform. False when a well-known folder or the temporary folder
// cannot be had (the run ends); `context` is then partly filled.
[[nodiscard]] bool resolveInstallContext(InstallSystem& system, InstallContext& context);

}  // namespace vm
