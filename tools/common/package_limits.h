// What a package must fit into to be installed: shared by `vmpkg check` and `vmpkg pack`.
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

}  // namespace vm
