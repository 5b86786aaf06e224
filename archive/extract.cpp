// Extraction of single entries to files and folders, and reading an entry without writing it
// (the same loop with no file behind it).

#include "archive/package_archive.h"
#include "platform/memory.h"
#include "platform/format.h"
#include "platform/path.h"

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

// Opens the current entry's stream, feeds `sink` 16 KiB at a time and closes the stream.
// `status` receives the step that ended a failure (or the CRC verdict).
ArchiveResult pumpEntry(PackageArchive& archive, const EntrySink& sink, int32_t& status) {
  ArchiveReader& reader = *archive.reader;
  // A stream that failed to open makes the first read report ReaderBadParameter.
  const int32_t openStatus = openEntryStream(reader, nullptr);
  if (archive.writeBuffer == nullptr) {
    archive.writeBuffer = allocateBytes(kStreamBufferSize);
    if (archive.writeBuffer == nullptr) {
      if (reader.stream != nullptr) closeEntryStream(&reader);
      status = ReaderInternalError;
      return ArchiveInflateFailed;
    }
  }
  ArchiveResult result = ArchiveInflateFailed;
  status = ReaderOk;
  for (;;) {
    bool endReached = false;
    const int32_t count =
        readEntryStream(&reader, archive.writeBuffer, kStreamBufferSize, endReached);
    if (count == ReaderBadPassword) {
      status = count;
      result = ArchivePasswordFailed;
      break;
    }
    if (count < 0) {
      status = count == ReaderBadParameter && openStatus != ReaderOk ? openStatus : count;
      result = ArchiveInflateFailed;
      break;
    }
    if (count > 0 && !sink.write(sink.context, archive.writeBuffer, static_cast<uint32_t>(count))) {
      result = ArchiveWriteFailed;
      break;
    }
    if (endReached) {
      if (sink.finish != nullptr) sink.finish(sink.context);
      result = ArchiveOk;
      break;
    }
    if (count == 0) {
      status = ReaderIoError;
      result = ArchiveInflateFailed;
      break;
    }
  }
  const int32_t verdict = closeEntryStream(&reader);
  // Data that fails its CRC-32 (or falls short of its declared size) is corrupt, not a success.
  if (result == ArchiveOk && verdict == ReaderCrcError) {
    status = verdict;
    result = ArchiveCorrupt;
  }
  return result;
}

// Checks the handle and index, moves the walk to the entry and queries it.
ArchiveResult prepareEntry(ArchiveHandle* handle, int32_t index, ArchiveEntry& entry) {
  if (handle == nullptr) return ArchiveBadArgument;
  if (handle->kind != 1) return ArchiveWrongHandle;
  PackageArchive& archive = *handle->archive;
  if (index < 0 || static_cast<uint32_t>(index) >= archive.reader->entryCount)
    return ArchiveBadArgument;
  if (goToEntry(*archive.reader, static_cast<uint32_t>(index)) != ReaderOk) return ArchiveCorrupt;
  // The entry's attributes and times are unknown when the query fails: nothing is created.
  return queryEntry(archive, index, entry);
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
  const ArchiveResult prepared = prepareEntry(handle, index, entry);
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
  int32_t status = ReaderOk;
  const ArchiveResult result =
      pumpEntry(archive, EntrySink{writeToSinkFile, finishSinkFile, &context}, status);
  closeFile(context.file);
  return result;
}

bool discard(void*, const uint8_t*, uint32_t) { return true; }

}  // namespace

void ensureFolder(const char16_t* root, const char16_t* folder) {
  if (root != nullptr && !pathExists(root)) createFolder(root);
  ensureFolderPart(root, folder, boundedLength(folder));
}

ArchiveResult extractArchiveEntry(ArchiveHandle* handle, int32_t index,
                                  const char16_t* destination) {
  return recordResult(extractEntry(handle, index, destination));
}

ArchiveResult verifyArchiveEntry(ArchiveHandle* handle, int32_t index, int32_t* status) {
  int32_t ignored = ReaderOk;
  int32_t& detail = status != nullptr ? *status : ignored;
  detail = ReaderOk;
  ArchiveEntry entry;
  const ArchiveResult prepared = prepareEntry(handle, index, entry);
  if (prepared != ArchiveOk) return recordResult(prepared);
  if (entry.attributes & FileAttributeDirectory) return recordResult(ArchiveOk);
  return recordResult(
      pumpEntry(*handle->archive, EntrySink{discard, nullptr, nullptr}, detail));
}

}  // namespace vm
