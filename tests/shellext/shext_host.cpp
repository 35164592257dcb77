// Loads VIXSHEXT.dll as Explorer does (DllGetClassObject, no registration)
// and works one context menu; prints what it saw, one fact a line, in UTF-8.
// tests/shellext/run_shellext.py says what to do and judges the lines.
//
//   shext_host DLL menu NAME...            Initialize + QueryContextMenu
//   shext_host DLL invoke VERB NAME...     ... + InvokeCommand (VERB: an
//                                          offset, or text:WORD)
//   shext_host DLL errors                  Initialize without data, without
//                                          CF_HDROP; GetCommandString
//   shext_host DLL unload                  DllCanUnloadNow around objects
//   shext_host DLL register | unregister   DllRegisterServer and back
//   --temp DIR before DLL sets the temporary folder the handler sees.
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

void Print(const std::wstring& line) {
  std::string bytes;
  const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
  bytes.resize(n > 0 ? n - 1 : 0);
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &bytes[0], n, nullptr, nullptr);
  bytes += "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  wsprintfW(text, L"%08X", static_cast<unsigned>(hr));
  return text;
}

// A data object that offers CF_HDROP with the given names, or nothing.
class DropData final : public IDataObject {
 public:
  DropData(std::vector<std::wstring> names, bool offer) : names_(std::move(names)), offer_(offer) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)) {
      *ppv = static_cast<IDataObject*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the stack
  STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (!offer_ || format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL))
      return DV_E_FORMATETC;
    size_t chars = 1;
    for (const auto& n : names_) chars += n.size() + 1;
    HGLOBAL mem = GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(mem));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto* at = reinterpret_cast<wchar_t*>(drop + 1);
    for (const auto& n : names_) {
      std::memcpy(at, n.c_str(), (n.size() + 1) * sizeof(wchar_t));
      at += n.size() + 1;
    }
    GlobalUnlock(mem);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = mem;
    medium->pUnkForRelease = nullptr;
    return S_OK;
  }
  STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

 private:
  std::vector<std::wstring> names_;
  bool offer_;
  ULONG refs_ = 1;
};

// Message boxes the handler shows are read and answered, as a user would.
HHOOK hook = nullptr;
BOOL CALLBACK ReadChild(HWND child, LPARAM text) {
  wchar_t cls[32] = {}, buf[1024] = {};
  GetClassNameW(child, cls, 32);
  if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextW(child, buf, 1024) > 0)
    *reinterpret_cast<std::wstring*>(text) += buf;
  return TRUE;
}
LRESULT CALLBACK CbtHook(int code, WPARAM wp, LPARAM lp) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wp);
    wchar_t cls[32] = {}, caption[256] = {};
    GetClassNameW(box, cls, 32);
    if (lstrcmpW(cls, L"#32770") == 0) {
      GetWindowTextW(box, caption, 256);
      std::wstring text;
      EnumChildWindows(box, ReadChild, reinterpret_cast<LPARAM>(&text));
      Print(L"messagebox " + std::wstring(caption) + L" | " + text);
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
  }
  return CallNextHookEx(hook, code, wp, lp);
}

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using NoArgFn = HRESULT(WINAPI*)();

