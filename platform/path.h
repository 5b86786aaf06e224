// Joining Windows paths held in fixed-capacity text. Both builds use these, so the install
// context and the unpack step compute the same paths in host tests as on Windows.
#pragma once

#include "platform/fixed_string.h"

namespace vm {

// True for the two separators Windows accepts.
inline bool isPathSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// Appends `more` to `path` with exactly one backslash between them: leading backslashes of
// `more` are dropped and one is inserted unless `path` is empty or already ends in one.
// False (path unchanged) when the result does not fit.
[[nodiscard]] bool appendPath(WidePath& path, const char16_t* more);

// `folder` and `name` joined as appendPath joins them, into `out`.
[[nodiscard]] bool combinePath(WidePath& out, const char16_t* folder, const char16_t* name);

// The file name of `path`: the units after its last backslash, or all of it.
const char16_t* fileNameOf(const char16_t* path);

// True when Windows opens the same file for both paths: their trailing dots and blanks are
// dropped (unless a path ends in a separator), both separators are alike, and so are the two
// cases of the letters A-Z (the case of other letters is told apart, as process names are).
bool namesSameFile(const char16_t* left, const char16_t* right);

}  // namespace vm
