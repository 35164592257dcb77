// The options dialog (frmOption) and the shell integration it switches.
#pragma once

#include "app/win32/Win32Ui.h"

#include "app/Option.h"

namespace vix::app::win32 {

// The registry and shortcut operations of Windows.
class TWin32ShellIntegration final : public TShellIntegration {
 public:
  bool IsShellExtensionRegistered() override;
  bool RegisterShellExtension() override;
  void UnregisterShellExtension() override;
  bool ShortcutExists(const std::string& name, int csidl) override;
  int UpdateShortcut(const std::string& target, const std::string& name, int csidl,
                     bool create) override;
  std::string ProgramPath() override;
};

// The main program's folder with a trailing backslash.
std::string ProgramDir();

// The drop window's "オプション設定": shows the dialog modally over `owner`
// and, on OK, makes the system match its boxes.
void RunOptionDialog(HWND owner);

}  // namespace vix::app::win32
