// vmpkg pack on POSIX hosts: walk the folder, refuse what the installer would skip or fail or
// what a package cannot hold faithfully, write the archive to a temporary file beside OUT,
// sign it when asked, read it back with the installer's archive code, and rename it to OUT.
#include "tools/vmpkg/pack.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/package_signature.h"
#include "archive/unpack.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "tools/common/main_program.h"
#include "tools/common/package_limits.h"
#include "tools/vmpkg/signing.h"
#include "tools/vmpkg/zip_writer.h"

namespace vm {
namespace {

constexpr uint32_t kMostEntries = 65535;  // the end record's 16-bit count, without Zip64
constexpr uint32_t kNameLimit = 260;  // the installer refuses names of this many bytes or more
constexpr uint64_t kLargestEntry = 0xFFFFFFFE;  // 0xFFFFFFFF in a size field means Zip64
constexpr uint32_t kReadChunk = 1u << 20;
constexpr uint64_t kLargestProgram = 512u << 20;  // a Velmora.exe read whole for its version
constexpr int64_t kLatestTime = 0x7FFFFFFF;  // the "UT" field holds a signed 32-bit count
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kUnixEpochTicks = 116444736000000000;  // 1970-01-01 as a FILETIME

struct Entry {
  char name[kNameLimit];  // "app/...", UTF-8; a folder's ends with '/'
  uint32_t nameLength;
  bool folder;
  uint64_t size;
  uint32_t mtime;
  uint32_t mode;  // normalised: 040755, 0100644 or 0100444, plus 0111 for owner-executable
  dev_t device;
  ino_t inode;
  ZipEntryRecord record;
};

struct Entries {
  Entry* items = nullptr;
  uint32_t count = 0;
  uint32_t capacity = 0;
  Entries() = default;
  Entries(const Entries&) = delete;
  Entries& operator=(const Entries&) = delete;
  ~Entries() { std::free(items); }
  Entry* add() {
    if (count == capacity) {
      const uint32_t grown = capacity == 0 ? 256 : capacity * 2;
      void* larger = std::realloc(items, sizeof(Entry) * grown);
      if (larger == nullptr) return nullptr;
      items = static_cast<Entry*>(larger);
      capacity = grown;
    }
    Entry* entry = &items[count++];
    std::memset(entry, 0, sizeof *entry);
    return entry;
  }
};

struct Refusals {
  unsigned count = 0;
  void add(const char* name, const char* why) {
    std::fprintf(stderr, "vmpkg: pack: refused: %s: %s\n", name, why);
    ++count;
  }
};

// ---------------------------------------------------------------- names

// True when `text` (`length` bytes) is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool isUtf8(const char* text, std::size_t length) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  for (std::size_t at = 0; at < length;) {
    const uint8_t lead = bytes[at];
    uint32_t trail = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if (lead < 0x80) {
      ++at;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1, code = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2, code = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3, code = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (trail > length - at - 1) return false;
    for (uint32_t index = 1; index <= trail; ++index) {
      if ((bytes[at + index] & 0xC0) != 0x80) return false;
      code = (code << 6) | (bytes[at + index] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    at += trail + 1;
  }
  return true;
}

char foldAscii(char unit) { return unit >= 'A' && unit <= 'Z' ? unit - 'A' + 'a' : unit; }

// Windows' device names, which name a device in any folder, also with an extension.
bool isDeviceName(const char* segment, std::size_t length) {
  static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
  std::size_t stem = 0;
  while (stem < length && segment[stem] != '.') ++stem;
  char folded[5] = {};
  if (stem != 3 && stem != 4) return false;
  for (std::size_t at = 0; at < stem; ++at) folded[at] = foldAscii(segment[at]);
  if (stem == 3) {
    for (const char* device : kDevices)
      if (std::memcmp(folded, device, 3) == 0) return true;
    return false;
  }
  return (std::memcmp(folded, "com", 3) == 0 || std::memcmp(folded, "lpt", 3) == 0) &&
         folded[3] >= '1' && folded[3] <= '9';
}

// Why one name below APPDIR cannot become a file or folder of that name on Windows; null when
// it can.
const char* segmentProblem(const char* segment, std::size_t length) {
  if (!isUtf8(segment, length))
    return "its name is no valid UTF-8 (the installer would write U+FFFD for the bytes)";
  for (std::size_t at = 0; at < length; ++at) {
    const unsigned char unit = static_cast<unsigned char>(segment[at]);
    if (unit < 0x20 || std::strchr("<>:\"\\|?*", unit) != nullptr)
      return "its name holds a character Windows refuses in names (<>:\"\\|?* or a control "
             "character)";
  }
  if (segment[length - 1] == '.' || segment[length - 1] == ' ')
    return "its name ends with a dot or a blank, which Windows drops";
  if (isDeviceName(segment, length))
    return "its name is a Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
  return nullptr;
}

// ---------------------------------------------------------------- the walk

struct Walk {
  char path[PATH_MAX];  // the current path: APPDIR, then a file or folder below it
  std::size_t rootLength;
  long long cap;  // SOURCE_DATE_EPOCH, or -1
  Entries& entries;
  Refusals& refusals;
  bool tooMany = false;
  bool noMemory = false;
};

// Adds the file or folder at walk.path named `name`; recurses into folders.
void walkFolder(Walk& walk, const char* folderName, std::size_t folderNameLength);

void visit(Walk& walk, const char* leaf, const char* folderName, std::size_t folderNameLength) {
  const std::size_t leafLength = std::strlen(leaf);
  char shown[PATH_MAX + 8];
  std::snprintf(shown, sizeof shown, "%.*s%s", static_cast<int>(folderNameLength), folderName,
                leaf);
  struct stat status;
  if (lstat(walk.path, &status) != 0) {
    walk.refusals.add(shown, std::strerror(errno));
    return;
  }
  const bool folder = S_ISDIR(status.st_mode);
  if (S_ISLNK(status.st_mode)) {
    walk.refusals.add(shown, "a symbolic link; a package holds files and folders only");
    return;
  }
  if (!folder && !S_ISREG(status.st_mode)) {
    walk.refusals.add(shown, "a special file (device, pipe or socket); a package holds files "
                             "and folders only");
    return;
  }
  if (const char* problem = segmentProblem(leaf, leafLength)) walk.refusals.add(shown, problem);
  const std::size_t nameLength = folderNameLength + leafLength + (folder ? 1 : 0);
  if (nameLength >= kNameLimit) {
    char why[96];
    std::snprintf(why, sizeof why, "its entry name of %zu bytes is too long (at most %u)",
                  nameLength, kNameLimit - 1);
    walk.refusals.add(shown, why);
    return;  // everything below it would be too long as well
  }
  if (!folder && static_cast<uint64_t>(status.st_size) > kLargestEntry) {
    walk.refusals.add(shown, "4 GiB or more; the format without Zip64 cannot hold it");
  }
  int64_t mtime = status.st_mtim.tv_sec;
  if (walk.cap >= 0 && mtime > walk.cap) mtime = walk.cap;
  if (mtime < 0 || mtime > kLatestTime) {
    walk.refusals.add(shown, "its modification time lies before 1970 or after 2038-01-19, "
                             "which the \"UT\" field cannot hold (SOURCE_DATE_EPOCH caps "
                             "later times)");
  }
  if (walk.entries.count >= kMostEntries + 1) {
    walk.tooMany = true;
    return;
  }
  Entry* entry = walk.entries.add();
  if (entry == nullptr) {
    walk.noMemory = true;
    return;
  }
  std::snprintf(entry->name, sizeof entry->name, "%.*s%s%s",
                static_cast<int>(folderNameLength), folderName, leaf, folder ? "/" : "");
  entry->nameLength = static_cast<uint32_t>(nameLength);
  entry->folder = folder;
  entry->size = folder ? 0 : static_cast<uint64_t>(status.st_size);
  entry->mtime = static_cast<uint32_t>(mtime < 0 ? 0 : mtime > kLatestTime ? 0 : mtime);
  entry->mode = folder ? 040755 : (status.st_mode & S_IWUSR ? 0100644 : 0100444) |
                                      (status.st_mode & S_IXUSR ? 0111 : 0);
  entry->device = status.st_dev;
  entry->inode = status.st_ino;
  // The name as the installer sees it: decoded, and judged by the unpack step's rule.
  WidePath decoded;
  if (!decodeUtf8(entry->name, nameLength, decoded) ||
      classifyEntryName(decoded.get()) != EntryDisposition::Unpack) {
    walk.refusals.add(shown, "the installer would skip it (unsafe name)");
  }
  if (folder) {
    char name[kNameLimit];
    std::memcpy(name, entry->name, nameLength + 1);  // entries may move as the list grows
    walkFolder(walk, name, nameLength);
  }
}

void walkFolder(Walk& walk, const char* folderName, std::size_t folderNameLength) {
  DIR* folder = opendir(walk.path);
  if (folder == nullptr) {
    walk.refusals.add(folderName, std::strerror(errno));
    return;
  }
  const std::size_t pathLength = std::strlen(walk.path);
  // Read the names first: the folder is closed before the walk goes deeper.
  char** names = nullptr;
  std::size_t count = 0;
  std::size_t capacity = 0;
  // A listing that ends early would leave the rest of the folder out without a word, and the
  // read-back compares against the same short list: every failure refuses the pack.
  for (;;) {
    errno = 0;
    const dirent* found = readdir(folder);
    if (found == nullptr) {
      if (errno != 0) walk.refusals.add(folderName, std::strerror(errno));
      break;
    }
    if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
    if (count == capacity) {
      capacity = capacity == 0 ? 64 : capacity * 2;
      void* larger = std::realloc(names, capacity * sizeof *names);
      if (larger == nullptr) {
        walk.noMemory = true;
        break;
      }
      names = static_cast<char**>(larger);
    }
    names[count] = strdup(found->d_name);
    if (names[count] == nullptr) {
      walk.noMemory = true;
      break;
    }
    ++count;
  }
  closedir(folder);
  for (std::size_t index = 0; index < count; ++index) {
    if (!walk.tooMany && !walk.noMemory) {
      if (std::snprintf(walk.path + pathLength, sizeof walk.path - pathLength, "/%s",
                        names[index]) >= static_cast<int>(sizeof walk.path - pathLength)) {
        walk.refusals.add(names[index], "its path is too long for this system");
      } else {
        visit(walk, names[index], folderName, folderNameLength);
      }
      walk.path[pathLength] = 0;
    }
    std::free(names[index]);
  }
  std::free(names);
}

int compareNames(const void* left, const void* right) {
  return std::strcmp(static_cast<const Entry*>(left)->name,
                     static_cast<const Entry*>(right)->name);
}

// Names compared as Windows compares them for A-Z (a folder's without its slash).
int compareFolded(const void* left, const void* right) {
  const Entry* a = *static_cast<const Entry* const*>(left);
  const Entry* b = *static_cast<const Entry* const*>(right);
  const uint32_t lengthA = a->nameLength - (a->folder ? 1 : 0);
  const uint32_t lengthB = b->nameLength - (b->folder ? 1 : 0);
  for (uint32_t at = 0;; ++at) {
    const int unitA = at < lengthA ? static_cast<unsigned char>(foldAscii(a->name[at])) : -1;
    const int unitB = at < lengthB ? static_cast<unsigned char>(foldAscii(b->name[at])) : -1;
    if (unitA != unitB) return unitA < unitB ? -1 : 1;
    if (unitA < 0) return 0;
  }
}

void refuseCaseTwins(const Entries& entries, Refusals& refusals) {
  const Entry** order = static_cast<const Entry**>(std::malloc(sizeof(Entry*) * (entries.count + 1)));
  if (order == nullptr) {
    refusals.add("package", "no memory to compare its names");
    return;
  }
  for (uint32_t index = 0; index < entries.count; ++index) order[index] = &entries.items[index];
  std::qsort(order, entries.count, sizeof *order, compareFolded);
  for (uint32_t index = 1; index < entries.count; ++index) {
    if (compareFolded(&order[index - 1], &order[index]) != 0) continue;
    char why[kNameLimit + 96];
    std::snprintf(why, sizeof why,
                  "its name differs from %s only in the case of letters; Windows keeps one",
                  order[index - 1]->name);
    refusals.add(order[index]->name, why);
  }
  std::free(order);
}

// ---------------------------------------------------------------- files

struct FileBytes {
  uint8_t* data = nullptr;
  uint64_t length = 0;
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() { std::free(data); }
};

bool readWhole(const char* path, uint64_t limit, FileBytes& bytes) {
  const int file = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (file < 0) return false;
  struct stat status;
  bool ok = fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
            static_cast<uint64_t>(status.st_size) <= limit;
  if (ok) {
    bytes.length = static_cast<uint64_t>(status.st_size);
    bytes.data = static_cast<uint8_t*>(std::malloc(bytes.length + 1));
    ok = bytes.data != nullptr;
    for (uint64_t done = 0; ok && done < bytes.length;) {
      const ssize_t got = read(file, bytes.data + done, bytes.length - done);
      if (got < 0 && errno == EINTR) continue;
      ok = got > 0;
      done += got > 0 ? static_cast<uint64_t>(got) : 0;
    }
  }
  close(file);
  return ok;
}

// ---------------------------------------------------------------- writing

enum class Step { Ok, TooLarge, Failed };

// What one file's compression needs: its own deflate state and buffers, so that two files can
// be compressed at once (one on a helper thread).
struct Slot {
  z_stream deflater{};
  bool deflaterReady = false;
  uint8_t* compressed = nullptr;  // kLargestDownloadablePackage bytes: deflate's output
  uint8_t* chunk = nullptr;       // kReadChunk bytes: what is read from a file
  Slot() = default;
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() {
    if (deflaterReady) deflateEnd(&deflater);
    std::free(compressed);
    std::free(chunk);
  }
  bool prepare() {
    compressed = static_cast<uint8_t*>(std::malloc(kLargestDownloadablePackage + 1));
    chunk = static_cast<uint8_t*>(std::malloc(kReadChunk));
    deflaterReady =
        deflateInit2(&deflater, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return compressed != nullptr && chunk != nullptr && deflaterReady;
  }
};

struct Writer {
  FILE* file = nullptr;
  uint64_t position = 0;
  // The largest package: the download buffer's, less the signature comment when signing.
  uint64_t largest = kLargestDownloadablePackage;
  bool write(const void* data, uint64_t length) {
    position += length;
    return length == 0 || std::fwrite(data, 1, length, file) == length;
  }
};

// Opens the file of `entry` below `root`, which must still be the file the walk saw.
int openEntryFile(const char* root, const Entry& entry) {
  char path[PATH_MAX];
  std::snprintf(path, sizeof path, "%s/%s", root, entry.name + 4);
  const int file = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (file >= 0 && fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
      status.st_dev == entry.device && status.st_ino == entry.inode &&
      static_cast<uint64_t>(status.st_size) == entry.size) {
    return file;
  }
  if (file >= 0) close(file);
  return -1;
}

// Reads the file of `entry` once, computing its CRC-32 and deflating it into the slot while
// deflate stays smaller than the file (and than the largest package). Fills the record's CRC,
// sizes and method: 8 with the data in slot.compressed, or 0 (stored: written by a second
// read). Touches nothing shared, so it may run on a helper thread.
Step compressFile(Slot& slot, const char* root, Entry& entry) {
  const int file = openEntryFile(root, entry);
  if (file < 0) {
    std::fprintf(stderr, "vmpkg: pack: %s: changed or unreadable while packing\n", entry.name);
    return Step::Failed;
  }
  uint64_t limit = entry.size == 0 ? 0 : entry.size - 1;  // deflate must come out smaller
  if (limit > kLargestDownloadablePackage) limit = kLargestDownloadablePackage;
  z_stream& z = slot.deflater;
  deflateReset(&z);
  z.next_out = slot.compressed;
  z.avail_out = static_cast<uInt>(limit);
  bool deflating = limit > 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t total = 0;
  bool ok = true;
  for (;;) {
    const ssize_t got = read(file, slot.chunk, kReadChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    total += static_cast<uint64_t>(got);
    crc = crc32(crc, slot.chunk, static_cast<uInt>(got));
    z.next_in = slot.chunk;
    z.avail_in = static_cast<uInt>(got);
    while (deflating && z.avail_in > 0) {
      if (deflate(&z, Z_NO_FLUSH) == Z_STREAM_ERROR) ok = deflating = false;
      if (z.avail_out == 0 && z.avail_in > 0) deflating = false;  // not smaller: stored
    }
  }
  close(file);
  while (ok && deflating && total == entry.size) {
    const int result = deflate(&z, Z_FINISH);
    if (result == Z_STREAM_END) break;
    if (z.avail_out == 0 || (result != Z_OK && result != Z_BUF_ERROR)) deflating = false;
  }
  if (!ok || total != entry.size) {
    std::fprintf(stderr, "vmpkg: pack: %s: changed or unreadable while packing\n", entry.name);
    return Step::Failed;
  }
  ZipEntryRecord& record = entry.record;
  record.crc = static_cast<uint32_t>(crc);
  record.uncompressedSize = static_cast<uint32_t>(entry.size);
  record.method = deflating ? 8 : 0;
  record.compressedSize =
      deflating ? static_cast<uint32_t>(limit - z.avail_out) : record.uncompressedSize;
  return Step::Ok;
}

// Writes the local header and data of a file that compressFile has done in `slot`; a stored
// file is read a second time and must give the bytes its CRC-32 was computed over.
Step writeFile(Writer& writer, Slot& slot, const char* root, Entry& entry) {
  ZipEntryRecord& record = entry.record;
  const uint64_t header = kZipLocalHeaderSize + entry.nameLength;
  if (writer.position + header + record.compressedSize > writer.largest)
    return Step::TooLarge;
  record.localOffset = static_cast<uint32_t>(writer.position);
  uint8_t local[kZipLocalHeaderSize + kNameLimit];
  bool written = writer.write(local, encodeLocalHeader(record, local));
  if (record.method == 8) {
    written = written && writer.write(slot.compressed, record.compressedSize);
  } else if (written && entry.size > 0) {
    const int file = openEntryFile(root, entry);
    uLong again = crc32(0L, Z_NULL, 0);
    uint64_t copied = 0;
    bool same = file >= 0;
    while (same && written) {
      const ssize_t got = read(file, slot.chunk, kReadChunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        same = got == 0;
        break;
      }
      again = crc32(again, slot.chunk, static_cast<uInt>(got));
      copied += static_cast<uint64_t>(got);
      same = copied <= entry.size;
      written = same && writer.write(slot.chunk, static_cast<uint64_t>(got));
    }
    if (file >= 0) close(file);
    if (written && (!same || again != record.crc || copied != entry.size)) {
      std::fprintf(stderr, "vmpkg: pack: %s: changed while packing\n", entry.name);
      return Step::Failed;
    }
  }
  if (!written) {
    std::fprintf(stderr, "vmpkg: pack: cannot write the package: %s\n", std::strerror(errno));
    return Step::Failed;
  }
  return Step::Ok;
}

Step writeFolder(Writer& writer, Entry& entry) {
  if (writer.position + kZipLocalHeaderSize + entry.nameLength > writer.largest)
    return Step::TooLarge;
  entry.record.localOffset = static_cast<uint32_t>(writer.position);
  uint8_t local[kZipLocalHeaderSize + kNameLimit];
  if (!writer.write(local, encodeLocalHeader(entry.record, local))) return Step::Failed;
  return Step::Ok;
}

struct CompressJob {
  Slot* slot;
  const char* root;
  Entry* entry;
  Step step;
};

void* runCompressJob(void* argument) {
  auto* job = static_cast<CompressJob*>(argument);
  job->step = compressFile(*job->slot, job->root, *job->entry);
  return nullptr;
}

// Writes every entry in order, then the central directory and the end record. Files are
// compressed two at a time: while this thread compresses and writes one file, a helper thread
// compresses the next, which is written right after it (deflate at level 9 is the cost of
// packing; the machine has two cores or more).
Step writeArchive(Writer& writer, Slot (&slots)[2], const char* root, Entries& entries,
                  const char*& stoppedAt) {
  for (uint32_t index = 0; index < entries.count; ++index) {
    Entry& entry = entries.items[index];
    ZipEntryRecord& record = entry.record;
    record.name = entry.name;
    record.nameLength = entry.nameLength;
    record.unixTime = entry.mtime;
    record.mode = entry.mode;
  }
  for (uint32_t index = 0; index < entries.count;) {
    Entry& entry = entries.items[index];
    stoppedAt = entry.name;
    if (entry.folder) {
      const Step step = writeFolder(writer, entry);
      if (step != Step::Ok) return step;
      ++index;
      continue;
    }
    uint32_t next = index + 1;
    while (next < entries.count && entries.items[next].folder) ++next;
    CompressJob job{&slots[1], root, next < entries.count ? &entries.items[next] : nullptr,
                    Step::Ok};
    pthread_t helper;
    const bool helping = job.entry != nullptr &&
                         pthread_create(&helper, nullptr, runCompressJob, &job) == 0;
    Step step = compressFile(slots[0], root, entry);
    if (step == Step::Ok) step = writeFile(writer, slots[0], root, entry);
    if (helping) pthread_join(helper, nullptr);
    if (step != Step::Ok) return step;
    if (job.entry == nullptr) {
      index = next;
      continue;
    }
    for (uint32_t folder = index + 1; folder < next; ++folder) {
      stoppedAt = entries.items[folder].name;
      step = writeFolder(writer, entries.items[folder]);
      if (step != Step::Ok) return step;
    }
    stoppedAt = job.entry->name;
    if (!helping) job.step = compressFile(slots[1], root, *job.entry);
    if (job.step == Step::Ok) job.step = writeFile(writer, slots[1], root, *job.entry);
    if (job.step != Step::Ok) return job.step;
    index = next + 1;
  }
  stoppedAt = "the central directory";
  const uint64_t directoryOffset = writer.position;
  for (uint32_t index = 0; index < entries.count; ++index) {
    uint8_t central[kZipCentralHeaderSize + kNameLimit];
    if (!writer.write(central, encodeCentralHeader(entries.items[index].record, central)))
      return Step::Failed;
  }
  const uint64_t directorySize = writer.position - directoryOffset;
  if (writer.position + kZipEndRecordSize > writer.largest) return Step::TooLarge;
  uint8_t end[kZipEndRecordSize];
  encodeEndRecord(static_cast<uint16_t>(entries.count), static_cast<uint32_t>(directorySize),
                  static_cast<uint32_t>(directoryOffset), end);
  if (!writer.write(end, kZipEndRecordSize)) return Step::Failed;
  return std::fflush(writer.file) == 0 ? Step::Ok : Step::Failed;
}

// ---------------------------------------------------------------- reading back

// Reads the written package with the installer's archive code: every entry must come back
// with its name, kind, read-only attribute and time, be unpacked by the installer, and read
// whole with its CRC-32; Velmora.exe must carry major version 5. Null when it does.
const char* readBack(const char* path, const Entries& entries, char (&why)[kNameLimit + 200]) {
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (file < 0 || fstat(file, &status) != 0 || status.st_size <= 0) {
    if (file >= 0) close(file);
    return "it cannot be opened";
  }
  void* view = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_PRIVATE,
                    file, 0);
  close(file);
  if (view == MAP_FAILED) return "it cannot be mapped";
  const char* problem = nullptr;
  ArchiveHandle* handle = openPackageArchive(static_cast<const uint8_t*>(view),
                                             static_cast<uint32_t>(status.st_size));
  ArchiveEntry entry;
  getArchiveEntry(handle, -1, entry);
  if (handle == nullptr || entry.index != static_cast<int32_t>(entries.count))
    problem = "it does not open with all its entries";
  for (uint32_t index = 0; problem == nullptr && index < entries.count; ++index) {
    const Entry& expected = entries.items[index];
    WidePath name;
    char version[160];
    const char* what = nullptr;
    if (getArchiveEntry(handle, static_cast<int32_t>(index), entry) != ArchiveOk) {
      what = "its query fails";
    } else if (!decodeUtf8(expected.name, expected.nameLength, name) ||
               !textEquals(entry.name, name.get())) {
      what = "its name differs";
    } else if (classifyEntryName(entry.name) != EntryDisposition::Unpack) {
      what = "the installer would skip it";
    } else if (((entry.attributes & FileAttributeDirectory) != 0) != expected.folder ||
               ((entry.attributes & FileAttributeReadOnly) != 0) !=
                   (!expected.folder && !(expected.mode & 0200))) {
      what = "its attributes differ";
    } else if (fileTimeValue(entry.modificationTime) !=
               kUnixEpochTicks + expected.mtime * kTicksPerSecond) {
      what = "its time differs";
    } else if (verifyArchiveEntry(handle, static_cast<int32_t>(index), nullptr) != ArchiveOk) {
      what = "its data does not read back whole";
    } else if (std::strcmp(expected.name, "app/Velmora.exe") == 0) {
      what = entryVersionProblem(handle, static_cast<int32_t>(index), version);
    }
    if (what != nullptr) {
      std::snprintf(why, sizeof why, "%s: %s", expected.name, what);
      problem = why;
    }
  }
  if (handle != nullptr) closePackageArchive(handle);
  munmap(view, static_cast<std::size_t>(status.st_size));
  return problem;
}

// ---------------------------------------------------------------- the command

// The folder holding `path` (a file that may not exist yet), resolved; false when it cannot be.
bool resolvedFolderOf(const char* path, char (&resolved)[PATH_MAX]) {
  char folder[PATH_MAX];
  if (std::snprintf(folder, sizeof folder, "%s", path) >= static_cast<int>(sizeof folder))
    return false;
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr) {
    std::strcpy(folder, ".");
  } else if (slash == folder) {
    slash[1] = 0;
  } else {
    *slash = 0;
  }
  return realpath(folder, resolved) != nullptr;
}

// Walks APPDIR and collects every refusal; true when the entries may be written.
bool collect(const char* appFolder, const PackOptions& options, Entries& entries) {
  Refusals refusals;
  Walk walk{{}, 0, options.sourceDateEpoch, entries, refusals};
  std::snprintf(walk.path, sizeof walk.path, "%s", appFolder);
  // "app/" and the names below it; APPDIR's own trailing slashes are not doubled.
  std::size_t length = std::strlen(walk.path);
  while (length > 1 && walk.path[length - 1] == '/') walk.path[--length] = 0;
  walk.rootLength = length;
  walkFolder(walk, "app/", 4);
  if (walk.noMemory) {
    std::fprintf(stderr, "vmpkg: pack: no memory for the list of entries\n");
    return false;
  }
  if (walk.tooMany) {
    char why[96];
    std::snprintf(why, sizeof why, "more than %u entries; the format without Zip64 holds no more",
                  kMostEntries);
    refusals.add("package", why);
  }
  refuseCaseTwins(entries, refusals);
  std::qsort(entries.items, entries.count, sizeof(Entry), compareNames);
  const Entry* program = nullptr;
  for (uint32_t index = 0; index < entries.count; ++index)
    if (!entries.items[index].folder && std::strcmp(entries.items[index].name, "app/Velmora.exe") == 0)
      program = &entries.items[index];
  if (program == nullptr) {
    refusals.add("app/Velmora.exe", "missing: the installer starts and waits for this file");
  } else {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/Velmora.exe", walk.path);
    FileBytes bytes;
    char why[160];
    if (!readWhole(path, kLargestProgram, bytes)) {
      refusals.add("app/Velmora.exe", "cannot be read whole (or is larger than 512 MiB)");
    } else if (const char* problem = versionProblem(bytes.data, bytes.length, why)) {
      refusals.add("app/Velmora.exe", problem);
    }
  }
  if (refusals.count > 0) {
    std::fprintf(stderr, "vmpkg: pack: %u problem%s; nothing written\n", refusals.count,
                 refusals.count == 1 ? "" : "s");
  }
  return refusals.count == 0;
}

}  // namespace

int packFolder(const char* appFolder, const char* outPath, const PackOptions& options) {
  struct stat status;
  if (stat(appFolder, &status) != 0 || !S_ISDIR(status.st_mode)) {
    std::fprintf(stderr, "vmpkg: pack: %s: not a folder\n", appFolder);
    return 2;
  }
  char appResolved[PATH_MAX];
  char outFolder[PATH_MAX];
  if (realpath(appFolder, appResolved) == nullptr || !resolvedFolderOf(outPath, outFolder)) {
    std::fprintf(stderr, "vmpkg: pack: %s: its folder cannot be found\n", outPath);
    return 2;
  }
  const std::size_t appLength = std::strlen(appResolved);
  if (std::strncmp(outFolder, appResolved, appLength) == 0 &&
      (outFolder[appLength] == 0 || outFolder[appLength] == '/' || appLength == 1)) {
    std::fprintf(stderr, "vmpkg: pack: %s lies inside %s; it would pack itself\n", outPath,
                 appFolder);
    return 2;
  }

  Entries entries;
  if (!collect(appFolder, options, entries)) return 1;

  Writer writer;
  if (options.signingKey != nullptr)
    writer.largest -= signatureCommentLength(options.signingKey->view.modulusLength);
  Slot slots[2];
  if (!slots[0].prepare() || !slots[1].prepare()) {
    std::fprintf(stderr, "vmpkg: pack: no memory to compress\n");
    return 2;
  }
  char temporary[PATH_MAX];
  if (std::snprintf(temporary, sizeof temporary, "%s.tmp-XXXXXX", outPath) >=
      static_cast<int>(sizeof temporary)) {
    std::fprintf(stderr, "vmpkg: pack: %s: path too long\n", outPath);
    return 2;
  }
  const int descriptor = mkstemp(temporary);
  if (descriptor < 0 || (writer.file = fdopen(descriptor, "wb")) == nullptr) {
    std::fprintf(stderr, "vmpkg: pack: %s: cannot create a temporary file beside it: %s\n",
                 outPath, std::strerror(errno));
    if (descriptor >= 0) {
      close(descriptor);
      unlink(temporary);
    }
    return 2;
  }
  static char buffer[1 << 20];
  std::setvbuf(writer.file, buffer, _IOFBF, sizeof buffer);
  // mkstemp makes the file private; the package gets the mode a new file gets here.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(descriptor, 0666 & ~mask);

  const char* stoppedAt = "";
  const Step step = writeArchive(writer, slots, appFolder, entries, stoppedAt);
  const bool synced = step == Step::Ok && fsync(descriptor) == 0;
  std::fclose(writer.file);
  int exitCode = 0;
  if (step == Step::TooLarge) {
    std::fprintf(stderr,
                 "vmpkg: pack: refused: package: larger than %llu bytes (reached at %s), the "
                 "most the installer's %d-byte download buffer holds with a typical response "
                 "head%s; nothing written\n",
                 static_cast<unsigned long long>(writer.largest), stoppedAt,
                 kDownloadBufferSize, options.signingKey != nullptr ? " and the signature" : "");
    exitCode = 1;
  } else if (step == Step::Failed || !synced) {
    if (step == Step::Ok)
      std::fprintf(stderr, "vmpkg: pack: cannot write the package: %s\n", std::strerror(errno));
    exitCode = 2;
  } else if (options.signingKey != nullptr) {
    // Signed as vmpkg sign signs, in place of the temporary file; a refusal cannot happen for
    // a package of ours, but would leave nothing behind either.
    SignedOver earlier = SignedOver::Nothing;
    if (signPackageFile(*options.signingKey, temporary, temporary, false, earlier) != 0)
      exitCode = 2;
  }
  if (exitCode == 0) {
    char why[kNameLimit + 200];
    if (const char* problem = readBack(temporary, entries, why)) {
      std::fprintf(stderr, "vmpkg: pack: the written package does not read back as packed "
                           "(%s); nothing written\n", problem);
      exitCode = 2;
    }
  }
  if (exitCode == 0 && rename(temporary, outPath) != 0) {
    std::fprintf(stderr, "vmpkg: pack: cannot rename the package to %s: %s\n", outPath,
                 std::strerror(errno));
    exitCode = 2;
  }
  if (exitCode != 0) {
    unlink(temporary);
    return exitCode;
  }
  uint32_t folders = 0;
  uint32_t deflated = 0;
  uint64_t unpacked = 0;
  for (uint32_t index = 0; index < entries.count; ++index) {
    folders += entries.items[index].folder ? 1 : 0;
    deflated += entries.items[index].record.method == 8 ? 1 : 0;
    unpacked += entries.items[index].size;
  }
  char signedWith[48] = "";
  uint64_t bytes = writer.position;
  if (options.signingKey != nullptr) {
    char described[32];
    std::snprintf(signedWith, sizeof signedWith, ", signed (%s)",
                  describeKey(*options.signingKey, described));
    bytes += signatureCommentLength(options.signingKey->view.modulusLength);
  }
  std::printf("packed %u entries (%u files, %u deflated; %u folders) into %s: %llu bytes, "
              "%llu unpacked%s\n",
              entries.count, entries.count - folders, deflated, folders, outPath,
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(unpacked),
              signedWith);
  return 0;
}

}  // namespace vm
