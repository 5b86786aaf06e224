// Registration of the installed application for removal, its two shortcuts and its launch.
#pragma once

#include "workflow/install_context.h"
#include "workflow/install_system.h"

namespace vm {

// The installed application's executable: the application folder joined with "Velmora.exe".
// False (and `out` empty) when it does not fit in 260 units.
bool applicationPath(const InstallContext& context, WidePath& out);

// Writes the uninstall entry's ten values, creates the desktop and Start-menu shortcuts and,
// when `launch` is true, starts the application. Only a registration key that cannot be created
// or opened stops it (false, nothing else done); failed values, shortcuts and launch go
// unnoticed.
bool registerAndLaunch(InstallSystem& system, const InstallContext& context, bool launch);

}  // namespace vm
