// Compressing and writing vmpkg pack's entries: raw deflate at level 9, or stored where deflate
// does not come out smaller.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "tools/common/package_check.h"
#include "tools/vmpkg/vmpkg.h"

namespace vm {
namespace {

constexpr uint32_t kReadChunk = 1u << 20;

// Opens the file of `entry` below `root`, which must still be the file the walk saw; -1 if not.
int openEntryFile(const char* root, const PackEntry& entry) {
  const std::string path = std::string(root) + "/" + entry.name.substr(4);
  const int file = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (file >= 0 && fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
      status.st_dev == entry.device && status.st_ino == entry.inode &&
      static_cast<uint64_t>(status.st_size) == entry.size) {
    return file;
  }
  if (file >= 0) close(file);
  return -1;
}

// Reads up to kReadChunk bytes; the count, 0 at the end, -1 on an error.
ssize_t readChunk(int file, uint8_t* into) {
  ssize_t got;
  while ((got = read(file, into, kReadChunk)) < 0 && errno == EINTR) {}
  return got;
}

// The deflate state and the buffers, used for one file after the other.
class Compressor {
 public:
  ~Compressor() {
    if (ready_) deflateEnd(&z_);
  }
  bool prepare() {
    ready_ = deflateInit2(&z_, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return ready_;
  }
  // Reads the file once for its CRC-32, deflating it while deflate stays smaller than the
  // file (and than the largest package); fills the record's CRC, sizes and method: 8 with the
  // data held here, or 0 (stored: read again by write).
  bool compress(const char* root, PackEntry& entry);
  // Writes the entry compress() did; a stored file must read again as it did then.
  ZipStep write(ZipWriter& writer, const char* root, const PackEntry& entry);

 private:
  z_stream z_{};
  bool ready_ = false;
  std::unique_ptr<uint8_t[]> compressed_{new uint8_t[kLargestDownloadablePackage + 1]};
  std::unique_ptr<uint8_t[]> chunk_{new uint8_t[kReadChunk]};
};

bool Compressor::compress(const char* root, PackEntry& entry) {
  const int file = openEntryFile(root, entry);
  uint64_t limit = entry.size == 0 ? 0 : entry.size - 1;  // deflate must come out smaller
  if (limit > kLargestDownloadablePackage) limit = kLargestDownloadablePackage;
  deflateReset(&z_);
  z_.next_out = compressed_.get();
  z_.avail_out = static_cast<uInt>(limit);
  bool deflating = limit > 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t total = 0;
  ssize_t got = file < 0 ? -1 : 0;
  while (file >= 0 && (got = readChunk(file, chunk_.get())) > 0) {
    total += static_cast<uint64_t>(got);
    crc = crc32(crc, chunk_.get(), static_cast<uInt>(got));
    z_.next_in = chunk_.get();
    z_.avail_in = static_cast<uInt>(got);
    while (deflating && z_.avail_in > 0) {
      if (deflate(&z_, Z_NO_FLUSH) == Z_STREAM_ERROR) deflating = false;
      if (z_.avail_out == 0 && z_.avail_in > 0) deflating = false;  // not smaller: stored
    }
  }
  if (file >= 0) close(file);
  if (got < 0 || total != entry.size)
    return complain(false, "vmpkg: pack: %s: changed or unreadable while packing\n",
                    entry.name.c_str());
  while (deflating) {
    const int result = deflate(&z_, Z_FINISH);
    if (result == Z_STREAM_END) break;
    if (z_.avail_out == 0 || (result != Z_OK && result != Z_BUF_ERROR)) deflating = false;
  }
  ZipEntryRecord& record = entry.record;
  record.crc = static_cast<uint32_t>(crc);
  record.uncompressedSize = static_cast<uint32_t>(entry.size);
  record.method = deflating ? 8 : 0;
  record.compressedSize =
      deflating ? static_cast<uint32_t>(limit - z_.avail_out) : record.uncompressedSize;
  return true;
}

ZipStep Compressor::write(ZipWriter& writer, const char* root, const PackEntry& entry) {
  const ZipStep step = writer.addEntry(entry.record);
  if (step != ZipStep::Ok) return step;
  if (entry.record.method == 8) {
    return writer.writeData(compressed_.get(), entry.record.compressedSize) ? ZipStep::Ok
                                                                           : ZipStep::Failed;
  }
  const int file = entry.size == 0 ? -1 : openEntryFile(root, entry);
  uLong again = crc32(0L, Z_NULL, 0);
  uint64_t copied = 0;
  ssize_t got = 0;
  while (file >= 0 && copied <= entry.size && (got = readChunk(file, chunk_.get())) > 0) {
    again = crc32(again, chunk_.get(), static_cast<uInt>(got));
    copied += static_cast<uint64_t>(got);
    if (copied <= entry.size && !writer.writeData(chunk_.get(), static_cast<uint64_t>(got))) {
      close(file);
      return ZipStep::Failed;
    }
  }
  if (file >= 0) close(file);
  if (entry.size > 0 && (file < 0 || got < 0 || again != entry.record.crc ||
                         copied != entry.size)) {
    std::fprintf(stderr, "vmpkg: pack: %s: changed while packing\n", entry.name.c_str());
    return ZipStep::Failed;
  }
  return ZipStep::Ok;
}

}  // namespace

ZipStep writeEntries(ZipWriter& writer, const char* root, std::vector<PackEntry>& entries,
                     uint16_t commentLength, std::string& stoppedAt) {
  Compressor compressor;
  if (!compressor.prepare()) {
    std::fprintf(stderr, "vmpkg: pack: no memory to compress\n");
    return ZipStep::Failed;
  }
  for (PackEntry& entry : entries) {
    entry.record.name = entry.name.c_str();
    entry.record.nameLength = static_cast<uint32_t>(entry.name.size());
    stoppedAt = entry.name;
    if (!entry.folder && !compressor.compress(root, entry)) return ZipStep::Failed;
    const ZipStep step =
        entry.folder ? writer.addEntry(entry.record) : compressor.write(writer, root, entry);
    if (step != ZipStep::Ok) return step;
  }
  stoppedAt = "the central directory";
  return writer.finish(commentLength);
}

}  // namespace vm
