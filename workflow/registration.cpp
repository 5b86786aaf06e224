#include "workflow/registration.h"

#include "platform/format.h"
#include "platform/path.h"
#include "product_values.h"  // generated: the web-site address
#include "workflow/server_layout.h"

namespace vm {
namespace {

constexpr char16_t kShortcutName[] = u"Velmora 5.lnk";

void createShortcutIn(InstallSystem& system, const WidePath& folder, const WidePath& target) {
  WidePath link;
  if (combinePath(link, folder.get(), kShortcutName))
    (void)system.createShortcut(target.get(), link.get());
}

}  // namespace

bool applicationPath(const InstallContext& context, WidePath& out) {
  return combinePath(out, context.appFolder.get(), kApplicationFileName);
}

bool registerAndLaunch(InstallSystem& system, const InstallContext& context, bool launch) {
  WidePath appExePath;
  if (!applicationPath(context, appExePath)) return false;

  if (!system.openUninstallKey()) return false;
  WidePath uninstallCommand;
  (void)formatInto(uninstallCommand, u"\"%s\" Uninstall", appExePath.get());
  // In this order; a value that cannot be written does not stop the others.
  (void)system.writeStringValue(u"DisplayIcon", appExePath.get());
  (void)system.writeStringValue(u"DisplayName", u"Velmora 5");
  (void)system.writeStringValue(u"DisplayVersion", u"");
  (void)system.writeStringValue(u"Version", u"");
  (void)system.writeStringValue(u"InstallLocation", context.appFolder.get());
  (void)system.writeFlagValue(u"NoModify");
  (void)system.writeFlagValue(u"NoRepair");
  (void)system.writeStringValue(u"Publisher", u"Dorvane");
  (void)system.writeStringValue(u"UninstallString", uninstallCommand.get());
  (void)system.writeStringValue(u"URLInfoAbout", kWebsiteAddress);
  system.closeUninstallKey();

  system.initializeComponents();
  createShortcutIn(system, context.desktopFolder, appExePath);
  createShortcutIn(system, context.startMenuFolder, appExePath);
  if (launch) system.launch(appExePath.get());
  return true;
}

}  // namespace vm
