#include "workflow/install_context.h"

#include "platform/format.h"
#include "platform/path.h"
#include "workflow/server_layout.h"

namespace vm {
namespace {

// .NET Framework 4 Client Profile.
constexpr char16_t kRuntimeKey[] = u"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4";
constexpr const char16_t* kRuntimeKeys[] = {kRuntimeKey, nullptr};
constexpr char16_t kRuntimeFileName[] = u"dotNetFx40_Client_x86_x64.exe";

// Its update KB2468871, looked for below wow6432node first, then below the plain key; the
// 64-bit installer on 64-bit Windows.
constexpr char16_t kUpdateKey32On64[] =
    u"SOFTWARE\\wow6432node\\Microsoft\\Updates\\Microsoft .NET Framework 4 Client "
    u"Profile\\KB2468871\\";
constexpr char16_t kUpdateKey[] =
    u"SOFTWARE\\Microsoft\\Updates\\Microsoft .NET Framework 4 Client Profile\\KB2468871\\";
constexpr const char16_t* kUpdateKeys[] = {kUpdateKey32On64, kUpdateKey, nullptr};
constexpr char16_t kUpdateFileName64[] = u"NDP40-KB2468871-v2-x64.exe";
constexpr char16_t kUpdateFileName32[] = u"NDP40-KB2468871-v2-x86.exe";

}  // namespace

const char* selectChannel(const char16_t* fileName) {
  if (textFind(fileName, u"-Beta") >= 0) return "Beta";
  if (textFind(fileName, u"-Testing") >= 0) return "Testing";
  return "Live";
}

bool resolveInstallContext(InstallSystem& system, InstallContext& context,
                           const PrerequisitePins& pins) {
  // An unknown own path leaves an empty name, which selects the Live channel.
  if (!system.modulePath(context.modulePath)) context.modulePath.clear();
  context.fileName = fileNameOf(context.modulePath.get());
  if (!context.channel.assign(selectChannel(context.fileName))) return false;

  context.isWow64 = system.isWow64();
  Prerequisite& runtime = context.prerequisites[RuntimePrerequisite];
  runtime.detectionKeys = kRuntimeKeys;
  runtime.requestPath = kRuntimeRequestPath;
  runtime.fileName = kRuntimeFileName;
  runtime.pin = pins.runtime;
  Prerequisite& update = context.prerequisites[UpdatePrerequisite];
  update.detectionKeys = kUpdateKeys;
  update.requestPath = context.isWow64 ? kUpdateRequestPath64 : kUpdateRequestPath32;
  update.fileName = context.isWow64 ? kUpdateFileName64 : kUpdateFileName32;
  update.pin = context.isWow64 ? pins.updateX64 : pins.updateX86;
  (void)formatInto(context.packageRequestPath, kPackageRequestFormat, context.channel.get());

  if (!system.knownFolder(KnownFolder::LocalAppData, context.appFolder) ||
      !appendPath(context.appFolder, u"\\Velmora\\App\\"))
    return false;
  if (!system.knownFolder(KnownFolder::Desktop, context.desktopFolder)) return false;
  if (!system.knownFolder(KnownFolder::StartMenu, context.startMenuFolder)) return false;
  if (!system.tempFolder(context.downloadFolder) ||
      !appendPath(context.downloadFolder, u"\\Velmora\\"))
    return false;
  for (Prerequisite& prerequisite : context.prerequisites)
    if (!combinePath(prerequisite.installerPath, context.downloadFolder.get(),
                     prerequisite.fileName))
      return false;
  return true;
}

}  // namespace vm
