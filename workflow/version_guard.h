// No signed downgrade: with a package key, a package any release signed would otherwise install
// over a newer version - an old one with a known hole, served by someone on the network in place
// of the current release. The run refuses a package whose Velmora.exe is older than the
// installed one before it touches anything (exit code 48); the same version installs again.
#pragma once

#include "archive/archive.h"
#include "workflow/run_log.h"

namespace vm {

// True when the open package's app/Velmora.exe carries a lower file version than the installed
// `installedProgram` (a full path). Logs both versions, or why they were not compared: no
// installed file (a first installation), an installed file or a packaged one without a
// readable version; none of those is refused.
bool isDowngrade(ArchiveHandle* archive, const char16_t* installedProgram, RunLog& log);

}  // namespace vm
