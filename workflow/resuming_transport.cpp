#include "workflow/resuming_transport.h"

#include <cstring>

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
    int32_t shown = position;
    if (from_ > 0 && total_ > 0)
      shown = static_cast<int32_t>((int64_t{from_} * 100 + int64_t{position} * (total_ - from_)) /
                                   total_);
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
  if (!triedAgain(facts) || facts.attempt >= kDownloadAttempts) return RetryStep::GiveUp;
  return facts.keptBytes > 0 && facts.resumable ? RetryStep::Resume : RetryStep::Restart;
}

uint32_t retryWaitMilliseconds(int32_t attempt) {
  return kFirstRetryWaitMilliseconds << (attempt - 2);
}

const uint8_t* ResumingTransport::fetch(ProgressSink& progress, const char* requestPath,
                                        uint8_t* buffer, DownloadReport& report) {
  ContinuingProgress bar(progress);
  int32_t kept = 0;    // body bytes kept at the buffer's start
  int32_t total = -1;  // the length of the answer the kept bytes belong to
  Validator validator;
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
      // A store that ignores If-Range answers with the new version's bytes: a 206 naming
      // another validator than the kept bytes' is not theirs, however well its range fits.
      facts.continues = resume && answer.rangeFirst == kept && answer.rangeTotal == total &&
                        report.contentLength == total - kept &&
                        (answer.validator.empty() ||
                         std::strcmp(answer.validator.get(), validator.get()) == 0);
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
    const uint32_t wait = step == RetryStep::GiveUp ? 0 : retryWaitMilliseconds(attempt + 1);
    logAttempt(log_, requestPath, attempt, report, step, kept, wait);
    if (step == RetryStep::GiveUp) return nullptr;
    system_.sleepMilliseconds(wait);
  }
}

}  // namespace vm
