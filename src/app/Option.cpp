#include "app/Option.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vix::app {

TOptionBoxes ReadOptionBoxes(TShellIntegration& shell) {
  TOptionBoxes boxes;
  boxes.CheckBox1 = shell.IsShellExtensionRegistered();
  boxes.CheckBox2 = shell.ShortcutExists(kShortcutName, kCsidlDesktopDirectory);
  boxes.CheckBox3 = shell.ShortcutExists(kShortcutName, kCsidlSendTo);
  return boxes;
}

std::string ApplyOptionBoxes(TShellIntegration& shell, const TOptionBoxes& boxes) {
  std::string message;
  if (!boxes.CheckBox1)
    shell.UnregisterShellExtension();
  else if (!shell.RegisterShellExtension())
    message =
        "シェル拡張を登録できませんでした。\r\n"
        "コンピュータとユーザーのどちらのレジストリ (Classes) にも書き込めません。";
  const std::string program = shell.ProgramPath();
  shell.UpdateShortcut(program, kShortcutName, kCsidlDesktopDirectory, boxes.CheckBox2);
  shell.UpdateShortcut(program, kShortcutName, kCsidlSendTo, boxes.CheckBox3);
  return message;
}

namespace {
const std::string kClassKey = std::string("CLSID\\") + kShellExtClsid;
const std::string kServerKey = kClassKey + "\\InProcServer32";
const std::string kFileHandlerKey = "*\\shellex\\ContextMenuHandlers\\Pelmoran Vix";
const std::string kFolderHandlerKey = "Folder\\shellex\\ContextMenuHandlers\\Pelmoran Vix";
constexpr char kClassName[] = "Pelmoran Vix ContextMenu Handler";
}  // namespace

std::vector<TClassesValue> HandlerRegistration(const std::string& dll32, const std::string& dll64) {
  std::vector<TClassesValue> values;
  for (bool view64 : {false, true}) {
    const std::string& dll = view64 ? dll64 : dll32;
    if (dll.empty()) continue;
    values.push_back({view64, kClassKey, "", kClassName});
    values.push_back({view64, kServerKey, "", dll});
    values.push_back({view64, kServerKey, "ThreadingModel", "Apartment"});
  }
  values.push_back({false, kFileHandlerKey, "", kShellExtClsid});
  values.push_back({false, kFolderHandlerKey, "", kShellExtClsid});
  return values;
}

TRegistered RegisterHandler(TClassesRegistry& registry, const std::string& dll32,
                            const std::string& dll64) {
  const std::vector<TClassesValue> values = HandlerRegistration(dll32, dll64);
  auto writeAll = [&](TClassesRoot root) {
    for (const TClassesValue& v : values)
      if (registry.SetString(root, v.View64, v.Key, v.Name, v.Data) != 0) return false;
    return true;
  };
  if (writeAll(TClassesRoot::Machine)) return TRegistered::Machine;
  return writeAll(TClassesRoot::User) ? TRegistered::User : TRegistered::Nowhere;
}

bool UnregisterHandler(TClassesRegistry& registry, bool view64) {
  bool ok = true;
  for (TClassesRoot root : {TClassesRoot::Machine, TClassesRoot::User}) {
    for (bool view : {false, true}) {
      if (view && !view64) continue;
      // Subkeys first: a key is deleted only without them.
      for (const std::string* key : {&kServerKey, &kClassKey})
        ok = registry.DeleteKey(root, view, *key) == 0 && ok;
    }
    for (const std::string* key : {&kFileHandlerKey, &kFolderHandlerKey})
      ok = registry.DeleteKey(root, false, *key) == 0 && ok;
  }
  return ok;
}

}  // namespace vix::app

namespace vix::app {

namespace {

namespace fs = std::filesystem;

constexpr char kMarker[] = "X-Pelmoran-Vix";
const char* const kDesktopFile = "applications/pelmoran-vix.desktop";
const char* const kScriptFile = "nautilus/scripts/Pelmoran Vix 圧縮";

// Exec= quoting of the desktop entry format.
std::string DesktopQuote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += "\\\\";
    // The value's own escapes double every backslash once more.
    out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  }
  return out + "\"";
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool Ours(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str().find(kMarker) != std::string::npos;
}

bool WriteOwned(const fs::path& file, const std::string& text, bool executable,
                std::string& reason) {
  std::error_code ec;
  if (fs::exists(file, ec) && !Ours(file)) {
    reason = file.string() + ": a file of this name exists and was not written by vix; left as it is";
    return false;
  }
  fs::create_directories(file.parent_path(), ec);
  if (ec) {
    reason = file.parent_path().string() + ": " + ec.message();
    return false;
  }
  const fs::path temp = file.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      reason = file.string() + ": " + std::strerror(errno);
      fs::remove(temp, ec);
      return false;
    }
  }
  if (executable)
    fs::permissions(temp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec, ec);
  fs::rename(temp, file, ec);
  if (ec) {
    reason = file.string() + ": " + ec.message();
    fs::remove(temp);
    return false;
  }
  return true;
}

}  // namespace

std::string DesktopDataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share";
  return "";
}

bool InstallDesktopIntegration(const std::string& dataHome, const std::string& program,
                               std::string& reason) {
  const fs::path base(dataHome);
  const std::string desktop =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Pelmoran Vix\n"
      "Comment=Make an archive of the selected files\n"
      "Exec=" + DesktopQuote(program) + " %F\n"
      "Terminal=true\n"
      "NoDisplay=true\n"
      "MimeType=application/octet-stream;inode/directory;\n"
      "Actions=Compress;\n" + std::string(kMarker) + "=1\n"
      "\n[Desktop Action Compress]\n"
      "Name=Pelmoran Vix 圧縮\n"
      "Exec=" + DesktopQuote(program) + " %F\n";
  const std::string script = "#!/bin/sh\n# " + std::string(kMarker) +
                             ": starts vix on the files selected in the file manager.\n"
                             "exec " + ShellQuote(program) + " -- \"$@\"\n";
  return WriteOwned(base / kDesktopFile, desktop, false, reason) &&
         WriteOwned(base / kScriptFile, script, true, reason);
}

bool UninstallDesktopIntegration(const std::string& dataHome, std::string& reason) {
  bool ok = true;
  for (const char* rel : {kDesktopFile, kScriptFile}) {
    const fs::path file = fs::path(dataHome) / rel;
    std::error_code ec;
    if (!fs::exists(file, ec)) continue;
    if (!Ours(file)) {
      reason = file.string() + ": not written by vix; left as it is";
      ok = false;
      continue;
    }
    if (!fs::remove(file, ec)) {
      reason = file.string() + ": " + ec.message();
      ok = false;
    }
  }
  return ok;
}

}  // namespace vix::app
