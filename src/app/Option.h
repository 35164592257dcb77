// The options dialog's logic (frmOption): the state of the shell
// integration read back from the system, and the system made to match the
// boxes on OK. The operations themselves belong to the platform; on Windows
// src/app/win32/Option.cpp provides them.
#pragma once

#include <string>

namespace vix::app {

constexpr char kShellExtClsid[] = "{3519710A-E0D7-40A6-B068-715E6DB7EF1C}";
constexpr char kShortcutName[] = "Pelmoran Vix";
constexpr int kCsidlDesktopDirectory = 16;
constexpr int kCsidlSendTo = 9;

class TShellIntegration {
 public:
  virtual ~TShellIntegration() = default;
  virtual bool IsShellExtensionRegistered() = 0;
  virtual void RegisterShellExtension() = 0;
  virtual void UnregisterShellExtension() = 0;
  // Whether "<folder csidl>\<name>.lnk" exists.
  virtual bool ShortcutExists(const std::string& name, int csidl) = 0;
  virtual int UpdateShortcut(const std::string& target, const std::string& name, int csidl,
                             bool create) = 0;
  // The main program's full path.
  virtual std::string ProgramPath() = 0;
};

// The three boxes of the first page.
struct TOptionBoxes {
  bool CheckBox1 = false;  // シェルを拡張する
  bool CheckBox2 = false;  // デスクトップにショートカットを作成する
  bool CheckBox3 = false;  // 送るメニューにショートカットを作成する
};

TOptionBoxes ReadOptionBoxes(TShellIntegration& shell);
// Run on OK: every item is written again, changed or not, so that pressing
// OK repairs a registration or shortcut that points to an old place.
void ApplyOptionBoxes(TShellIntegration& shell, const TOptionBoxes& boxes);

}  // namespace vix::app

namespace vix::app {

// Linux desktops: a launcher with the action "Pelmoran Vix 圧縮" under
// DATA_HOME/applications and a Nautilus script under DATA_HOME/nautilus/
// scripts, both starting `program` on the selection. A file of either name
// that we did not write is left alone and reported. False with `reason`
// (naming the file) when something could not be done.
bool InstallDesktopIntegration(const std::string& dataHome, const std::string& program,
                               std::string& reason);
bool UninstallDesktopIntegration(const std::string& dataHome, std::string& reason);
// $XDG_DATA_HOME, else ~/.local/share; empty when neither is known.
std::string DesktopDataHome();

}  // namespace vix::app
