// Small helpers shared by the POSIX files of the platform layer.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/dos_stamp.h"

namespace vix::platform::detail {

// The DOS stamp of a system time, in local time.
inline uint32_t DosStampOf(time_t t) {
  struct tm lt;
  if (!localtime_r(&t, &lt)) return 0;
  return PackDosStamp(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
                      lt.tm_sec);
}

// Writes all of `count` bytes unless the system refuses; returns the number
// written (errno tells why when short).
inline size_t WriteAll(int fd, const void* data, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) {
      errno = ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

// Renames without ever replacing `to` (EEXIST when it exists); EXDEV when
// the two lie on different file systems.
inline bool MoveNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
#endif
  // The file system cannot rename without replacing: check first.
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

inline std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Cluster counts for the DOS-era interface: one cluster per fragment,
// doubled until the totals fit in 32 bits.
struct Clusters {
  uint32_t PerCluster;
  uint32_t Total;
  uint32_t Free;
};
inline Clusters FitClusters(uint64_t total, uint64_t free) {
  uint32_t per = 1;
  while (total > UINT32_MAX) {
    total >>= 1;
    free >>= 1;
    per <<= 1;
  }
  return {per, static_cast<uint32_t>(total), static_cast<uint32_t>(free > total ? total : free)};
}

// Keeps errno across clean-up calls so that LastErrorText() names the
// failure and not the clean-up.
class KeepErrno {
 public:
  KeepErrno() : saved_(errno) {}
  ~KeepErrno() { errno = saved_; }
  KeepErrno(const KeepErrno&) = delete;
  KeepErrno& operator=(const KeepErrno&) = delete;

 private:
  int saved_;
};

}  // namespace vix::platform::detail
