// The install sequence against a scripted system, window and download server: the order of
// steps, statuses and marquee switches, the mended faults, registration, and a real unpack into
// a scratch folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "net/socket.h"
#include "product_values.h"
#include "tests/unit/fake_crypto.h"
#include "tests/unit/fake_install_system.h"
#include "tests/unit/fake_network.h"
#include "tests/unit/fake_update_files.h"
#include "tests/unit/scratch.h"
#include "tests/unit/zip_builder.h"
#include "workflow/failure_message.h"
#include "workflow/field_sequence.h"
#include "workflow/install_sequence.h"

namespace vm {
namespace {

using test::FakeInstallSystem;
using test::FakeNetwork;
using test::narrow;
using test::RecordingLog;
using test::RecordingProgress;

constexpr char kRuntimePath[] = "/DotNetFX40/dotNetFx40_Client_x86_x64.exe";
constexpr char kUpdatePath[] = "/DotNetFX40/NDP40-KB2468871-v2-x64.exe";
constexpr char kPackagePath[] = "/Velmora.Html.Windows/Live/Velmora.Html.Windows.vmpkg";
constexpr char kRuntimeKey[] = "SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4";
constexpr char kUpdateKeyWow[] =
    "SOFTWARE\\wow6432node\\Microsoft\\Updates\\Microsoft .NET Framework 4 Client "
    "Profile\\KB2468871\\";
constexpr char kUpdateKey[] =
    "SOFTWARE\\Microsoft\\Updates\\Microsoft .NET Framework 4 Client Profile\\KB2468871\\";

std::string okResponse(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The key a release's packages are signed with, for the fake crypto.
const test::TestKey kReleaseKey = test::makeKey(256, 0x5A);

test::ZipEntryRecipe entry(const std::string& name, const std::string& data, uint16_t method) {
  test::ZipEntryRecipe recipe;
  recipe.name = name;
  recipe.data = data;
  recipe.method = method;
  return recipe;
}

// One run: a clean machine whose application folder is a real scratch folder.
class InstallRun : public ::testing::Test {
 protected:
  InstallRun() : scratch_("sequence") {
    system.modulePathValue = u"C:\\Users\\Ann Lee (Work)\\Downloads\\VelmoraInstaller.exe";
    system.folders[KnownFolder::LocalAppData] = scratch_.at();
    system.tempFolderValue = u"C:\\Users\\Ann Lee (Work)\\AppData\\Local\\Temp\\";
    server.responses[kRuntimePath] = okResponse("runtime installer");
    server.responses[kUpdatePath] = okResponse("update installer");
    package.entries = {entry("app/Velmora.exe", "MZ application", 0),
                       entry("app/sub/readme.txt", "hello", 8),
                       entry("other/outside.txt", "not installed", 0)};
    server.responses[kPackagePath] = okResponse(test::buildZip(package));
  }

  InstallResult run() {
    log.lines.clear();
    return runInstallation(system, view, transport, release, log);
  }

  // A pin of `body` as the fake crypto hashes it.
  Sha256Pin pinOf(const std::string& body) {
    Sha256Pin pin{true, {}};
    EXPECT_TRUE(crypto.sha256(test::bytesOf(body), static_cast<uint32_t>(body.size()),
                              pin.digest));
    return pin;
  }

  // The window's events without the progress positions.
  std::vector<std::string> windowSteps() const {
    std::vector<std::string> steps;
    for (const auto& event : view.events)
      if (event.rfind("position", 0) != 0) steps.push_back(event);
    return steps;
  }
  bool systemDid(const std::string& prefix) const {
    return std::any_of(system.events.begin(), system.events.end(),
                       [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
  }
  std::filesystem::path appFolder() const { return scratch_.path() / "Velmora" / "App"; }

  FakeInstallSystem system;
  RecordingProgress view;
  FakeNetwork server;
  SocketTransport transport{server, {"host.example", 80}};
  RecordingLog log;
  test::ZipRecipe package;
  test::FakeCrypto crypto;
  Release release{"5.0.0 (test)"};

 private:
  test::ScratchFolder scratch_;
};

TEST_F(InstallRun, InstallsEverythingOnACleanMachine) {
  EXPECT_EQ(run(), InstallSucceeded);

  EXPECT_EQ(server.requests, (std::vector<std::string>{kRuntimePath, kUpdatePath, kPackagePath}));
  EXPECT_EQ(windowSteps(), (std::vector<std::string>{
                               "status Downloading dependencies...", "marquee off",
                               "status Downloading dependencies...", "marquee off",
                               "status Downloading Velmora...", "marquee off",
                               "status Installing dependencies... (this may take a few minutes)",
                               "marquee on",
                               "status Installing dependencies... (this may take a few minutes)",
                               "marquee on", "status Installing Velmora...", "marquee on",
                               "close"}));
  const std::string temp = "C:\\Users\\Ann Lee (Work)\\AppData\\Local\\Temp\\Velmora\\";
  EXPECT_EQ(system.writtenFiles[temp + "dotNetFx40_Client_x86_x64.exe"], "runtime installer");
  EXPECT_EQ(system.writtenFiles[temp + "NDP40-KB2468871-v2-x64.exe"], "update installer");

  // Installers run after every download, runtime first, with the path quoted whole.
  const std::vector<std::string> expectedOrder = {
      "key " + std::string(kRuntimeKey),
      "mkdirs " + temp,
      "write " + temp + "dotNetFx40_Client_x86_x64.exe 17",
      "key " + std::string(kUpdateKeyWow),
      "key " + std::string(kUpdateKey),
      "write " + temp + "NDP40-KB2468871-v2-x64.exe 16",
      "count Velmora.exe 5",
      "run cmd.exe /c \"\"" + temp + "dotNetFx40_Client_x86_x64.exe\" /q /norestart\"",
      "run cmd.exe /c \"\"" + temp + "NDP40-KB2468871-v2-x64.exe\" /q /norestart\"",
      "openUninstallKey",
      "launch " + narrow(system.folders[KnownFolder::LocalAppData].c_str()) +
          "\\Velmora\\App\\Velmora.exe"};
  auto at = system.events.begin();
  for (const auto& step : expectedOrder) {
    at = std::find(at, system.events.end(), step);
    ASSERT_NE(at, system.events.end()) << "missing or out of order: " << step;
  }

  const std::string app = narrow(system.folders[KnownFolder::LocalAppData].c_str()) +
                          "\\Velmora\\App\\Velmora.exe";
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{
                "start: VelmoraInstaller.exe, channel Live, Windows 10.0.19045, 64-bit (WOW64), "
                "build 5.0.0 (test)",
                "detect dotNetFx40_Client_x86_x64.exe: missing",
                "download /DotNetFX40/dotNetFx40_Client_x86_x64.exe: status 200, length 17, "
                "received 17, 0 ms, complete",
                "detect NDP40-KB2468871-v2-x64.exe: missing",
                "download /DotNetFX40/NDP40-KB2468871-v2-x64.exe: status 200, length 16, received "
                "16, 0 ms, complete",
                "download /Velmora.Html.Windows/Live/Velmora.Html.Windows.vmpkg: status 200, "
                "length " + std::to_string(test::buildZip(package).size()) + ", received " +
                    std::to_string(test::buildZip(package).size()) + ", 0 ms, complete",
                "run: cmd.exe /c \"\"" + temp + "dotNetFx40_Client_x86_x64.exe\" /q /norestart\"",
                "run: exit code 0",
                "run: cmd.exe /c \"\"" + temp + "NDP40-KB2468871-v2-x64.exe\" /q /norestart\"",
                "run: exit code 0", "unpack: 2 written, 0 failed, 1 skipped of 3",
                "launch: " + app + " started", "end 0"}));

  // Only "app/" entries land below the application folder.
  EXPECT_EQ(test::readFile(appFolder() / "Velmora.exe"), "MZ application");
  EXPECT_EQ(test::readFile(appFolder() / "sub" / "readme.txt"), "hello");
  EXPECT_EQ(test::listTree(appFolder()), "Velmora.exe sub/ sub/readme.txt ");
}

TEST_F(InstallRun, SkipsPrerequisitesThatArePresent) {
  const struct {
    const char* what;
    std::vector<std::string> presentKeys;
    std::vector<std::string> requests;
    int installersRun;
  } cases[] = {
      {"both present", {kRuntimeKey, kUpdateKeyWow}, {kPackagePath}, 0},
      {"update under the plain key", {kRuntimeKey, kUpdateKey}, {kPackagePath}, 0},
      {"runtime missing", {kUpdateKeyWow}, {kRuntimePath, kPackagePath}, 1},
      {"update missing", {kRuntimeKey}, {kUpdatePath, kPackagePath}, 1},
  };
  for (const auto& row : cases) {
    system.events.clear();
    view.events.clear();
    server.requests.clear();
    system.presentMachineKeys = {row.presentKeys.begin(), row.presentKeys.end()};
    EXPECT_EQ(run(), InstallSucceeded) << row.what;
    EXPECT_EQ(server.requests, row.requests) << row.what;
    EXPECT_EQ(std::count_if(system.events.begin(), system.events.end(),
                            [](const std::string& e) { return e.rfind("run ", 0) == 0; }),
              row.installersRun)
        << row.what;
    if (row.installersRun == 0) {
      EXPECT_EQ(view.events.front(), "status Downloading Velmora...") << row.what;
    }
  }
}

// cmd.exe expands "%NAME%" (and "!NAME!" with delayed expansion) inside quotes too: such a
// download folder is the installer's working folder instead of part of its command.
TEST_F(InstallRun, NamesTheInstallerSoThatCmdExeCannotExpandIt) {
  system.presentMachineKeys = {kUpdateKeyWow};
  const struct {
    const char* temp;
    std::string run;
  } cases[] = {
      {"C:\\Temp Dir (Work)\\",
       "run cmd.exe /c \"\"C:\\Temp Dir (Work)\\Velmora\\dotNetFx40_Client_x86_x64.exe\" /q "
       "/norestart\""},
      {"C:\\T 50%OS%off\\",
       "run cmd.exe /c \"\".\\dotNetFx40_Client_x86_x64.exe\" /q /norestart\" in "
       "C:\\T 50%OS%off\\Velmora\\"},
      {"C:\\Users\\Hi!there!\\Temp\\",
       "run cmd.exe /c \"\".\\dotNetFx40_Client_x86_x64.exe\" /q /norestart\" in "
       "C:\\Users\\Hi!there!\\Temp\\Velmora\\"},
  };
  for (const auto& row : cases) {
    system.events.clear();
    system.tempFolderValue = test::widen(row.temp);
    EXPECT_EQ(run(), InstallSucceeded) << row.temp;
    EXPECT_TRUE(systemDid(row.run)) << row.temp;
  }
}

TEST_F(InstallRun, WaitsWhileTheApplicationRuns) {
  system.presentMachineKeys = {kRuntimeKey, kUpdateKeyWow};
  system.processCounts = {2, 1, 0};
  EXPECT_EQ(run(), InstallSucceeded);
  EXPECT_EQ(windowSteps(),
            (std::vector<std::string>{"status Downloading Velmora...", "marquee off",
                                      "status Waiting for Velmora to close...", "marquee off",
                                      "status Installing Velmora...", "marquee on", "close"}));
  EXPECT_EQ(std::count(system.events.begin(), system.events.end(), "sleep 200"), 2);
  EXPECT_EQ(std::count(system.events.begin(), system.events.end(), "count Velmora.exe 5"), 3);
}

TEST_F(InstallRun, EndsTheRunOnEveryFailureThatMatters) {
  using Arrange = void (*)(FakeInstallSystem&, FakeNetwork&, Release&);
  const struct {
    const char* what;
    Arrange arrange;
    const char* lastSystemEvent;  // what the system was last asked before the window closed
    InstallResult result;
    const char* logged;  // a part of the log's lines that says why
  } cases[] = {
      {"a folder is missing",
       [](FakeInstallSystem& s, FakeNetwork&, Release&) {
         s.folders.erase(KnownFolder::Desktop);
       },
       "knownFolder 0", InstallNoContext, "start: the install context could not be resolved"},
      {"the runtime download fails",
       [](FakeInstallSystem&, FakeNetwork& f, Release&) { f.responses.erase(kRuntimePath); },
       "key SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4", RuntimeDownloadFailed,
       "dotNetFx40_Client_x86_x64.exe: status 404, length -1, received 0, 0 ms, status not 2xx"},
      {"the server refuses the connection",
       [](FakeInstallSystem&, FakeNetwork& f, Release&) { f.refuse = true; },
       "key SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4", RuntimeDownloadFailed,
       "connection refused (system error 10061)"},
      {"the server stops sending half-way",
       [](FakeInstallSystem&, FakeNetwork& f, Release&) {
         f.responses[kRuntimePath] = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nhalf";
         f.ending = FakeNetwork::Ending::TimeOut;
       },
       "key SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4", RuntimeDownloadFailed,
       "status 200, length 100, received 4, 0 ms, receive timed out (system error 10060)"},
      {"the runtime comes without a length",
       [](FakeInstallSystem&, FakeNetwork& f, Release&) {
         f.responses[kRuntimePath] = "HTTP/1.1 200 OK\r\n\r\nwhole file?";
       },
       "key SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4", RuntimeDownloadFailed,
       "no length"},
      // Compared before anything is written: the differing file never reaches the disk.
      {"the runtime differs from its pin",
       [](FakeInstallSystem&, FakeNetwork&, Release& r) { r.pins.runtime = {true, {}}; },
       "key SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4", RuntimePinRefused,
       "pin dotNetFx40_Client_x86_x64.exe: differs"},
      // A platform that cannot hash fails closed: the right file is refused all the same.
      {"the runtime cannot be hashed",
       [](FakeInstallSystem&, FakeNetwork&, Release& r) {
         static test::FakeCrypto failing;
         const std::string body = "runtime installer";
         failing.fail = false;
         r.pins.runtime.pinned = failing.sha256(test::bytesOf(body),
                                                static_cast<uint32_t>(body.size()),
                                                r.pins.runtime.digest);
         failing.fail = true;
         r.crypto = &failing;
       },
       "key SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4", RuntimePinRefused,
       "pin dotNetFx40_Client_x86_x64.exe: differs"},
      {"the update differs from its pin",
       [](FakeInstallSystem&, FakeNetwork&, Release& r) { r.pins.updateX64 = {true, {}}; },
       "key SOFTWARE\\Microsoft\\Updates", UpdatePinRefused,
       "pin NDP40-KB2468871-v2-x64.exe: differs"},
      {"the installer cannot be written",
       [](FakeInstallSystem& s, FakeNetwork&, Release&) { s.writeResult = 5; }, "write",
       RuntimeNotWritten, "dotNetFx40_Client_x86_x64.exe: system error 5"},
      {"the update download fails",
       [](FakeInstallSystem&, FakeNetwork& f, Release&) { f.responses.erase(kUpdatePath); },
       "key SOFTWARE\\Microsoft\\Updates", UpdateDownloadFailed, "status not 2xx"},
      {"the package download fails",
       [](FakeInstallSystem&, FakeNetwork& f, Release&) { f.responses.erase(kPackagePath); },
       "write", PackageDownloadFailed, "status not 2xx"},
      // Refused right after its download: no wait, no installer, nothing unpacked.
      {"the package is not signed with the release's key",
       [](FakeInstallSystem&, FakeNetwork&, Release& r) { r.packageKey = kReleaseKey.key(); },
       "write", PackageSignatureRefused, "signature: refused"},
      {"a key but no crypto to check with",
       [](FakeInstallSystem&, FakeNetwork&, Release& r) {
         r.packageKey = kReleaseKey.key();
         r.crypto = nullptr;
       },
       "write", PackageSignatureRefused, "signature: refused"},
      // A captive portal's page or a server's error page with status 200: nothing is run,
      // registered or linked for it.
      {"the package is no ZIP archive",
       [](FakeInstallSystem&, FakeNetwork& f, Release&) {
         f.responses[kPackagePath] = okResponse("<html>Sign in to the hotel's network</html>");
       },
       "write", PackageNotArchive, "package: not a ZIP archive"},
      {"an installer cannot be started",
       [](FakeInstallSystem& s, FakeNetwork&, Release&) { s.installersStart = false; }, "run",
       RuntimeNotStarted, "run: could not be started"},
      {"the registration key cannot be had",
       [](FakeInstallSystem& s, FakeNetwork&, Release&) { s.uninstallKeyOpens = false; },
       "openUninstallKey", RegistrationFailed, "unpack: 2 written"},
      // The folder fits, the executable's path in it does not: nothing is registered.
      {"the application's path would not fit",
       [](FakeInstallSystem& s, FakeNetwork&, Release&) {
         s.folders[KnownFolder::LocalAppData] = u"C:\\" + std::u16string(237, u'a');
       },
       "mkdirs C:\\aaa", RegistrationFailed, "unpack: 0 written"},
      {"the application does not start",
       [](FakeInstallSystem& s, FakeNetwork&, Release&) { s.launchWorks = false; }, "launch",
       LaunchFailed, "Velmora.exe failed"},
  };
  for (const auto& row : cases) {
    FakeInstallSystem system;
    system.folders[KnownFolder::LocalAppData] = this->system.folders[KnownFolder::LocalAppData];
    FakeNetwork server = this->server;
    SocketTransport transport{server, {"host.example", 80}};
    RecordingProgress view;
    RecordingLog log;
    Release release;
    release.crypto = &crypto;
    row.arrange(system, server, release);
    EXPECT_EQ(runInstallation(system, view, transport, release, log), row.result) << row.what;
    EXPECT_EQ(view.events.back(), "close") << row.what;
    EXPECT_EQ(system.events.back().rfind(row.lastSystemEvent, 0), 0u)
        << row.what << ": " << system.events.back();
    EXPECT_TRUE(log.holds(row.logged)) << row.what << ": " << testing::PrintToString(log.lines);
    EXPECT_EQ(log.lines.back(), "end " + std::to_string(row.result)) << row.what;
  }
}

// A release built with a key and pins: what passes installs as without them.
TEST_F(InstallRun, InstallsWhatMatchesTheReleasesPinsAndKey) {
  release.crypto = &crypto;
  release.pins.runtime = pinOf("runtime installer");
  release.pins.updateX64 = pinOf("update installer");
  release.pins.updateX86 = {true, {}};  // not this machine's variant: not asked for
  release.packageKey = kReleaseKey.key();
  server.responses[kPackagePath] = okResponse(test::signedPackage(package, kReleaseKey));
  EXPECT_EQ(run(), InstallSucceeded);
  EXPECT_EQ(server.requests, (std::vector<std::string>{kRuntimePath, kUpdatePath, kPackagePath}));
  EXPECT_EQ(test::readFile(appFolder() / "Velmora.exe"), "MZ application");
  EXPECT_TRUE(systemDid("launch "));
}

TEST_F(InstallRun, RegistersAndLaunchesEvenWhenNothingWasUnpacked) {
  system.presentMachineKeys = {kRuntimeKey, kUpdateKeyWow};
  test::ZipRecipe nothingBelowApp;
  nothingBelowApp.entries = {entry("other/outside.txt", "not installed", 0)};
  server.responses[kPackagePath] = okResponse(test::buildZip(nothingBelowApp));
  EXPECT_EQ(run(), InstallSucceeded);
  EXPECT_FALSE(std::filesystem::exists(appFolder() / "Velmora.exe"));
  EXPECT_TRUE(systemDid("launch "));

  const std::string app = narrow(system.folders[KnownFolder::LocalAppData].c_str()) +
                          "\\Velmora\\App\\";
  EXPECT_EQ(system.registryValues,
            (std::vector<std::string>{
                "DisplayIcon=sz:" + app + "Velmora.exe", "DisplayName=sz:Velmora 5",
                "DisplayVersion=sz:", "Version=sz:", "InstallLocation=sz:" + app,
                "NoModify=dword:1", "NoRepair=dword:1", "Publisher=sz:Dorvane",
                "UninstallString=sz:\"" + app + "Velmora.exe\" Uninstall",
                "URLInfoAbout=sz:" + narrow(kWebsiteAddress)}));
  EXPECT_TRUE(systemDid("shortcut C:\\Users\\Ann\\Desktop\\Velmora 5.lnk -> " + app));
  EXPECT_TRUE(systemDid(
      "shortcut C:\\Users\\Ann\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Velmora 5.lnk"));
}

// Unpacking failures are recorded and the run goes on, but an executable that this run left cut
// off or damaged is never started; registration and shortcuts still happen.
TEST_F(InstallRun, DoesNotStartAnApplicationThatWasLeftDamaged) {
  system.presentMachineKeys = {kRuntimeKey, kUpdateKeyWow};
  const auto failingCrc = [](test::ZipEntryRecipe recipe) {
    recipe.crc = test::crcOf(recipe.data) ^ 1;
    return recipe;
  };
  const auto readOnly = [](test::ZipEntryRecipe recipe) {
    recipe.externalAttributes = 0x21;  // archive, read-only: no later entry can replace it
    return recipe;
  };
  const auto folder = [](const std::string& name) {
    test::ZipEntryRecipe recipe = entry(name, "", 0);
    recipe.externalAttributes = 0x10;  // a folder, though the name lacks the slash
    return recipe;
  };
  auto notInflatable = entry("app/Velmora.exe", "MZ application", 8);
  notInflatable.payload = std::string("\xff\xff\xff\xff not deflate data");
  const struct {
    const char* what;
    std::vector<test::ZipEntryRecipe> entries;
    bool started;
    const char* startedIfLeft = nullptr;  // started after all when the file holds this
  } cases[] = {
      {"intact", {entry("app/Velmora.exe", "MZ application", 8)}, true},
      {"its CRC fails", {failingCrc(entry("app/Velmora.exe", "MZ application", 0))}, false},
      {"its CRC fails, other letter case",
       {failingCrc(entry("app/VELMORA.EXE", "MZ application", 0))}, false},
      // Windows drops a name's trailing dots and blanks: these write Velmora.exe there.
      {"its CRC fails, written through an alias",
       {failingCrc(entry("app/Velmora.exe. .", "MZ application", 0))}, false},
      {"its data cannot be inflated", {notInflatable}, false},
      {"another entry fails",
       {entry("app/Velmora.exe", "MZ application", 0),
        failingCrc(entry("app/readme.txt", "hello", 0))},
       true},
      {"a later good copy replaces it",
       {failingCrc(entry("app/Velmora.exe", "MZ cut", 0)),
        entry("app/Velmora.exe", "MZ application", 0)},
       true},
      {"a folder entry of its name follows",
       {failingCrc(entry("app/Velmora.exe", "MZ cut", 0)), folder("app/Velmora.exe")},
       false},
      // Last: it leaves a read-only executable behind. Wine running as root replaces it all the
      // same (it maps the attribute to permission bits, which root may ignore); the whole copy
      // that then lies there is started.
      {"a later copy cannot replace it",
       {failingCrc(readOnly(entry("app/Velmora.exe", "MZ cut", 0))),
        entry("app/Velmora.exe", "MZ whole copy", 0)},
       false, "MZ whole copy"},
  };
  for (const auto& row : cases) {
    test::ZipRecipe package;
    package.entries = row.entries;
    server.responses[kPackagePath] = okResponse(test::buildZip(package));
    system.events.clear();
    const InstallResult result = run();
    const bool started = row.started || (row.startedIfLeft != nullptr &&
                                         test::readFile(appFolder() / "Velmora.exe") ==
                                             row.startedIfLeft);
    EXPECT_EQ(systemDid("launch "), started) << row.what;
    EXPECT_EQ(result, started ? InstallSucceeded : ApplicationDamaged) << row.what;
    if (!started) {
      EXPECT_TRUE(log.holds("failed, result")) << row.what;
    }
    EXPECT_TRUE(systemDid("openUninstallKey")) << row.what;
    EXPECT_TRUE(systemDid("shortcut ")) << row.what;
  }
}


// The field profile's sequence on an in-memory application folder: recovery comes first, even
// when the server cannot be reached, and a package too large for the free space ends the run
// before anything is run or touched.
TEST_F(InstallRun, FieldProfileRecoversFirstAndChecksTheSpaceBeforeTouchingAnything) {
  const std::u16string app = u"C:\\L\\Velmora\\App";
  system.folders[KnownFolder::LocalAppData] = u"C:\\L";
  const struct {
    const char* name;
    bool serverDown;
    uint64_t free;
    InstallResult result;
    std::map<std::u16string, std::string> appFiles;
  } cases[] = {
      {"a switch past its mark, server down", true, UINT64_MAX, RuntimeDownloadFailed,
       {{u"a.txt", "new a"}, {u"user.txt", "mine"}}},
      {"too little space", false, kFreeSpaceMargin, UpdateNoSpace,
       {{u"a.txt", "new a"}, {u"user.txt", "mine"}}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    test::FakeUpdateFiles files;
    // A run killed after its mark: a.txt set aside, its new copy still staged.
    files.folders = {app, app + u".new", app + u".old"};
    files.files = {{app + u".new\\a.txt", "new a"}, {app + u".old\\a.txt", "old a"},
                   {app + u".switch", ""}, {app + u"\\user.txt", "mine"}};
    files.free = row.free;
    server.refuse = row.serverDown;
    system.events.clear();
    log.lines.clear();
    EXPECT_EQ(runFieldInstallation(system, view, transport, release, files, log), row.result);
    EXPECT_EQ(files.filesBelow(app), row.appFiles);
    EXPECT_EQ(files.folders.count(app + u".new"), 0u);
    EXPECT_EQ(files.folders.count(app + u".old"), 0u);
    ASSERT_GE(log.lines.size(), 3u);
    EXPECT_EQ(log.lines[1], "recover: an update was switched part-way; finishing it");
    EXPECT_FALSE(systemDid("run "));
    EXPECT_FALSE(systemDid("openUninstallKey"));
  }
  EXPECT_STREQ(fieldResultText(UpdateNoSpace), "not enough free space for the package");
  EXPECT_EQ(fieldResultText(PackageDownloadFailed), nullptr);
}


// One row per way out of the field profile's run, through the whole sequence (the package's
// unpacking stands in App.new as two files): its code, what App holds after it, whether it
// downloaded anything, and whether it says that it changed the application folder.
TEST_F(InstallRun, FieldProfileEndsEachWayOutWithItsOwnCode) {
  system.presentMachineKeys = {kRuntimeKey, kUpdateKeyWow};
  const std::u16string app = system.folders[KnownFolder::LocalAppData] + u"\\Velmora\\App";
  using Tree = std::map<std::u16string, std::string>;
  const Tree before = {{u"Velmora.exe", "old"}, {u"a.txt", "old a"}};
  const Tree after = {{u"Velmora.exe", "new"}, {u"a.txt", "new a"}};
  const struct {
    const char* name;
    void (*set)(test::FakeUpdateFiles& files, const std::u16string& app);
    InstallResult result;
    Tree appHolds;
    bool downloads, changed;
    bool corruptPackage = false;
  } cases[] = {
      {"switched", [](auto&, auto&) {}, InstallSucceeded, after, true, true},
      {"after another installer's switch", [](auto& files, auto&) { files.lockedFor = 3; },
       InstallSucceeded, after, true, true},
      {"another installer keeps the lock", [](auto& files, auto&) { files.lockedFor = -1; },
       UpdateBusy, before, false, false},
      {"no lock can be made", [](auto& files, auto&) {
         files.lockedFor = -1;
         files.lockError = 5;
       },
       InstallSucceeded, after, true, true},
      {"App.old held after a finished switch",
       [](auto& files, auto& app) {
         files.files[app + u"\\Velmora.exe"] = "new";
         files.files[app + u"\\a.txt"] = "new a";
         files.files[app + u".old\\a.txt"] = "old a";
         files.folders.insert(app + u".old");
         files.undeletable.insert(app + u".old\\a.txt");
         files.files[app + u".switch"] = "";
       },
       UpdateNotRecovered, after, false, true},
      {"too little space", [](auto& files, auto&) { files.free = kFreeSpaceMargin; },
       UpdateNoSpace, before, true, false},
      {"a corrupt entry", [](auto&, auto&) {}, UpdateNotStaged, before, true, false, true},
      {"a file held", [](auto& files, auto& app) { files.held.insert(app + u"\\a.txt"); },
       UpdateFileHeld, before, true, true},
      {"a staged file held after the mark",
       [](auto& files, auto& app) { files.held.insert(app + u".new\\a.txt"); },
       UpdateNotSwitched, {{u"Velmora.exe", "new"}}, true, true},
      {"no mark", [](auto& files, auto&) { files.markFails = true; }, UpdateNotCommitted, before,
       true, true},
      {"a file set aside held",
       [](auto& files, auto& app) {
         files.held.insert(app + u".old\\Velmora.exe");
         files.held.insert(app + u"\\a.txt");
       },
       UpdateNotRolledBack, {{u"a.txt", "old a"}}, true, true},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    test::FakeUpdateFiles files;
    files.folders = {app};
    for (const auto& file : before) files.files[app + u"\\" + file.first] = file.second;
    files.unpackInto = app + u".new";
    files.unpacked = after;
    row.set(files, app);
    test::ZipRecipe corrupt;
    corrupt.entries = {entry("app/Velmora.exe", "MZ application", 0)};
    corrupt.entries[0].crc = test::crcOf("MZ application") ^ 1;
    server.responses[kPackagePath] =
        okResponse(test::buildZip(row.corruptPackage ? corrupt : package));
    server.requests.clear();
    bool changed = !row.changed;
    EXPECT_EQ(runFieldInstallation(system, view, transport, release, files, log, &changed),
              row.result);
    EXPECT_EQ(files.filesBelow(app), row.appHolds);
    EXPECT_EQ(server.requests.empty(), !row.downloads);
    EXPECT_EQ(changed, row.changed);
    EXPECT_FALSE(files.locked);
  }
  // A run that finds something to recover waits for Velmora to close first.
  test::FakeUpdateFiles files;
  files.folders = {app, app + u".new"};
  files.files[app + u".new\\a.txt"] = "new a";
  files.files[app + u".switch"] = "";
  system.processCounts = {1, 0};
  log.lines.clear();
  EXPECT_EQ(runFieldInstallation(system, view, transport, release, files, log), InstallSucceeded);
  ASSERT_GE(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[1], "wait: Velmora is running");
  EXPECT_EQ(log.lines[3], "recover: an update was switched part-way; finishing it");
}

// The field profile's failure message: none for a success, the user's close or a refusal; one
// sentence for every other way out, saying that nothing was changed only where that is true.
TEST(FailureMessage, NamesWhatFailedAndWhetherAnythingChanged) {
  const struct {
    InstallResult result;
    const char* begins;  // null: no message
    bool nothingChanged;
    bool changedBefore = false;  // the run's recovery finished or undid an earlier update
  } cases[] = {
      {InstallSucceeded, nullptr, false},
      {InstallNotAdmitted, nullptr, false},
      {InstallClosedByUser, nullptr, false},
      {PackageDownloadFailed, "Velmora could not be downloaded", true},
      {RuntimeDownloadFailed, "Velmora could not be downloaded", true},
      {PackageSignatureRefused, "The download was not the genuine Velmora", true},
      {PackageNotArchive, "The download was not the genuine Velmora", true},
      {RuntimeNotWritten, "The downloaded files could not be saved", true},
      {UpdateNotStarted, "A component Velmora needs", false},
      {RegistrationFailed, "Velmora was installed, but", false},
      {LaunchFailed, "Velmora was installed, but it could not be started", false},
      {UpdateNotRecovered, "An earlier update", false},
      {UpdateNoSpace, "There is not enough free disk space", true},
      {UpdateNotStaged, "Velmora could not be unpacked. The version you had is unchanged", false},
      {UpdateFileHeld, "A file of Velmora is in use", false},
      {UpdateNotSwitched, "The update of Velmora could not be finished", false},
      {InstallOutOfMemory, "Velmora could not be installed", true},
      {PackageDownloadFailed, "Velmora could not be downloaded", false, true},
      {UpdateNoSpace, "There is not enough free disk space", false, true},
      {UpdateNotCommitted, "The update of Velmora could not be committed", false},
      {UpdateNotRolledBack, "The update of Velmora could not be undone yet", false},
      {UpdateBusy, "Another installer is updating Velmora", true},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.result);
    const FailureMessage message = failureMessage(row.result, row.changedBefore);
    if (row.begins == nullptr) {
      EXPECT_EQ(message.sentence, nullptr);
      continue;
    }
    ASSERT_NE(message.sentence, nullptr);
    EXPECT_EQ(std::string(message.sentence).rfind(row.begins, 0), 0u) << message.sentence;
    EXPECT_EQ(message.nothingChanged, row.nothingChanged);
  }
}

}  // namespace
}  // namespace vm
