// The options dialog's logic against a recording stand-in for the system.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/Option.h"

namespace vix::app {
namespace {

class FakeShell : public TShellIntegration {
 public:
  bool registered = false;
  std::set<int> links;
  std::vector<std::string> calls;

  bool IsShellExtensionRegistered() override { return registered; }
  void RegisterShellExtension() override {
    calls.push_back("register");
    registered = true;
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
  ApplyOptionBoxes(shell, ReadOptionBoxes(shell));
  const std::vector<std::string> want = {
      "register", "save 16 Pelmoran Vix C:\\Vix\\PLM_VIX.exe",
      "delete 9 Pelmoran Vix C:\\Vix\\PLM_VIX.exe"};
  EXPECT_EQ(shell.calls, want);
}

TEST(OptionDialog, ClearedBoxesRemove) {
  FakeShell shell;
  shell.registered = true;
  shell.links = {kCsidlDesktopDirectory, kCsidlSendTo};
  ApplyOptionBoxes(shell, TOptionBoxes{});
  EXPECT_FALSE(shell.registered);
  EXPECT_TRUE(shell.links.empty());
  EXPECT_EQ(shell.calls.front(), "unregister");
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
