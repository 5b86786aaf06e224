// Registration of the installed application for removal, its two shortcuts and its launch.
#pragma once

#include "workflow/install_context.h"
#include "workflow/install_result.h"
#include "workflow/install_system.h"
#include "workflow/run_log.h"

namespace vm {

// The installed application's executable: the application folder joined with "Velmora.exe".
// False (and `out` empty) when it does not fit in 260 units.
bool applicationPath(const InstallContext& context, WidePath& out);

// Writes the uninstall entry's ten values, creates the desktop and Start-menu shortcuts and,
// when `launch` is true, starts the application. Only a registration key that cannot be created
// or opened (or an executable's path that does not fit) stops it: RegistrationFailed, nothing
// else done. Failed values and shortcuts are logged and the rest goes on. Returns
// ApplicationDamaged when `launch` is false, LaunchFailed when the start fails, else
// InstallSucceeded.
InstallResult registerAndLaunch(InstallSystem& system, const InstallContext& context, bool launch,
                                RunLog& log);

}  // namespace vm
