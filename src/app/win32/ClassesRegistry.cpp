#include "app/win32/ClassesRegistry.h"

namespace vix::app::win32 {

namespace {

using platform::detail::Widen;

std::wstring ClassesPath(const std::string& key) { return L"Software\\Classes\\" + Widen(key); }

HKEY Root(TClassesRoot root) {
  return root == TClassesRoot::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

REGSAM View(bool view64) { return view64 ? KEY_WOW64_64KEY : 0; }

}  // namespace

long TWin32ClassesRegistry::SetString(TClassesRoot root, bool view64, const std::string& key,
                                      const std::string& name, const std::string& data) {
  HKEY opened = nullptr;
  LONG rc = RegCreateKeyExW(Root(root), ClassesPath(key).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | View(view64), nullptr, &opened, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::wstring value = Widen(data);
  const std::wstring valueName = Widen(name);
  rc = RegSetValueExW(opened, name.empty() ? nullptr : valueName.c_str(), 0, REG_SZ,
                      reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
  return rc;
}

long TWin32ClassesRegistry::DeleteKey(TClassesRoot root, bool view64, const std::string& key) {
  const LONG rc = RegDeleteKeyExW(Root(root), ClassesPath(key).c_str(), View(view64), 0);
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

bool Is64BitWindows() {
#ifdef _WIN64
  return true;
#else
  // IsWow64Process is looked up: it is missing on the oldest systems.
  using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto isWow64 = kernel ? reinterpret_cast<IsWow64Fn>(
                              reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
                        : nullptr;
  BOOL wow64 = FALSE;
  return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
#endif
}

}  // namespace vix::app::win32
