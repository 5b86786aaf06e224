#include "tools/common/tool_io.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#endif

namespace vm {

int complain(int status, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  return status;
}

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
  // What could not be mapped (a pipe, an empty file, no address space for the view) is read in
  // blocks that double. realloc, not a vector: a package near the limit may not fit a 32-bit
  // process, which must say so rather than abort.
  uint64_t capacity = 0, next = 1u << 20;
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
  return complain(false, "vmpkg: %s: %s\n", shownArgument(path).c_str(), why.c_str());
}

#ifndef _WIN32

namespace {

// The pending file's path for the allocation-failure handler (a tool has one at a time).
char gPendingPath[4096];
const char* gProgram = "vmpkg";

void outOfMemory() {
  if (gPendingPath[0] != 0) unlink(gPendingPath);
  std::fprintf(stderr, "%s: no memory; nothing written\n", gProgram);
  std::_Exit(2);
}

// Key files are small; anything larger is not one.
constexpr long kLargestKeyFile = 65536;

// Fills `key.view` from the RSA key in `key.openssl`, refusing what the installer refuses
// (isAcceptedRsaKey: 2048 to 4096 bits in whole bytes, an odd exponent of 3 to 32 bits).
bool takeRsaKey(const char* program, const char* path, KeyFile& key) {
  if (!EVP_PKEY_is_a(key.openssl, "RSA"))
    return complain(false, "%s: %s is not an RSA key\n", program, path);
  BIGNUM *modulus = nullptr, *exponent = nullptr;
  const int bits = EVP_PKEY_get_bits(key.openssl);
  bool ok = EVP_PKEY_get_bn_param(key.openssl, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
            EVP_PKEY_get_bn_param(key.openssl, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1 &&
            BN_num_bytes(modulus) <= static_cast<int>(kLargestRsaModulus) &&
            BN_num_bits(exponent) <= 32;
  if (ok) {
    key.view.modulusLength = static_cast<uint32_t>(BN_bn2bin(modulus, key.modulus));
    key.view.exponent = static_cast<uint32_t>(BN_get_word(exponent));
    ok = isAcceptedRsaKey(key.view);
  }
  if (!ok)
    complain(false, "%s: %s is an RSA key of %d bits; the installer takes 2048 to 4096 bits in "
                    "whole bytes with an odd public exponent of 3 to 32 bits\n",
             program, path, bits);
  BN_free(modulus);
  BN_free(exponent);
  return ok;
}

}  // namespace

KeyFile::~KeyFile() { EVP_PKEY_free(openssl); }

bool readPublicKeyFile(const char* program, const char* path, KeyFile& key) {
  // The text first, to tell a public PEM from everything else as the build does.
  WholeFile file;
  std::string text;
  if (!file.load(path, kLargestKeyFile, text))
    return complain(false, "%s: %s: %s\n", program, path, text.c_str());
  text.assign(reinterpret_cast<const char*>(file.data()), file.length());
  if (text.find("PRIVATE KEY-----") != std::string::npos)
    return complain(false, "%s: %s holds a private key: give the public key\n", program, path);
  if (text.find("-----BEGIN PUBLIC KEY-----") == std::string::npos &&
      text.find("-----BEGIN RSA PUBLIC KEY-----") == std::string::npos)
    return complain(false, "%s: %s is not a public key in PEM form\n", program, path);
  BIO* input = BIO_new_file(path, "rb");
  OSSL_DECODER_CTX* decoder = OSSL_DECODER_CTX_new_for_pkey(
      &key.openssl, "PEM", nullptr, "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr);
  const bool decoded = input != nullptr && decoder != nullptr &&
                       OSSL_DECODER_from_bio(decoder, input) == 1 && key.openssl != nullptr;
  OSSL_DECODER_CTX_free(decoder);
  BIO_free(input);
  if (!decoded)
    return complain(false, "%s: %s is not an RSA public key in PEM form\n", program, path);
  return takeRsaKey(program, path, key);
}

bool readPrivateKeyFile(const char* program, const char* path, KeyFile& key) {
  BIO* input = BIO_new_file(path, "rb");
  if (input == nullptr) return complain(false, "%s: %s: cannot open\n", program, path);
  key.openssl = PEM_read_bio_PrivateKey(input, nullptr, nullptr, nullptr);
  BIO_free(input);
  if (key.openssl == nullptr)
    return complain(false, "%s: %s is not a private key in PEM form\n", program, path);
  return takeRsaKey(program, path, key);
}

bool PendingFile::create(const char* target, mode_t mode, std::string& why) {
  target_ = target;
  std::string path = target_ + ".tmp-XXXXXX";
  errno = ENAMETOOLONG;
  const int descriptor = path.size() < sizeof gPendingPath ? mkstemp(&path[0]) : -1;
  if (descriptor >= 0) {
    path_ = path;
    std::memcpy(gPendingPath, path.c_str(), path.size() + 1);
    if (fchmod(descriptor, mode) == 0) stream_.reset(fdopen(descriptor, "wb"));
  }
  if (stream_ == nullptr) {
    why = std::string("cannot create a file beside it: ") + std::strerror(errno);
    if (descriptor >= 0) close(descriptor);
    discard();
  }
  return stream_ != nullptr;
}

bool PendingFile::sync() { return std::fflush(stream()) == 0 && fsync(fileno(stream())) == 0; }

bool PendingFile::commit() {
  const bool synced = sync();
  if (std::fclose(stream_.release()) == 0 && synced &&
      rename(path_.c_str(), target_.c_str()) == 0) {
    path_.clear();
    gPendingPath[0] = 0;
    return true;
  }
  const int error = errno;
  discard();
  errno = error;
  return false;
}

void PendingFile::discard() {
  stream_.reset();
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
  gPendingPath[0] = 0;
}

mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

void dieForWantOfMemory(const char* program) {
  gProgram = program;
  std::set_new_handler(outOfMemory);
}
#endif

}  // namespace vm
