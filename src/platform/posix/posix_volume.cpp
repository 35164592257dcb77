// Volumes on POSIX systems: the "drive" of a path is its file system.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace vix::platform {
namespace {

// statfs f_type values of network file systems (linux/magic.h and the
// file systems' own sources).
constexpr uint32_t kRemoteMagic[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x564C,      // NCP
    0x73757245,  // Coda
    0x5346414F,  // AFS
    0x6B414653,  // kAFS
    0x00C36400,  // Ceph
    0x01021997,  // 9P (host shares of virtual machines)
    0x013111A8,  // IBRIX
    0x47504653,  // GPFS
    0x0BD00BD0,  // Lustre
};

std::string DecodeLabel(const std::string& name) {
  // udev escapes unsafe characters of labels as \xHH.
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(name.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

// The label of the block device that holds `root`, where udev lists one.
std::string LabelOf(const std::string& root) {
  struct stat st;
  if (::stat(root.c_str(), &st) != 0) return {};
  DIR* dir = ::opendir("/dev/disk/by-label");
  if (!dir) return {};
  std::string label;
  while (const struct dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    struct stat dev;
    if (::stat(detail::JoinPath("/dev/disk/by-label", e->d_name).c_str(), &dev) == 0 &&
        S_ISBLK(dev.st_mode) && dev.st_rdev == st.st_dev) {
      try {
        label = DecodeLabel(e->d_name);
      } catch (...) {
        label = e->d_name;
      }
      break;
    }
  }
  ::closedir(dir);
  return label;
}

}  // namespace

bool Platform::VolumeInformation(const std::string& root, std::string& label) {
  label.clear();
  struct statvfs vfs;
  if (root.empty()) {
    errno = ENOENT;
    return false;
  }
  if (::statvfs(root.c_str(), &vfs) != 0) return false;
  detail::KeepErrno keep;
  label = LabelOf(root);
  return true;
}

// Removable media cannot be told apart cheaply: they count as fixed.
uint8_t Platform::DriveType(const std::string& root) {
  struct statfs fs;
  if (root.empty() || ::statfs(root.c_str(), &fs) != 0) return kDriveNoRoot;
  const auto type = static_cast<uint32_t>(fs.f_type);
  for (const uint32_t magic : kRemoteMagic)
    if (type == magic) return kDriveRemote;
  return kDriveFixed;
}

bool Platform::DiskFreeSpace(const std::string& root, ClusterInfo& info) {
  struct statvfs vfs;
  if (root.empty()) {
    errno = ENOENT;
    return false;
  }
  if (::statvfs(root.c_str(), &vfs) != 0) return false;
  // f_bavail: what an ordinary user may still write.
  const detail::Clusters c = detail::FitClusters(vfs.f_blocks, vfs.f_bavail);
  info.SectorsPerCluster = c.PerCluster;
  info.TotalClusters = c.Total;
  info.FreeClusters = c.Free;
  info.BytesPerSector = static_cast<uint32_t>(vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize);
  return true;
}

bool Platform::SetVolumeLabel(const std::string& /*root*/, const std::string& /*label*/) {
  errno = ENOTSUP;  // labels belong to the file system's own tools here
  return false;
}

// There are no critical-error dialogs to switch off.
uint32_t Platform::SetCriticalErrorMode(uint32_t /*mode*/) { return 0; }

}  // namespace vix::platform
