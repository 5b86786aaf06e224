#include "tests/unit/scratch.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vm::test {
namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(const std::string& name) {
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  path_ = fs::temp_directory_path() / ("velmora-archive-" + std::to_string(pid) + "-" + name);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

std::u16string ScratchFolder::at(const std::string& relative) const {
  return toUtf16(relative.empty() ? path_ : path_ / fs::u8path(relative));
}

std::u16string toUtf16(const fs::path& path) {
#ifdef _WIN32
  const std::wstring wide = path.wstring();
  return std::u16string(wide.begin(), wide.end());
#else
  return fs::path(path).u16string();
#endif
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

uint64_t modificationTicks(const fs::path& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.wstring().c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
#else
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return 0;
  return static_cast<uint64_t>(status.st_mtim.tv_sec) * 10000000 + 116444736000000000 +
         static_cast<uint64_t>(status.st_mtim.tv_nsec) / 100;
#endif
}

bool isReadOnly(const fs::path& path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
#else
  struct stat status;
  return stat(path.c_str(), &status) == 0 && (status.st_mode & 0222) == 0;
#endif
}

bool isOpenHere(const fs::path& path) {
#ifdef _WIN32
  // Extraction opens its files without sharing: any other open fails while it holds one.
  HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
#else
  std::error_code error;
  const fs::path wanted = fs::canonical(path, error);
  for (const auto& descriptor : fs::directory_iterator("/proc/self/fd", error))
    if (fs::read_symlink(descriptor.path(), error) == wanted) return true;
  return false;
#endif
}

std::string listTree(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& item : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(item.path(), root).generic_u8string() +
                    (item.is_directory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const auto& name : names) joined += name + " ";
  return joined;
}

}  // namespace vm::test
