// Small helpers shared by the POSIX files of the platform layer.
#pragma once

#include <time.h>

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
