// The Windows registry behind the handler's registration.
#pragma once

#include "platform/win32/win32_util.h"

#include <string>

#include "app/Option.h"

namespace vix::app::win32 {

// HKLM\Software\Classes and HKCU\Software\Classes, each in the view asked:
// the 64-bit view by KEY_WOW64_64KEY, else the process's own.
class TWin32ClassesRegistry : public TClassesRegistry {
 public:
  long SetString(TClassesRoot root, bool view64, const std::string& key, const std::string& name,
                 const std::string& data) override;
  long DeleteKey(TClassesRoot root, bool view64, const std::string& key) override;
};

// Whether Windows is 64-bit (this 32-bit program then runs under WOW64).
bool Is64BitWindows();

// The 64-bit handler's file name beside the program; the 32-bit one is
// VIXSHEXT.DLL, and both cannot share a name in one folder.
inline constexpr char kShellExt64Name[] = "VIXSHEXT64.DLL";

}  // namespace vix::app::win32