const CLSID kClsid = {0x3519710A, 0xE0D7, 0x40A6, {0xB0, 0x68, 0x71, 0x5E, 0x6D, 0xB7, 0xEF, 0x1C}};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int i = 1;
  if (i + 1 < argc && std::wstring(argv[i]) == L"--temp") {
    SetEnvironmentVariableW(L"TMP", argv[i + 1]);
    SetEnvironmentVariableW(L"TEMP", argv[i + 1]);
    i += 2;
  }
  if (argc - i < 2) return 2;
  const std::wstring dllPath = argv[i], action = argv[i + 1];
  std::vector<std::wstring> rest(argv + i + 2, argv + argc);

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  hook = SetWindowsHookExW(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
  HMODULE dll = LoadLibraryW(dllPath.c_str());
  if (!dll) {
    Print(L"load failed " + std::to_wstring(GetLastError()));
    return 1;
  }
  auto getClassObject =
      reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  auto canUnload = reinterpret_cast<NoArgFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  auto reg = reinterpret_cast<NoArgFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
  auto unreg = reinterpret_cast<NoArgFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
  if (!getClassObject || !canUnload || !reg || !unreg) {
    Print(L"exports missing");
    return 1;
  }

  if (action == L"register" || action == L"unregister") {
    Print(action + L" " + Hex(action == L"register" ? reg() : unreg()));
    return 0;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(kClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  Print(L"factory " + Hex(hr));
  if (FAILED(hr)) return 1;
  IClassFactory* none = nullptr;
  Print(L"other-class " + Hex(getClassObject(IID_IUnknown, IID_IClassFactory,
                                             reinterpret_cast<void**>(&none))));
  IShellExtInit* init = nullptr;
  hr = factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void**>(&init));
  Print(L"create " + Hex(hr));
  if (FAILED(hr)) return 1;
  IContextMenu* menu = nullptr;
  Print(L"qi-menu " + Hex(init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu))));

  if (action == L"unload") {
    Print(L"unload-with-objects " + Hex(canUnload()));
    menu->Release();
    init->Release();
    factory->LockServer(TRUE);
    Print(L"unload-locked " + Hex(canUnload()));
    factory->LockServer(FALSE);
    factory->Release();
    Print(L"unload-free " + Hex(canUnload()));
    return 0;
  }
  if (action == L"errors") {
    Print(L"init-null " + Hex(init->Initialize(nullptr, nullptr, nullptr)));
    DropData noDrop({}, false);
    Print(L"init-nohdrop " + Hex(init->Initialize(nullptr, &noDrop, nullptr)));
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    Print(L"getcmd " + Hex(menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, buffer, 16)));
    std::memset(buffer, 'x', sizeof buffer);
    HRESULT v = menu->GetCommandString(0, GCS_VERBW, nullptr, buffer, 8);
    bool untouched = true;
    for (char c : buffer) untouched = untouched && c == 'x';
    Print(L"getcmd-verb " + Hex(v) + (untouched ? L" untouched" : L" written"));
    return 0;
  }

  std::vector<std::wstring> names = rest;
  std::wstring verb;
  if (action == L"invoke") {
    verb = names.front();
    names.erase(names.begin());
  }
  DropData drop(names, true);
  Print(L"init " + Hex(init->Initialize(nullptr, &drop, nullptr)));

  HMENU popup = CreatePopupMenu();
  AppendMenuW(popup, MF_STRING, 1, L"before");
  hr = menu->QueryContextMenu(popup, 1, 100, 200, CMF_NORMAL);
  Print(L"query " + Hex(hr));
  const int count = GetMenuItemCount(popup);
  for (int k = 0; k < count; ++k) {
    MENUITEMINFOW item = {};
    wchar_t text[128] = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = 128;
    GetMenuItemInfoW(popup, k, TRUE, &item);
    Print(L"item " + std::to_wstring(k) + L" " +
          ((item.fType & MFT_SEPARATOR) ? std::wstring(L"separator")
                                        : std::to_wstring(item.wID) + L" " + text));
  }
  DestroyMenu(popup);

  if (action == L"invoke") {
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.nShow = SW_SHOWNORMAL;
    std::string textVerb;
    if (verb.rfind(L"text:", 0) == 0) {
      for (wchar_t c : verb.substr(5)) textVerb += static_cast<char>(c);
      info.lpVerb = textVerb.c_str();
    } else {
      info.lpVerb = MAKEINTRESOURCEA(std::stoi(verb));
    }
    Print(L"invoke " + Hex(menu->InvokeCommand(&info)));
  }
  menu->Release();
  init->Release();
  factory->Release();
  Print(L"unload-end " + Hex(canUnload()));
  return 0;
}
