#include "workflow/run_log.h"

#include "platform/utf8.h"
#include "product_values.h"  // generated: the profile
#include "release_trust.h"   // generated: whether a package key was built in

namespace vm {

const char* installResultText(InstallResult result) {
  switch (result) {
    case InstallSucceeded: return "installed and started";
    case InstallNotAdmitted: return "not admitted";
    case InstallClosedByUser: return "closed by the user";
    case InstallNoContext: return "no install context";
    case InstallOutOfMemory: return "out of memory";
    case InstallWorkerNotStarted: return "no worker thread";
    case RuntimeDownloadFailed: return "the runtime's download failed";
    case UpdateDownloadFailed: return "the update's download failed";
    case PackageDownloadFailed: return "the package's download failed";
    case RuntimePinRefused: return "the runtime differs from its pin";
    case UpdatePinRefused: return "the update differs from its pin";
    case PackageSignatureRefused: return "the package's signature was refused";
    case PackageNotArchive: return "the package is not a ZIP archive";
    case RuntimeNotWritten: return "runtime installer not written";
    case UpdateNotWritten: return "update installer not written";
    case RuntimeNotStarted: return "runtime installer not started";
    case UpdateNotStarted: return "update installer not started";
    case RegistrationFailed: return "uninstall key not created";
    case ApplicationDamaged: return "Velmora.exe was left damaged and not started";
    case LaunchFailed: return "Velmora.exe could not be started";
    default: break;
  }
  // Only a build with a package key refuses a downgrade; one without stays as it was.
  if constexpr (kPackageKeyModulusLength != 0) {
    if (result == PackageDowngradeRefused) return "package older than installed";
  }
  // Only the field profile has these results; the described build stays as it was.
  if constexpr (kFieldProfile) {
    if (const char* text = fieldResultText(result)) return text;
  }
  return "unknown";
}

LogLine& LogLine::add(const char* text) {
  if (!cut_ && !text_.append(text)) cut_ = true;
  return *this;
}

LogLine& LogLine::add(const char16_t* text) {
  char utf8[sizeof text_];
  if (cut_ || encodeUtf8(text, utf8, sizeof utf8) < 0 || !text_.append(utf8)) cut_ = true;
  return *this;
}

LogLine& LogLine::number(int64_t value) {
  char digits[16];
  char* at = digits + sizeof digits;
  *--at = 0;
  // Every value logged fits in 32 bits either side of zero (codes, lengths, milliseconds):
  // 32-bit division keeps 64-bit helpers out of the installer.
  const bool negative = value < 0;
  uint32_t magnitude = static_cast<uint32_t>(negative ? 0 - static_cast<uint64_t>(value)
                                                      : static_cast<uint64_t>(value));
  do {
    *--at = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--at = '-';
  return add(at);
}

void LogLine::write(RunLog& log) {
  if (cut_) {
    // Room is made for the mark, cutting at a character's first byte, never inside one.
    constexpr char kMark[] = " [cut]";
    std::size_t keep = text_.capacity() - sizeof kMark;
    while (keep > 0 && keep < text_.length() && (text_.get()[keep] & 0xC0) == 0x80) --keep;
    text_.truncate(keep);
    (void)text_.append(kMark);
  }
  log.write(text_.get());
}

}  // namespace vm
