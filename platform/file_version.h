// The file version of a Windows executable or library, read from the file's bytes: the fixed
// file-information block of its version resource, found through the PE resource directory.
// Platform-neutral, so that tools on any host can check what the installer's process counter
// will see (the counter asks Windows' version functions for the same block).
#pragma once

#include <cstdint>

namespace vm {

// The file version of a fixed file-information block: major.minor.build.revision, the upper
// and lower halves of its two version words.
struct FileVersion {
  uint16_t major, minor, build, revision;
};

enum class FileVersionStatus : int32_t {
  Found = 0,  // the version was read
  // No DOS header, no PE signature, an optional header that is neither PE32 nor PE32+, or
  // headers and section table that do not lie whole in the data.
  NotAnImage = 1,
  // A readable image without a version resource: no resource directory, or no entry of type
  // RT_VERSION (16) with the identifier 1, or no language below it.
  NoVersionResource = 2,
  // The resource directory or the version block lies (partly) outside the data or outside
  // every section, a directory entry has the wrong kind, the block's key is not
  // "VS_VERSION_INFO", its value is too short for the fixed block, or the block lacks the
  // signature 0xFEEF04BD, without which Windows' version functions give no version either.
  DamagedResource = 3,
  // readFileVersionOfFile only: no file at the path (nor its folder).
  NoFile = 4,
};

// Reads the file version of the PE image in `data` (`length` bytes; the whole file). Every
// offset and length is checked against `length` before use, with 64-bit sums; the walk descends
// exactly three directory levels (type, identifier, first language), so a directory that
// points back at itself cannot make it go on. `version` is written only when Found is returned.
[[nodiscard]] FileVersionStatus readFileVersion(const uint8_t* data, uint64_t length,
                                                FileVersion& version);

// Reads the file version of the file at `path` (a Windows path), mapped read-only and never
// loaded as a program: readFileVersion's answers, NoFile when neither the file nor its folder
// exists, NotAnImage when it exists but cannot be opened or mapped (empty, held exclusively).
// Implemented by the file layer over mapFileForReading (platform/mapped_file.h).
[[nodiscard]] FileVersionStatus readFileVersionOfFile(const char16_t* path, FileVersion& version);

// Below 0, 0 or above 0 as `a` is lower than, the same as or higher than `b`: major, then
// minor, build and revision.
int32_t compareFileVersions(const FileVersion& a, const FileVersion& b);

}  // namespace vm
