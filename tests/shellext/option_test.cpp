// The options dialog's logic against a recording stand-in for the system.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/Option.h"

namespace vix::app {
namespace {

class FakeShell : public TShellIntegration {
 public:
  bool registered = false;
  bool refuse = false;  // neither classes key can be written
  std::set<int> links;
  std::vector<std::string> calls;

  bool IsShellExtensionRegistered() override { return registered; }
  bool RegisterShellExtension() override {
    calls.push_back("register");
    registered = !refuse;
    return !refuse;
  }
  void UnregisterShellExtension() override {
    calls.push_back("unregister");
    registered = false;
  }
  bool ShortcutExists(const std::string& name, int csidl) override {
    return name == "Pelmoran Vix" && links.count(csidl);
  }
  int UpdateShortcut(const std::string& target, const std::string& name, int csidl,
                     bool create) override {
    calls.push_back((create ? "save " : "delete ") + std::to_string(csidl) + " " + name + " " +
                    target);
    if (create)
      links.insert(csidl);
    else
      links.erase(csidl);
    return 0;
  }
  std::string ProgramPath() override { return "C:\\Vix\\PLM_VIX.exe"; }
};

TEST(OptionDialog, BoxesReadTheSystemEachTime) {
  FakeShell shell;
  TOptionBoxes b = ReadOptionBoxes(shell);
  EXPECT_FALSE(b.CheckBox1 || b.CheckBox2 || b.CheckBox3);
  shell.registered = true;
  shell.links = {kCsidlSendTo};
  b = ReadOptionBoxes(shell);
  EXPECT_TRUE(b.CheckBox1);
  EXPECT_FALSE(b.CheckBox2);  // a desktop shortcut deleted by hand shows clear
  EXPECT_TRUE(b.CheckBox3);
}

// OK without changes writes every item again: a moved program repairs its
// registration and shortcuts this way.
TEST(OptionDialog, OkWritesEverythingAgainInOrder) {
  FakeShell shell;
  shell.registered = true;
  shell.links = {kCsidlDesktopDirectory};
  EXPECT_EQ(ApplyOptionBoxes(shell, ReadOptionBoxes(shell)), "");
  const std::vector<std::string> want = {
      "register", "save 16 Pelmoran Vix C:\\Vix\\PLM_VIX.exe",
      "delete 9 Pelmoran Vix C:\\Vix\\PLM_VIX.exe"};
  EXPECT_EQ(shell.calls, want);
}

TEST(OptionDialog, ClearedBoxesRemove) {
  FakeShell shell;
  shell.registered = true;
  shell.links = {kCsidlDesktopDirectory, kCsidlSendTo};
  EXPECT_EQ(ApplyOptionBoxes(shell, TOptionBoxes{}), "");
  EXPECT_FALSE(shell.registered);
  EXPECT_TRUE(shell.links.empty());
  EXPECT_EQ(shell.calls.front(), "unregister");
}

// A registration no classes key takes is told; the shortcuts still follow
// their boxes.
TEST(OptionDialog, ARegistrationThatNothingTookIsTold) {
  FakeShell shell;
  shell.refuse = true;
  TOptionBoxes boxes;
  boxes.CheckBox1 = boxes.CheckBox3 = true;
  const std::string message = ApplyOptionBoxes(shell, boxes);
  EXPECT_NE(message.find("シェル拡張を登録できませんでした"), std::string::npos) << message;
  EXPECT_FALSE(shell.registered);
  EXPECT_EQ(shell.links, std::set<int>{kCsidlSendTo});
}

// A registry whose roots can be made to refuse, recording what it holds.
class FakeRegistry : public TClassesRegistry {
 public:
  using Where = std::tuple<TClassesRoot, bool, std::string>;
  std::set<TClassesRoot> refused;
  std::map<Where, std::map<std::string, std::string>> keys;

