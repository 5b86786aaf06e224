#include "workflow/registration.h"

#include "platform/format.h"
#include "platform/path.h"
#include "product_values.h"  // generated: the web-site address
#include "workflow/server_layout.h"

namespace vm {
namespace {

constexpr char16_t kShortcutName[] = u"Velmora 5.lnk";

void noteFailedValue(RunLog& log, int32_t result, const char16_t* name) {
  if (result != 0) LogLine().add("register: value ").add(name).add(" not written").write(log);
}

void createShortcutIn(InstallSystem& system, RunLog& log, const WidePath& folder,
                      const WidePath& target) {
  WidePath link;
  // The component library's status: negative values are failures.
  const int32_t status = combinePath(link, folder.get(), kShortcutName)
                             ? system.createShortcut(target.get(), link.get())
                             : -1;
  if (status < 0)
    LogLine().add("shortcut: ").add(folder.get()).add(" failed, status ").number(status).write(log);
}

}  // namespace

bool applicationPath(const InstallContext& context, WidePath& out) {
  return combinePath(out, context.appFolder.get(), kApplicationFileName);
}

InstallResult registerAndLaunch(InstallSystem& system, const InstallContext& context, bool launch,
                                RunLog& log) {
  WidePath appExePath;
  if (!applicationPath(context, appExePath)) return RegistrationFailed;

  if (!system.openUninstallKey()) return RegistrationFailed;
  WidePath uninstallCommand;
  (void)formatInto(uninstallCommand, u"\"%s\" Uninstall", appExePath.get());
  // In this order; a value that cannot be written does not stop the others.
  const struct {
    const char16_t* name;
    const char16_t* text;  // null: the flag value 1
  } values[] = {
      {u"DisplayIcon", appExePath.get()},
      {u"DisplayName", u"Velmora 5"},
      {u"DisplayVersion", u""},
      {u"Version", u""},
      {u"InstallLocation", context.appFolder.get()},
      {u"NoModify", nullptr},
      {u"NoRepair", nullptr},
      {u"Publisher", u"Dorvane"},
      {u"UninstallString", uninstallCommand.get()},
      {u"URLInfoAbout", kWebsiteAddress},
  };
  for (const auto& value : values)
    noteFailedValue(log,
                    value.text != nullptr ? system.writeStringValue(value.name, value.text)
                                          : system.writeFlagValue(value.name),
                    value.name);
  system.closeUninstallKey();

  system.initializeComponents();
  createShortcutIn(system, log, context.desktopFolder, appExePath);
  createShortcutIn(system, log, context.startMenuFolder, appExePath);
  if (!launch) return ApplicationDamaged;
  const bool started = system.launch(appExePath.get());
  LogLine().add("launch: ").add(appExePath.get()).add(started ? " started" : " failed").write(log);
  return started ? InstallSucceeded : LaunchFailed;
}

}  // namespace vm
