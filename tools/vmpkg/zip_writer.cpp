#include "tools/vmpkg/zip_writer.h"

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

struct Writer {
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
void commonFields(Writer& out, const ZipEntryRecord& entry) {
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

void timeField(Writer& out, const ZipEntryRecord& entry) {
  out.u16(kTimeFieldId);
  out.u16(5);
  out.bytes("\x01", 1);  // flags: the modification time follows
  out.u32(entry.unixTime);
}

}  // namespace

uint32_t dosDateTimeUtc(uint32_t unixTime) {
  constexpr uint32_t k1980 = 315532800;
  if (unixTime < k1980) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
  const uint32_t seconds = unixTime % 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  const int64_t shifted = unixTime / 86400 + 719468;
  const int64_t era = shifted / 146097;
  const int64_t dayOfEra = shifted - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const uint32_t day = static_cast<uint32_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  const uint32_t month = static_cast<uint32_t>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  const uint32_t year = static_cast<uint32_t>(yearOfEra + era * 400 + (month <= 2));
  const uint32_t date = (year - 1980) << 9 | month << 5 | day;
  const uint32_t time = (seconds / 3600) << 11 | (seconds / 60 % 60) << 5 | (seconds % 60) / 2;
  return date << 16 | time;
}

uint32_t encodeLocalHeader(const ZipEntryRecord& entry, uint8_t* out) {
  Writer writer{out};
  writer.u32(kLocalSignature);
  commonFields(writer, entry);
  writer.bytes(entry.name, entry.nameLength);
  timeField(writer, entry);
  return static_cast<uint32_t>(writer.at - out);
}

uint32_t encodeCentralHeader(const ZipEntryRecord& entry, uint8_t* out) {
  Writer writer{out};
  writer.u32(kCentralSignature);
  writer.u16(kMadeByUnix);
  commonFields(writer, entry);
  writer.u16(0);  // comment length
  writer.u16(0);  // disk number
  writer.u16(0);  // internal attributes
  // The Unix mode in the upper half; the DOS attributes in the lowest byte, as Info-ZIP sets
  // them for readers that look only there.
  uint32_t attributes = entry.mode << 16;
  if (isFolder(entry)) attributes |= kDosDirectory;
  if (!(entry.mode & 0200)) attributes |= kDosReadOnly;
  writer.u32(attributes);
  writer.u32(entry.localOffset);
  writer.bytes(entry.name, entry.nameLength);
  timeField(writer, entry);
  return static_cast<uint32_t>(writer.at - out);
}

uint32_t encodeEndRecord(uint16_t count, uint32_t directorySize, uint32_t directoryOffset,
                         uint8_t* out) {
  Writer writer{out};
  writer.u32(kEndSignature);
  writer.u16(0);  // this disk
  writer.u16(0);  // the disk where the central directory starts
  writer.u16(count);
  writer.u16(count);
  writer.u32(directorySize);
  writer.u32(directoryOffset);
  writer.u16(0);  // comment length
  return static_cast<uint32_t>(writer.at - out);
}

}  // namespace vm
