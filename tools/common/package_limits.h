// The sizes the tools hold a package and its program to: shared by vmpkg and velmora-fetch.
#pragma once

#include <cstdint>

#include "net/download.h"

namespace vm {

// The installer's download buffer holds the whole HTTP response and a zero byte after it; a
// typical nginx response head takes a few hundred bytes.
constexpr uint64_t kTypicalResponseHead = 512;
// The largest package that fits the buffer with a typical response head.
constexpr uint64_t kLargestDownloadablePackage =
    static_cast<uint64_t>(kDownloadBufferSize) - kTypicalResponseHead - 1;
// The largest file the tools open as a package: the archive takes a signed 32-bit length.
constexpr uint64_t kLargestPackage = 0x7FFFFFFF;
// The largest Velmora.exe read whole to find its version.
constexpr uint32_t kLargestProgram = 512u << 20;

}  // namespace vm
