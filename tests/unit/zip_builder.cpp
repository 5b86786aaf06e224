#include "tests/unit/zip_builder.h"

#include <zlib.h>

namespace vm::test {
namespace {

// The traditional PKWARE encryption, written from the application note for the tests.
struct Keys {
  uint32_t k[3] = {0x12345678, 0x23456789, 0x34567890};
  static uint32_t step(uint32_t crc, uint8_t byte) {
    return static_cast<uint32_t>(get_crc_table()[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
  }
  void update(uint8_t plain) {
    k[0] = step(k[0], plain);
    k[1] = (k[1] + (k[0] & 0xFF)) * 134775813u + 1;
    k[2] = step(k[2], static_cast<uint8_t>(k[1] >> 24));
  }
  uint8_t stream() const {
    const uint32_t temp = (k[2] | 2) & 0xFFFF;
    return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
  }
};

std::string encrypt(const std::string& password, uint8_t checkByte, const std::string& data) {
  Keys keys;
  for (char c : password) keys.update(static_cast<uint8_t>(c));
  std::string plain = "encryptHdr!";  // 11 bytes of header; the 12th is the check byte
  plain.push_back(static_cast<char>(checkByte));
  plain += data;
  std::string out;
  for (char c : plain) {
    out.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ keys.stream()));
    keys.update(static_cast<uint8_t>(c));
  }
  return out;
}

}  // namespace

std::string le16(uint32_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string le32(uint32_t value) { return le16(value & 0xFFFF) + le16(value >> 16); }

uint32_t crcOf(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string rawDeflate(const std::string& data, bool finish) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, finish ? Z_FINISH : Z_SYNC_FLUSH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string buildZip(const ZipRecipe& recipe) {
  std::string body;
  std::string directory;
  const uint32_t base = recipe.adjustOffsets ? static_cast<uint32_t>(recipe.prefix.size()) : 0;
  for (const ZipEntryRecipe& entry : recipe.entries) {
    const uint32_t crc = crcOf(entry.data);
    std::string payload = entry.payload ? *entry.payload
                          : entry.method == 8 ? rawDeflate(entry.data)
                                              : entry.data;
    uint16_t flags = entry.flags;
    if (entry.dataDescriptor) flags |= 0x8;
    if (entry.password) {
      flags |= 0x1;
      const uint8_t check = entry.dataDescriptor ? static_cast<uint8_t>(entry.dosDateTime >> 8)
                                                 : static_cast<uint8_t>(crc >> 24);
      payload = encrypt(*entry.password, check, payload);
    }
    const uint32_t offset = static_cast<uint32_t>(body.size()) + base;
    const uint32_t centralCrc = entry.crc.value_or(crc);
    const uint32_t centralCompressed =
        entry.compressedSize.value_or(static_cast<uint32_t>(payload.size()));
    const uint32_t centralUncompressed =
        entry.uncompressedSize.value_or(static_cast<uint32_t>(entry.data.size()));
    const std::string& localName = entry.localName ? *entry.localName : entry.name;
    const bool zeros = entry.dataDescriptor;
    body += le32(0x04034B50) + le16(20) + le16(flags) +
            le16(entry.localMethod.value_or(entry.method)) + le32(entry.dosDateTime) +
            le32(entry.localCrc.value_or(zeros ? 0 : centralCrc)) +
            le32(entry.localCompressedSize.value_or(zeros ? 0 : centralCompressed)) +
            le32(entry.localUncompressedSize.value_or(zeros ? 0 : centralUncompressed)) +
            le16(static_cast<uint32_t>(localName.size())) +
            le16(static_cast<uint32_t>(entry.localExtra.size())) + localName + entry.localExtra +
            payload;
    if (entry.dataDescriptor)
      body += le32(0x08074B50) + le32(centralCrc) + le32(centralCompressed) +
              le32(centralUncompressed);
    directory += le32(0x02014B50) + le16(entry.versionMadeBy) + le16(20) + le16(flags) +
                 le16(entry.method) + le32(entry.dosDateTime) + le32(centralCrc) +
                 le32(centralCompressed) + le32(centralUncompressed) +
                 le16(entry.centralNameLength.value_or(static_cast<uint16_t>(entry.name.size()))) +
                 le16(static_cast<uint32_t>(entry.centralExtra.size())) + le16(0) + le16(0) +
                 le16(0) + le32(entry.externalAttributes) +
                 le32(entry.localHeaderOffset.value_or(offset)) + entry.name + entry.centralExtra;
  }
  const uint16_t count = static_cast<uint16_t>(recipe.entries.size());
  const std::string end =
      le32(0x06054B50) + le16(recipe.thisDisk.value_or(0)) + le16(recipe.directoryDisk.value_or(0)) +
      le16(recipe.entriesOnDisk.value_or(count)) + le16(recipe.totalEntries.value_or(count)) +
      le32(recipe.directorySize.value_or(static_cast<uint32_t>(directory.size()))) +
      le32(recipe.directoryOffset.value_or(static_cast<uint32_t>(body.size()) + base)) +
      le16(static_cast<uint32_t>(recipe.comment.size())) + recipe.comment;
  return recipe.prefix + body + directory + recipe.betweenDirectoryAndEnd + end;
}

std::string singleEntryZip(const std::string& name, const std::string& data, uint16_t method) {
  ZipRecipe recipe;
  ZipEntryRecipe entry;
  entry.name = name;
  entry.data = data;
  entry.method = method;
  recipe.entries.push_back(entry);
  return buildZip(recipe);
}

}  // namespace vm::test
