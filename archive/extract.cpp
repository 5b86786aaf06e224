// Extraction of single entries to files and folders, and reading an entry without writing it
// (the same loop with no file behind it).

#include <cstring>

#include "archive/package_archive.h"
#include "platform/memory.h"
#include "platform/format.h"
#include "platform/path.h"
#include "product_values.h"  // generated: the profile

namespace vm {
namespace {

// Where the bytes of an entry go.
struct EntrySink {
  bool (*write)(void* context, const uint8_t* data, uint32_t length);
  void (*finish)(void* context);  // every byte delivered: before the CRC verdict
  void* context;
};

bool isAbsolute(const char16_t* path) {
  return isPathSeparator(path[0]) || (path[0] != 0 && path[1] == u':');
}

// Length of `text`, or kPathCapacity when it has that many units or more.
std::size_t boundedLength(const char16_t* text) {
  std::size_t length = 0;
  while (length < kPathCapacity && text[length] != 0) ++length;
  return length;
}

// Creates the first `length` units of `folder` below `root` and every folder above them.
void ensureFolderPart(const char16_t* root, const char16_t* folder, std::size_t length) {
  if (length == 0) return;
  std::size_t separator = length;
  for (std::size_t at = length; at-- > 0;) {
    if (isPathSeparator(folder[at])) {
      separator = at;
      break;
    }
  }
  if (separator != length && separator != 0) ensureFolderPart(root, folder, separator);
  WidePath part;
  WidePath path;
  if (!part.assignUnits(folder, length) ||
      formatInto(path, u"%s%s", root != nullptr ? root : u"", part.get()) < 0) {
    return;  // does not fit the platform's path limit: nothing to create
  }
  if (!pathExists(path.get())) createFolder(path.get());
}

const char16_t* rootOf(const PackageArchive& archive) {
  return archive.rootFolder.empty() ? nullptr : archive.rootFolder.get();
}

// What ended a failed read of an entry's data: a ReaderStatus or zlib code.
EntryFailure failureOf(int32_t status) {
  switch (status) {
    case ReaderIoError: return {EntryFault::DataPastEnd, 0};
    case ReaderBadArchive: return {EntryFault::HeaderMismatch, 0};
    case ReaderBadPassword: return {EntryFault::Encrypted, 0};
    case ReaderCrcError: return {EntryFault::CrcMismatch, 0};
    case ReaderInternalError: return {EntryFault::NoMemory, 0};
    default: return {EntryFault::CorruptData, status};
  }
}

// Opens the current entry's stream and feeds `sink` 16 KiB at a time, up to the entry's end or
// the first failure. The stream is left open: extraction closes its file first, then the stream
// (closeEntry).
ArchiveResult pumpEntry(PackageArchive& archive, const EntrySink& sink, EntryFailure& failure) {
  ArchiveReader& reader = *archive.reader;
  // A stream that failed to open makes the first read report ReaderBadParameter.
  const int32_t openStatus = openEntryStream(reader, nullptr);
  if (archive.writeBuffer == nullptr) {
    archive.writeBuffer = allocateBytes(kStreamBufferSize);
    if (archive.writeBuffer == nullptr) {
      failure = failureOf(ReaderInternalError);
      return ArchiveInflateFailed;
    }
  }
  for (;;) {
    bool endReached = false;
    const int32_t count =
        readEntryStream(&reader, archive.writeBuffer, kStreamBufferSize, endReached);
    if (count == ReaderBadPassword) {
      failure = failureOf(count);
      return ArchivePasswordFailed;
    }
    if (count < 0) {
      failure = failureOf(count == ReaderBadParameter && openStatus != ReaderOk ? openStatus
                                                                               : count);
      return ArchiveInflateFailed;
    }
    if (count > 0 && !sink.write(sink.context, archive.writeBuffer, static_cast<uint32_t>(count)))
      return ArchiveWriteFailed;
    if (endReached) {
      if (sink.finish != nullptr) sink.finish(sink.context);
      return ArchiveOk;
    }
    if (count == 0) {
      failure = failureOf(ReaderIoError);
      return ArchiveInflateFailed;
    }
  }
}

// Closes the current entry's stream after pumpEntry. Data that fails its CRC-32 (or falls short
// of its declared size) is corrupt, not a success.
ArchiveResult closeEntry(ArchiveReader& reader, ArchiveResult result, EntryFailure& failure) {
  const int32_t verdict = closeEntryStream(&reader);
  if (result != ArchiveOk || verdict != ReaderCrcError) return result;
  failure = failureOf(verdict);
  return ArchiveCorrupt;
}

// Checks the handle and index, moves the walk to the entry and queries it.
ArchiveResult prepareEntry(ArchiveHandle* handle, int32_t index, ArchiveEntry& entry,
                           EntryFailure& failure) {
  failure = EntryFailure{EntryFault::None, 0};
  if (handle == nullptr) return ArchiveBadArgument;
  if (handle->kind != 1) return ArchiveWrongHandle;
  PackageArchive& archive = *handle->archive;
  if (index < 0 || static_cast<uint32_t>(index) >= archive.reader->entryCount)
    return ArchiveBadArgument;
  if (goToEntry(*archive.reader, static_cast<uint32_t>(index)) != ReaderOk) {
    failure = EntryFailure{EntryFault::HeaderUnreadable, 0};
    return ArchiveCorrupt;
  }
  // The entry's attributes and times are unknown when the query fails: nothing is created.
  return queryEntry(archive, index, entry, failure);
}

struct FileSinkContext {
  FileHandle file;
  const ArchiveEntry* entry;
};

bool writeToSinkFile(void* context, const uint8_t* data, uint32_t length) {
  return writeToFile(static_cast<FileSinkContext*>(context)->file, data, length);
}

void finishSinkFile(void* context) {
  const auto* sink = static_cast<FileSinkContext*>(context);
  // A file whose times cannot be set is still whole.
  setFileTimes(sink->file, sink->entry->creationTime, sink->entry->accessTime,
               sink->entry->modificationTime);
}

ArchiveResult extractEntry(ArchiveHandle* handle, int32_t index, const char16_t* destination) {
  ArchiveEntry entry;
  EntryFailure failure;  // extraction answers with its result alone
  const ArchiveResult prepared = prepareEntry(handle, index, entry, failure);
  if (prepared != ArchiveOk) return prepared;
  PackageArchive& archive = *handle->archive;
  const char16_t* root = rootOf(archive);

  if (destination == nullptr) return ArchiveNoFile;
  const std::size_t length = boundedLength(destination);
  if (length >= kPathCapacity) return ArchiveNoFile;

  if (entry.attributes & FileAttributeDirectory) {
    WidePath joined;  // only checked: a folder path beyond the limit is refused
    if (formatInto(joined, u"%s%s", isAbsolute(destination) || root == nullptr ? u"" : root,
                   destination) < 0) {
      return ArchiveNoFile;
    }
    ensureFolder(isAbsolute(destination) ? nullptr : root, destination);
    return ArchiveOk;
  }

  std::size_t split = 0;  // units of the folder part, its last separator included
  for (std::size_t at = 0; at < length; ++at)
    if (isPathSeparator(destination[at])) split = at + 1;
  WidePath folderPart;
  if (!folderPart.assignUnits(destination, split)) return ArchiveNoFile;
  const char16_t* leafName = destination + split;
  WidePath path;
  const bool absolute = isAbsolute(folderPart.get());
  const int joined = absolute || root == nullptr
                         ? formatInto(path, u"%s%s", folderPart.get(), leafName)
                         : formatInto(path, u"%s%s%s", root, folderPart.get(), leafName);
  if (joined < 0) return ArchiveNoFile;
  // Consecutive files of one folder (the usual order of a package) skip the walk up the
  // folders, a stat per level; should the folder have gone meanwhile, the failed creation
  // walks and tries once more.
  const std::size_t folderLength = path.length() - textLength(leafName);
  const bool known = archive.lastFolder.length() == folderLength &&
                     textStartsWith(path.get(), archive.lastFolder.get());
  if (!known) ensureFolder(absolute ? nullptr : root, folderPart.get());
  FileSinkContext context{createFileForWriting(path.get(), entry.attributes), &entry};
  if (!isOpen(context.file) && known) {
    ensureFolder(absolute ? nullptr : root, folderPart.get());
    context.file = createFileForWriting(path.get(), entry.attributes);
  }
  if (!isOpen(context.file)) {
    archive.lastFolder.clear();
    return ArchiveNoFile;
  }
  if (!archive.lastFolder.assignUnits(path.get(), folderLength)) archive.lastFolder.clear();
  ArchiveResult result =
      pumpEntry(archive, EntrySink{writeToSinkFile, finishSinkFile, &context}, failure);
  // The field profile unpacks beside the application and switches the files in after a commit
  // mark: from then on they are the only copy of the new version, so their data must be on the
  // disk before the mark, or a power cut could bring back the mark with files that read as
  // zeros. A file that cannot be flushed is not whole.
  if constexpr (kFieldProfile) {
    if (result == ArchiveOk && !flushFile(context.file)) result = ArchiveWriteFailed;
  }
  closeFile(context.file);
  return closeEntry(*archive.reader, result, failure);
}

bool discard(void*, const uint8_t*, uint32_t) { return true; }

struct MemorySinkContext {
  uint8_t* buffer;
  uint32_t capacity;
  uint32_t used;
};

bool writeToMemory(void* context, const uint8_t* data, uint32_t length) {
  auto* sink = static_cast<MemorySinkContext*>(context);
  if (length > sink->capacity - sink->used) return false;
  std::memcpy(sink->buffer + sink->used, data, length);
  sink->used += length;
  return true;
}

}  // namespace

void ensureFolder(const char16_t* root, const char16_t* folder) {
  if (root != nullptr && !pathExists(root)) createFolder(root);
  ensureFolderPart(root, folder, boundedLength(folder));
}

ArchiveResult extractArchiveEntry(ArchiveHandle* handle, int32_t index,
                                  const char16_t* destination) {
  return recordResult(extractEntry(handle, index, destination));
}

ArchiveResult verifyArchiveEntry(ArchiveHandle* handle, int32_t index, EntryFailure* failure) {
  EntryFailure ignored;
  EntryFailure& detail = failure != nullptr ? *failure : ignored;
  ArchiveEntry entry;
  const ArchiveResult prepared = prepareEntry(handle, index, entry, detail);
  if (prepared != ArchiveOk) return recordResult(prepared);
  if (entry.attributes & FileAttributeDirectory) return recordResult(ArchiveOk);
  PackageArchive& archive = *handle->archive;
  const ArchiveResult result = pumpEntry(archive, EntrySink{discard, nullptr, nullptr}, detail);
  return recordResult(closeEntry(*archive.reader, result, detail));
}

ArchiveResult readArchiveEntry(ArchiveHandle* handle, int32_t index, uint8_t* buffer,
                               uint32_t capacity, uint32_t* length) {
  MemorySinkContext context{buffer, buffer != nullptr ? capacity : 0, 0};
  if (length != nullptr) *length = 0;
  EntryFailure detail;
  ArchiveEntry entry;
  const ArchiveResult prepared = prepareEntry(handle, index, entry, detail);
  if (prepared != ArchiveOk) return recordResult(prepared);
  if (entry.attributes & FileAttributeDirectory) return recordResult(ArchiveOk);
  PackageArchive& archive = *handle->archive;
  const ArchiveResult result =
      pumpEntry(archive, EntrySink{writeToMemory, nullptr, &context}, detail);
  if (length != nullptr) *length = context.used;
  return recordResult(closeEntry(*archive.reader, result, detail));
}

}  // namespace vm
