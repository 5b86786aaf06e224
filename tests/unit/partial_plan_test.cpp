// The partial update's plan (partial_plan.cpp) as one table: a kept package and a new one, built
// by the test's ZIP writer, give a verdict, a number of fetches and of entries copied; a partial
// plan, carried out (copies from the kept bytes, fetches from the new ones, the end as fetched),
// must rebuild the new package byte for byte.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/partial_plan.h"
#include "tests/unit/zip_builder.h"

namespace vm {
namespace {

using test::buildZip;
using test::ZipEntryRecipe;
using test::ZipRecipe;

// For most rows: every request free and any share accepted, so that only the pieces matter.
constexpr PlanLimits kFree{16, 0, 0, 100};

ZipEntryRecipe entry(const std::string& name, char fill, size_t size = 2000) {
  ZipEntryRecipe recipe;
  recipe.name = name;
  recipe.data = std::string(size, fill);
  return recipe;
}

// Ten entries a0 to a9 of 2000 bytes each.
std::vector<ZipEntryRecipe> tenEntries() {
  std::vector<ZipEntryRecipe> entries;
  for (char at = '0'; at <= '9'; ++at) entries.push_back(entry(std::string("a") + at, at));
  return entries;
}

using Change = std::function<void(ZipRecipe&)>;

struct PlanRow {
  const char* what;
  Change keptChange;  // applied to the ten entries to make the kept package
  Change newChange;   // applied to them to make the new one
  uint32_t endLength;  // bytes of the new package's end in hand; 0: its directory and end record
  PlanLimits limits;
  PlanVerdict verdict;
  uint32_t fetches;  // for Partial
  uint32_t copied;
};

void same(ZipRecipe&) {}

const PlanRow kRows[] = {
    {"nothing changed: everything copied", same, same, 0, kFree, PlanVerdict::Partial, 0, 10},
    {"one entry's data changed: one fetch", same,
     [](ZipRecipe& r) { r.entries[4].data[7] = 'x'; }, 0, kFree, PlanVerdict::Partial, 1, 9},
    {"an entry grew: the entries after it are copied from their old places", same,
     [](ZipRecipe& r) { r.entries[2].data += "more"; }, 0, kFree, PlanVerdict::Partial, 1, 9},
    {"an entry added and one removed", same,
     [](ZipRecipe& r) {
       r.entries.erase(r.entries.begin() + 1);
       r.entries.insert(r.entries.begin() + 4, entry("a45", 'n'));
     },
     0, kFree, PlanVerdict::Partial, 1, 9},
    {"only the time changed: fetched", same,
     [](ZipRecipe& r) { r.entries[6].dosDateTime += 1; }, 0, kFree, PlanVerdict::Partial, 1, 9},
    {"same central fields, longer local extra: fetched", same,
     [](ZipRecipe& r) { r.entries[6].localExtra = test::le16(0xCAFE) + test::le16(0); }, 0,
     kFree, PlanVerdict::Partial, 1, 9},
    {"three neighbours changed: one request", same,
     [](ZipRecipe& r) {
       for (int at : {3, 4, 5}) r.entries[at].data[0] = 'x';
     },
     0, kFree, PlanVerdict::Partial, 1, 7},
    {"scattered changes joined over the smallest gaps down to two requests",
     [](ZipRecipe& r) { r.entries[7].data += std::string(5000, 'g'); },
     [](ZipRecipe& r) {
       r.entries[7].data += std::string(5000, 'g');  // the longest gap: kept
       for (int at : {0, 2, 4, 6, 8}) r.entries[at].data[0] = 'x';
     },
     0, PlanLimits{2, 0, 0, 100}, PlanVerdict::Partial, 2, 5},
    {"a gap smaller than smallGap is fetched through", same,
     [](ZipRecipe& r) {
       for (int at : {2, 4}) r.entries[at].data[0] = 'x';
     },
     0, PlanLimits{16, 4096, 0, 100}, PlanVerdict::Partial, 1, 8},
    {"the end reaching back over the last entries: nothing fetched twice", same,
     [](ZipRecipe& r) { r.entries[9].data[0] = 'x'; }, 3000, kFree, PlanVerdict::Partial, 0, 9},
    {"everything changed: whole", same,
     [](ZipRecipe& r) {
       for (auto& e : r.entries) e.data[0] = 'x';
     },
     0, PlanLimits{16, 0, 0, 50}, PlanVerdict::TooMuchChanged, 0, 0},
    {"each request's cost counts against the share", same,
     [](ZipRecipe& r) { r.entries[4].data[0] = 'x'; }, 0, PlanLimits{16, 0, 20000, 50},
     PlanVerdict::TooMuchChanged, 0, 0},
    {"the end does not reach the directory's start", same, same, 40, kFree,
     PlanVerdict::EndIncomplete, 0, 0},
    {"bytes between the new directory and its end record", same,
     [](ZipRecipe& r) { r.betweenDirectoryAndEnd = "junk"; }, 0, kFree,
     PlanVerdict::NewUnreadable, 0, 0},
    {"new entries out of name order", same,
     [](ZipRecipe& r) { std::swap(r.entries[3], r.entries[4]); }, 0, kFree,
     PlanVerdict::Unordered, 0, 0},
    {"a kept package with a prefix before its first entry",
     [](ZipRecipe& r) {
       r.prefix = "stub";
       r.adjustOffsets = true;
     },
     same, 0, kFree, PlanVerdict::KeptUnreadable, 0, 0},
    {"a kept directory whose count overstates its headers",
     [](ZipRecipe& r) { r.totalEntries = r.entriesOnDisk = 11; }, same, 0, kFree,
     PlanVerdict::KeptUnreadable, 0, 0},
};

struct Package {
  std::string bytes;
  PackageEnd end(uint32_t length) const {
    return PackageEnd{reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - length,
                      length, static_cast<uint32_t>(bytes.size())};
  }
};

// The directory, end record and comment: the bytes from the directory's start on.
uint32_t endOfPackage(const std::string& zip) {
  const size_t record = zip.rfind(std::string("PK\x05\x06", 4));
  uint32_t offset = 0;
  for (int at = 3; at >= 0; --at) offset = offset << 8 | static_cast<uint8_t>(zip[record + 16 + at]);
  return static_cast<uint32_t>(zip.size() - offset);
}

TEST(PartialPlanTest, PlansEachRowAndRebuildsTheNewPackage) {
  for (const PlanRow& row : kRows) {
    SCOPED_TRACE(row.what);
    ZipRecipe keptRecipe, newRecipe;
    keptRecipe.entries = newRecipe.entries = tenEntries();
    row.keptChange(keptRecipe);
    row.newChange(newRecipe);
    const Package kept{buildZip(keptRecipe)}, fresh{buildZip(newRecipe)};
    const uint32_t newEnd = row.endLength != 0 ? row.endLength : endOfPackage(fresh.bytes);
    auto plan = std::make_unique<PartialPlan>();
    const PlanVerdict verdict = planPartialUpdate(
        kept.end(static_cast<uint32_t>(kept.bytes.size())), fresh.end(newEnd), row.limits, *plan);
    ASSERT_EQ(verdict, row.verdict) << planVerdictText(verdict);
    if (verdict == PlanVerdict::EndIncomplete) {
      EXPECT_EQ(plan->directoryOffset, fresh.bytes.size() - endOfPackage(fresh.bytes));
    }
    if (verdict != PlanVerdict::Partial) continue;
    EXPECT_EQ(plan->fetchCount, row.fetches);
    EXPECT_EQ(plan->copiedEntries, row.copied);

    std::string rebuilt(fresh.bytes.size(), '\0');
    uint32_t covered = 0, fetched = 0;
    for (uint32_t at = 0; at < plan->pieceCount; ++at) {
      const PlanPiece& piece = plan->pieces[at];
      ASSERT_EQ(piece.target, covered);
      const std::string& from = piece.fetch ? fresh.bytes : kept.bytes;
      rebuilt.replace(piece.target, piece.length,
                      from.substr(piece.fetch ? piece.target : piece.source, piece.length));
      covered += piece.length;
      fetched += piece.fetch ? piece.length : 0;
    }
    ASSERT_EQ(covered, fresh.bytes.size() - newEnd);
    EXPECT_EQ(plan->fetchedBytes, fetched);
    rebuilt.replace(covered, newEnd, fresh.bytes.substr(covered));
    EXPECT_TRUE(rebuilt == fresh.bytes);
  }
}

}  // namespace
}  // namespace vm
