// The running program on POSIX systems: its path, environment, arguments,
// special folders and the terminal.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "platform/platform.h"

namespace vix::platform {

std::string ProgramPath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string EnvironmentVariable(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  return v ? v : "";
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

namespace {

std::string Home() { return EnvironmentVariable("HOME"); }

std::string ConfigHome() {
  std::string dir = EnvironmentVariable("XDG_CONFIG_HOME");
  if (!dir.empty() && dir[0] == '/') return dir;
  const std::string home = Home();
  return home.empty() ? "" : home + "/.config";
}

// XDG_DESKTOP_DIR from user-dirs.dirs: a line XDG_DESKTOP_DIR="$HOME/Desktop"
// (only $HOME is expanded there) or an absolute path.
std::string DesktopDir() {
  const std::string home = Home();
  const std::string config = ConfigHome();
  if (!config.empty()) {
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DESKTOP_DIR=";
    while (std::getline(in, line)) {
      if (line.compare(0, key.size(), key) != 0) continue;
      std::string value = line.substr(key.size());
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
      if (!value.empty() && value[0] == '/') return value;
    }
  }
  return home.empty() ? "" : home + "/Desktop";
}

}  // namespace

std::string SpecialFolderPath(int csidl) {
  if (csidl == kCsidlDesktopDirectory) return DesktopDir();
  if (csidl == kCsidlAppData) return ConfigHome();
  return "";
}

bool IsTerminal(int stream) { return ::isatty(stream) == 1; }

int TerminalColumns() {
  struct winsize ws;
  if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

bool ReadSecretLine(std::string& line) {
  struct termios old;
  const bool tty = ::tcgetattr(0, &old) == 0;
  if (tty) {
    struct termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(0, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, line));
  if (tty) ::tcsetattr(0, TCSAFLUSH, &old);
  return ok;
}

bool ReadLineUnless(std::string& line, const std::function<bool()>& stop) {
  line.clear();
  for (;;) {
    if (stop && stop()) return false;
    struct pollfd p = {0, POLLIN, 0};
    const int r = ::poll(&p, 1, 100);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) continue;
    char c;
    const ssize_t n = ::read(0, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

}  // namespace vix::platform
