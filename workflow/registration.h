// Registration of the installed application for removal, its two shortcuts and its launch.
#pragma once

#include "workflow/install_context.h"
#include "workflow/install_system.h"

namespace vm {

// Writes the uninstall entry's ten values, creates the desktop and Start-menu shortcuts and
// starts the application. Only a registration key that cannot be created or opened stops it
// (false, nothing else done); failed values, shortcuts and launch go unnoticed.
bool registerAndLaunch(InstallSystem& system, const InstallContext& context);

}  // namespace vm
