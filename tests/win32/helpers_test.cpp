// The Win32 helpers against the real API (run under Wine): folder chains, whole files,
// registry values and shortcuts.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <string>

#include "platform/format.h"
#include "platform/win32/helpers.h"
#include "platform/win32/wide.h"
#include "tests/unit/scratch.h"

namespace vm {
namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

TEST(CreateDirectoryChain, CreatesEveryLevelAndReportsOnlyTheLastCreation) {
  ScratchFolder scratch("chain");
  const struct {
    const wchar_t* relative;
    BOOL result;
  } cases[] = {
      // The folder at the trailing backslash is made first, so the final creation repeats it.
      {L"one\\two\\", FALSE},
      {L"three\\four", TRUE},
      {L"three\\four", FALSE},  // exists already
  };
  for (const auto& row : cases) {
    std::wstring path = scratch.path().wstring() + L"\\" + row.relative;
    const std::wstring before = path;
    EXPECT_EQ(createDirectoryChain(&path[0]), row.result) << row.relative;
    EXPECT_EQ(path, before) << "the caller's text is put back";
    std::wstring folder = path;
    if (folder.back() == L'\\') folder.pop_back();
    EXPECT_TRUE(fs::is_directory(folder)) << row.relative;
  }
}

TEST(WriteWholeFile, LeavesExactlyTheGivenBytes) {
  ScratchFolder scratch("whole");
  const std::wstring path = scratch.path().wstring() + L"\\installer.exe";
  const struct {
    const char* existing;  // nullptr: no file before
    const char* data;
  } cases[] = {
      {nullptr, "fresh"},
      {"0123456789", "abcd"},  // an older, longer file is cut, not left with a stale tail
      {"0123456789", ""},      // nothing to write: an empty file
      {"ab", "longer than before"},
  };
  for (const auto& row : cases) {
    DeleteFileW(path.c_str());
    if (row.existing) {
      ASSERT_EQ(writeWholeFile(path.c_str(), row.existing, lstrlenA(row.existing)), 0u);
    }
    EXPECT_EQ(writeWholeFile(path.c_str(), row.data, lstrlenA(row.data)), 0u);
    EXPECT_EQ(test::readFile(path), row.data);
  }
}

TEST(WriteWholeFile, ReportsTheErrorWhenTheFileCannotBeOpened) {
  ScratchFolder scratch("unopened");
  EXPECT_EQ(writeWholeFile((scratch.path().wstring() + L"\\missing\\x.exe").c_str(), "x", 1),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_NE(writeWholeFile(scratch.path().wstring().c_str(), "x", 1), 0u)
      << "a folder is no file";
}

// A drive backed by a tiny file system that fills up: a write that fails part-way must be
// reported, never taken for success. The harness maps it when it can (as root); see
// tests/harness/wineenv.py.
TEST(WriteWholeFile, ReportsAWriteThatFailsPartWay) {
  wchar_t drive[8];
  if (!GetEnvironmentVariableW(L"VELMORA_SMALL_DRIVE", drive, 8))
    GTEST_SKIP() << "no small drive mapped for this run";
  const std::wstring path = std::wstring(drive) + L"\\too-big.bin";
  std::string data(1 << 20, 'x');
  EXPECT_NE(writeWholeFile(path.c_str(), data.data(), static_cast<int32_t>(data.size())), 0u);
  DeleteFileW(path.c_str());
}

TEST(WriteWholeFile, KeepsAWidePathWithBlanksAndLatinLettersWhole) {
  ScratchFolder scratch("wide");
  WidePath path;
  ASSERT_GT(formatInto(path, u"%s\\%s", asUtf16(scratch.path().wstring().c_str()),
                       u"Zoë Ånström (Work) setup.exe"),
            0);
  ASSERT_EQ(writeWholeFile(asWide(path.get()), "x", 1), 0u);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((scratch.path().wstring() + L"\\*.exe").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::wstring(found.cFileName), L"Zoë Ånström (Work) setup.exe");
  FindClose(search);
}

class RegistryValues : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
  }
  // Type and data of a value exactly as stored. Asked through ntdll: the registry functions
  // report (and add) a terminator that a stored string lacks.
  std::pair<DWORD, std::string> read(const wchar_t* name) {
    struct PartialInformation {
      ULONG titleIndex;
      ULONG type;
      ULONG dataLength;
      BYTE data[256];
    } information;
    struct CountedText {
      USHORT length;
      USHORT maximumLength;
      const wchar_t* buffer;
    } valueName = {static_cast<USHORT>(lstrlenW(name) * 2), static_cast<USHORT>(lstrlenW(name) * 2),
                   name};
    using QueryValueKey = LONG(WINAPI*)(HANDLE, CountedText*, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryValueKey>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), "NtQueryValueKey")));
    ULONG size = 0;
    if (query == nullptr ||
        query(key_, &valueName, 2 /* partial information */, &information, sizeof information,
              &size) != 0)
      return {0, ""};
    return {information.type,
            std::string(reinterpret_cast<char*>(information.data), information.dataLength)};
  }
  static constexpr const wchar_t* kKey = L"Software\\VelmoraTests\\Values";
  HKEY key_ = nullptr;
};

