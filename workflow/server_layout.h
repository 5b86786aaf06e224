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

// The major file version of the application's Velmora.exe: the installer waits while a
// Velmora.exe with a module of this version runs.
constexpr int32_t kApplicationMajorVersion = 5;

}  // namespace vm
