// Opening, querying and closing a package archive.
#include <cstring>

#include "archive/package_archive.h"
#include "platform/memory.h"
#include "platform/path.h"

namespace vm {
namespace {

ArchiveResult gLastResult = ArchiveOk;

constexpr uint32_t kUnixTimeBlockId = 0x5455;  // "UT", the extended timestamp block
// Given to an entry whose DOS date or time is no valid calendar time: 1980-01-01 00:00:00 UTC,
// the first moment a DOS time can express.
constexpr int64_t kDosEpochSeconds = 315532800;

// Drops drive prefixes, leading slashes and everything up to a slash-dot-dot-slash, until none
// is left.
void cleanName(const char16_t* decoded, char16_t (&name)[260]) {
  static const char16_t* const kClimbs[] = {u"\\..\\", u"\\../", u"/../", u"/..\\"};
  const char16_t* rest = decoded;
  for (bool changed = true; changed;) {
    changed = false;
    if (rest[0] != 0 && rest[1] == u':') {
      rest += 2;
      changed = true;
    } else if (isPathSeparator(rest[0])) {
      rest += 1;
      changed = true;
    } else {
      for (const char16_t* climb : kClimbs) {
        const std::ptrdiff_t at = textFind(rest, climb);
        if (at >= 0) {
          rest += at + 4;
          changed = true;
          break;
        }
      }
    }
  }
  std::size_t length = 0;
  for (; rest[length] != 0; ++length) name[length] = rest[length];
  name[length] = 0;
}

uint32_t attributesOf(const CentralEntryInfo& info) {
  const uint32_t host = info.versionMadeBy >> 8;
  if (host == 0 || host == 7 || host == 11 || host == 14) {  // FAT, Macintosh, NTFS, VFAT
    return info.externalAttributes &
           (FileAttributeReadOnly | FileAttributeHidden | FileAttributeSystem |
            FileAttributeDirectory | FileAttributeArchive);
  }
  // Any other host: the upper half is a Unix mode.
  uint32_t attributes = FileAttributeArchive;
  if (info.externalAttributes & 0x40000000) attributes |= FileAttributeDirectory;
  if (!(info.externalAttributes & 0x00800000)) attributes |= FileAttributeReadOnly;
  return attributes;
}

FileTime dosTimeToUtc(uint32_t dosDateTime) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  CalendarTime local;
  local.year = static_cast<uint16_t>(1980 + date / 512);
  local.month = static_cast<uint16_t>((date / 32) % 16);
  local.day = static_cast<uint16_t>(date % 32);
  local.hour = static_cast<uint16_t>(time / 2048);
  local.minute = static_cast<uint16_t>((time / 32) % 64);
  local.second = static_cast<uint16_t>(2 * (time % 32));
  local.milliseconds = 0;
  // Checked here as well as by the platform: not every converter checks the day against the
  // month (Wine takes February 29 of any year), and every build must give the same time.
  FileTime utc;
  if (!isCalendarTime(local) || !localCalendarTimeToUtc(local, utc))
    utc = fileTimeOfUnixSeconds(kDosEpochSeconds);
  return utc;
}

// Applies the first "UT" block of the local extra field. Times the block announces but does
// not hold keep their DOS value; nothing past the field or the block is read.
void applyExtendedTimes(const uint8_t* extra, uint32_t extraLength, ArchiveEntry& entry) {
  uint32_t start = 0;
  while (start + 4 < extraLength) {
    const uint32_t id = loadLittleEndian16(extra + start);
    const uint32_t size = loadLittleEndian16(extra + start + 2);
    if (id != kUnixTimeBlockId) {
      start += 4 + size;
      continue;
    }
    const uint32_t room = extraLength - start - 4;
    const uint32_t held = size < room ? size : room;
    const uint8_t* data = extra + start + 4;
    if (held < 1) return;
    const uint32_t flags = data[0];
    FileTime* const targets[3] = {&entry.modificationTime, &entry.accessTime,
                                  &entry.creationTime};
    uint32_t at = 1;
    for (int bit = 0; bit < 3; ++bit) {
      if (!(flags & (1u << bit))) continue;
      if (at + 4 > held) return;
      const int32_t seconds = static_cast<int32_t>(loadLittleEndian32(data + at));
      at += 4;
      *targets[bit] = fileTimeOfUnixSeconds(seconds);
    }
    return;
  }
}

}  // namespace

ArchiveResult recordResult(ArchiveResult result) {
  gLastResult = result;
  return result;
}

ArchiveResult lastArchiveResult() { return gLastResult; }

