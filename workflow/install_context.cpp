#include "workflow/install_context.h"

#include "platform/format.h"
#include "platform/path.h"

namespace vm {
namespace {

constexpr char kRuntimeRequestPath[] = "/DotNetFX40/dotNetFx40_Client_x86_x64.exe";
constexpr char kUpdateRequestPath64[] = "/DotNetFX40/NDP40-KB2468871-v2-x64.exe";
constexpr char kUpdateRequestPath32[] = "/DotNetFX40/NDP40-KB2468871-v2-x86.exe";
constexpr char16_t kUpdateFileName64[] = u"NDP40-KB2468871-v2-x64.exe";
constexpr char16_t kUpdateFileName32[] = u"NDP40-KB2468871-v2-x86.exe";
constexpr char16_t kRuntimeFileName[] = u"dotNetFx40_Client_x86_x64.exe";
constexpr char kPackageRequestFormat[] = "/Velmora.Html.Windows/%s/Velmora.Html.Windows.vmpkg";

}  // namespace

const char* selectChannel(const char16_t* fileName) {
  if (textFind(fileName, u"-Beta") >= 0) return "Beta";
  if (textFind(fileName, u"-Testing") >= 0) return "Testing";
  return "Live";
}

bool resolveInstallContext(InstallSystem& system, InstallContext& context) {
  // An unknown own path leaves an empty name, which selects the Live channel.
  if (!system.modulePath(context.modulePath)) context.modulePath.clear();
  context.fileName = fileNameOf(context.modulePath.get());
  if (!context.channel.assign(selectChannel(context.fileName))) return false;

  context.isWow64 = system.isWow64();
  context.runtimeRequestPath = kRuntimeRequestPath;
  context.updateRequestPath = context.isWow64 ? kUpdateRequestPath64 : kUpdateRequestPath32;
  context.updateFileName = context.isWow64 ? kUpdateFileName64 : kUpdateFileName32;
  (void)formatInto(context.packageRequestPath, kPackageRequestFormat, context.channel.get());

  if (!system.knownFolder(KnownFolder::LocalAppData, context.appFolder) ||
      !appendPath(context.appFolder, u"\\Velmora\\App\\"))
    return false;
  if (!system.knownFolder(KnownFolder::Desktop, context.desktopFolder)) return false;
  if (!system.knownFolder(KnownFolder::StartMenu, context.startMenuFolder)) return false;
  if (!system.tempFolder(context.downloadFolder) ||
      !appendPath(context.downloadFolder, u"\\Velmora\\"))
    return false;
  return combinePath(context.runtimeInstallerPath, context.downloadFolder.get(),
                     kRuntimeFileName) &&
         combinePath(context.updateInstallerPath, context.downloadFolder.get(),
                     context.updateFileName);
}

}  // namespace vm
