#include "ShellExt.h"

#include <shellapi.h>

#include <new>

namespace vixshext {

const CLSID CLSID_PMShellExtention = {
    0x3519710A, 0xE0D7, 0x40A6, {0xB0, 0x68, 0x71, 0x5E, 0x6D, 0xB7, 0xEF, 0x1C}};

namespace {

LONG g_moduleCount = 0;

constexpr wchar_t kMenuText[] = L"Pelmoran Vix 圧縮";
constexpr wchar_t kCaption[] = L"Pelmoran ShellExtention";
constexpr wchar_t kLaunchFailed[] = L"Pelmoran Vix の起動に失敗しました(2)";
constexpr wchar_t kMainProgram[] = L"PLM_VIX.EXE";
// The shell hands names of at most 1024 characters.
constexpr UINT kNameBuffer = 1025;

std::wstring SystemReason(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring reason;
  if (n && text) {
    reason.assign(text, n);
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' ||
                               reason.back() == L' ' || reason.back() == L'.'))
      reason.pop_back();
  }
  if (text) LocalFree(text);
  if (reason.empty()) reason = L"error " + std::to_wstring(error);
  return reason;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

void ModuleAddRef() { InterlockedIncrement(&g_moduleCount); }
void ModuleRelease() { InterlockedDecrement(&g_moduleCount); }
long ModuleCount() { return g_moduleCount; }

std::wstring ModulePath() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleAddRef), &self);
  // Long folders exist; grow until the name fits rather than cut it.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring MainProgramPath() {
  std::wstring dir = ModulePath();
  const size_t slash = dir.find_last_of(L"\\/");
  dir.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return dir + kMainProgram;
}

std::wstring NewListFileName() {
  wchar_t temp[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring dir(temp, n <= MAX_PATH ? n : 0);
  if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
  std::wstring name;
  for (int i = 0; i <= 999999; ++i) {
    wchar_t number[8];
    wsprintfW(number, L"%06d", i);
    name = dir + L"__" + number + L".TMP";
    if (!FileExists(name)) break;
  }
  return name;
}

bool SaveListFile(const std::wstring& path, const std::vector<std::wstring>& names,
                  DWORD& error) {
  std::string bytes = "\xEF\xBB\xBF";
  for (const std::wstring& name : names) {
    if (!name.empty()) {
      const int len = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                          nullptr, 0, nullptr, nullptr);
      const size_t at = bytes.size();
      bytes.resize(at + len);
      WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), &bytes[at], len,
                          nullptr, nullptr);
    }
    bytes += "\r\n";
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  if (!ok) error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  if (!CloseHandle(file) && ok) {
    ok = false;
    error = GetLastError();
  }
  if (!ok) DeleteFileW(path.c_str());
  return ok;
}

// Quoted so that blanks in either path keep it one argument; backslashes
// before a quote are doubled as the C runtime's parser expects.
std::wstring QuoteArg(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  out += L'"';
  return out;
}

TPMShellExtention::TPMShellExtention() { ModuleAddRef(); }
TPMShellExtention::~TPMShellExtention() { ModuleRelease(); }

STDMETHODIMP TPMShellExtention::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellExtInit)) {
    *ppv = static_cast<IShellExtInit*>(this);
  } else if (IsEqualIID(riid, IID_IContextMenu)) {
    *ppv = static_cast<IContextMenu*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) TPMShellExtention::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) TPMShellExtention::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP TPMShellExtention::Initialize(PCIDLIST_ABSOLUTE, IDataObject* data, HKEY) {
  if (!data) return E_FAIL;
  try {
    SelectedFiles.clear();
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    const HRESULT got = data->GetData(&format, &medium);
    if (FAILED(got)) return got;
    HDROP drop = static_cast<HDROP>(medium.hGlobal);
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    HRESULT result = got;
    try {
      for (UINT i = 0; i < count; ++i) {
        wchar_t name[kNameBuffer] = {};
        if (DragQueryFileW(drop, i, name, kNameBuffer) == 0) continue;
        SelectedFiles.emplace_back(name);
        result = S_OK;
      }
    } catch (...) {
      ReleaseStgMedium(&medium);
      throw;
    }
    ReleaseStgMedium(&medium);
    return result;
  } catch (const std::bad_alloc&) {
    SelectedFiles.clear();
    return E_OUTOFMEMORY;
  } catch (...) {
    SelectedFiles.clear();
    return E_UNEXPECTED;
  }
}

STDMETHODIMP TPMShellExtention::QueryContextMenu(HMENU menu, UINT position, UINT firstCmd,
                                                 UINT, UINT) {
  InsertMenuW(menu, position, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
  InsertMenuW(menu, position + 1, MF_BYPOSITION | MF_STRING, firstCmd, kMenuText);
  return MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_NULL, 1);
}

STDMETHODIMP TPMShellExtention::InvokeCommand(CMINVOKECOMMANDINFO* info) {
  if (!info) return E_INVALIDARG;
  if (HIWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) != 0) return E_FAIL;
  if (LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) != 0) return E_INVALIDARG;
  try {
    LaunchMainProgram(L" /SE ");
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
  return S_OK;
}

// The command has no help text and no verb name; the caller's buffer stays
// as it was.
STDMETHODIMP TPMShellExtention::GetCommandString(UINT_PTR, UINT, UINT*, CHAR*, UINT) {
  return S_OK;
}

void TPMShellExtention::LaunchMainProgram(const wchar_t* switchText) {
  const std::wstring listFile = NewListFileName();
  DWORD error = 0;
  if (listFile.empty() || !SaveListFile(listFile, SelectedFiles, error)) {
    // Starting the program on a missing or partial list would compress the
    // wrong files; say which file and why instead.
    const std::wstring text = L"Pelmoran Vix: 一覧ファイル " +
                              (listFile.empty() ? std::wstring(L"(一時フォルダ)") : listFile) +
                              L" を書けません: " + SystemReason(error ? error : ERROR_PATH_NOT_FOUND);
    MessageBoxW(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONSTOP);
    return;
  }
  std::wstring switchArg(switchText);
  while (!switchArg.empty() && switchArg.front() == L' ') switchArg.erase(0, 1);
  while (!switchArg.empty() && switchArg.back() == L' ') switchArg.pop_back();
  const std::wstring program = MainProgramPath();
  std::wstring commandLine = QuoteArg(program) + L" " + switchArg + L" " + QuoteArg(listFile);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    MessageBoxW(nullptr, kLaunchFailed, kCaption, MB_OK);
    DeleteFileW(listFile.c_str());
    return;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace vixshext
