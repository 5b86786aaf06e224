// Reading primitives, the end record, the central directory walk and local header checks.
// Every offset taken from the archive is checked against the source's length before use; sums
// of offsets are formed in 64 bits so that a hostile value cannot wrap around.
#include "archive/reader.h"

#include <cstring>

namespace vm {
namespace {

constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kEndRecordSearchLimit = 65535;
constexpr uint32_t kSearchStep = 1024;

}  // namespace

int32_t readBlock(MemorySource& source, uint8_t* out, uint32_t count) {
  const uint32_t available = source.position < source.length ? source.length - source.position : 0;
  const uint32_t copied = count < available ? count : available;
  if (copied > 0) std::memcpy(out, source.data + source.position, copied);
  source.position += copied;
  return copied == count ? ReaderOk : ReaderIoError;
}

int32_t viewBlock(MemorySource& source, uint32_t count, const uint8_t*& out) {
  if (source.position > source.length || source.length - source.position < count)
    return ReaderIoError;
  out = source.data + source.position;
  source.position += count;
  return ReaderOk;
}

int32_t readU16(MemorySource& source, uint32_t& value) {
  uint8_t bytes[2];
  if (readBlock(source, bytes, 2) != ReaderOk) {
    value = 0;
    return ReaderIoError;
  }
  value = loadLittleEndian16(bytes);
  return ReaderOk;
}

int32_t readU32(MemorySource& source, uint32_t& value) {
  uint8_t bytes[4];
  if (readBlock(source, bytes, 4) != ReaderOk) {
    value = 0;
    return ReaderIoError;
  }
  value = loadLittleEndian32(bytes);
  return ReaderOk;
}

int32_t seekTo(MemorySource& source, uint64_t offset) {
  if (offset > source.length) return ReaderIoError;
  source.position = static_cast<uint32_t>(offset);
  return ReaderOk;
}

bool findEndRecord(MemorySource& source, uint32_t& position) {
  const uint32_t maxBack =
      source.length < kEndRecordSearchLimit ? source.length : kEndRecordSearchLimit;
  if (maxBack <= 4) return false;
  uint8_t window[kSearchStep + 4];
  uint32_t backRead = 4;
  while (backRead < maxBack) {
    backRead = maxBack - backRead > kSearchStep ? backRead + kSearchStep : maxBack;
    const uint32_t start = source.length - backRead;
    const uint32_t size = backRead < sizeof window ? backRead : sizeof window;
    if (seekTo(source, start) != ReaderOk || readBlock(source, window, size) != ReaderOk)
      return false;
    // The highest hit in the window; windows overlap by 4 bytes, so none is missed.
    for (uint32_t at = size - 4 + 1; at-- > 0;) {
      if (window[at] == 0x50 && window[at + 1] == 0x4B && window[at + 2] == 0x05 &&
          window[at + 3] == 0x06) {
        position = start + at;
        return true;
      }
    }
  }
  return false;
}

int32_t initReader(ArchiveReader& reader, const uint8_t* data, uint32_t length) {
  reader = ArchiveReader{};
  reader.source = MemorySource{data, length, 0};
  reader.stream = nullptr;
  MemorySource& source = reader.source;
  if (!findEndRecord(source, reader.endRecordPos)) return ReaderBadArchive;

  uint32_t signature, thisDisk, directoryDisk, entriesHere, commentLength;
  if (seekTo(source, reader.endRecordPos) != ReaderOk || readU32(source, signature) ||
      readU16(source, thisDisk) || readU16(source, directoryDisk) ||
      readU16(source, entriesHere) || readU16(source, reader.entryCount) ||
      readU32(source, reader.directorySize) || readU32(source, reader.directoryOffset) ||
      readU16(source, commentLength)) {
    return ReaderIoError;
  }
  if (entriesHere != reader.entryCount || thisDisk != 0 || directoryDisk != 0)
    return ReaderBadArchive;
  const uint64_t directoryEnd =
      static_cast<uint64_t>(reader.directoryOffset) + reader.directorySize;
  if (reader.endRecordPos < directoryEnd) return ReaderBadArchive;
  reader.bias = static_cast<uint32_t>(reader.endRecordPos - directoryEnd);
  // An invalid first header does not decide the open: queries of it fail instead.
  goToFirstEntry(reader);
  return ReaderOk;
}

int32_t readCentralHeader(ArchiveReader& reader, CentralEntryInfo& info, char* name) {
  MemorySource& source = reader.source;
  uint32_t signature;
  if (seekTo(source, static_cast<uint64_t>(reader.currentHeaderPos) + reader.bias) != ReaderOk ||
      readU32(source, signature) != ReaderOk) {
    return ReaderIoError;
  }
  if (signature != kCentralSignature) return ReaderBadArchive;
  CentralEntryInfo read{};
  uint32_t versionNeeded, diskStart, internalAttributes;
  if (readU16(source, read.versionMadeBy) || readU16(source, versionNeeded) ||
      readU16(source, read.flags) || readU16(source, read.method) ||
      readU32(source, read.dosDateTime) || readU32(source, read.entryCrc) ||
      readU32(source, read.compressedSize) || readU32(source, read.uncompressedSize) ||
      readU16(source, read.nameLength) || readU16(source, read.extraLength) ||
      readU16(source, read.commentLength) || readU16(source, diskStart) ||
      readU16(source, internalAttributes) || readU32(source, read.externalAttributes) ||
      readU32(source, read.localHeaderOffset)) {
    return ReaderIoError;
  }
  if (name != nullptr) {
    // Refused rather than cut: a shortened name could be another file's name.
    if (read.nameLength >= kNameBufferSize) return ReaderBadArchive;
    if (readBlock(source, reinterpret_cast<uint8_t*>(name), read.nameLength) != ReaderOk)
      return ReaderIoError;
    name[read.nameLength] = 0;
  }
  info = read;
  return ReaderOk;
}

void goToFirstEntry(ArchiveReader& reader) {
  reader.currentHeaderPos = reader.directoryOffset;
  reader.currentIndex = 0;
  reader.currentValid = readCentralHeader(reader, reader.current, nullptr) == ReaderOk;
}

void goToNextEntry(ArchiveReader& reader) {
  if (!reader.currentValid || reader.currentIndex + 1 >= reader.entryCount) return;
  const CentralEntryInfo& info = reader.current;
  const uint64_t next = static_cast<uint64_t>(reader.currentHeaderPos) + kCentralHeaderSize +
                        info.nameLength + info.extraLength + info.commentLength;
  reader.currentIndex += 1;
  if (next > UINT32_MAX) {
    reader.currentValid = false;
    return;
  }
  reader.currentHeaderPos = static_cast<uint32_t>(next);
  reader.currentValid = readCentralHeader(reader, reader.current, nullptr) == ReaderOk;
}

int32_t goToEntry(ArchiveReader& reader, uint32_t index) {
  if (index >= reader.entryCount) return ReaderBadParameter;
  if (index < reader.currentIndex) goToFirstEntry(reader);
  // The walk stops at an invalid header instead of stepping over it again and again.
  while (reader.currentValid && reader.currentIndex < index) goToNextEntry(reader);
  return reader.currentValid && reader.currentIndex == index ? ReaderOk : ReaderBadArchive;
}

int32_t checkLocalHeader(ArchiveReader& reader, LocalHeaderInfo& local) {
  if (!reader.currentValid) return ReaderBadParameter;
  const CentralEntryInfo& central = reader.current;
  MemorySource& source = reader.source;
  uint32_t signature, versionNeeded, flags, method, dosDateTime, crc, compressedSize,
      uncompressedSize, nameLength, extraLength;
  if (seekTo(source, static_cast<uint64_t>(central.localHeaderOffset) + reader.bias) !=
          ReaderOk ||
      readU32(source, signature)) {
    return ReaderIoError;
  }
  if (signature != kLocalSignature) return ReaderBadArchive;
  if (readU16(source, versionNeeded) || readU16(source, flags) || readU16(source, method))
    return ReaderIoError;
  if (method != central.method || (method != 0 && method != 8)) return ReaderBadArchive;
  if (readU32(source, dosDateTime) || readU32(source, crc)) return ReaderIoError;
  const bool descriptor = (flags & kFlagDataDescriptor) != 0;
  if (!descriptor && crc != central.entryCrc) return ReaderBadArchive;
  if (readU32(source, compressedSize)) return ReaderIoError;
  if (!descriptor && compressedSize != central.compressedSize) return ReaderBadArchive;
  if (readU32(source, uncompressedSize)) return ReaderIoError;
  if (!descriptor && uncompressedSize != central.uncompressedSize) return ReaderBadArchive;
  if (readU16(source, nameLength)) return ReaderIoError;
  if (nameLength != central.nameLength) return ReaderBadArchive;
  if (readU16(source, extraLength)) return ReaderIoError;
  const uint64_t extraPos =
      static_cast<uint64_t>(central.localHeaderOffset) + kLocalHeaderSize + nameLength;
  const uint64_t dataPos = extraPos + extraLength;
  if (dataPos > UINT32_MAX) return ReaderIoError;  // lies past any package
  local.extraPos = static_cast<uint32_t>(extraPos);
  local.extraLength = extraLength;
  local.dataPos = static_cast<uint32_t>(dataPos);
  return ReaderOk;
}

}  // namespace vm
