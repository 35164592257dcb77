// Deletion to the recycle bin: the freedesktop.org Trash.
//
// A file goes to the home trash ($XDG_DATA_HOME/Trash, by default
// ~/.local/share/Trash) when that lies on the file's file system. Otherwise
// it goes to the trash at the top of the file's own file system
// ($topdir/.Trash/$uid when the administrator made a sticky .Trash there,
// else $topdir/.Trash-$uid), as the freedesktop.org Trash rules ask. When neither
// can be used the call fails and the file stays where it is: copying it
// across file systems could be slow and deleting it for good would not be
// what "allow undo" promised.
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace vix::platform {
namespace {

using detail::JoinPath;
using detail::KeepErrno;

std::string PercentEncode(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string HomeTrash() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return JoinPath(data, "Trash");
  const char* home = std::getenv("HOME");
  std::string dir = home && *home ? home : "";
  if (dir.empty()) {
    if (const struct passwd* pw = ::getpwuid(::getuid())) dir = pw->pw_dir ? pw->pw_dir : "";
  }
  return dir.empty() ? std::string() : JoinPath(dir, ".local/share/Trash");
}

// Creates `path` and its missing parents (mode 0700: a trash is private).
bool MakeDirs(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// "a.txt", 3 -> "a.3.txt"; names without an extension get the number last.
std::string Numbered(const std::string& name, int n) {
  const size_t dot = name.find_last_of('.');
  const std::string number = "." + std::to_string(n);
  if (dot == std::string::npos || dot == 0) return name + number;
  return name.substr(0, dot) + number + name.substr(dot);
}

std::string DeletionDate() {
  const time_t now = std::time(nullptr);
  struct tm lt;
  char text[32] = "";
  if (localtime_r(&now, &lt)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &lt);
  return text;
}

// Moves `full` into `trash` under a free name and records where it came
// from. `origin` is the Path= value (absolute, or relative to the top of a
// file system trash).
bool TrashInto(const std::string& trash, const std::string& full, const std::string& origin) {
  const std::string files = JoinPath(trash, "files");
  const std::string info = JoinPath(trash, "info");
  if (!MakeDirs(files) || !MakeDirs(info)) return false;
  const std::string base = full.substr(full.find_last_of('/') + 1);
  for (int n = 1; n < 100000; ++n) {
    const std::string name = n == 1 ? base : Numbered(base, n);
    const std::string infoPath = JoinPath(info, name + ".trashinfo");
    // The info file is created first and exclusively: it reserves the name.
    const int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    const std::string target = JoinPath(files, name);
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) {  // a stray file without its info
      ::close(fd);
      ::unlink(infoPath.c_str());
      continue;
    }
    const std::string text = "[Trash Info]\nPath=" + PercentEncode(origin) +
                             "\nDeletionDate=" + DeletionDate() + "\n";
    bool ok = detail::WriteAll(fd, text.data(), text.size()) == text.size();
    if (::close(fd) != 0) ok = false;
    if (ok && detail::MoveNoReplace(full, target)) return true;
    const bool taken = ok && errno == EEXIST;  // a file slipped in meanwhile
    {
      KeepErrno keep;
      ::unlink(infoPath.c_str());
    }
    if (!taken) return false;
  }
  errno = EEXIST;
  return false;
}

// The mount point that holds `path`: the highest folder on its device.
std::string TopDirOf(const std::string& path, dev_t device) {
  std::string dir = path.substr(0, path.find_last_of('/'));
  if (dir.empty()) return "/";
  for (;;) {
    const size_t slash = dir.find_last_of('/');
    const std::string parent = slash == 0 ? "/" : dir.substr(0, slash);
    struct stat st;
    if (::stat(parent.c_str(), &st) != 0 || st.st_dev != device) return dir;
    if (parent == "/") return parent;
    dir = parent;
  }
}

bool TrashOnDevice(const std::string& full, dev_t device) {
  const std::string top = TopDirOf(full, device);
  const std::string origin = full.substr(top == "/" ? 1 : top.size() + 1);
  const std::string uid = std::to_string(::getuid());
  struct stat st;
  const std::string shared = JoinPath(top, ".Trash");
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) &&
      TrashInto(JoinPath(shared, uid), full, origin))
    return true;
  const std::string own = JoinPath(top, ".Trash-" + uid);
  if (::lstat(own.c_str(), &st) != 0) {
    if (::mkdir(own.c_str(), 0700) != 0) return false;
  } else if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    errno = EACCES;  // not ours, or a link: never trust it with the file
    return false;
  }
  return TrashInto(own, full, origin);
}

}  // namespace

bool Platform::RecycleFile(const std::string& path) {
  std::string full = FullPath(path);
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  struct stat st;
  if (full.empty() || full == "/" || ::lstat(full.c_str(), &st) != 0) return false;
  const std::string home = HomeTrash();
  struct stat hs;
  if (!home.empty() && MakeDirs(home) && ::stat(home.c_str(), &hs) == 0 && hs.st_dev == st.st_dev) {
    if (TrashInto(home, full, full)) return true;
    if (errno != EXDEV) return false;  // a bind mount: same device, no rename
  }
  return TrashOnDevice(full, st.st_dev);
}

}  // namespace vix::platform
