// check's questions about ranges, asked of one path whose whole body the check already holds:
// what a resumed download needs (the rest from the middle, only while the ETag still names that
// version) and what caches and partial updates ask (a suffix). Each answer is judged against the
// body. Servers and object stores differ here: a store that ignores If-Range, refuses or
// mishandles a kind of range, or answers a range with the whole file gives a warning when the
// installer works around it (it starts the download again) and a problem when a resumed
// download would join the wrong bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/socket.h"

namespace vm {

// What the probes found: one line each, for the report.
struct RangeFindings {
  int32_t asked = 0;
  std::vector<std::string> warnings;  // the installer works around these
  std::vector<std::string> problems;  // a resumed download would be damaged
};

// Asks `requestPath` of `endpoint` over `network` (the socket client: the system transports
// send only the path) three times: "Range: bytes=HALF-" with "If-Range: VALIDATOR" (206 and
// exactly the rest expected), the same with a validator no version has (200 and the whole body
// expected), and "Range: bytes=-THIRD" (206 and exactly the last third expected). `body` holds
// the whole body (`length` bytes, at least 2) and `validator` the whole answer's ETag, else its
// Last-Modified value (empty: the first probe is not asked, and that is a warning).
RangeFindings probeRanges(Network& network, const Endpoint& endpoint, const char* requestPath,
                          const uint8_t* body, int32_t length, const std::string& validator);

}  // namespace vm
