// The in-process server's entry points: the class factory and the
// registration of the class.
#include <windows.h>
#include <olectl.h>

#include <new>
#include <string>

#include "ShellExt.h"

using namespace vixshext;

namespace {

using CreateFn = HRESULT (*)(REFIID riid, void** ppv);

template <class T>
HRESULT CreateInstance(REFIID riid, void** ppv) {
  T* object = new (std::nothrow) T();
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

struct ClassEntry {
  const CLSID* clsid;
  CreateFn create;
  const wchar_t* description;
};

const ClassEntry kClasses[] = {
    {&CLSID_PMShellExtention, &CreateInstance<TPMShellExtention>,
     L"Pelmoran Vix ShellExtention"},
};

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(CreateFn create) : create_(create) { ModuleAddRef(); }
  ~ClassFactory() { ModuleRelease(); }
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ModuleAddRef();
    else
      ModuleRelease();
    return S_OK;
  }

 private:
  LONG refs_ = 1;
  CreateFn create_;
};

std::wstring GuidText(const CLSID& clsid) {
  wchar_t text[64] = {};
  StringFromGUID2(clsid, text, 64);
  return text;
}

LONG SetDefault(HKEY root, const std::wstring& path, const std::wstring& value) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc;
}

// The path as written to InprocServer32: short when a blank is in it and the
// volume keeps short names, else as it is.
std::wstring ServerPath() {
  std::wstring path = ModulePath();
  if (path.find(L' ') == std::wstring::npos) return path;
  wchar_t shortPath[MAX_PATH] = {};
  const DWORD n = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return path;
  return shortPath;
}

LONG RegisterUnder(HKEY root) {
  const std::wstring path = ServerPath();
  if (path.empty()) return ERROR_FILE_NOT_FOUND;
  for (const ClassEntry& entry : kClasses) {
    const std::wstring key = L"CLSID\\" + GuidText(*entry.clsid);
    LONG rc = SetDefault(root, key, entry.description);
    if (rc == ERROR_SUCCESS) rc = SetDefault(root, key + L"\\InprocServer32", path);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

LONG UnregisterUnder(HKEY root) {
  LONG result = ERROR_SUCCESS;
  for (const ClassEntry& entry : kClasses) {
    const std::wstring key = L"CLSID\\" + GuidText(*entry.clsid);
    for (const std::wstring& sub : {key + L"\\InprocServer32", key}) {
      const LONG rc = RegDeleteKeyW(root, sub.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS)
        result = rc;
    }
  }
  return result;
}

// The per-user classes, for accounts that may not write the machine's.
class UserClasses {
 public:
  UserClasses() {
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                        KEY_READ | KEY_WRITE, nullptr, &key_, nullptr) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~UserClasses() {
    if (key_) RegCloseKey(key_);
  }
  UserClasses(const UserClasses&) = delete;
  UserClasses& operator=(const UserClasses&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

extern "C" {

// COM is left to the host: initialising it under the loader lock may
// deadlock, and the host has its own apartment anyway.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (!IsEqualCLSID(clsid, *entry.clsid)) continue;
    ClassFactory* factory = new (std::nothrow) ClassFactory(entry.create);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return ModuleCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  try {
    const LONG machine = RegisterUnder(HKEY_CLASSES_ROOT);
    if (machine == ERROR_SUCCESS) return S_OK;
    if (machine != ERROR_ACCESS_DENIED) return HRESULT_FROM_WIN32(machine);
    UserClasses user;
    if (!user.get()) return SELFREG_E_CLASS;
    const LONG rc = RegisterUnder(user.get());
    return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

STDAPI DllUnregisterServer() {
  try {
    const LONG machine = UnregisterUnder(HKEY_CLASSES_ROOT);
    UserClasses user;
    const LONG rc = user.get() ? UnregisterUnder(user.get()) : ERROR_SUCCESS;
    if (machine != ERROR_SUCCESS) return SELFREG_E_CLASS;
    return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

}  // extern "C"
