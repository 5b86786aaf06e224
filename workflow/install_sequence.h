// The install worker's sequence: prerequisites, package, the wait for a running application,
// silent installs, unpacking, registration and launch - and the closing of the window.
#pragma once

#include "net/socket.h"
#include "workflow/progress_view.h"
#include "workflow/install_system.h"

namespace vm {

enum InstallResult : int { InstallSucceeded = 0, InstallFailed = 1 };

// The status texts of the window, in the order they can appear.
extern const char16_t kStatusDownloadingDependencies[];
extern const char16_t kStatusDownloadingVelmora[];
extern const char16_t kStatusWaiting[];
extern const char16_t kStatusInstallingDependencies[];
extern const char16_t kStatusInstallingVelmora[];

// Runs one installation against `server` and closes `view` on every way out. Returns the
// worker's result (nobody acts on it).
InstallResult runInstallation(InstallSystem& system, ProgressView& view, Network& network,
                              const Endpoint& server);

}  // namespace vm
