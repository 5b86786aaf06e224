#include "tools/vmpkg/vmpkg.h"

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
// Bytes of a local header besides the name: the fixed part plus the "UT" field.
constexpr uint32_t kLocalHeaderSize = 30 + 9;

// Little-endian fields appended to a record.
struct Encoder {
  std::vector<uint8_t> bytes;
  void u16(uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
  }
  void u32(uint32_t value) {
    u16(value & 0xFFFF);
    u16(value >> 16);
  }
  void text(const char* data, uint32_t count) { bytes.insert(bytes.end(), data, data + count); }
};

bool isFolder(const ZipEntryRecord& entry) { return (entry.mode & 0170000) == 0040000; }

// The DOS date (upper half) and time (lower half) of `unixTime` read as UTC; times before 1980
// give 1980-01-01 00:00:00, the first a DOS time can hold.
uint32_t dosDateTimeUtc(uint32_t unixTime) {
  constexpr uint32_t k1980 = 315532800;
  if (unixTime < k1980) return (1u << 5 | 1u) << 16;
  const std::time_t seconds = unixTime;
  std::tm utc;
  gmtime_r(&seconds, &utc);
  return static_cast<uint32_t>((utc.tm_year - 80) << 25 | (utc.tm_mon + 1) << 21 |
                               utc.tm_mday << 16 | utc.tm_hour << 11 | utc.tm_min << 5 |
                               utc.tm_sec / 2);
}

// The fields shared by both headers from "version needed" to the extra field's length.
void commonFields(Encoder& out, const ZipEntryRecord& entry) {
  // Stored files need version 1.0 of the format to extract; folders and deflate need 2.0.
  out.u16(entry.method == 8 || isFolder(entry) ? 20 : 10);
  uint16_t flags = entry.method == 8 ? kFlagMaximumCompression : 0;
  for (uint32_t index = 0; index < entry.nameLength; ++index)
    if (static_cast<uint8_t>(entry.name[index]) >= 0x80) flags |= kFlagUtf8Name;
  out.u16(flags);
  out.u16(entry.method);
  out.u32(dosDateTimeUtc(entry.unixTime));  // time, then date
  out.u32(entry.crc);
  out.u32(entry.compressedSize);
  out.u32(entry.uncompressedSize);
  out.u16(entry.nameLength);
  out.u16(9);  // the "UT" field
}

// The name, then the "UT" field: flags 1 (the modification time follows) and the time.
void nameAndTime(Encoder& out, const ZipEntryRecord& entry) {
  out.text(entry.name, entry.nameLength);
  out.u16(kTimeFieldId);
  out.u16(5);
  out.text("\x01", 1);
  out.u32(entry.unixTime);
}

}  // namespace

ZipStep ZipWriter::addEntry(const ZipEntryRecord& entry) {
  if (position_ + kLocalHeaderSize + entry.nameLength + entry.compressedSize > largest_)
    return ZipStep::TooLarge;
  directory_.emplace_back(entry, static_cast<uint32_t>(position_));
  Encoder out;
  out.u32(kLocalSignature);
  commonFields(out, entry);
  nameAndTime(out, entry);
  return writeData(out.bytes.data(), out.bytes.size()) ? ZipStep::Ok : ZipStep::Failed;
}

bool ZipWriter::writeData(const void* data, uint64_t length) {
  position_ += length;
  if (signer_ != nullptr) signer_->take(static_cast<const uint8_t*>(data), length);
  if (length != 0 && std::fwrite(data, 1, length, file_) != length) failed_ = true;
  return !failed_;
}

ZipStep ZipWriter::finish(uint16_t commentLength) {
  Encoder out;
  for (const auto& [entry, localOffset] : directory_) {
    out.u32(kCentralSignature);
    out.u16(kMadeByUnix);
    commonFields(out, entry);
    out.u16(0);  // comment length
    out.u16(0);  // disk number
    out.u16(0);  // internal attributes
    // The Unix mode in the upper half; the DOS attributes in the lowest byte, as Info-ZIP sets
    // them for readers that look only there.
    out.u32(entry.mode << 16 | (isFolder(entry) ? kDosDirectory : 0) |
            (entry.mode & 0200 ? 0 : kDosReadOnly));
    out.u32(localOffset);
    nameAndTime(out, entry);
  }
  const uint64_t directoryOffset = position_;
  const uint64_t directorySize = out.bytes.size();
  if (directoryOffset + directorySize + 22 > largest_) return ZipStep::TooLarge;
  out.u32(kEndSignature);
  out.u16(0);  // this disk
  out.u16(0);  // the disk where the central directory starts
  out.u16(static_cast<uint32_t>(directory_.size()));
  out.u16(static_cast<uint32_t>(directory_.size()));
  out.u32(static_cast<uint32_t>(directorySize));
  out.u32(static_cast<uint32_t>(directoryOffset));
  out.u16(commentLength);
  return writeData(out.bytes.data(), out.bytes.size()) ? ZipStep::Ok : ZipStep::Failed;
}

}  // namespace vm
