// The field profile's downloads: bounded retries with back-off, and a broken body resumed where it
// stopped instead of fetched again from byte 0. One piece of code above any RangedTransport (the
// installer's socket client, or the system's), so every transport retries the same way.
#pragma once

#include <cstdint>

#include "net/download.h"
#include "workflow/install_system.h"
#include "workflow/run_log.h"

namespace vm {

// Attempts per download: the first and four more.
constexpr int32_t kDownloadAttempts = 5;
// The wait before the second attempt; each later wait is twice the one before (1, 2, 4, 8 s).
constexpr uint32_t kFirstRetryWaitMilliseconds = 1'000;
// The longest Retry-After honoured: a server asking for more gets this.
constexpr int32_t kMaxRetryAfterSeconds = 30;

// What to do after an attempt.
enum class RetryStep : int32_t {
  Done,     // the whole body is in the buffer
  Resume,   // try again, asking for the rest after the bytes kept
  Restart,  // try again from byte 0 (nothing kept, or what was kept cannot be continued)
  GiveUp,   // the download has failed: no attempt left, or another one cannot help
};

// What an attempt's answer was, as far as the decision needs it.
struct AttemptFacts {
  DownloadEnd end = DownloadEnd::Complete;
  int32_t status = 0;       // the status code, 0 when none arrived
  bool rangeAsked = false;  // the attempt asked for the rest of a body
  bool continues = false;   // a 206 whose Content-Range starts where the kept bytes end, whose
                            // total is the first answer's length and whose validator (a strong
                            // ETag, else Last-Modified) is the one If-Range named
  int32_t keptBytes = 0;    // body bytes kept after this attempt (the next Range would start here)
  bool resumable = false;   // a validator and the whole length are known from the first answer
  int32_t attempt = 1;      // this attempt's number, from 1
};

// The retry decisions as one table: an attempt's answer to the next step. A body that arrived
// whole is Done (a 206 only when it continues the kept bytes; a 200 to a range request is a new
// whole body). Connections that are refused, time out or break, bodies cut short, heads that
// never end and the statuses 408, 429 and 5xx are tried again while attempts are left: Resume
// when bytes are kept and the body can be resumed, else Restart; so is a response to a range
// request that did not fit what is left of the buffer. A range request refused (416) or too long
// to send starts again from byte 0. Everything else (other statuses, a body without a length or
// too large, a name that does not resolve) gives up at once.
RetryStep nextRetryStep(const AttemptFacts& facts);

// The wait before attempt `attempt` (2 to kDownloadAttempts), in milliseconds, after an answer
// with `status`: a 429's or 503's Retry-After (`retryAfterSeconds` >= 0, at most
// kMaxRetryAfterSeconds of it) in place of the back-off.
uint32_t retryWaitMilliseconds(int32_t attempt, int32_t status = 0, int32_t retryAfterSeconds = -1);

// A Transport that retries through `ranged`, waiting through `system` and logging each attempt
// after the first, each wait and each range request to `log`. The body it returns lies at the
// buffer's start (or where a fault-free first attempt put it) and has report.contentLength
// bytes; the progress bar goes on from where it was when a download resumes.
class ResumingTransport final : public Transport {
 public:
  ResumingTransport(RangedTransport& ranged, InstallSystem& system, RunLog& log)
      : ranged_(ranged), system_(system), log_(log) {}
  const uint8_t* fetch(ProgressSink& progress, const char* requestPath, uint8_t* buffer,
                       DownloadReport& report) override;

 private:
  RangedTransport& ranged_;
  InstallSystem& system_;
  RunLog& log_;
};

}  // namespace vm
