#include "tools/common/whole_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/package_limits.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vm {

#ifdef _WIN32
bool WholeFile::map(const ArgumentUnit* path, uint64_t limit) {
  // Shared for reading only: a file that someone is still writing is read instead.
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
      static_cast<uint64_t>(size.QuadPart) <= limit) {
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
      data_ = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
      CloseHandle(mapping);  // the view keeps the mapping
      length_ = static_cast<uint64_t>(size.QuadPart);
      mapped_ = data_ != nullptr;
    }
  }
  CloseHandle(file);
  return mapped_;
}

#else
bool WholeFile::map(const ArgumentUnit* path, uint64_t limit) {
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  struct stat status;
  if (fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
      static_cast<uint64_t>(status.st_size) <= limit) {
    void* view = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ,
                      MAP_PRIVATE | MAP_POPULATE, file, 0);
    mapped_ = view != MAP_FAILED;
    data_ = mapped_ ? static_cast<uint8_t*>(view) : nullptr;
    length_ = static_cast<uint64_t>(status.st_size);
    mode_ = status.st_mode & 07777;
  }
  close(file);
  return mapped_;
}

#endif

void WholeFile::release() {
#ifdef _WIN32
  if (mapped_) UnmapViewOfFile(data_);
#else
  if (mapped_) munmap(data_, static_cast<std::size_t>(length_));
#endif
  if (!mapped_) std::free(data_);
  data_ = nullptr;
  mapped_ = false;
}

bool WholeFile::load(const ArgumentUnit* path, uint64_t limit, std::string& why) {
  if (map(path, limit)) return true;
  length_ = 0;
#ifdef _WIN32
  FILE* file = _wfopen(path, L"rb");
#else
  FILE* file = std::fopen(path, "rb");
#endif
  if (file == nullptr) {
    why = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  // One block of the file's size (and a byte to see the end) when it can be asked; pipes and
  // files that grow are read on in larger and larger blocks. realloc, not a vector: a package
  // near the limit may not fit a 32-bit process, which must say so rather than abort.
  uint64_t capacity = 0;
  uint64_t next = 1u << 20;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    if (size >= 0 && static_cast<uint64_t>(size) <= limit) next = size + 1;
    std::rewind(file);
  }
  for (;;) {
    if (length_ == capacity) {
      if (capacity > limit) break;
      next = next > limit + 1 ? limit + 1 : next;
      void* larger = std::realloc(data_, static_cast<std::size_t>(next));
      if (larger == nullptr) {
        why = "too large: no memory for " + std::to_string(next) + " bytes";
        break;
      }
      data_ = static_cast<uint8_t*>(larger);
      capacity = next;
      next = capacity * 2;
    }
    const std::size_t got = std::fread(data_ + length_, 1,
                                       static_cast<std::size_t>(capacity - length_), file);
    length_ += got;
    if (got == 0) {
      if (std::ferror(file)) why = std::string("cannot read: ") + std::strerror(errno);
      break;
    }
  }
  std::fclose(file);
  if (why.empty() && length_ > limit)
    why = "too large: more than " + std::to_string(limit) + " bytes";
  if (!why.empty()) release();
  return why.empty();
}

bool WholeFile::loadPackage(const ArgumentUnit* path) {
  std::string why;
  if (load(path, kLargestPackage, why)) return true;
  std::fprintf(stderr, "vmpkg: %s: %s\n", ShownArgument(path).text, why.c_str());
  return false;
}

}  // namespace vm
