// The field profile's run: the described sequence with three differences. Its first step, before
// anything is downloaded, takes the lock beside the application folder (waiting a bounded time
// for another installer of any channel) and, once Velmora has closed, finishes or undoes an
// update that a killed run left (recoverUpdate); the package is checked against the free space
// before anything is touched; and it is unpacked whole beside the application folder, each
// file's data on the disk, and switched in (switchUpdate) instead of over it, so that the folder
// holds either the complete previous version or the complete new one. The lock is released after
// the switch; registration, shortcuts and the launch come after it. Downloads are retried and resumed by the
// transport the worker gives it (workflow/resuming_transport.h).
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "workflow/install_sequence.h"
#include "workflow/update_switch.h"

namespace vm {

// The bytes the `app/` entries of the open archive unpack to (what the free-space check asks
// for, besides kFreeSpaceMargin). Entries that cannot be described count as 0.
uint64_t unpackedSize(ArchiveHandle* archive);

// Runs one installation as runInstallation does, with the field profile's steps, on `files`.
// Also closes `view` on every way out, right after log.finish(). `changed` (when given) is set
// to whether the run changed the application folder (a recovery or a switch), which the
// failure message must know.
InstallResult runFieldInstallation(InstallSystem& system, ProgressView& view,
                                   Transport& transport, const Release& release,
                                   UpdateFiles& files, RunLog& log, bool* changed = nullptr);

// runFieldInstallation for a build with a package key: the package the switch put in place is
// kept beside the application folder (App.vmpkg), and an update first tries to fetch only what
// changed since it through `pieces` (workflow/partial_update.h), vouched for by the same
// signature check as a whole download.
InstallResult runKeptFieldInstallation(InstallSystem& system, ProgressView& view,
                                       Transport& transport, const Release& release,
                                       UpdateFiles& files, RunLog& log, bool* changed,
                                       PieceTransport& pieces);

}  // namespace vm
