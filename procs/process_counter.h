// Counting running processes by image name, or the modules of those processes that carry a
// given file-version major number.
#pragma once

#include <cstdint>

namespace vm {

// With `versionMajor` -1: the number of running processes whose image name equals `imageName`
// (A-Z folded only), this process included. Otherwise: over those processes, the number of
// modules (the executable and every loaded library) whose file version has that major number.
// Every failure (no snapshot, no access, no version resource) only lowers the count.
int32_t countProcesses(const wchar_t* imageName, int32_t versionMajor);

}  // namespace vm
