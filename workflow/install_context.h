// What one run works out before it downloads anything: release channel, architecture, the
// three request paths, the folders it writes to and the installers' local file names.
#pragma once

#include "platform/crypto.h"
#include "platform/fixed_string.h"
#include "workflow/install_system.h"

namespace vm {

// A runtime prerequisite of the application: how the machine shows that it is installed, where
// the download server has its installer and where the run writes it.
struct Prerequisite {
  // Keys under HKEY_LOCAL_MACHINE, tried in order, null-ended: present when one of them opens.
  const char16_t* const* detectionKeys = nullptr;
  const char* requestPath = nullptr;
  const char16_t* fileName = nullptr;  // the installer's local file name
  WidePath installerPath;              // downloadFolder + fileName
  // The installer's SHA-256 as served, fixed when the installer was built; not pinned: any.
  Sha256Pin pin = {};
};

// The SHA-256 pins of the prerequisite installers a release was built with (none by default).
struct PrerequisitePins {
  Sha256Pin runtime = {};    // dotNetFx40_Client_x86_x64.exe
  Sha256Pin updateX86 = {};  // NDP40-KB2468871-v2-x86.exe
  Sha256Pin updateX64 = {};  // NDP40-KB2468871-v2-x64.exe
};

// The prerequisites in the order every step takes them: the runtime first, then its update.
enum PrerequisiteIndex : int32_t {
  RuntimePrerequisite = 0,
  UpdatePrerequisite = 1,
  PrerequisiteCount = 2,
};

struct InstallContext {
  WidePath modulePath;                      // the running installer
  const char16_t* fileName = nullptr;       // into modulePath: after its last backslash
  FixedString<char, kPathCapacity> channel; // "Live", "Beta" or "Testing"
  bool isWow64 = false;                     // picks the update's 64-bit variant
  Prerequisite prerequisites[PrerequisiteCount];
  NarrowPath packageRequestPath;
  WidePath appFolder;        // local application data + "\Velmora\App\"
  WidePath desktopFolder;
  WidePath startMenuFolder;  // the Start menu's root, not its Programs folder
  WidePath downloadFolder;   // temporary folder + "\Velmora\"
};

// The release channel an installer file name selects: "Beta" when it contains "-Beta",
// otherwise "Testing" when it contains "-Testing", otherwise "Live". Case-sensitive; the text
// may stand anywhere in the name.
const char* selectChannel(const char16_t* fileName);

// Fills `context` from the platform, each prerequisite with its pin from `pins`. False when a
// well-known folder or the temporary folder cannot be had, or a path does not fit (the run
// ends); `context` is then partly filled.
[[nodiscard]] bool resolveInstallContext(InstallSystem& system, InstallContext& context,
                                         const PrerequisitePins& pins = PrerequisitePins{});

}  // namespace vm
