// Names, attributes, folders and directory search on POSIX systems.
//
// Attributes follow the DOS bits: a folder is 16, a regular file 32 (plus
// read-only 1 when its owner may not write it). FIFOs, sockets and devices
// carry kAttrSpecial, which the attribute filter rejects: reading one could
// block forever. Names that begin with "." are files like any other: they
// are neither hidden nor skipped.
//
// Symbolic links are followed for files. A link to a folder is never
// reported by a search, so recursion can never enter a loop of links, and
// a dangling link is reported as special. Asked directly by name, a link to
// a folder is a folder: a name the user gave is the user's choice.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/dos_mask.h"
#include "platform/posix/posix_util.h"

namespace vix::platform {
namespace {

using detail::DosStampOf;
using detail::JoinPath;
using detail::KeepErrno;


uint32_t AttrOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  if (S_ISREG(st.st_mode)) return (st.st_mode & S_IWUSR) ? uint32_t{kAttrArchive} : uint32_t{kAttrArchive | kAttrReadOnly};
  return kAttrSpecial;
}

class VectorFind final : public FindHandle {
 public:
  explicit VectorFind(std::vector<FindData> entries) : entries_(std::move(entries)) {}
  bool Next(FindData& out) override {
    if (next_ >= entries_.size()) return false;
    out = std::move(entries_[next_++]);
    return true;
  }

 private:
  std::vector<FindData> entries_;
  size_t next_ = 0;
};

}  // namespace

uint32_t Platform::GetAttributes(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return kNoAttributes;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return AttrOf(st);
  KeepErrno keep;
  if (::lstat(path.c_str(), &st) == 0) return kAttrSpecial;  // a dangling link
  return kNoAttributes;
}

// Only the read-only bit has a meaning here: it takes the write permission
// from everyone, and clearing it gives it back to the owner. Folders keep
// their permissions: write permission on a folder is about adding names,
// not about the folder being read-only.
bool Platform::SetAttributes(const std::string& path, uint32_t attr) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return true;
  const mode_t mode = (attr & kAttrReadOnly) ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | S_IWUSR);
  if ((mode & 07777) == (st.st_mode & 07777)) return true;
  return ::chmod(path.c_str(), mode & 07777) == 0;
}

bool Platform::RenameFile(const std::string& from, const std::string& to, bool replace) {
  if (from.empty() || to.empty()) {
    errno = ENOENT;
    return false;
  }
  if (!replace) return detail::MoveNoReplace(from, to);
  return ::rename(from.c_str(), to.c_str()) == 0;
}

FileId Platform::Identity(const std::string& path) {
  struct stat st;
  FileId id;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return id;
  id.Volume = static_cast<uint64_t>(st.st_dev);
  id.Index = static_cast<uint64_t>(st.st_ino);
  id.Known = true;
  return id;
}

void Platform::CopyFileMetadata(const std::string& from, const std::string& to) {
  struct stat st;
  if (::stat(from.c_str(), &st) != 0) return;
  detail::KeepErrno keep;
  ::chmod(to.c_str(), st.st_mode & 07777);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, to.c_str(), times, 0);
}

int CrossDeviceError() { return EXDEV; }
int DiskFullError() { return ENOSPC; }
int FileExistsError() { return EEXIST; }
void SetLastErrorCode(int code) { errno = code; }

