// The options dialog's registration against the real registry (under Wine
// in the Windows build), with the machine's classes made to refuse as they
// do for an account without administrator rights: Wine itself ignores key
// access rights, so the refusal comes from a wrapper around the real
// registry.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <string>

#include "app/win32/ClassesRegistry.h"

namespace vix::app::win32 {
namespace {

class RefusingMachine : public TWin32ClassesRegistry {
 public:
  long SetString(TClassesRoot root, bool view64, const std::string& key, const std::string& name,
                 const std::string& data) override {
    if (root == TClassesRoot::Machine) return ERROR_ACCESS_DENIED;
    return TWin32ClassesRegistry::SetString(root, view64, key, name, data);
  }
};

// The default value of `key` under `root`, or "(none)".
std::wstring Read(HKEY root, const std::wstring& key) {
  wchar_t value[512] = {};
  DWORD size = sizeof value;
  if (RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS)
    return L"(none)";
  return value;
}

const std::wstring kServer =
    L"CLSID\\" + platform::detail::Widen(kShellExtClsid) + L"\\InProcServer32";
const std::wstring kFiles = L"*\\shellex\\ContextMenuHandlers\\Pelmoran Vix";

TEST(HandlerRegistrationWin32, ARefusedMachineKeyIsWrittenPerUserAndReadThroughTheRoot) {
  TWin32ClassesRegistry real;
  UnregisterHandler(real, false);
  RefusingMachine registry;
  ASSERT_EQ(RegisterHandler(registry, "C:\\Vix dir\\VIXSHEXT.DLL", ""), TRegistered::User);
  EXPECT_EQ(Read(HKEY_CURRENT_USER, L"Software\\Classes\\" + kServer), L"C:\\Vix dir\\VIXSHEXT.DLL");
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + kServer), L"(none)");
  // (Windows merges these into HKEY_CLASSES_ROOT for Explorer; Wine's root
  // shows the machine's classes only, so the user's key is read directly.)
  EXPECT_EQ(Read(HKEY_CURRENT_USER, L"Software\\Classes\\" + kFiles),
            platform::detail::Widen(kShellExtClsid));
  EXPECT_TRUE(UnregisterHandler(real, false));
  EXPECT_EQ(Read(HKEY_CURRENT_USER, L"Software\\Classes\\" + kServer), L"(none)");
  EXPECT_EQ(Read(HKEY_CURRENT_USER, L"Software\\Classes\\" + kFiles), L"(none)");
}

TEST(HandlerRegistrationWin32, TheMachineKeyWhenItIsWritable) {
  TWin32ClassesRegistry real;
  ASSERT_EQ(RegisterHandler(real, "C:\\Vix\\VIXSHEXT.DLL", ""), TRegistered::Machine);
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + kServer), L"C:\\Vix\\VIXSHEXT.DLL");
  EXPECT_EQ(Read(HKEY_CURRENT_USER, L"Software\\Classes\\" + kServer), L"(none)");
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, kServer), L"C:\\Vix\\VIXSHEXT.DLL");
  EXPECT_TRUE(UnregisterHandler(real, false));
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, kServer), L"(none)");
}

}  // namespace
}  // namespace vix::app::win32
#endif  // _WIN32