  long SetString(TClassesRoot root, bool view64, const std::string& key, const std::string& name,
                 const std::string& data) override {
    if (refused.count(root)) return 5;  // access denied
    keys[{root, view64, key}][name] = data;
    return 0;
  }
  long DeleteKey(TClassesRoot root, bool view64, const std::string& key) override {
    for (auto& [where, values] : keys)
      if (std::get<0>(where) == root && std::get<1>(where) == view64 &&
          std::get<2>(where).rfind(key + "\\", 0) == 0)
        return 5;  // has a subkey
    if (refused.count(root) && keys.count({root, view64, key})) return 5;
    keys.erase({root, view64, key});
    return 0;
  }
  std::string Value(TClassesRoot root, bool view64, const std::string& key,
                    const std::string& name = "") const {
    auto it = keys.find({root, view64, key});
    if (it == keys.end() || !it->second.count(name)) return "(none)";
    return it->second.at(name);
  }
};

const std::string kServer = std::string("CLSID\\") + kShellExtClsid + "\\InProcServer32";
const std::string kFiles = "*\\shellex\\ContextMenuHandlers\\Pelmoran Vix";
const std::string kFolders = "Folder\\shellex\\ContextMenuHandlers\\Pelmoran Vix";

TEST(HandlerRegistration, MachineFirstThenTheUsersClassesThenTold) {
  using R = TClassesRoot;
  FakeRegistry reg;
  EXPECT_EQ(RegisterHandler(reg, "C:\\Vix\\VIXSHEXT.DLL", ""), TRegistered::Machine);
  EXPECT_EQ(reg.Value(R::Machine, false, kServer), "C:\\Vix\\VIXSHEXT.DLL");
  EXPECT_EQ(reg.Value(R::Machine, false, kServer, "ThreadingModel"), "Apartment");
  EXPECT_EQ(reg.Value(R::Machine, false, kFiles), kShellExtClsid);
  EXPECT_EQ(reg.Value(R::Machine, false, kFolders), kShellExtClsid);
  EXPECT_EQ(reg.Value(R::Machine, true, kServer), "(none)");  // no 64-bit library given

  // An account without administrator rights: all of it among its own classes.
  FakeRegistry user;
  user.refused = {R::Machine};
  EXPECT_EQ(RegisterHandler(user, "C:\\Vix\\VIXSHEXT.DLL", ""), TRegistered::User);
  EXPECT_EQ(user.Value(R::User, false, kServer), "C:\\Vix\\VIXSHEXT.DLL");
  EXPECT_EQ(user.Value(R::User, false, kFiles), kShellExtClsid);
  EXPECT_EQ(user.Value(R::User, false, kFolders), kShellExtClsid);
  EXPECT_EQ(user.Value(R::Machine, false, kServer), "(none)");

  FakeRegistry none;
  none.refused = {R::Machine, R::User};
  EXPECT_EQ(RegisterHandler(none, "C:\\Vix\\VIXSHEXT.DLL", ""), TRegistered::Nowhere);
}

TEST(HandlerRegistration, The64BitLibraryGoesToThe64BitViewAndAllIsRemoved) {
  using R = TClassesRoot;
  FakeRegistry reg;
  const std::string other = "*\\shellex\\ContextMenuHandlers\\Other";
  reg.SetString(R::Machine, false, other, "", "{other}");
  ASSERT_EQ(RegisterHandler(reg, "C:\\V\\VIXSHEXT.DLL", "C:\\V\\VIXSHEXT64.DLL"),
            TRegistered::Machine);
  EXPECT_EQ(reg.Value(R::Machine, false, kServer), "C:\\V\\VIXSHEXT.DLL");
  EXPECT_EQ(reg.Value(R::Machine, true, kServer), "C:\\V\\VIXSHEXT64.DLL");
  EXPECT_EQ(reg.Value(R::Machine, true, kServer, "ThreadingModel"), "Apartment");
  // The same in the user's classes, as a refused machine key leaves it.
  reg.refused = {R::Machine};
  ASSERT_EQ(RegisterHandler(reg, "C:\\V\\VIXSHEXT.DLL", "C:\\V\\VIXSHEXT64.DLL"),
            TRegistered::User);
  EXPECT_EQ(reg.Value(R::User, true, kServer), "C:\\V\\VIXSHEXT64.DLL");
  // A machine key that cannot be deleted is reported; the user's go.
  EXPECT_FALSE(UnregisterHandler(reg, true));
  EXPECT_EQ(reg.Value(R::User, true, kServer), "(none)");
  EXPECT_EQ(reg.Value(R::User, false, kFiles), "(none)");
  reg.refused.clear();
  EXPECT_TRUE(UnregisterHandler(reg, true));
  ASSERT_EQ(reg.keys.size(), 1u);
  EXPECT_EQ(reg.Value(R::Machine, false, other), "{other}");
}

}  // namespace
}  // namespace vix::app

#ifndef _WIN32
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vix::app {
namespace {

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(DesktopIntegration, InstallThenUninstallLeavesOthersAlone) {
  namespace fs = std::filesystem;
  const fs::path home = fs::path(::testing::TempDir()) / "xdg data home";
  fs::remove_all(home);
  fs::create_directories(home / "applications");
  std::ofstream(home / "applications" / "other.desktop") << "[Desktop Entry]\n";
  std::string reason;
  const std::string program = "/opt/pel vix/bin/vix";
  ASSERT_TRUE(InstallDesktopIntegration(home.string(), program, reason)) << reason;
  const std::string entry = Slurp(home / "applications/pelmoran-vix.desktop");
  EXPECT_NE(entry.find("Exec=\"/opt/pel vix/bin/vix\" %F\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("[Desktop Action Compress]\nName=Pelmoran Vix 圧縮\n"), std::string::npos);
  const fs::path script = home / "nautilus/scripts/Pelmoran Vix 圧縮";
  EXPECT_NE(Slurp(script).find("exec '/opt/pel vix/bin/vix' -- \"$@\"\n"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(script.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  // Again: our own files are replaced.
  EXPECT_TRUE(InstallDesktopIntegration(home.string(), program, reason)) << reason;

  ASSERT_TRUE(UninstallDesktopIntegration(home.string(), reason)) << reason;
  EXPECT_FALSE(fs::exists(home / "applications/pelmoran-vix.desktop"));
  EXPECT_FALSE(fs::exists(script));
  EXPECT_TRUE(fs::exists(home / "applications/other.desktop"));
  fs::remove_all(home);
}

TEST(DesktopIntegration, ForeignFileOfTheSameNameIsKeptAndNamed) {
  namespace fs = std::filesystem;
  const fs::path home = fs::path(::testing::TempDir()) / "xdg-foreign";
  fs::remove_all(home);
  fs::create_directories(home / "applications");
  const fs::path mine = home / "applications/pelmoran-vix.desktop";
  std::ofstream(mine) << "[Desktop Entry]\nName=the user's own\n";
  std::string reason;
  EXPECT_FALSE(InstallDesktopIntegration(home.string(), "/usr/bin/vix", reason));
  EXPECT_NE(reason.find(mine.string()), std::string::npos) << reason;
  EXPECT_EQ(Slurp(mine), "[Desktop Entry]\nName=the user's own\n");
  EXPECT_FALSE(UninstallDesktopIntegration(home.string(), reason));
  EXPECT_TRUE(fs::exists(mine));
  fs::remove_all(home);
}

}  // namespace
}  // namespace vix::app
#endif
