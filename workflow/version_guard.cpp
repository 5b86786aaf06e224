#include "workflow/version_guard.h"

#include "archive/packaged_version.h"
#include "platform/file_version.h"

namespace vm {
namespace {

LogLine& addVersion(LogLine& line, const FileVersion& version) {
  return line.number(version.major).add(".").number(version.minor).add(".")
      .number(version.build).add(".").number(version.revision);
}

}  // namespace

bool isDowngrade(ArchiveHandle* archive, const char16_t* installedProgram, RunLog& log) {
  FileVersion installed{}, offered{};
  const FileVersionStatus found = readFileVersionOfFile(installedProgram, installed);
  if (found != FileVersionStatus::Found) {
    LogLine().add(found == FileVersionStatus::NoFile
                      ? "version: none installed"
                      : "version: installed one unreadable")
        .write(log);
    return false;
  }
  if (readPackagedVersion(archive, offered) != PackagedVersion::Found) {
    LogLine().add("version: package's unreadable").write(log);
    return false;
  }
  const bool older = compareFileVersions(offered, installed) < 0;
  LogLine line;
  line.add("version: package ");
  addVersion(line, offered).add(older ? " < installed " : ", installed ");
  addVersion(line, installed).write(log);
  return older;
}

}  // namespace vm