// The data length passed leaves the terminator out. Windows (and Wine) store one anyway when
// the unit after the counted text is zero, except for the empty text, whose data stays empty:
// the registration's two empty values rely on that.
TEST_F(RegistryValues, StringsAreStoredAsTheirTextAndEmptyOnesWithoutData) {
  const struct {
    const wchar_t* text;
  } cases[] = {{L"Hello"}, {L"\"C:\\a b\\Velmora.exe\" Uninstall"}, {L""}};
  for (const auto& row : cases) {
    EXPECT_EQ(writeStringValue(key_, L"Value", row.text), 0);
    const auto stored = read(L"Value");
    EXPECT_EQ(stored.first, static_cast<DWORD>(REG_SZ));
    const std::wstring text(reinterpret_cast<const wchar_t*>(stored.second.data()),
                            stored.second.size() / 2);
    EXPECT_EQ(std::wstring(text.c_str()), row.text);
    if (*row.text == 0) {
      EXPECT_EQ(stored.second.size(), 0u);
    }
  }
}

TEST_F(RegistryValues, FlagsAreAlwaysTheNumberOne) {
  const DWORD seven = 7;
  ASSERT_EQ(RegSetValueExW(key_, L"NoModify", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven),
                           4),
            ERROR_SUCCESS);
  EXPECT_EQ(writeFlagValue(key_, L"NoModify"), 0);
  const auto stored = read(L"NoModify");
  EXPECT_EQ(stored.first, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(stored.second, std::string("\x01\x00\x00\x00", 4));
}

TEST_F(RegistryValues, AKeyThatRefusesWritesGivesMinusOne) {
  HKEY readOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &readOnly), ERROR_SUCCESS);
  EXPECT_EQ(writeStringValue(readOnly, L"Value", L"x"), -1);
  EXPECT_EQ(writeFlagValue(readOnly, L"Flag"), -1);
  RegCloseKey(readOnly);
}

TEST(CreateShortcut, SavesALinkThatPointsAtTheTarget) {
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  ScratchFolder scratch("shortcut");
  const std::wstring target = scratch.path().wstring() + L"\\App Folder\\Velmora.exe";
  const std::wstring link = scratch.path().wstring() + L"\\Velmora 5.lnk";
  std::wstring folder = scratch.path().wstring() + L"\\App Folder";
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_EQ(writeWholeFile(target.c_str(), "MZ", 2), 0u);

  EXPECT_EQ(createShortcut(target.c_str(), link.c_str()), S_OK);

  IShellLinkW* shellLink = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void**>(&shellLink)),
            S_OK);
  IPersistFile* file = nullptr;
  ASSERT_EQ(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)), S_OK);
  ASSERT_EQ(file->Load(link.c_str(), STGM_READ), S_OK);
  wchar_t path[MAX_PATH] = L"";
  wchar_t description[MAX_PATH] = L"unset";
  shellLink->GetPath(path, MAX_PATH, nullptr, 0);
  shellLink->GetDescription(description, MAX_PATH);
  EXPECT_EQ(lstrcmpiW(path, target.c_str()), 0) << "target read back";
  EXPECT_EQ(std::wstring(description), L"");
  file->Release();
  shellLink->Release();

  // A shortcut that cannot be saved reports the failure.
  const std::wstring unsaved = scratch.path().wstring() + L"\\missing\\x.lnk";
  EXPECT_LT(createShortcut(target.c_str(), unsaved.c_str()), 0);
  CoUninitialize();
}

}  // namespace
}  // namespace vm
