// The entry data stream (entry_stream.cpp): pieces, CRC verdicts, decryption and broken data.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "archive/reader.h"
#include "tests/unit/zip_builder.h"

namespace vm {
namespace {

using test::ZipEntryRecipe;
using test::ZipRecipe;

std::string patterned(std::size_t size) {
  std::string data(size, '\0');
  uint32_t state = 12345;
  for (char& byte : data) {
    state = state * 1103515245 + 12345;
    byte = static_cast<char>((state >> 16) % 7 == 0 ? state >> 8 : 'a' + (state >> 16) % 5);
  }
  return data;
}

// An archive of one entry, its reader on that entry.
class OneEntry {
 public:
  explicit OneEntry(const ZipEntryRecipe& entry) {
    ZipRecipe recipe;
    recipe.entries.push_back(entry);
    bytes_ = test::buildZip(recipe);
    EXPECT_EQ(initReader(reader_, reinterpret_cast<const uint8_t*>(bytes_.data()),
                         static_cast<uint32_t>(bytes_.size())),
              ReaderOk);
    EXPECT_EQ(goToEntry(reader_, 0), ReaderOk);
  }
  ~OneEntry() {
    if (reader_.stream != nullptr) closeEntryStream(&reader_);
  }
  ArchiveReader& reader() { return reader_; }

  // Reads the stream to its end (or first failure) in pieces of `piece` bytes. Returns the
  // bytes; `counts` gets every read's result.
  std::string readAll(uint32_t piece, std::vector<int32_t>& counts, int32_t& closeStatus) {
    std::string out;
    std::vector<uint8_t> buffer(piece);
    EXPECT_EQ(openEntryStream(reader_, nullptr), ReaderOk);
    for (int guard = 0; guard < 100000; ++guard) {
      bool end = false;
      const int32_t count = readEntryStream(&reader_, buffer.data(), piece, end);
      counts.push_back(count);
      if (count > 0) out.append(reinterpret_cast<char*>(buffer.data()), count);
      if (count < 0 || end || count == 0) break;
    }
    closeStatus = closeEntryStream(&reader_);
    return out;
  }

