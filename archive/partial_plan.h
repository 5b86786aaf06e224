// The plan of a partial update: which byte spans of a new package can be copied from the package
// the installed version came from (the kept package), and which must be fetched from the server.
//
// Both packages are read only through their ends (the end record, its comment and the central
// directory), which is all the installer holds of the new one before deciding. An entry of the
// new package is copied when the kept package has an entry of the same name whose central
// header predicts the same local bytes (version needed, flags, method, time, CRC-32, sizes) and
// whose span - its local header up to the next entry's, or up to the directory - is as long.
// Nothing here vouches for anything: the rebuilt package is checked whole with the release key
// (checkPackageSignature), so a wrong guess costs a whole download, never trust.
//
// Pure code over the caller's bytes: no allocation, no I/O.
#pragma once

#include <cstdint>

namespace vm {

// The last `length` bytes of a package of `packageLength` bytes, lying at `data`.
struct PackageEnd {
  const uint8_t* data;
  uint32_t length;
  uint32_t packageLength;
};

// What the planner decides; every value but Partial means one whole download, and says why.
// The numbers are fixed (they are logged).
enum class PlanVerdict : uint32_t {
  Partial = 0,          // the plan's pieces rebuild the new package
  KeptUnreadable = 1,   // the kept package's end record or directory cannot be read
  NewUnreadable = 2,    // the new package's end record or directory cannot be read
  EndIncomplete = 3,    // the fetched end starts after the directory (`directoryOffset` says where)
  Unordered = 4,        // entries not in ascending name order, or with gaps or overlaps between them
  TooScattered = 5,     // more pieces than a plan holds
  TooMuchChanged = 6,   // the bytes to fetch (with the requests' cost) exceed the limit's share
};

// The most pieces (copies and fetches together) a plan holds before merging.
constexpr uint32_t kMostPlanPieces = 1024;

// One span of the new package, [target, target + length): copied from the kept package at
// `source`, or fetched (source unused).
struct PlanPiece {
  uint32_t target;
  uint32_t length;
  uint32_t source;
  bool fetch;
};

struct PlanLimits {
  uint32_t mostFetches;  // range requests for entries at most (the end's are not counted)
  // Copyable gaps shorter than this between two fetches are fetched too (one request less).
  uint32_t smallGap;
  // Each request is counted as this many bytes when weighed against the share.
  uint32_t requestCost;
  // The plan is kept only when the bytes fetched (end included) are at most this many
  // percent of the new package.
  uint32_t mostPercent;
};

// The installer's limits: 64 requests keep a release that changed files all over the package
// (row 12 of the benchmark: one in 40 small files) to a few percent more than what changed.
constexpr PlanLimits kPartialLimits{64, 4096, 16384, 50};

struct PartialPlan {
  uint32_t directoryOffset;  // where the new package's directory starts (its end from here on)
  uint32_t pieceCount;       // pieces cover [0, directoryOffset) in order, none empty
  uint32_t fetchCount;
  uint32_t copiedEntries;    // entries of the new package taken from the kept one
  uint32_t entries;          // entries of the new package
  uint64_t fetchedBytes;     // bytes of the fetch pieces
  PlanPiece pieces[kMostPlanPieces];
};

// Plans the new package `next` from the kept package `kept`. Partial with `plan` filled, or
// the reason for a whole download (`plan.directoryOffset` is set from EndIncomplete on, the
// rest of `plan` is unspecified). The new end must hold the whole directory and end exactly
// with the end record's comment; the end bytes count against the share.
PlanVerdict planPartialUpdate(const PackageEnd& kept, const PackageEnd& next,
                              const PlanLimits& limits, PartialPlan& plan);

// The log's words for a verdict ("partial", "new package's directory unreadable", ...).
const char* planVerdictText(PlanVerdict verdict);

}  // namespace vm