ArchiveHandle* openPackageArchive(const uint8_t* data, uint32_t length) {
  ArchiveHandle* handle = createObject<ArchiveHandle>();
  PackageArchive* archive = createObject<PackageArchive>();
  ArchiveReader* reader = createObject<ArchiveReader>();
  if (handle == nullptr || archive == nullptr || reader == nullptr || data == nullptr ||
      initReader(*reader, data, length) != ReaderOk) {
    destroyObject(reader);
    destroyObject(archive);
    destroyObject(handle);
    recordResult(ArchiveNoFile);
    return nullptr;
  }
  archive->reader = reader;
  archive->cachedIndex = -1;
  archive->cachedEntry = ArchiveEntry{};
  archive->writeBuffer = nullptr;
  // Relative destinations are taken below the directory current now. Without a separator at
  // its end the root would be glued to the first folder name, so a root that cannot get one
  // is left empty.
  if (!currentDirectory(archive->rootFolder)) archive->rootFolder.clear();
  const std::size_t rootLength = archive->rootFolder.length();
  if (rootLength > 0 && !isPathSeparator(archive->rootFolder.get()[rootLength - 1]) &&
      !archive->rootFolder.append(u"\\")) {
    archive->rootFolder.clear();
  }
  handle->kind = 1;
  handle->archive = archive;
  recordResult(ArchiveOk);
  return handle;
}

ArchiveResult queryEntry(PackageArchive& archive, int32_t index, ArchiveEntry& entry,
                         EntryFailure& failure) {
  failure = EntryFailure{EntryFault::None, 0};
  ArchiveReader& reader = *archive.reader;
  if (index < -1 || (index >= 0 && static_cast<uint32_t>(index) >= reader.entryCount))
    return ArchiveBadArgument;
  if (index == archive.cachedIndex && index != -1) {
    entry = archive.cachedEntry;
    return ArchiveOk;
  }
  if (index == -1) {
    entry = ArchiveEntry{};
    entry.index = static_cast<int32_t>(reader.entryCount);
    return ArchiveOk;
  }

  // A walk that cannot reach the entry, or a header that cannot be read, is a corrupt
  // directory.
  if (goToEntry(reader, static_cast<uint32_t>(index)) != ReaderOk) {
    failure = EntryFailure{EntryFault::HeaderUnreadable, 0};
    return ArchiveCorrupt;
  }
  if (reader.current.nameLength >= kNameBufferSize) {
    failure = EntryFailure{EntryFault::NameTooLong, static_cast<int32_t>(reader.current.nameLength)};
    return ArchiveReadFailed;
  }
  char rawName[kNameBufferSize];
  CentralEntryInfo info;
  if (readCentralHeader(reader, info, rawName) != ReaderOk) {
    failure = EntryFailure{EntryFault::HeaderUnreadable, 0};
    return ArchiveCorrupt;
  }
  reader.current = info;
  LocalHeaderInfo local;
  if (checkLocalHeader(reader, local) != ReaderOk) {
    failure = info.method != 0 && info.method != 8
                  ? EntryFailure{EntryFault::UnsupportedMethod, static_cast<int32_t>(info.method)}
                  : EntryFailure{EntryFault::HeaderMismatch, 0};
    return ArchiveCorrupt;
  }
  // The local extra field is read in place: the package is never written while it is open.
  const uint64_t extraStart = static_cast<uint64_t>(local.extraPos) + reader.bias;
  if (extraStart + local.extraLength > reader.source.length) {
    failure = EntryFailure{EntryFault::ExtraPastEnd, 0};
    return ArchiveReadFailed;
  }
  const uint8_t* extra = reader.source.data + extraStart;

  ArchiveEntry result{};
  result.index = index;
  WidePath decoded;
  if (!decodeUtf8(rawName, info.nameLength, decoded)) {
    failure = EntryFailure{EntryFault::NameTooLong, static_cast<int32_t>(info.nameLength)};
    return ArchiveReadFailed;
  }
  cleanName(decoded.get(), result.name);
  result.attributes = attributesOf(info);
  result.compressedSize = info.compressedSize;
  result.uncompressedSize = info.uncompressedSize;
  result.modificationTime = dosTimeToUtc(info.dosDateTime);
  result.accessTime = result.modificationTime;
  result.creationTime = result.modificationTime;
  applyExtendedTimes(extra, local.extraLength, result);

  archive.cachedEntry = result;
  archive.cachedIndex = index;
  entry = result;
  return ArchiveOk;
}

ArchiveResult getArchiveEntry(ArchiveHandle* handle, int32_t index, ArchiveEntry& entry,
                              EntryFailure* failure) {
  entry.index = 0;
  entry.name[0] = 0;
  entry.uncompressedSize = 0;
  EntryFailure ignored;
  EntryFailure& detail = failure != nullptr ? *failure : ignored;
  detail = EntryFailure{EntryFault::None, 0};
  if (handle == nullptr) return recordResult(ArchiveBadArgument);
  if (handle->kind != 1) return recordResult(ArchiveWrongHandle);
  return recordResult(queryEntry(*handle->archive, index, entry, detail));
}

ArchiveResult closePackageArchive(ArchiveHandle* handle) {
  if (handle == nullptr) return recordResult(ArchiveBadArgument);
  if (handle->kind != 1) return recordResult(ArchiveWrongHandle);
  PackageArchive* archive = handle->archive;
  if (archive->reader != nullptr) {
    if (archive->reader->stream != nullptr) closeEntryStream(archive->reader);
    destroyObject(archive->reader);
  }
  freeBytes(archive->writeBuffer);
  destroyObject(archive);
  destroyObject(handle);
  return recordResult(ArchiveOk);
}

}  // namespace vm