 private:
  std::string bytes_;
  ArchiveReader reader_;
};

ZipEntryRecipe entryOf(const std::string& data, uint16_t method) {
  ZipEntryRecipe entry;
  entry.name = "app/data.bin";
  entry.data = data;
  entry.method = method;
  return entry;
}

TEST(EntryStream, DeliversStoredDataInTheCallersPieces) {
  OneEntry one(entryOf(patterned(40000), 0));
  std::vector<int32_t> counts;
  int32_t closeStatus;
  EXPECT_EQ(one.readAll(16384, counts, closeStatus), patterned(40000));
  EXPECT_EQ(counts, (std::vector<int32_t>{16384, 16384, 7232}));
  EXPECT_EQ(closeStatus, ReaderOk);
}

TEST(EntryStream, GivesTheSameBytesWhateverThePieceSize) {
  const std::string data = patterned(70001);
  for (uint16_t method : {0, 8}) {
    for (bool encrypted : {false, true}) {
      for (uint32_t piece : {1u, 7u, 1000u, 16384u, 100000u}) {
        ZipEntryRecipe entry = entryOf(data, method);
        if (encrypted) entry.password = "";
        OneEntry one(entry);
        std::vector<int32_t> counts;
        int32_t closeStatus;
        EXPECT_EQ(one.readAll(piece, counts, closeStatus), data)
            << "method " << method << " encrypted " << encrypted << " piece " << piece;
        EXPECT_EQ(closeStatus, ReaderOk);
      }
    }
  }
}

TEST(EntryStream, EndsAtOnceForEmptyEntries) {
  ZipEntryRecipe deflatedEmpty = entryOf("", 8);
  deflatedEmpty.payload = std::string("\x03\x00", 2);
  for (const ZipEntryRecipe& entry : {entryOf("", 0), deflatedEmpty}) {
    OneEntry one(entry);
    std::vector<int32_t> counts;
    int32_t closeStatus;
    EXPECT_EQ(one.readAll(16384, counts, closeStatus), "");
    EXPECT_EQ(counts, std::vector<int32_t>{0});
    EXPECT_EQ(closeStatus, ReaderOk);
  }
}

TEST(EntryStream, UsesTheCentralValuesWhenTheLocalHeaderDefersThem) {
  ZipEntryRecipe entry = entryOf(patterned(5000), 8);
  entry.dataDescriptor = true;
  OneEntry one(entry);
  std::vector<int32_t> counts;
  int32_t closeStatus;
  EXPECT_EQ(one.readAll(16384, counts, closeStatus), patterned(5000));
  EXPECT_EQ(closeStatus, ReaderOk);
}

// Broken or hostile entries: every one ends with a failure or a CRC verdict, none repeats.
TEST(EntryStream, EndsBrokenEntriesWithAFailureInsteadOfLooping) {
  const std::string data = patterned(30000);
  const std::string deflated = test::rawDeflate(data);
  auto with = [&](uint16_t method, auto change) {
    ZipEntryRecipe entry = entryOf(data, method);
    change(entry);
    return entry;
  };
  std::string flipped = data;
  flipped[12345] ^= 1;
  std::string corrupt = deflated;
  for (std::size_t at = 10; at < 40; ++at) corrupt[at] = static_cast<char>(0xFF);
  const struct {
    const char* what;
    ZipEntryRecipe entry;
    int32_t lastRead;  // the last read's result; 0 or more: the stream reached its end
    int32_t closeStatus;
    bool noMemoryForInflate = false;
  } cases[] = {
      {"a stored byte changed", with(0, [&](ZipEntryRecipe& e) { e.payload = flipped; }), 13616,
       ReaderCrcError},
      {"a wrong CRC", with(8, [](ZipEntryRecipe& e) { e.crc = 0x12345678; }), 13616,
       ReaderCrcError},
      {"stored bytes that run out before the size",
       with(0, [](ZipEntryRecipe& e) { e.uncompressedSize = 40000; }), ReaderIoError, ReaderOk},
      {"stored bytes that run past the package",
       with(0, [](ZipEntryRecipe& e) { e.compressedSize = e.uncompressedSize = 0x7FFFFFFF; }),
       ReaderIoError, ReaderOk},
      {"deflated bytes that run past the package",
       with(8, [](ZipEntryRecipe& e) { e.compressedSize = 0xFFFFFFFF; }), ReaderIoError,
       ReaderOk},
      {"deflate data cut short",
       with(8, [&](ZipEntryRecipe& e) { e.compressedSize = static_cast<uint32_t>(deflated.size() / 2); }),
       Z_BUF_ERROR, ReaderOk},
      {"corrupt deflate data", with(8, [&](ZipEntryRecipe& e) { e.payload = corrupt; }),
       Z_DATA_ERROR, ReaderOk},
      {"deflate data ending before the declared size",
       with(8, [](ZipEntryRecipe& e) { e.uncompressedSize = 1000000; }), 13616, ReaderCrcError},
      {"a huge declared size for stored data",
       with(0, [](ZipEntryRecipe& e) { e.uncompressedSize = 0xFFFFFFFF; }), ReaderIoError,
       ReaderOk},
      {"an encryption header cut short", with(0, [](ZipEntryRecipe& e) {
         e.password = "";
         e.compressedSize = 5;
       }),
       ReaderIoError, ReaderOk},
      {"a non-empty password", with(8, [](ZipEntryRecipe& e) { e.password = "secret"; }),
       ReaderBadPassword, ReaderOk},
      // The stream opens all the same; its reads answer zlib's stream error.
      {"an inflater that cannot be set up", entryOf(data, 8), Z_STREAM_ERROR, ReaderOk, true},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    OneEntry one(row.entry);
    std::vector<int32_t> counts;
    int32_t closeStatus;
    if (row.noMemoryForInflate)
      setInflateMemoryForTesting([](void*, unsigned, unsigned) -> void* { return nullptr; },
                                 nullptr);
    one.readAll(16384, counts, closeStatus);
    setInflateMemoryForTesting(nullptr, nullptr);
    ASSERT_FALSE(counts.empty());
    ASSERT_LT(counts.size(), 100u);
    EXPECT_EQ(counts.back(), row.lastRead);
    EXPECT_EQ(closeStatus, row.closeStatus);
  }
}

TEST(EntryStream, AnswersBadParameterWithoutAStream) {
  OneEntry one(entryOf("abc", 0));
  uint8_t buffer[4];
  bool end = true;
  EXPECT_EQ(readEntryStream(&one.reader(), buffer, 4, end), ReaderBadParameter);
  EXPECT_FALSE(end);
  EXPECT_EQ(readEntryStream(nullptr, buffer, 4, end), ReaderBadParameter);
  EXPECT_EQ(closeEntryStream(&one.reader()), ReaderBadParameter);
  // Opening again closes the open stream first; reading after the end answers 0 and end.
  ASSERT_EQ(openEntryStream(one.reader(), nullptr), ReaderOk);
  ASSERT_EQ(openEntryStream(one.reader(), nullptr), ReaderOk);
  EXPECT_EQ(readEntryStream(&one.reader(), buffer, 4, end), 3);
  EXPECT_TRUE(end);
  EXPECT_EQ(readEntryStream(&one.reader(), buffer, 4, end), 0);
  EXPECT_TRUE(end);
  EXPECT_EQ(closeEntryStream(&one.reader()), ReaderOk);
}

}  // namespace
}  // namespace vm
