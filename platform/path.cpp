#include "platform/path.h"

namespace vm {

bool appendPath(WidePath& path, const char16_t* more) {
  while (*more == u'\\') ++more;
  const std::size_t length = path.length();
  const bool needsSeparator = length > 0 && path.get()[length - 1] != u'\\';
  if (needsSeparator) {
    if (!path.append(u"\\")) return false;
    if (!path.append(more)) {
      path.truncate(length);
      return false;
    }
    return true;
  }
  return path.append(more);
}

bool combinePath(WidePath& out, const char16_t* folder, const char16_t* name) {
  WidePath joined;
  if (!joined.assign(folder) || !appendPath(joined, name)) return false;
  return out.assign(joined.get());
}

namespace {

// The units of `path` that name the file: without its trailing dots and blanks.
std::size_t resolvedLength(const char16_t* path) {
  std::size_t length = textLength(path);
  while (length > 0 && (path[length - 1] == u'.' || path[length - 1] == u' ')) --length;
  return length;
}

}  // namespace

bool namesSameFile(const char16_t* left, const char16_t* right) {
  const std::size_t length = resolvedLength(left);
  if (resolvedLength(right) != length) return false;
  for (std::size_t at = 0; at < length; ++at) {
    if (isPathSeparator(left[at]) && isPathSeparator(right[at])) continue;
    if (foldAsciiUpper(left[at]) != foldAsciiUpper(right[at])) return false;
  }
  return true;
}

const char16_t* fileNameOf(const char16_t* path) {
  const char16_t* name = path;
  for (const char16_t* at = path; *at != 0; ++at)
    if (*at == u'\\') name = at + 1;
  return name;
}

}  // namespace vm
