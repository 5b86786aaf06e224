// fetchPartialUpdate (partial_update.h). The buffer's layout while it works: the new package's
// end at the very top, the pieces written in order from byte 0 up; each piece's response lands
// at its own place and its body is moved down over its head, so a response only ever spills
// over bytes not written yet. At the end the end's bytes are moved down behind the pieces.
#include "workflow/partial_update.h"

#include <cstring>

#include "archive/partial_plan.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"

namespace vm {
namespace {

// The progress of one piece, as a share of every byte fetched.
class PieceProgress final : public ProgressSink {
 public:
  PieceProgress(ProgressSink& outer, uint64_t total) : outer_(outer), total_(total) {}
  void start(uint64_t done, uint64_t piece) {
    done_ = done;
    piece_ = piece;
  }
  void setPosition(int32_t position) override {
    const uint64_t reached = done_ + piece_ * static_cast<uint64_t>(position) / 100;
    // Only fetched pieces report, so total_ (their bytes) is above 0.
    outer_.setPosition(static_cast<int32_t>(reached * 100 / total_));
  }

 private:
  ProgressSink& outer_;
  uint64_t total_, done_ = 0, piece_ = 0;
};

bool giveUp(RunLog& log, const char* why, int64_t detail = -1) {
  LogLine line;
  line.add("partial update: whole: ").add(why);
  if (detail >= 0) line.add(" ").number(detail);
  line.write(log);
  return false;
}

// True when `answer` is a whole 206 for bytes [first, first + count) of a file of `total`
// bytes, its body at `body`.
bool exactPiece(const uint8_t* body, const DownloadReport& report, const RangeAnswer& answer,
                int64_t first, int64_t count, int64_t total) {
  return body != nullptr && report.status == 206 && answer.rangeFirst == first &&
         answer.rangeLast == first + count - 1 && report.contentLength == count &&
         answer.rangeTotal == total;
}

// A strong ETag: one that names exactly one version of the file, as If-Range needs.
bool isStrongETag(const Validator& validator) {
  const char* text = validator.get();
  return text[0] == '"' && validator.length() >= 2;
}

struct EndFetch {
  int32_t packageLength = 0;
  int32_t endLength = 0;
  Validator validator;
  int32_t requests = 0;  // suffix requests made, and the bytes they brought
  int64_t bytes = 0;
};

// Asks for the file's last `ask` bytes and puts them at the buffer's top.
bool fetchEnd(PieceTransport& transport, ProgressSink& progress, RunLog& log,
              const char* requestPath, int32_t ask, uint8_t* buffer, int32_t capacity,
              EndFetch& end) {
  DownloadReport report;
  RangeAnswer answer;
  PieceAsk piece;
  piece.suffix = ask;
  const uint8_t* body =
      transport.fetchPiece(progress, requestPath, piece, buffer, capacity, report, answer);
  ++end.requests;
  end.bytes += report.bodyBytes;
  if (body == nullptr || report.status != 206)
    return giveUp(log, "end not ranged, status", report.status);
  const int64_t total = answer.rangeTotal;
  const int64_t count = total < ask ? total : ask;
  if (total <= 0 || !exactPiece(body, report, answer, total - count, count, total))
    return giveUp(log, "end's range wrong");
  if (end.validator.length() != 0 && !textEquals(end.validator.get(), answer.validator.get()))
    return giveUp(log, "package changed");
  if (!isStrongETag(answer.validator)) return giveUp(log, "no strong ETag");
  if (total + kPieceHeadRoom > capacity)
    return giveUp(log, "too large", total);
  end.packageLength = static_cast<int32_t>(total);
  end.endLength = static_cast<int32_t>(count);
  (void)end.validator.assign(answer.validator.get());
  std::memmove(buffer + capacity - count, body, static_cast<std::size_t>(count));
  return true;
}

// Carries out the plan below `endAt` (where the end's bytes lie); false after logging why.
bool carryOut(const PartialPlan& plan, PieceTransport& transport, ProgressSink& progress,
              RunLog& log, const char* requestPath, const EndFetch& end, const uint8_t* kept,
              uint8_t* buffer, int32_t endAt) {
  PieceProgress pieces(progress, plan.fetchedBytes);
  uint64_t done = 0;
  for (uint32_t index = 0; index < plan.pieceCount; ++index) {
    const PlanPiece& piece = plan.pieces[index];
    if (!piece.fetch) {
      std::memcpy(buffer + piece.target, kept + piece.source, piece.length);
      continue;
    }
    PieceAsk range;
    range.from = static_cast<int32_t>(piece.target);
    range.last = static_cast<int32_t>(piece.target + piece.length - 1);
    range.validator = end.validator.get();
    DownloadReport report;
    RangeAnswer answer;
    pieces.start(done, piece.length);
    const uint8_t* body =
        transport.fetchPiece(pieces, requestPath, range, buffer + piece.target,
                             endAt - static_cast<int32_t>(piece.target), report, answer);
    if (!exactPiece(body, report, answer, piece.target, piece.length, end.packageLength))
      return giveUp(log, "piece wrong, status", report.status);
    std::memmove(buffer + piece.target, body, piece.length);
    done += piece.length;
  }
  return true;
}

}  // namespace

bool fetchPartialUpdate(PieceTransport& transport, ProgressSink& progress, RunLog& log,
                        const char* requestPath, const uint8_t* kept, uint32_t keptLength,
                        uint8_t* buffer, int32_t capacity, int32_t& length) {
  EndFetch end;
  if (!fetchEnd(transport, progress, log, requestPath, kPackageEndAsk, buffer, capacity, end))
    return false;
  PartialPlan* plan = createObject<PartialPlan>();
  if (plan == nullptr) return giveUp(log, "no memory");
  const PackageEnd keptEnd{kept, keptLength, keptLength};
  const auto planned = [&] {
    const PackageEnd next{buffer + capacity - end.endLength,
                          static_cast<uint32_t>(end.endLength),
                          static_cast<uint32_t>(end.packageLength)};
    return planPartialUpdate(keptEnd, next, kPartialLimits, *plan);
  };
  PlanVerdict verdict = planned();
  // A directory longer than the first ask: once more, exactly from the directory's start.
  const int32_t longerEnd = end.packageLength - static_cast<int32_t>(plan->directoryOffset);
  if (verdict == PlanVerdict::EndIncomplete && longerEnd <= kLargestPackageEnd) {
    if (!fetchEnd(transport, progress, log, requestPath, longerEnd, buffer, capacity, end)) {
      destroyObject(plan);
      return false;  // fetchEnd said why
    }
    verdict = planned();
  }
  bool rebuilt = false;
  if (verdict != PlanVerdict::Partial) {
    giveUp(log, planVerdictText(verdict));
  } else if (carryOut(*plan, transport, progress, log, requestPath, end, kept, buffer,
                      capacity - end.endLength)) {
    const int32_t endStart = end.packageLength - end.endLength;
    std::memmove(buffer + endStart, buffer + capacity - end.endLength,
                 static_cast<std::size_t>(end.endLength));
    length = end.packageLength;
    rebuilt = true;
    LogLine()
        .add("partial update: ").number(plan->copiedEntries).add(" of ").number(plan->entries)
        .add(" entries kept, ").number(plan->fetchCount + end.requests).add(" requests, ")
        .number(static_cast<int64_t>(plan->fetchedBytes) + end.bytes).add(" of ")
        .number(end.packageLength).add(" bytes")
        .write(log);
  }
  destroyObject(plan);
  return rebuilt;
}

bool fetchFromKeptPackage(PieceTransport& transport, ProgressSink& progress, RunLog& log,
                          const char* requestPath, const char16_t* keptPath, uint8_t* buffer,
                          int32_t capacity, int32_t& length) {
  MappedFile kept;
  const MapResult mapped = mapFileForReading(keptPath, kept);
  if (mapped != MapResult::Mapped) {
    return giveUp(log, mapped == MapResult::NoFile ? "no kept package"
                                                   : "kept package unreadable");
  }
  const bool rebuilt = fetchPartialUpdate(transport, progress, log, requestPath, kept.data,
                                          kept.length, buffer, capacity, length);
  unmapFile(kept);
  return rebuilt;
}

}  // namespace vm
