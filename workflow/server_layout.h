// What the installer asks of its download server and of the application it installs: the
// request paths, the channels, the application's major version. One home for the installer
// and the tools that check a release against it (vmpkg, velmora-fetch).
#pragma once

#include <cstdint>

namespace vm {

// The prerequisites' installers: the runtime, and its update in the variant of the machine.
constexpr char kRuntimeRequestPath[] = "/DotNetFX40/dotNetFx40_Client_x86_x64.exe";
constexpr char kUpdateRequestPath64[] = "/DotNetFX40/NDP40-KB2468871-v2-x64.exe";
constexpr char kUpdateRequestPath32[] = "/DotNetFX40/NDP40-KB2468871-v2-x86.exe";

// The release channels, and each one's package: the format's "%s" is the channel.
constexpr const char* kChannels[] = {"Live", "Beta", "Testing"};
constexpr char kPackageRequestFormat[] = "/Velmora.Html.Windows/%s/Velmora.Html.Windows.vmpkg";

// The installer's file name for each channel, in kChannels' order: the name chooses the
// channel (selectChannel in install_context.h).
constexpr const char* kInstallerFileNames[] = {"VelmoraInstaller.exe",
                                               "VelmoraInstaller-Beta.exe",
                                               "VelmoraInstaller-Testing.exe"};

// The application's executable: its name in the application folder, and its entry in the
// package, whose entries below "app/" are the application folder.
constexpr char16_t kApplicationFileName[] = u"Velmora.exe";
constexpr char kPackagedApplication[] = "app/Velmora.exe";
constexpr char16_t kPackagedApplicationWide[] = u"app/Velmora.exe";

// The major file version of the application's Velmora.exe: the installer waits while a
// Velmora.exe with a module of this version runs.
constexpr int32_t kApplicationMajorVersion = 5;

}  // namespace vm