bool Platform::SetLastWriteTime(const std::string& path, int64_t unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = static_cast<time_t>(unixSeconds);
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool Platform::DeleteFile(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::unlink(path.c_str()) == 0;
}

bool Platform::CreateDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool Platform::RemoveDirectory(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

namespace {

// The names of one folder as a snapshot read them, with an index of the
// literal masks' keys, made at the first such mask.
struct Listing {
  std::vector<std::string> names;
  std::unordered_map<std::u32string, std::vector<size_t>> byKey;
  bool indexed = false;
};

thread_local int tSnapshots = 0;
thread_local std::unordered_map<std::string, Listing> tListings;

// Every name of the open folder, or false with errno set. A read error
// part-way must not pass for the end of the folder: the archive would
// silently lack the rest of it.
bool ReadNames(DIR* dir, std::vector<std::string>& names) {
  for (;;) {
    errno = 0;
    const struct dirent* e = ::readdir(dir);
    if (!e) return errno == 0;
    names.emplace_back(e->d_name);
  }
}

}  // namespace

ListingSnapshot::ListingSnapshot() { ++tSnapshots; }

ListingSnapshot::~ListingSnapshot() {
  if (--tSnapshots == 0) tListings.clear();
}

// The entries are read at once and sorted by name ("." and ".." first, as
// Windows returns them), so that archives of the same folder come out the
// same on every run.
std::unique_ptr<FindHandle> Platform::FindFirst(const std::string& folder, const std::string& mask) {
  const std::string dirName = folder.empty() ? "." : folder;
  DIR* dir = ::opendir(dirName.c_str());
  if (!dir) return nullptr;
  const int dfd = ::dirfd(dir);
  auto fail = [dir] {
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return nullptr;
  };
  Listing scratch;
  Listing* listing = &scratch;
  if (tSnapshots > 0) {
    auto found = tListings.find(dirName);
    if (found != tListings.end()) listing = &found->second;
  }
  if (listing == &scratch) {
    if (!ReadNames(dir, scratch.names)) return fail();
    if (tSnapshots > 0) listing = &(tListings[dirName] = std::move(scratch));
  }
  // The names the mask takes.
  std::vector<const std::string*> matched;
  const std::u32string key = detail::LiteralMaskKey(mask);
  if (!key.empty() && listing != &scratch) {
    if (!listing->indexed) {
      for (size_t i = 0; i < listing->names.size(); ++i)
        listing->byKey[detail::NameKey(listing->names[i])].push_back(i);
      listing->indexed = true;
    }
    auto hit = listing->byKey.find(key);
    if (hit != listing->byKey.end())
      for (size_t i : hit->second) matched.push_back(&listing->names[i]);
  } else {
    for (const std::string& name : listing->names)
      if (detail::MatchDosMask(name, mask)) matched.push_back(&name);
  }
  std::vector<FindData> entries;
  for (const std::string* matchedName : matched) {
    const std::string& name = *matchedName;
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone meanwhile
      // A folder that can be read but not searched lists names whose files
      // cannot be reached: taking it for an empty folder would lose them.
      return fail();
    }
    FindData data;
    if (S_ISLNK(st.st_mode)) {
      struct stat target;
      if (::fstatat(dfd, name.c_str(), &target, 0) == 0) {
        if (S_ISDIR(target.st_mode)) continue;  // never a way into a loop
        st = target;
        data.Attr = AttrOf(st);
      } else {
        data.Attr = kAttrSpecial;
      }
    } else {
      data.Attr = AttrOf(st);
    }
    data.Name = name;
    data.Id = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
    data.Size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    data.Time = DosStampOf(st.st_mtime);
    entries.push_back(std::move(data));
  }
  ::closedir(dir);
  auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
  std::sort(entries.begin(), entries.end(), [&](const FindData& a, const FindData& b) {
    const int ra = rank(a.Name), rb = rank(b.Name);
    return ra != rb ? ra < rb : a.Name < b.Name;
  });
  return std::make_unique<VectorFind>(std::move(entries));
}

std::string Platform::TempFolder() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env && *env ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

// The file is created with the usual permissions (0666 less the umask), not
// mkstemp's 0600: the driver's work file becomes the archive by a rename
// and must not end up readable by its owner only.
std::string Platform::UniqueTempFile(const std::string& folder, const std::string& prefix) {
  static std::mt19937 random(static_cast<uint32_t>(
      std::random_device{}() ^ static_cast<uint32_t>(::getpid()) ^
      static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count())));
  static const char kDigits[] = "0123456789abcdef";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = prefix + std::to_string(::getpid()) + "-";
    uint32_t r = random();
    for (int i = 0; i < 6; ++i, r >>= 4) name += kDigits[r & 15];
    name += ".tmp";
    const std::string path = JoinPath(folder, name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

int Platform::RemoveStaleTempFiles(const std::string& folder, const std::string& prefix,
                                   int minAgeSeconds) {
  const std::string dirName = folder.empty() ? "." : folder;
  DIR* dir = ::opendir(dirName.c_str());
  if (!dir) return 0;
  detail::KeepErrno keep;
  const int dfd = ::dirfd(dir);
  const time_t now = ::time(nullptr);
  int removed = 0;
  while (const struct dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    const auto pid = TempFileOwner(name, prefix);
    if (pid <= 0 || pid == ::getpid()) continue;
    // A process that exists, or that we may not signal, is alive.
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (now - st.st_mtime < minAgeSeconds) continue;
    if (::unlinkat(dfd, name.c_str(), 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

std::string Platform::CurrentDirectory() {
  std::vector<char> buffer(512);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) return buffer.data();
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool Platform::SetCurrentDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

// Resolved by the text alone, as Windows does: "a/../b" is "b" even when
// "a" is a link elsewhere. A trailing delimiter is kept.
std::string Platform::FullPath(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return {};
  }
  std::string full = path;
  if (path[0] != '/') {
    const std::string cwd = CurrentDirectory();
    if (cwd.empty()) return {};
    full = JoinPath(cwd, path);
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= full.size()) {
    size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    const std::string part = full.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  if (out.empty() || path.back() == '/') out += '/';
  return out;
}

}  // namespace vix::platform

namespace vix::platform {
namespace {

class PosixLibrary final : public SharedLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { ::dlclose(handle_); }
  void* Proc(const char* name) override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

}  // namespace

std::unique_ptr<SharedLibrary> LoadSharedLibrary(const std::string& name) {
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  return std::make_unique<PosixLibrary>(handle);
}

}  // namespace vix::platform
