// Channel selection and the install context worked out from a scripted system.
#include <gtest/gtest.h>

#include <string>

#include "tests/unit/fake_install_system.h"
#include "workflow/install_context.h"

namespace vm {
namespace {

using test::FakeInstallSystem;
using test::narrow;

TEST(SelectChannel, ComesFromTheInstallersFileName) {
  const struct {
    const char16_t* fileName;
    const char* channel;
  } cases[] = {
      {u"VelmoraInstaller.exe", "Live"},
      {u"VelmoraInstaller-Beta.exe", "Beta"},
      {u"VelmoraInstaller-Testing.exe", "Testing"},
      {u"VelmoraInstaller-Testing-Beta.exe", "Beta"},  // -Beta wins wherever it stands
      {u"VelmoraInstaller-Beta (1).exe", "Beta"},
      {u"Velmora-Testing-Installer.exe", "Testing"},
      {u"VelmoraInstaller-beta.exe", "Live"},  // case-sensitive
      {u"VelmoraInstaller-BETA.exe", "Live"},
      {u"VelmoraInstallerBeta.exe", "Live"},  // the hyphen belongs to the suffix
      {u"", "Live"},
  };
  for (const auto& row : cases)
    EXPECT_STREQ(selectChannel(row.fileName), row.channel) << narrow(row.fileName);
}

TEST(ResolveInstallContext, WorksOutEveryPathOfA64BitRun) {
  FakeInstallSystem system;
  system.modulePathValue = u"C:\\Users\\Ann\\Downloads\\VelmoraInstaller-Testing.exe";
  InstallContext context;
  ASSERT_TRUE(resolveInstallContext(system, context));

  EXPECT_EQ(narrow(context.fileName), "VelmoraInstaller-Testing.exe");
  EXPECT_STREQ(context.channel.get(), "Testing");
  EXPECT_TRUE(context.isWow64);
  const Prerequisite& runtime = context.prerequisites[RuntimePrerequisite];
  const Prerequisite& update = context.prerequisites[UpdatePrerequisite];
  EXPECT_STREQ(runtime.requestPath, "/DotNetFX40/dotNetFx40_Client_x86_x64.exe");
  EXPECT_STREQ(update.requestPath, "/DotNetFX40/NDP40-KB2468871-v2-x64.exe");
  EXPECT_EQ(narrow(update.fileName), "NDP40-KB2468871-v2-x64.exe");
  EXPECT_STREQ(context.packageRequestPath.get(),
               "/Velmora.Html.Windows/Testing/Velmora.Html.Windows.vmpkg");
  EXPECT_EQ(narrow(context.appFolder.get()), "C:\\Users\\Ann\\AppData\\Local\\Velmora\\App\\");
  EXPECT_EQ(narrow(context.desktopFolder.get()), "C:\\Users\\Ann\\Desktop");
  EXPECT_EQ(narrow(context.startMenuFolder.get()),
            "C:\\Users\\Ann\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu");
  EXPECT_EQ(narrow(context.downloadFolder.get()), "C:\\Users\\Ann\\AppData\\Local\\Temp\\Velmora\\");
  EXPECT_EQ(narrow(runtime.installerPath.get()),
            "C:\\Users\\Ann\\AppData\\Local\\Temp\\Velmora\\dotNetFx40_Client_x86_x64.exe");
  EXPECT_EQ(narrow(update.installerPath.get()),
            "C:\\Users\\Ann\\AppData\\Local\\Temp\\Velmora\\NDP40-KB2468871-v2-x64.exe");
  // Folders in the order that decides which failure ends the run first.
  EXPECT_EQ(system.events, (std::vector<std::string>{"modulePath", "isWow64", "knownFolder 28",
                                                     "knownFolder 0", "knownFolder 11",
                                                     "tempFolder"}));
}

TEST(ResolveInstallContext, PicksThe32BitUpdateOn32BitWindows) {
  FakeInstallSystem system;
  system.wow64 = false;
  InstallContext context;
  ASSERT_TRUE(resolveInstallContext(system, context));
  EXPECT_STREQ(context.channel.get(), "Live");
  EXPECT_STREQ(context.prerequisites[UpdatePrerequisite].requestPath,
               "/DotNetFX40/NDP40-KB2468871-v2-x86.exe");
  EXPECT_EQ(narrow(context.prerequisites[UpdatePrerequisite].installerPath.get()),
            "C:\\Users\\Ann\\AppData\\Local\\Temp\\Velmora\\NDP40-KB2468871-v2-x86.exe");
}

TEST(ResolveInstallContext, FailsWhenAFolderCannotBeHad) {
  const struct {
    const char* name;
    KnownFolder missing;
    const char* lastEvent;
  } cases[] = {
      {"local application data", KnownFolder::LocalAppData, "knownFolder 28"},
      {"desktop", KnownFolder::Desktop, "knownFolder 0"},
      {"start menu", KnownFolder::StartMenu, "knownFolder 11"},
  };
  for (const auto& row : cases) {
    FakeInstallSystem system;
    system.folders.erase(row.missing);
    InstallContext context;
    EXPECT_FALSE(resolveInstallContext(system, context)) << row.name;
    EXPECT_EQ(system.events.back(), row.lastEvent) << row.name;
  }
  FakeInstallSystem noTemp;
  noTemp.tempFolderWorks = false;
  InstallContext context;
  EXPECT_FALSE(resolveInstallContext(noTemp, context));
}

TEST(ResolveInstallContext, RefusesAnApplicationFolderThatWouldNotFit) {
  FakeInstallSystem system;
  system.folders[KnownFolder::LocalAppData] = u"C:\\" + std::u16string(250, u'a');
  InstallContext context;
  EXPECT_FALSE(resolveInstallContext(system, context));
}

}  // namespace
}  // namespace vm
