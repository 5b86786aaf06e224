// What the installer's own ranged requests share (net/range_download.cpp, net/piece_download.cpp):
// a number written into a request, and the exchange of one formatted request.
#pragma once

#include <cstdint>

#include "net/download.h"
#include "platform/fixed_string.h"

namespace vm {

// `value` (>= 0) in decimal digits, written at the end of `digits`; returns the first digit.
const char* decimalText(int32_t value, char (&digits)[12]);

// Sends `request` to `endpoint` and receives the answer into `buffer` of `capacity` bytes,
// filling `report` (reset by the caller) and `answer`'s body offset and head fields (also of a
// refusal whose head arrived whole). A whole body without a length ends as NoLength.
const uint8_t* exchangeRangeRequest(ProgressSink& progress, Network& network,
                                    const Endpoint& endpoint, const RequestText& request,
                                    uint8_t* buffer, int32_t capacity, DownloadReport& report,
                                    RangeAnswer& answer);

}  // namespace vm
