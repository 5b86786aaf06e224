// The install worker's sequence: prerequisites, package, the wait for a running application,
// silent installs, unpacking, registration and launch - and the closing of the window.
#pragma once

#include "net/socket.h"
#include "platform/crypto.h"
#include "workflow/install_context.h"
#include "workflow/install_system.h"
#include "workflow/progress_view.h"

namespace vm {

enum InstallResult : int { InstallSucceeded = 0, InstallFailed = 1 };

// The status texts of the window, in the order they can appear.
extern const char16_t kStatusDownloadingDependencies[];
extern const char16_t kStatusDownloadingVelmora[];
extern const char16_t kStatusWaiting[];
extern const char16_t kStatusInstallingDependencies[];
extern const char16_t kStatusInstallingVelmora[];

// What a run installs from: the download server, and what the release engineer fixed when the
// installer was built for the run to check in what it downloads. By default nothing is checked:
// no pins, no key.
struct Release {
  Endpoint server;
  PrerequisitePins pins = {};
  // The key every package must be signed with (see archive/package_signature.h); a
  // modulusLength of 0: packages are not checked.
  RsaPublicKey packageKey = {nullptr, 0, 0};
  // The platform's hash and signature check; needed as soon as anything is pinned or a key is
  // set (a check without it refuses).
  Crypto* crypto = nullptr;
};

// Runs one installation from `release` and closes `view` on every way out. A pinned
// prerequisite installer whose SHA-256 differs ends the run before it is written; with a key, a
// package whose signature is refused ends the run right after its download, before the wait,
// any installer or the unpacking. Returns the worker's result (nobody acts on it).
InstallResult runInstallation(InstallSystem& system, ProgressView& view, Network& network,
                              const Release& release);

}  // namespace vm
