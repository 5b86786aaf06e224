// The install context worked out by the real Win32 adapter inside the test prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/win32/wide.h"
#include "workflow/install_context.h"
#include "workflow/win32/win32_install_system.h"

namespace vm {
namespace {

std::wstring wide(const char16_t* text) { return asWide(text); }

std::wstring environment(const wchar_t* name) {
  wchar_t value[MAX_PATH] = L"";
  GetEnvironmentVariableW(name, value, MAX_PATH);
  return value;
}

bool endsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(Win32InstallContext, ResolvesTheFoldersOfThisUser) {
  Win32InstallSystem system;
  InstallContext context;
  ASSERT_TRUE(resolveInstallContext(system, context));

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  EXPECT_EQ(wide(context.modulePath.get()), self);
  EXPECT_STREQ(context.channel.get(), "Live");

  // Wine's prefixes are 64-bit: this 32-bit program runs under WOW64 and takes the x64 update.
  EXPECT_TRUE(context.isWow64);
  EXPECT_STREQ(context.prerequisites[UpdatePrerequisite].requestPath,
               "/DotNetFX40/NDP40-KB2468871-v2-x64.exe");

  EXPECT_EQ(wide(context.appFolder.get()), environment(L"LOCALAPPDATA") + L"\\Velmora\\App\\");
  EXPECT_EQ(wide(context.desktopFolder.get()), environment(L"USERPROFILE") + L"\\Desktop");
  EXPECT_TRUE(endsWith(wide(context.startMenuFolder.get()), L"\\Start Menu"))
      << "the Start menu's root, not its Programs folder";
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  EXPECT_EQ(wide(context.downloadFolder.get()), std::wstring(temp) + L"Velmora\\");
  EXPECT_EQ(wide(context.prerequisites[UpdatePrerequisite].installerPath.get()),
            std::wstring(temp) + L"Velmora\\NDP40-KB2468871-v2-x64.exe");
}

TEST(Win32InstallSystem, FindsMachineKeysThatExist) {
  Win32InstallSystem system;
  EXPECT_TRUE(system.machineKeyExists(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion"));
  EXPECT_FALSE(system.machineKeyExists(u"SOFTWARE\\Velmora\\No Such Key"));
}

}  // namespace
}  // namespace vm
