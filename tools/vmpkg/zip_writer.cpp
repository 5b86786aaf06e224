#include "tools/vmpkg/zip_writer.h"

#include <ctime>

namespace vm {
namespace {

constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
// Made by: Unix (3) in the upper byte, version 3.0 of the format in the lower, as Info-ZIP
// zip writes it; readers then take the upper half of the external attributes as a Unix mode.
constexpr uint16_t kMadeByUnix = (3 << 8) | 30;
constexpr uint16_t kFlagMaximumCompression = 1 << 1;  // with method 8: level 9 was used
constexpr uint16_t kFlagUtf8Name = 1 << 11;
constexpr uint16_t kTimeFieldId = 0x5455;  // "UT"
constexpr uint32_t kDosDirectory = 0x10;
constexpr uint32_t kDosReadOnly = 0x01;
// Bytes of each record besides the name: the fixed part plus the "UT" field.
constexpr uint32_t kLocalHeaderSize = 30 + 9;
constexpr uint32_t kCentralHeaderSize = 46 + 9;
constexpr uint32_t kEndRecordSize = 22;

struct Encoder {
  uint8_t* at;
  void u16(uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at += 2;
  }
  void u32(uint32_t value) {
    u16(value & 0xFFFF);
    u16(value >> 16);
  }
  void bytes(const char* data, uint32_t count) {
    for (uint32_t index = 0; index < count; ++index) *at++ = static_cast<uint8_t>(data[index]);
  }
};

bool isFolder(const ZipEntryRecord& entry) { return (entry.mode & 0170000) == 0040000; }

// Stored files need version 1.0 of the format to extract; folders and deflate need 2.0.
uint16_t versionNeeded(const ZipEntryRecord& entry) {
  return entry.method == 8 || isFolder(entry) ? 20 : 10;
}

uint16_t flagsOf(const ZipEntryRecord& entry) {
  uint16_t flags = entry.method == 8 ? kFlagMaximumCompression : 0;
  for (uint32_t index = 0; index < entry.nameLength; ++index)
    if (static_cast<uint8_t>(entry.name[index]) >= 0x80) return flags | kFlagUtf8Name;
  return flags;
}

// The fields shared by both headers from "version needed" to the extra field's length.
void commonFields(Encoder& out, const ZipEntryRecord& entry) {
  out.u16(versionNeeded(entry));
  out.u16(flagsOf(entry));
  out.u16(entry.method);
  const uint32_t dos = dosDateTimeUtc(entry.unixTime);
  out.u16(dos & 0xFFFF);  // time, then date
  out.u16(dos >> 16);
  out.u32(entry.crc);
  out.u32(entry.compressedSize);
  out.u32(entry.uncompressedSize);
  out.u16(entry.nameLength);
  out.u16(9);  // the "UT" field
}

void timeField(Encoder& out, const ZipEntryRecord& entry) {
  out.u16(kTimeFieldId);
  out.u16(5);
  out.bytes("\x01", 1);  // flags: the modification time follows
  out.u32(entry.unixTime);
}

}  // namespace

uint32_t dosDateTimeUtc(uint32_t unixTime) {
  constexpr uint32_t k1980 = 315532800;
  if (unixTime < k1980) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
  const std::time_t seconds = unixTime;
  std::tm utc;
  gmtime_r(&seconds, &utc);
  const uint32_t date = static_cast<uint32_t>((utc.tm_year - 80) << 9 | (utc.tm_mon + 1) << 5 |
                                              utc.tm_mday);
  const uint32_t time =
      static_cast<uint32_t>(utc.tm_hour << 11 | utc.tm_min << 5 | utc.tm_sec / 2);
  return date << 16 | time;
}

ZipStep ZipWriter::addEntry(const ZipEntryRecord& entry) {
  if (position_ + kLocalHeaderSize + entry.nameLength + entry.compressedSize > largest_)
    return ZipStep::TooLarge;
  directory_.push_back(Placed{entry, static_cast<uint32_t>(position_)});
  uint8_t header[kLocalHeaderSize + 260];
  Encoder out{header};
  out.u32(kLocalSignature);
  commonFields(out, entry);
  out.bytes(entry.name, entry.nameLength);
  timeField(out, entry);
  return writeData(header, static_cast<uint64_t>(out.at - header)) ? ZipStep::Ok
                                                                     : ZipStep::Failed;
}

bool ZipWriter::writeData(const void* data, uint64_t length) {
  position_ += length;
  if (sink_ != nullptr) sink_->take(static_cast<const uint8_t*>(data), length);
  if (length != 0 && std::fwrite(data, 1, length, file_) != length) failed_ = true;
  return !failed_;
}

ZipStep ZipWriter::finish(uint16_t commentLength) {
  const uint64_t directoryOffset = position_;
  for (const Placed& placed : directory_) {
    const ZipEntryRecord& entry = placed.entry;
    uint8_t header[kCentralHeaderSize + 260];
    Encoder out{header};
    out.u32(kCentralSignature);
    out.u16(kMadeByUnix);
    commonFields(out, entry);
    out.u16(0);  // comment length
    out.u16(0);  // disk number
    out.u16(0);  // internal attributes
    // The Unix mode in the upper half; the DOS attributes in the lowest byte, as Info-ZIP sets
    // them for readers that look only there.
    uint32_t attributes = entry.mode << 16;
    if (isFolder(entry)) attributes |= kDosDirectory;
    if (!(entry.mode & 0200)) attributes |= kDosReadOnly;
    out.u32(attributes);
    out.u32(placed.localOffset);
    out.bytes(entry.name, entry.nameLength);
    timeField(out, entry);
    if (!writeData(header, static_cast<uint64_t>(out.at - header))) return ZipStep::Failed;
  }
  const uint64_t directorySize = position_ - directoryOffset;
  if (position_ + kEndRecordSize > largest_) return ZipStep::TooLarge;
  uint8_t end[kEndRecordSize];
  Encoder out{end};
  out.u32(kEndSignature);
  out.u16(0);  // this disk
  out.u16(0);  // the disk where the central directory starts
  out.u16(static_cast<uint32_t>(directory_.size()));
  out.u16(static_cast<uint32_t>(directory_.size()));
  out.u32(static_cast<uint32_t>(directorySize));
  out.u32(static_cast<uint32_t>(directoryOffset));
  out.u16(commentLength);
  return writeData(end, kEndRecordSize) ? ZipStep::Ok : ZipStep::Failed;
}

}  // namespace vm
