// The partial update's plan (partial_plan.h): both directories walked side by side in name
// order, each entry's span taken from its local header offset to the next entry's, pieces
// merged as they are added, then the fetches joined over small and then the smallest gaps
// until few enough requests remain.
#include "archive/partial_plan.h"

#include <cstddef>
#include <cstring>

#include "archive/reader.h"

namespace vm {
namespace {

constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndRecordSize = 22;

// What a central header says about its entry's local bytes, and where they start.
struct Header {
  const uint8_t* name;
  uint32_t nameLength;
  uint32_t versionNeeded, flags, method, dosDateTime, crc, compressedSize, uncompressedSize;
  uint32_t offset;
};

enum class EndRead { Ok, Unreadable, Incomplete };

// One package's directory, walked entry by entry with one header of look-ahead, so that each
// entry's span (up to the next entry, or up to the directory) is known when it is handed out.
struct Walk {
  const uint8_t* at;    // the next header to read
  const uint8_t* end;   // the directory's end
  uint32_t left;        // headers not read yet
  uint32_t directoryOffset;
  Header following;
  bool hasFollowing;
  bool unreadable;  // a header does not lie whole in the directory, or the count is wrong
  bool unordered;   // names not ascending, spans not back to back from byte 0
};

// Reads the end record at the package's end. Ok with `walk` on the first entry; Incomplete with
// `directoryOffset` set when the directory starts before the end's bytes.
EndRead openDirectory(const PackageEnd& end, Walk& walk, uint32_t& directoryOffset) {
  walk = Walk{};
  if (end.length > end.packageLength || end.length < kEndRecordSize) return EndRead::Unreadable;
  MemorySource source{end.data, end.length, 0};
  uint32_t at;
  if (!findEndRecord(source, at) || end.length - at < kEndRecordSize) return EndRead::Unreadable;
  const uint8_t* record = end.data + at;
  const uint32_t entries = loadLittleEndian16(record + 10);
  const uint32_t size = loadLittleEndian32(record + 12);
  directoryOffset = loadLittleEndian32(record + 16);
  const uint32_t endStart = end.packageLength - end.length;
  // One disk, and the directory right before the end record, which ends the package.
  if (loadLittleEndian16(record + 4) != 0 || loadLittleEndian16(record + 6) != 0 ||
      loadLittleEndian16(record + 8) != entries ||
      at + kEndRecordSize + loadLittleEndian16(record + 20) != end.length ||
      static_cast<uint64_t>(directoryOffset) + size != static_cast<uint64_t>(endStart) + at) {
    return EndRead::Unreadable;
  }
  if (directoryOffset < endStart) return EndRead::Incomplete;
  walk.at = end.data + (directoryOffset - endStart);
  walk.end = walk.at + size;
  walk.left = entries;
  walk.directoryOffset = directoryOffset;
  return EndRead::Ok;
}

bool readHeader(Walk& walk, Header& header) {
  if (walk.end - walk.at < static_cast<std::ptrdiff_t>(kCentralHeaderSize) || loadLittleEndian32(walk.at) != kCentralSignature)
    return false;
  const uint8_t* fields = walk.at;
  header.versionNeeded = loadLittleEndian16(fields + 6);
  header.flags = loadLittleEndian16(fields + 8);
  header.method = loadLittleEndian16(fields + 10);
  header.dosDateTime = loadLittleEndian32(fields + 12);
  header.crc = loadLittleEndian32(fields + 16);
  header.compressedSize = loadLittleEndian32(fields + 20);
  header.uncompressedSize = loadLittleEndian32(fields + 24);
  header.nameLength = loadLittleEndian16(fields + 28);
  const uint64_t length = static_cast<uint64_t>(kCentralHeaderSize) + header.nameLength +
                          loadLittleEndian16(fields + 30) + loadLittleEndian16(fields + 32);
  header.offset = loadLittleEndian32(fields + 42);
  if (static_cast<uint64_t>(walk.end - walk.at) < length) return false;
  header.name = fields + kCentralHeaderSize;
  walk.at += length;
  --walk.left;
  return true;
}

// Byte order of two stored names; a name that is the other's beginning comes first.
int compareNames(const Header& a, const Header& b) {
  const uint32_t shorter = a.nameLength < b.nameLength ? a.nameLength : b.nameLength;
  const int order = std::memcmp(a.name, b.name, shorter);
  if (order != 0) return order;
  return a.nameLength < b.nameLength ? -1 : (a.nameLength > b.nameLength ? 1 : 0);
}

// Reads the look-ahead header, checking it against the one before it (none for the first).
void readFollowing(Walk& walk, const Header* before) {
  walk.hasFollowing = false;
  if (walk.left == 0) {
    walk.unreadable = walk.unreadable || walk.at != walk.end;
    return;
  }
  if (!readHeader(walk, walk.following)) {
    walk.unreadable = true;
    return;
  }
  const bool inOrder = before == nullptr
                           ? walk.following.offset == 0
                           : walk.following.offset > before->offset &&
                                 compareNames(*before, walk.following) < 0;
  walk.unordered = walk.unordered || !inOrder || walk.following.offset >= walk.directoryOffset;
  walk.hasFollowing = inOrder && walk.following.offset < walk.directoryOffset;
}

// Hands out the next entry and its span's length; false when there is none (or the walk broke).
bool nextEntry(Walk& walk, Header& entry, uint32_t& span) {
  if (!walk.hasFollowing) return false;
  entry = walk.following;
  readFollowing(walk, &entry);
  if (walk.unreadable || walk.unordered) return false;
  span = (walk.hasFollowing ? walk.following.offset : walk.directoryOffset) - entry.offset;
  return true;
}

bool sameLocalBytes(const Header& a, uint32_t aSpan, const Header& b, uint32_t bSpan) {
  return aSpan == bSpan && compareNames(a, b) == 0 && a.versionNeeded == b.versionNeeded &&
         a.flags == b.flags && a.method == b.method && a.dosDateTime == b.dosDateTime &&
         a.crc == b.crc && a.compressedSize == b.compressedSize &&
         a.uncompressedSize == b.uncompressedSize;
}

// Appends a piece, joined to the last one when it continues it; false when the plan is full.
bool addPiece(PartialPlan& plan, PlanPiece piece) {
  if (plan.pieceCount > 0) {
    PlanPiece& last = plan.pieces[plan.pieceCount - 1];
    if (last.fetch == piece.fetch && last.target + last.length == piece.target &&
        (piece.fetch || last.source + last.length == piece.source)) {
      last.length += piece.length;
      return true;
    }
  }
  if (plan.pieceCount == kMostPlanPieces) return false;
  plan.pieces[plan.pieceCount++] = piece;
  plan.fetchCount += piece.fetch ? 1 : 0;
  return true;
}

// Fetches the copy at `index`, which lies between two fetches, and joins the three.
void fetchThrough(PartialPlan& plan, uint32_t index) {
  PlanPiece* pieces = plan.pieces;
  pieces[index - 1].length += pieces[index].length + pieces[index + 1].length;
  std::memmove(pieces + index, pieces + index + 2,
               (plan.pieceCount - index - 2) * sizeof(PlanPiece));
  plan.pieceCount -= 2;
  --plan.fetchCount;
}

// The copy between two fetches with the fewest bytes, or 0 when there is none.
uint32_t smallestGap(const PartialPlan& plan) {
  uint32_t best = 0;
  for (uint32_t index = 1; index + 1 < plan.pieceCount; ++index) {
    if (!plan.pieces[index].fetch && plan.pieces[index - 1].fetch &&
        (best == 0 || plan.pieces[index].length < plan.pieces[best].length)) {
      best = index;  // a copy's neighbours are fetches: copies next to each other are joined
    }
  }
  return best;
}

void joinFetches(PartialPlan& plan, const PlanLimits& limits) {
  for (uint32_t gap = smallestGap(plan); gap != 0; gap = smallestGap(plan)) {
    if (plan.pieces[gap].length >= limits.smallGap && plan.fetchCount <= limits.mostFetches)
      break;
    fetchThrough(plan, gap);
  }
}

}  // namespace

PlanVerdict planPartialUpdate(const PackageEnd& kept, const PackageEnd& next,
                              const PlanLimits& limits, PartialPlan& plan) {
  plan.directoryOffset = 0;
  plan.pieceCount = plan.fetchCount = plan.copiedEntries = plan.entries = 0;
  plan.fetchedBytes = 0;
  Walk fresh, old;
  uint32_t keptDirectory;
  const EndRead nextRead = openDirectory(next, fresh, plan.directoryOffset);
  if (nextRead == EndRead::Unreadable) return PlanVerdict::NewUnreadable;
  if (nextRead == EndRead::Incomplete) return PlanVerdict::EndIncomplete;
  if (openDirectory(kept, old, keptDirectory) != EndRead::Ok) return PlanVerdict::KeptUnreadable;
  readFollowing(fresh, nullptr);
  readFollowing(old, nullptr);

  // Bytes from the end's start on are in hand already.
  const uint32_t endStart = next.packageLength - next.length;
  Header entry, keptEntry{};
  uint32_t span, keptSpan = 0;
  bool haveKept = nextEntry(old, keptEntry, keptSpan);
  while (nextEntry(fresh, entry, span)) {
    ++plan.entries;
    while (haveKept && compareNames(keptEntry, entry) < 0)
      haveKept = nextEntry(old, keptEntry, keptSpan);
    const bool copy = haveKept && sameLocalBytes(entry, span, keptEntry, keptSpan);
    plan.copiedEntries += copy ? 1 : 0;
    if (entry.offset >= endStart) continue;
    const uint32_t length = span < endStart - entry.offset ? span : endStart - entry.offset;
    if (!addPiece(plan, PlanPiece{entry.offset, length, copy ? keptEntry.offset : 0, !copy}))
      return PlanVerdict::TooScattered;
  }
  if (fresh.unreadable) return PlanVerdict::NewUnreadable;
  if (fresh.unordered) return PlanVerdict::Unordered;
  if (fresh.left != 0) return PlanVerdict::NewUnreadable;
  // A kept package that breaks off where the walk stopped cannot be trusted for what it gave.
  if (old.unreadable || old.unordered) return PlanVerdict::KeptUnreadable;

  joinFetches(plan, limits);
  for (uint32_t index = 0; index < plan.pieceCount; ++index)
    plan.fetchedBytes += plan.pieces[index].fetch ? plan.pieces[index].length : 0;
  const uint64_t cost = plan.fetchedBytes + next.length +
                        static_cast<uint64_t>(plan.fetchCount + 1) * limits.requestCost;
  if (cost * 100 > static_cast<uint64_t>(next.packageLength) * limits.mostPercent)
    return PlanVerdict::TooMuchChanged;
  return PlanVerdict::Partial;
}

const char* planVerdictText(PlanVerdict verdict) {
  switch (verdict) {
    case PlanVerdict::Partial: return "partial";
    case PlanVerdict::KeptUnreadable: return "kept package unreadable";
    case PlanVerdict::NewUnreadable: return "end unreadable";
    case PlanVerdict::EndIncomplete: return "end short";
    case PlanVerdict::Unordered: return "unordered";
    case PlanVerdict::TooScattered: return "too scattered";
    case PlanVerdict::TooMuchChanged: return "too much changed";
  }
  return "?";
}

}  // namespace vm
