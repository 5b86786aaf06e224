// What a package cannot hold faithfully for Windows: names Windows refuses or changes, and
// names that differ only in case (Windows keeps one of them).
#include <algorithm>
#include <cstring>

#include "platform/file_system.h"
#include "platform/utf8.h"
#include "tools/vmpkg/pack.h"

namespace vm {
namespace {

char foldAscii(char unit) { return unit >= 'A' && unit <= 'Z' ? unit - 'A' + 'a' : unit; }

// Windows' device names, which name a device in any folder, also with an extension.
bool isDeviceName(const char* segment, std::size_t length) {
  std::size_t stem = 0;
  while (stem < length && segment[stem] != '.') ++stem;
  if (stem != 3 && stem != 4) return false;
  char folded[5] = {};
  for (std::size_t at = 0; at < stem; ++at) folded[at] = foldAscii(segment[at]);
  if (stem == 3) {
    for (const char* device : {"con", "prn", "aux", "nul"})
      if (std::memcmp(folded, device, 3) == 0) return true;
    return false;
  }
  return (std::memcmp(folded, "com", 3) == 0 || std::memcmp(folded, "lpt", 3) == 0) &&
         folded[3] >= '1' && folded[3] <= '9';
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

}  // namespace

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

}  // namespace vm
