// countProcesses against stand-in processes with known names, versions and loaded libraries.
// Every Wine process sees only the processes of its own prefix, so names cannot collide with
// other test runs. (That the installer counts itself is checked by the whole-run tests.)
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "procs/process_counter.h"
#include "tests/unit/scratch.h"
#include "tests/win32/standins.h"

namespace vm {
namespace {

using test::ScratchFolder;
using test::StandIn;
using test::fixturesFolder;

struct Running {
  const wchar_t* fixture;
  const wchar_t* name;
  bool loadsVersion5Library;
};

struct Case {
  const char* what;
  std::vector<Running> running;
  const wchar_t* imageName;
  int32_t versionMajor;
  int32_t count;
};

TEST(CountProcesses, CountsProcessesAndTheirModulesOfAVersion) {
  const std::wstring library = L"--load \"" + fixturesFolder() + L"\\standin-library-v5.dll\"";
  const Case cases[] = {
      {"a 5.2.0.1 executable counts", {{L"standin-v5.exe", L"VmApp.exe", false}}, L"VmApp.exe", 5, 1},
      {"4.9.0.0 does not", {{L"standin-v4.exe", L"VmApp.exe", false}}, L"VmApp.exe", 5, 0},
      {"50.0.0.0 does not", {{L"standin-v50.exe", L"VmApp.exe", false}}, L"VmApp.exe", 5, 0},
      {"no version resource does not", {{L"standin-plain.exe", L"VmApp.exe", false}}, L"VmApp.exe", 5, 0},
      {"a major-4 executable with a major-5 library counts",
       {{L"standin-v4.exe", L"VmApp.exe", true}}, L"VmApp.exe", 5, 1},
      {"two major-5 copies give 2",
       {{L"standin-v5.exe", L"VmApp.exe", false}, {L"standin-v5.exe", L"VmApp.exe", false}},
       L"VmApp.exe", 5, 2},
      {"any version counts each process once",
       {{L"standin-v5.exe", L"VmApp.exe", true}, {L"standin-plain.exe", L"VmApp.exe", false}},
       L"VmApp.exe", -1, 2},
      {"A-Z are folded", {{L"standin-plain.exe", L"VmApp.exe", false}}, L"vMaPP.EXE", -1, 1},
      {"other letters are not", {{L"standin-plain.exe", L"ÅngApp.exe", false}}, L"ångapp.exe", -1, 0},
      {"other letters must match exactly", {{L"standin-plain.exe", L"ÅngApp.exe", false}},
       L"ÅNGAPP.exe", -1, 1},
      {"other names cost nothing", {{L"standin-v5.exe", L"VmOther.exe", false}}, L"VmApp.exe", 5, 0},
      {"no process of the name", {}, L"VmNone.exe", -1, 0},
  };
  for (const Case& row : cases) {
    ScratchFolder scratch("processes");
    std::vector<std::unique_ptr<StandIn>> processes;
    int copy = 0;
    for (const Running& running : row.running) {
      // Two copies of one name need two folders.
      const std::wstring folder = scratch.path().wstring() + L"\\" + std::to_wstring(copy++);
      CreateDirectoryW(folder.c_str(), nullptr);
      processes.push_back(std::make_unique<StandIn>(folder, running.fixture, running.name,
                                                    running.loadsVersion5Library ? library : L""));
      ASSERT_TRUE(processes.back()->running()) << row.what;
    }
    EXPECT_EQ(countProcesses(row.imageName, row.versionMajor), row.count) << row.what;
  }
}

}  // namespace
}  // namespace vm
