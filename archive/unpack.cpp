// The unpack step. The cleaned names that getArchiveEntry hands out still allow
// "app/C:\Windows\x.dll" or "app/\x", which a path join would turn into paths outside the
// folder; such names are refused here before any join.
#include "archive/unpack.h"

#include "platform/path.h"

namespace vm {
namespace {

// A segment that Windows resolves to the current or the parent folder: "." and "..", and the
// same with trailing dots or blanks ("... ", ".. "), which Windows drops from a path segment.
bool isDotSegment(const char16_t* segment, std::size_t length) {
  bool dot = false;
  for (std::size_t at = 0; at < length; ++at) {
    if (segment[at] == u'.') {
      dot = true;
    } else if (segment[at] != u' ') {
      return false;
    }
  }
  return dot;
}

bool isSafeRest(const char16_t* rest) {
  if (isPathSeparator(rest[0])) return false;
  std::size_t segmentStart = 0;
  for (std::size_t at = 0;; ++at) {
    const char16_t unit = rest[at];
    if (unit == u':') return false;
    if (unit == 0 || isPathSeparator(unit)) {
      if (isDotSegment(rest + segmentStart, at - segmentStart)) return false;
      if (unit == 0) return true;
      segmentStart = at + 1;
    }
  }
}

// True when `path` names something strictly inside `folder` or the folder itself.
bool liesBelow(const char16_t* path, const char16_t* folder) {
  const std::size_t length = textLength(folder);
  for (std::size_t at = 0; at < length; ++at)
    if (path[at] != folder[at]) return false;
  return length == 0 || isPathSeparator(folder[length - 1]) || path[length] == 0 ||
         isPathSeparator(path[length]);
}

}  // namespace

EntryDisposition classifyEntryName(const char16_t* name, const char16_t** rest) {
  if (!textStartsWith(name, u"app/")) return EntryDisposition::OutsideApp;
  if (rest != nullptr) *rest = name + 4;
  return isSafeRest(name + 4) ? EntryDisposition::Unpack : EntryDisposition::Unsafe;
}

UnpackSummary unpackApplication(ArchiveHandle* handle, const char16_t* folder,
                                UnpackObserver* observer) {
  UnpackSummary summary{0, 0, 0, 0};
  ArchiveEntry entry;
  // Without a handle the query clears the count to 0, so no entry is visited.
  getArchiveEntry(handle, -1, entry);
  const int32_t count = entry.index;
  summary.entries = static_cast<uint32_t>(count > 0 ? count : 0);
  for (int32_t index = 0; index < count; ++index) {
    UnpackOutcome outcome{index, &entry, EntryDisposition::Unpack, ArchiveOk, nullptr};
    const ArchiveResult query = getArchiveEntry(handle, index, entry);
    const char16_t* rest = nullptr;
    WidePath destination;
    if (query != ArchiveOk) {
      outcome.disposition = EntryDisposition::QueryFailed;
      outcome.result = query;
    } else {
      outcome.disposition = classifyEntryName(entry.name, &rest);
    }
    if (outcome.disposition == EntryDisposition::Unpack) {
      if (!combinePath(destination, folder, rest)) {
        outcome.result = ArchiveNoFile;  // would not fit the path limit
      } else if (!liesBelow(destination.get(), folder)) {
        outcome.disposition = EntryDisposition::Unsafe;
      } else {
        outcome.destination = destination.get();
        outcome.result = extractArchiveEntry(handle, index, destination.get());
      }
    }
    switch (outcome.disposition) {
      case EntryDisposition::Unpack:
        ++(outcome.result == ArchiveOk ? summary.extracted : summary.failed);
        break;
      case EntryDisposition::QueryFailed:
        ++summary.failed;
        break;
      case EntryDisposition::OutsideApp:
      case EntryDisposition::Unsafe:
        ++summary.skipped;
        break;
    }
    if (observer != nullptr) observer->entryDone(outcome);
  }
  return summary;
}

}  // namespace vm
