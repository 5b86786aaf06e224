// The install worker's sequence, from the install context to the closing of the window.
#pragma once

#include "ui/progress_view.h"
#include "workflow/install_system.h"

namespace vm {

enum InstallResult : int { InstallSucceeded = 0, InstallFailed = 1 };

// Runs one installation and closes `view` on every way out. Returns the worker's result.
InstallResult runInstallation(InstallSystem& system, ProgressView& view);

}  // namespace vm
