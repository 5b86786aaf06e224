#include "workflow/resuming_transport.h"

#include <cstring>

#include "platform/fixed_string.h"

namespace vm {
namespace {

constexpr int32_t kPartialContent = 206;

bool triedAgain(const AttemptFacts& facts) {
  switch (facts.end) {
    case DownloadEnd::ConnectRefused:
    case DownloadEnd::ConnectTimedOut:
    case DownloadEnd::ConnectFailed:
    case DownloadEnd::ReceiveTimedOut:
    case DownloadEnd::ReceiveFailed:
    case DownloadEnd::HeadUnfinished:
    case DownloadEnd::ShortBody:
      return true;
    case DownloadEnd::StatusRefused:
      return facts.status == 408 || facts.status == 429 ||
             (facts.status >= 500 && facts.status <= 599);
    case DownloadEnd::TooLarge:
      // What is kept takes room from the buffer: a whole new body may fit once it is dropped.
      return facts.rangeAsked;
    case DownloadEnd::Complete:
      // A 206 that does not continue the kept bytes: they cannot be joined to it.
      return true;
    default:
      return false;
  }
}

// The bar of a resumed download: the attempt's percentage of the rest, mapped onto the whole
// body, never going back.
class ContinuingProgress final : public ProgressSink {
 public:
  explicit ContinuingProgress(ProgressSink& bar) : bar_(bar) {}
  void begin(int32_t from, int32_t total) {
    from_ = from;
    total_ = total;
  }
  void setPosition(int32_t position) override {
    // (from x 100 + position x (total - from)) / total, as position + from x (100 - position) /
    // total: in 32 bits with both halved (from <= total <= kDownloadBufferSize < 2^26, so the
    // product stays below 2^32), and without the 64-bit division's library code.
    int32_t shown = position;
    if (from_ > 0 && total_ > 1)
      shown += static_cast<int32_t>(static_cast<uint32_t>(from_ >> 1) *
                                    static_cast<uint32_t>(100 - position) /
                                    static_cast<uint32_t>(total_ >> 1));
    if (shown < shown_) shown = shown_;  // at most 100: so is `position`
    shown_ = shown;
    bar_.setPosition(shown);
  }

 private:
  ProgressSink& bar_;
  int32_t from_ = 0;
  int32_t total_ = -1;
  int32_t shown_ = 0;
};

void logAttempt(RunLog& log, const char* requestPath, int32_t attempt, const DownloadReport& report,
                RetryStep step, int32_t kept, uint32_t wait) {
  LogLine line;
  line.add("download ").add(requestPath).add(": attempt ").number(attempt).add(" of ")
      .number(kDownloadAttempts).add(": ").add(downloadEndText(report.end)).add(", status ")
      .number(report.status).add(", received ").number(report.bodyBytes);
  if (step == RetryStep::GiveUp) {
    line.add("; giving up");
  } else {
    line.add("; again in ").number(wait).add(" ms from byte ")
        .number(step == RetryStep::Resume ? kept : 0);
  }
  line.write(log);
}

}  // namespace

RetryStep nextRetryStep(const AttemptFacts& facts) {
  const bool partial = facts.status == kPartialContent;
  if (facts.end == DownloadEnd::Complete && (!partial || (facts.rangeAsked && facts.continues)))
    return RetryStep::Done;
  // A range refused (416: the kept bytes no longer fit the file) or too long to ask for (a long
  // validator): the whole body can still be had.
  const bool rangeRefused =
      facts.rangeAsked && (facts.status == 416 || facts.end == DownloadEnd::RequestTooLong);
  if (!(rangeRefused || triedAgain(facts)) || facts.attempt >= kDownloadAttempts)
    return RetryStep::GiveUp;
  return !rangeRefused && facts.keptBytes > 0 && facts.resumable ? RetryStep::Resume
                                                                 : RetryStep::Restart;
}

uint32_t retryWaitMilliseconds(int32_t attempt, int32_t status, int32_t retryAfterSeconds) {
  if ((status == 429 || status == 503) && retryAfterSeconds >= 0)
    return static_cast<uint32_t>(retryAfterSeconds < kMaxRetryAfterSeconds ? retryAfterSeconds
                                                                           : kMaxRetryAfterSeconds) *
           1'000u;
  return kFirstRetryWaitMilliseconds << (attempt - 2);
}

const uint8_t* ResumingTransport::fetch(ProgressSink& progress, const char* requestPath,
                                        uint8_t* buffer, DownloadReport& report) {
  ContinuingProgress bar(progress);
  int32_t kept = 0;    // body bytes kept at the buffer's start
  int32_t total = -1;  // the length of the answer the kept bytes belong to
  Validator validator;  // that answer's version, for If-Range
  RetryStep step = RetryStep::Restart;
  for (int32_t attempt = 1;; ++attempt) {
    const bool resume = step == RetryStep::Resume;
    if (!resume) kept = 0;
    RangeAsk ask;
    if (resume) {
      ask.from = kept;
      ask.validator = validator.get();
      LogLine().add("download ").add(requestPath).add(": asking for bytes ").number(kept)
          .add("- of ").number(total).add(", If-Range ").add(validator.get()).write(log_);
    }
    uint8_t* into = buffer + kept;
    bar.begin(kept, total);
    RangeAnswer answer;
    const uint8_t* body = ranged_.fetchRange(bar, requestPath, ask, into,
                                             kDownloadBufferSize - kept, report, answer);
    AttemptFacts facts;
    facts.end = report.end;
    facts.status = report.status;
    facts.rangeAsked = resume;
    facts.attempt = attempt;
    const uint8_t* arrived = answer.bodyOffset >= 0 ? into + answer.bodyOffset : nullptr;
    if (arrived != nullptr && report.status == kPartialContent) {
      // A cache that honours Range but not If-Range answers with another version's bytes.
      facts.continues = resume && answer.rangeFirst == kept && answer.rangeTotal == total &&
                        report.contentLength == total - kept &&
                        textEquals(answer.validator.get(), validator.get());
      if (facts.continues) {
        const int32_t rest = total - kept;
        const int32_t added = report.bodyBytes < rest ? report.bodyBytes : rest;
        std::memmove(buffer + kept, arrived, static_cast<size_t>(added));
        kept += added;
      } else {
        kept = 0;
      }
    } else if (arrived != nullptr && report.status >= 200 && report.status <= 299) {
      // A whole new answer: what was kept belongs to another version of the file.
      total = report.contentLength;
      if (!validator.assign(answer.validator.get())) validator.clear();
      kept = 0;
      if (body != nullptr) return body;  // as the plain client would have returned it
      if (total > 0) {
        kept = report.bodyBytes < total ? report.bodyBytes : total;
        std::memmove(buffer, arrived, static_cast<size_t>(kept));
      }
    }
    facts.keptBytes = kept;
    facts.resumable = total > 0 && !validator.empty();
    step = nextRetryStep(facts);
    if (step == RetryStep::Done) {
      buffer[total] = 0;
      report.contentLength = total;
      report.bodyBytes = total;
      return buffer;
    }
    const uint32_t wait =
        step == RetryStep::GiveUp
            ? 0
            : retryWaitMilliseconds(attempt + 1, report.status, answer.retryAfterSeconds);
    logAttempt(log_, requestPath, attempt, report, step, kept, wait);
    if (step == RetryStep::GiveUp) return nullptr;
    system_.sleepMilliseconds(wait);
  }
}

}  // namespace vm
