#include "workflow/win32/win32_update_files.h"

#include <windows.h>

#include "platform/path.h"
#include "platform/win32/helpers.h"
#include "platform/win32/wide.h"

namespace vm {
namespace {

// Folders nested deeper than this are not walked: a 260-unit path cannot hold more anyway.
constexpr int32_t kDeepestFolder = 64;

bool isDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// What a listing calls for each entry: its full path, its path relative to the walk's root.
class Entries {
 public:
  virtual void entry(const WidePath& full, const WidePath& relative, bool isFolder) = 0;

 protected:
  ~Entries() = default;
};

// Calls `visit` for each entry of `folder` (full path) whose path relative to the walk's root is
// `relative` + name, then walks into each folder. False when a folder cannot be listed. One
// function for every walk (not a template): the installer stays small.
bool listFolder(const WidePath& folder, const WidePath& relative, int32_t depth, Entries& visit) {
  WidePath pattern;
  if (depth > kDeepestFolder || !combinePath(pattern, folder.get(), u"*")) return false;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(asWide(pattern.get()), &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool whole = true;
  do {
    if (isDotEntry(found.cFileName)) continue;
    WidePath path, name;
    if (!combinePath(path, folder.get(), asUtf16(found.cFileName)) ||
        !combinePath(name, relative.get(), asUtf16(found.cFileName))) {
      whole = false;
      continue;
    }
    const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                          (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    visit.entry(path, name, isFolder);
    if (isFolder && !listFolder(path, name, depth + 1, visit)) whole = false;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return whole;
}

}  // namespace

uint32_t Win32UpdateFiles::moveFile(const char16_t* from, const char16_t* to) {
  // Write-through: the move is on the disk before the next step counts on it.
  if (MoveFileExW(asWide(from), asWide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 0;
  return GetLastError();
}

bool Win32UpdateFiles::fileExists(const char16_t* path) {
  const DWORD attributes = GetFileAttributesW(asWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool Win32UpdateFiles::folderExists(const char16_t* path) {
  const DWORD attributes = GetFileAttributesW(asWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void Win32UpdateFiles::createFolders(const char16_t* path) {
  WidePath writable;  // the helper cuts its text in place at every backslash
  if (writable.assign(path)) (void)createDirectoryChain(asWide(writable.data()));
}

bool Win32UpdateFiles::createMark(const char16_t* path) {
  HANDLE file = CreateFileW(asWide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != 0;
  return CloseHandle(file) != 0 && flushed;
}

// True when nothing is at `path` any more.
static bool gone(const char16_t* path) {
  return GetFileAttributesW(asWide(path)) == INVALID_FILE_ATTRIBUTES;
}

bool Win32UpdateFiles::deleteFile(const char16_t* path) {
  DeleteFileW(asWide(path));
  return gone(path);
}

// Deletes each file it is given (a package may carry read-only ones), or with `folders` removes
// each folder it is given that is empty by now.
class Remover final : public Entries {
 public:
  explicit Remover(bool folders) : folders_(folders) {}
  void entry(const WidePath& full, const WidePath&, bool isFolder) override {
    if (isFolder != folders_) return;
    if (isFolder) {
      if (RemoveDirectoryW(asWide(full.get()))) removed_ = true;
      return;
    }
    SetFileAttributesW(asWide(full.get()), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(asWide(full.get()));
  }
  bool removed_ = false;

 private:
  bool folders_;
};

// Hands each entry on to a FileVisitor with its relative path.
class Relay final : public Entries {
 public:
  explicit Relay(FileVisitor& visitor) : visitor_(visitor) {}
  void entry(const WidePath&, const WidePath& relative, bool isFolder) override {
    visitor_.visit(relative.get(), isFolder);
  }

 private:
  FileVisitor& visitor_;
};

bool Win32UpdateFiles::removeTree(const char16_t* path) {
  // Files first, then the folders, deepest first: the walk lists a folder before what it holds,
  // so it is walked again while a round removed one.
  WidePath root, none;
  if (!root.assign(path)) return false;
  Remover files(false);
  (void)listFolder(root, none, 0, files);
  for (int32_t round = 0; round < kDeepestFolder; ++round) {
    Remover folders(true);
    (void)listFolder(root, none, 0, folders);
    if (!folders.removed_) break;
  }
  RemoveDirectoryW(asWide(path));
  return gone(path);
}

bool Win32UpdateFiles::walk(const char16_t* path, FileVisitor& visitor) {
  WidePath root, none;
  if (!root.assign(path) || !folderExists(path)) return false;
  Relay relay(visitor);
  return listFolder(root, none, 0, relay);
}

uint64_t Win32UpdateFiles::freeBytes(const char16_t* path) {
  // The folder may not exist yet (a first installation): its nearest existing parent is on the
  // same volume.
  WidePath folder;
  if (!folder.assign(path)) return UINT64_MAX;
  for (;;) {
    ULARGE_INTEGER available;
    if (GetDiskFreeSpaceExW(asWide(folder.get()), &available, nullptr, nullptr))
      return available.QuadPart;
    std::size_t cut = folder.length();
    while (cut > 0 && !isPathSeparator(folder.get()[cut - 1])) --cut;
    if (cut <= 1) return UINT64_MAX;
    folder.data()[cut - 1] = 0;
  }
}

uint32_t Win32UpdateFiles::lock(const char16_t* path) {
  if (lock_ != nullptr) return 0;
  // Shared with no one: a second opener gets a sharing violation. The system closes the handle
  // when the process ends however it ends, and the file goes with its last handle.
  HANDLE file = CreateFileW(asWide(path), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  lock_ = file;
  return 0;
}

void Win32UpdateFiles::unlock() {
  if (lock_ != nullptr) CloseHandle(static_cast<HANDLE>(lock_));
  lock_ = nullptr;
}

}  // namespace vm
