// The walk of vmpkg pack (walkApplicationFolder in vmpkg.h).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/unpack.h"
#include "platform/file_system.h"
#include "platform/utf8.h"
#include "tools/vmpkg/vmpkg.h"

namespace vm {
namespace {

char foldAscii(char unit) { return unit >= 'A' && unit <= 'Z' ? unit - 'A' + 'a' : unit; }

// Windows' device names, which name a device in any folder, also with an extension.
bool isDeviceName(const char* segment, std::size_t length) {
  std::string stem(segment, std::find(segment, segment + length, '.'));
  std::transform(stem.begin(), stem.end(), stem.begin(), foldAscii);
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// True when the bytes are well-formed UTF-8: the platform's decoding (which replaces whatever
// is not) gives them back unchanged.
bool isUtf8(const char* text, std::size_t length) {
  WidePath decoded;
  char again[4 * kNameLimit];
  return decodeUtf8(text, length, decoded) &&
         encodeUtf8(decoded.get(), again, sizeof again) == static_cast<int>(length) &&
         std::memcmp(again, text, length) == 0;
}

// A name as Windows compares it for A-Z (a folder's without its slash).
std::string folded(const PackEntry& entry) {
  std::string name = entry.name.substr(0, entry.name.size() - (entry.folder ? 1 : 0));
  std::transform(name.begin(), name.end(), name.begin(), foldAscii);
  return name;
}

// Refuses every entry whose name differs from another's only in the case of A-Z.
void refuseCaseTwins(const std::vector<PackEntry>& entries, Refusals& refusals) {
  std::vector<std::pair<std::string, const PackEntry*>> order;
  for (const PackEntry& entry : entries) order.emplace_back(folded(entry), &entry);
  // Twins side by side, each group's last name in byte order first: that one is named as the
  // name kept, so that the same folder always gives the same lines.
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->name > b.second->name;
  });
  for (std::size_t index = 1; index < order.size(); ++index) {
    if (order[index - 1].first != order[index].first) continue;
    refusals.add(order[index].second->name, "its name differs from " +
                                                order[index - 1].second->name +
                                                " only in the case of letters; Windows keeps one");
  }
}

// Why a file or folder named `segment` (`length` bytes) cannot have that name on Windows, or
// null when it can.
const char* windowsNameProblem(const char* segment, std::size_t length) {
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

constexpr uint32_t kMostEntries = 65535;  // the end record's 16-bit count, without Zip64
constexpr uint64_t kLargestEntry = 0xFFFFFFFE;  // 0xFFFFFFFF in a size field means Zip64
constexpr int64_t kLatestTime = 0x7FFFFFFF;  // the "UT" field holds a signed 32-bit count

struct Walk {
  long long cap;  // SOURCE_DATE_EPOCH, or -1
  std::vector<PackEntry>& entries;
  Refusals& refusals;
  bool tooMany = false;
};

void walkFolder(Walk& walk, const std::string& path, const std::string& name);

// What the installer and the format need of an entry besides its name: refused when missing.
void refuseUnfit(Walk& walk, const std::string& shown, const PackEntry& entry, int64_t mtime) {
  if (!entry.folder && entry.size > kLargestEntry)
    walk.refusals.add(shown, "4 GiB or more; the format without Zip64 cannot hold it");
  if (mtime < 0 || mtime > kLatestTime) {
    walk.refusals.add(shown, "its modification time lies before 1970 or after 2038-01-19, "
                             "which the \"UT\" field cannot hold (SOURCE_DATE_EPOCH caps "
                             "later times)");
  }
}

// Adds `leaf` of the folder at `path` (entry name `prefix`); recurses into folders.
void visit(Walk& walk, const std::string& path, const std::string& prefix,
           const std::string& leaf) {
  const std::string shown = prefix + leaf;
  const std::string full = path + "/" + leaf;
  struct stat status;
  if (lstat(full.c_str(), &status) != 0) return walk.refusals.add(shown, std::strerror(errno));
  if (S_ISLNK(status.st_mode))
    return walk.refusals.add(shown, "a symbolic link; a package holds files and folders only");
  const bool folder = S_ISDIR(status.st_mode);
  if (!folder && !S_ISREG(status.st_mode)) {
    return walk.refusals.add(shown, "a special file (device, pipe or socket); a package holds "
                                    "files and folders only");
  }
  if (const char* problem = windowsNameProblem(leaf.data(), leaf.size()))
    walk.refusals.add(shown, problem);
  PackEntry entry{shown + (folder ? "/" : ""), folder, folder ? 0 : uint64_t(status.st_size),
                  status.st_dev, status.st_ino, {}};
  if (entry.name.size() >= kNameLimit) {
    // Everything below it would be too long as well.
    return walk.refusals.add(shown, "its entry name of " + std::to_string(entry.name.size()) +
                                        " bytes is too long (at most 259)");
  }
  int64_t mtime = status.st_mtim.tv_sec;
  if (walk.cap >= 0 && mtime > walk.cap) mtime = walk.cap;
  refuseUnfit(walk, shown, entry, mtime);
  if (walk.entries.size() > kMostEntries) {
    walk.tooMany = true;
    return;
  }
  entry.record.unixTime = static_cast<uint32_t>(mtime < 0 || mtime > kLatestTime ? 0 : mtime);
  entry.record.mode = folder ? 040755 : (status.st_mode & S_IWUSR ? 0100644 : 0100444) |
                                            (status.st_mode & S_IXUSR ? 0111 : 0);
  // The name as the installer sees it: decoded, and judged by the unpack step's rule.
  WidePath decoded;
  if (!decodeUtf8(entry.name.data(), entry.name.size(), decoded) ||
      classifyEntryName(decoded.get()) != EntryDisposition::Unpack) {
    walk.refusals.add(shown, "the installer would skip it (unsafe name)");
  }
  walk.entries.push_back(entry);
  if (folder) walkFolder(walk, full, entry.name);
}

// Adds every name in the folder at `path` (entry name `name`). A listing that fails, even
// part-way, is refused: the rest of the folder would be left out, and the read-back, comparing
// against the same short list, could not notice.
void walkFolder(Walk& walk, const std::string& path, const std::string& name) {
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return walk.refusals.add(name, std::strerror(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* found = readdir(folder);
    if (found == nullptr) break;
    if (std::strcmp(found->d_name, ".") != 0 && std::strcmp(found->d_name, "..") != 0)
      names.emplace_back(found->d_name);
  }
  const int error = errno;
  closedir(folder);
  if (error != 0) return walk.refusals.add(name, std::strerror(error));
  for (std::size_t at = 0; at < names.size() && !walk.tooMany; ++at)
    visit(walk, path, name, names[at]);
}

}  // namespace


void walkApplicationFolder(const char* root, long long cap, std::vector<PackEntry>& entries,
                           Refusals& refusals) {
  // "app/" and the names below it; APPDIR's own trailing slashes are not doubled.
  std::string path = root;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  Walk walk{cap, entries, refusals};
  walkFolder(walk, path, "app/");
  if (walk.tooMany) {
    refusals.add("package", "more than " + std::to_string(kMostEntries) +
                                " entries; the format without Zip64 holds no more");
  }
  std::sort(entries.begin(), entries.end(),
            [](const PackEntry& a, const PackEntry& b) { return a.name < b.name; });
  refuseCaseTwins(entries, refusals);
}

}  // namespace vm
