// A partial update's download (field profile with a package key): the new package rebuilt in
// the download buffer from its end (one suffix request), the kept package's unchanged spans and
// single-range requests for the rest (archive/partial_plan.h decides which). Nothing here
// vouches for the result: the caller checks the rebuilt package's signature exactly as a whole
// download's, and downloads whole when this gives up or the key refuses.
#pragma once

#include <cstdint>

#include "net/download.h"
#include "workflow/run_log.h"

namespace vm {

// The first request for the new package's end asks for this many bytes: the end record, the
// signature comment and the directory of a package of a few thousand entries.
constexpr int32_t kPackageEndAsk = 65'536;
// The most the end may take when its directory is longer (a second, exact suffix request).
constexpr int32_t kLargestPackageEnd = 8 << 20;
// Room kept between a piece's place and the end's bytes for the piece's response head.
constexpr int32_t kPieceHeadRoom = 65'536;

// Rebuilds the package at `requestPath` in `buffer` (`capacity` bytes) from `kept` (the kept
// package's `keptLength` bytes) through `transport`, moving `progress` over the bytes fetched.
// True with the package at the buffer's start (`length` bytes) when the end and every piece
// arrived exactly as asked: a 206 with the asked Content-Range of one total, every piece asked
// with If-Range and the end's strong ETag. False, with one log line saying why, when a whole
// download must follow: a 200 or another refusal, a wrong or short piece, no strong ETag, a
// package too large for the buffer, or a plan that is not partial (its verdict logged).
bool fetchPartialUpdate(PieceTransport& transport, ProgressSink& progress, RunLog& log,
                        const char* requestPath, const uint8_t* kept, uint32_t keptLength,
                        uint8_t* buffer, int32_t capacity, int32_t& length);

// fetchPartialUpdate from the kept package at `keptPath` (mapped read-only for the call). False
// with the reason logged, also when there is no kept package (a first installation, or one made
// before packages were kept).
bool fetchFromKeptPackage(PieceTransport& transport, ProgressSink& progress, RunLog& log,
                          const char* requestPath, const char16_t* keptPath, uint8_t* buffer,
                          int32_t capacity, int32_t& length);

}  // namespace vm
