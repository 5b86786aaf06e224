// A partial update's download (partial_update.cpp) against a ranged server made here: a rebuilt
// package is the new one byte for byte, fetched through single ranges only; every way the
// server or the kept package lets it down ends in "download whole", with the reason logged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/zip_builder.h"
#include "workflow/partial_update.h"

namespace vm {
namespace {

using test::buildZip;
using test::ZipEntryRecipe;
using test::ZipRecipe;

// Serves `file` as a static server does: a 206 with the asked range, or a 200 when it ignores
// ranges; records each ask as "-N" (suffix) or "A-B".
class RangeServer final : public PieceTransport {
 public:
  std::string file;
  std::string etag = "\"v1\"";
  bool ignoresRanges = false;
  int32_t shift = 0;  // added to every piece's first byte (a server that serves the wrong bytes)
  std::vector<std::string> asks;

  const uint8_t* fetchPiece(ProgressSink&, const char*, const PieceAsk& ask, uint8_t* buffer,
                            int32_t capacity, DownloadReport& report,
                            RangeAnswer& answer) override {
    const int32_t size = static_cast<int32_t>(file.size());
    int32_t first = ask.suffix > 0 ? std::max(0, size - ask.suffix) : ask.from;
    const int32_t last = ask.suffix > 0 ? size - 1 : ask.last;
    asks.push_back(ask.suffix > 0 ? "-" + std::to_string(ask.suffix)
                                  : std::to_string(ask.from) + "-" + std::to_string(ask.last));
    if (ask.suffix == 0) first += shift;
    const std::string body = ignoresRanges ? file : file.substr(first, last - first + 1);
    const std::string head = ignoresRanges ? std::string(40, 'h') : std::string(60, 'h');
    report = DownloadReport{};
    answer.bodyOffset = answer.rangeFirst = answer.rangeLast = answer.rangeTotal = -1;
    if (static_cast<int32_t>(head.size() + body.size()) >= capacity) {
      report.end = DownloadEnd::TooLarge;
      return nullptr;
    }
    std::memcpy(buffer, head.data(), head.size());
    std::memcpy(buffer + head.size(), body.data(), body.size());
    report.status = ignoresRanges ? 200 : 206;
    report.contentLength = report.bodyBytes = static_cast<int32_t>(body.size());
    answer.bodyOffset = static_cast<int32_t>(head.size());
    if (!ignoresRanges) {
      answer.rangeFirst = first;
      answer.rangeLast = first + static_cast<int32_t>(body.size()) - 1;
      answer.rangeTotal = size;
    }
    (void)answer.validator.assign(etag.c_str());
    return buffer + head.size();
  }
};

class CollectedLog final : public RunLog {
 public:
  std::string lines;
  void write(const char* event) override { lines += std::string(event) + "\n"; }
  uint32_t elapsedMilliseconds() override { return 0; }
  void finish(InstallResult) override {}
};

class Silent final : public ProgressSink {
 public:
  void setPosition(int32_t) override {}
};

// `count` entries of 3,000 bytes with names long enough that 1,500 of them make a directory
// longer than the first ask for the end.
std::vector<ZipEntryRecipe> entries(int count) {
  std::vector<ZipEntryRecipe> made;
  for (int at = 0; at < count; ++at) {
    ZipEntryRecipe entry;
    char name[64];
    std::snprintf(name, sizeof name, "app/data/a-rather-long-folder-name/file%05d.bin", at);
    entry.name = name;
    entry.data = std::string(3000, static_cast<char>('a' + at % 26));
    made.push_back(entry);
  }
  return made;
}

TEST(PartialUpdate, RebuildsFromSingleRangesOrSaysWhyItDownloadsWhole) {
  const struct {
    const char* what;
    int entryCount;
    bool unrelatedKept, ignoresRanges, noETag;
    int32_t shift;
    bool rebuilt;
    std::vector<std::string> asks;  // empty: not checked
    const char* logged;
  } rows[] = {
      {"three neighbours changed: the end, then one range", 300, false, false, false, 0, true,
       {"-65536", "30780-40013"}, "297 of 300 entries kept, 2 requests"},
      {"a directory longer than the first ask: the end asked again, exactly", 1500, false,
       false, false, 0, true, {}, "1497 of 1500 entries kept, 3 requests"},
      {"a server that ignores Range", 300, false, true, false, 0, false, {"-65536"},
       "end not ranged, status 200"},
      {"no ETag to hold the pieces to one version", 300, false, false, true, 0, false, {},
       "no strong ETag"},
      {"a piece with other bytes than asked", 300, false, false, false, 1, false, {},
       "piece wrong"},
      {"a kept package that is none", 300, true, false, false, 0, false, {},
       "kept package unreadable"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ZipRecipe before, after;
    before.entries = after.entries = entries(row.entryCount);
    for (int at : {10, 11, 12}) after.entries[at].data[5] = '!';
    const std::string kept = row.unrelatedKept ? std::string(5000, 'k') : buildZip(before);
    RangeServer server;
    server.file = buildZip(after);
    server.ignoresRanges = row.ignoresRanges;
    server.shift = row.shift;
    if (row.noETag) server.etag = "";
    std::vector<uint8_t> buffer(server.file.size() + 2 * kPieceHeadRoom + 65536);
    CollectedLog log;
    Silent progress;
    int32_t length = 0;
    const bool rebuilt = fetchPartialUpdate(
        server, progress, log, "/p", reinterpret_cast<const uint8_t*>(kept.data()),
        static_cast<uint32_t>(kept.size()), buffer.data(), static_cast<int32_t>(buffer.size()),
        length);
    EXPECT_EQ(rebuilt, row.rebuilt);
    EXPECT_NE(log.lines.find(row.logged), std::string::npos) << log.lines;
    if (!row.asks.empty()) {
      EXPECT_EQ(server.asks, row.asks);
    }
    if (!rebuilt) continue;
    ASSERT_EQ(static_cast<size_t>(length), server.file.size());
    EXPECT_TRUE(std::memcmp(buffer.data(), server.file.data(), server.file.size()) == 0);
  }
}

}  // namespace
}  // namespace vm
