#include "platform/win32/helpers.h"

#include <objidl.h>
#include <shlobj.h>

namespace vm {
namespace {

// The shell link's identifiers, defined here: the uuid import library would bring along every
// identifier it knows, tens of kilobytes of the installer.
const CLSID kShellLinkClass = {0x00021401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kShellLinkWInterface = {0x000214F9, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kPersistFileInterface = {0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace

BOOL createDirectoryChain(wchar_t* path) {
  BOOL created = FALSE;
  for (wchar_t* at = path;; ++at) {
    if (*at != L'\\' && *at != 0) continue;
    const wchar_t kept = *at;
    *at = 0;
    created = CreateDirectoryW(path, nullptr);
    *at = kept;
    if (kept == 0) break;
  }
  return created;
}

DWORD writeWholeFile(const wchar_t* path, const void* data, int32_t length) {
  if (length < 0) return ERROR_INVALID_PARAMETER;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();

  const char* bytes = static_cast<const char*>(data);
  DWORD error = 0;
  int32_t written = 0;
  while (written < length) {
    DWORD count = 0;
    if (!WriteFile(file, bytes + written, static_cast<DWORD>(length - written), &count,
                   nullptr)) {
      error = GetLastError();
      break;
    }
    if (count == 0) break;  // stopped short without an error code
    written += static_cast<int32_t>(count);
  }
  if (error == 0 && written < length) error = ERROR_WRITE_FAULT;
  // An older, longer file must not keep its tail after the new bytes.
  if (error == 0 && !SetEndOfFile(file)) error = GetLastError();
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  return error == 0 ? 0 : error;
}

int32_t writeStringValue(HKEY key, const wchar_t* name, const wchar_t* text) {
  const DWORD bytes = static_cast<DWORD>(lstrlenW(text)) * sizeof(wchar_t);
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) ==
                 ERROR_SUCCESS
             ? 0
             : -1;
}

int32_t writeFlagValue(HKEY key, const wchar_t* name) {
  const DWORD one = 1;
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                        sizeof one) == ERROR_SUCCESS
             ? 0
             : -1;
}

HRESULT createShortcut(const wchar_t* targetPath, const wchar_t* linkPath) {
  IShellLinkW* link = nullptr;
  HRESULT status = CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER,
                                    kShellLinkWInterface, reinterpret_cast<void**>(&link));
  if (FAILED(status)) return status;
  link->SetPath(targetPath);
  link->SetDescription(nullptr);
  IPersistFile* file = nullptr;
  status = link->QueryInterface(kPersistFileInterface, reinterpret_cast<void**>(&file));
  if (FAILED(status)) {
    link->Release();
    return status;
  }
  status = file->Save(linkPath, TRUE);
  file->Release();
  link->Release();
  return status;
}

bool systemFilePath(const wchar_t* fileName, wchar_t* out, UINT capacity) {
  const UINT length = GetSystemDirectoryW(out, capacity);
  if (length == 0 || length >= capacity) return false;
  const int nameLength = lstrlenW(fileName);
  if (length + 1 + static_cast<UINT>(nameLength) >= capacity) return false;
  out[length] = L'\\';
  lstrcpyW(out + length + 1, fileName);
  return true;
}

}  // namespace vm
