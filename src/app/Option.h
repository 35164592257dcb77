// The options dialog's logic (frmOption): the state of the shell
// integration read back from the system, and the system made to match the
// boxes on OK. The operations themselves belong to the platform; on Windows
// src/app/win32/Option.cpp provides them.
#pragma once

#include <string>
#include <vector>

namespace vix::app {

constexpr char kShellExtClsid[] = "{3519710A-E0D7-40A6-B068-715E6DB7EF1C}";
constexpr char kShortcutName[] = "Pelmoran Vix";
constexpr int kCsidlDesktopDirectory = 16;
constexpr int kCsidlSendTo = 9;

class TShellIntegration {
 public:
  virtual ~TShellIntegration() = default;
  virtual bool IsShellExtensionRegistered() = 0;
  // False when neither the machine's nor the user's classes took it.
  virtual bool RegisterShellExtension() = 0;
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
// OK repairs a registration or shortcut that points to an old place. Returns
// what the dialog must tell the user: empty when all went through.
std::string ApplyOptionBoxes(TShellIntegration& shell, const TOptionBoxes& boxes);

// --- the handler's registration ---------------------------------------------

// The classes keys the registration writes: the machine's
// (HKLM\Software\Classes) and the user's (HKCU\Software\Classes, which
// HKEY_CLASSES_ROOT merges over the machine's). On 64-bit Windows each has a
// 32-bit and a 64-bit view of CLSID; the handler keys under "*" and "Folder"
// are shared by both.
enum class TClassesRoot { Machine, User };

// The registry as the registration sees it; Windows gives the real one, the
// tests one that refuses. Results are system error numbers (0: done).
class TClassesRegistry {
 public:
  virtual ~TClassesRegistry() = default;
  // Sets a string value (`name` empty: the key's default value), creating
  // the key.
  virtual long SetString(TClassesRoot root, bool view64, const std::string& key,
                         const std::string& name, const std::string& data) = 0;
  // Deletes a key that has no subkeys; a missing key is no error.
  virtual long DeleteKey(TClassesRoot root, bool view64, const std::string& key) = 0;
};

// One value of the registration.
struct TClassesValue {
  bool View64;
  std::string Key, Name, Data;
};
// Everything the registration writes: the class pointing to `dll32`, the
// handler keys, and with a non-empty `dll64` the class in the 64-bit view
// pointing to it (64-bit Explorer loads only a 64-bit library).
std::vector<TClassesValue> HandlerRegistration(const std::string& dll32, const std::string& dll64);

enum class TRegistered { Machine, User, Nowhere };
// Writes the registration into the machine's classes; where any of it is
// refused (an account without administrator rights), all of it goes into
// the user's. Nowhere when the user's refuse too.
TRegistered RegisterHandler(TClassesRegistry& registry, const std::string& dll32,
                            const std::string& dll64);
// Removes the registration from both roots (and both views with `view64`);
// other handlers' keys are not touched. False when a key stays.
bool UnregisterHandler(TClassesRegistry& registry, bool view64);

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
