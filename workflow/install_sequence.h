// The install worker's sequence: prerequisites, package, the wait for a running application,
// silent installs, unpacking, registration and launch - and the closing of the window.
#pragma once

#include "net/download.h"
#include "platform/crypto.h"
#include "workflow/install_context.h"
#include "workflow/install_result.h"
#include "workflow/install_system.h"
#include "workflow/progress_view.h"
#include "workflow/run_log.h"

namespace vm {

// The status texts of the window, in the order they can appear.
extern const char16_t kStatusDownloadingDependencies[];
extern const char16_t kStatusDownloadingVelmora[];
extern const char16_t kStatusWaiting[];
extern const char16_t kStatusInstallingDependencies[];
extern const char16_t kStatusInstallingVelmora[];

// What the release engineer fixed when the installer was built: how it describes its build, and
// what the run checks in what it downloads. By default nothing is checked: no pins, no key.
struct Release {
  // The build's version and options, for the log's first line.
  const char* build = "";
  PrerequisitePins pins = {};
  // The key every package must be signed with (see archive/package_signature.h); a
  // modulusLength of 0: packages are not checked.
  RsaPublicKey packageKey = {nullptr, 0, 0};
  // The platform's hash and signature check; needed as soon as anything is pinned or a key is
  // set (a check without it refuses).
  Crypto* crypto = nullptr;
};

// Runs one installation, downloading through `transport`, logs each step to `log` and closes
// `view` on every way out, right after log.finish() with the result. A pinned prerequisite
// installer whose SHA-256 differs ends the run before it is written; a package whose signature
// is refused (with a key) or that is no ZIP archive ends the run right after its download,
// before the wait, any installer or the unpacking. Returns how the run ended: the installer's
// exit code.
InstallResult runInstallation(InstallSystem& system, ProgressView& view, Transport& transport,
                              const Release& release, RunLog& log);

}  // namespace vm
