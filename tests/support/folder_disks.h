// Removable disks simulated by folders: one folder (the slot) stands for the
// drive, and whatever is written under it lands in the folder of the disk
// inserted at the time. Each disk has a size, a label, and its free space is
// its size less the files it holds. Used by the unit tests and by arcwrite.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace vix::test {

class FolderDisks : public platform::Platform {
 public:
  // `slot`: an existing empty folder; `disks`: folders in the order they
  // are inserted, the first one already in the drive.
  FolderDisks(const std::string& slot, std::vector<std::string> disks, uint32_t diskSize)
      : slot_(Normal(slot)), disks_(std::move(disks)), size_(diskSize) {}

  // The next disk of the insert order goes into the drive; false when the
  // order is used up.
  bool InsertNext() {
    ++insertions;
    if (next_ >= disks_.size()) return false;
    current_ = static_cast<int>(next_++);
    return true;
  }
  void Eject() { current_ = -1; }
  const std::string& CurrentDisk() const { return disks_[static_cast<size_t>(current_)]; }
  std::string Label(const std::string& disk) const {
    const auto found = labels_.find(Normal(disk));
    return found == labels_.end() ? std::string() : found->second;
  }
  void SetLabel(const std::string& disk, const std::string& label) {
    labels_[Normal(disk)] = label;
  }
  uint64_t Used() const {
    uint64_t used = 0;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(CurrentDisk(), ec))
      if (item.is_regular_file(ec)) used += item.file_size(ec);
    return used;
  }

  int insertions = 0;
  bool labelsWritable = true;

  // --- the platform -------------------------------------------------------------
  platform::FileHandle OpenRead(const std::string& path, platform::ShareMode share) override {
    return Platform::OpenRead(Map(path), share);
  }
  platform::FileHandle OpenReadWrite(const std::string& path) override {
    return Platform::OpenReadWrite(Map(path));
  }
  platform::FileHandle Create(const std::string& path, bool overwrite) override {
    return Platform::Create(Map(path), overwrite);
  }
  uint32_t GetAttributes(const std::string& path) override {
    return Platform::GetAttributes(Map(path));
  }
  bool DeleteFile(const std::string& path) override { return Platform::DeleteFile(Map(path)); }
  bool MoveFile(const std::string& from, const std::string& to) override {
    return Platform::MoveFile(Map(from), Map(to));
  }
  bool RenameFile(const std::string& from, const std::string& to, bool replace) override {
    return Platform::RenameFile(Map(from), Map(to), replace);
  }
  platform::FileId Identity(const std::string& path) override {
    return Platform::Identity(Map(path));
  }
  bool RecycleFile(const std::string& path) override { return Platform::RecycleFile(Map(path)); }
  // A file made in the drive lands on the disk inserted; its name stays on
  // the drive, so that later calls map it there too.
  std::string UniqueTempFile(const std::string& folder, const std::string& prefix) override {
    const std::string dir = Normal(folder);
    if (current_ < 0 || (dir != slot_ && dir.compare(0, slot_.size() + 1, slot_ + "/") != 0))
      return Platform::UniqueTempFile(folder, prefix);
    const std::string made =
        Platform::UniqueTempFile(CurrentDisk() + dir.substr(slot_.size()) + "/", prefix);
    if (made.empty()) return made;
    return dir + "/" + made.substr(made.find_last_of("/\\") + 1);
  }
  int RemoveStaleTempFiles(const std::string& folder, const std::string& prefix,
                           int minAgeSeconds) override {
    return Platform::RemoveStaleTempFiles(Map(folder), prefix, minAgeSeconds);
  }
  void CopyFileMetadata(const std::string& from, const std::string& to) override {
    Platform::CopyFileMetadata(Map(from), Map(to));
  }
  bool SetAttributes(const std::string& path, uint32_t attr) override {
    return Platform::SetAttributes(Map(path), attr);
  }
  bool VolumeInformation(const std::string& root, std::string& label) override {
    if (!OnSlot(root)) return Platform::VolumeInformation(root, label);
    if (current_ < 0) return false;
    label = Label(CurrentDisk());
    return true;
  }
  uint8_t DriveType(const std::string& root) override {
    if (OnSlot(root)) return platform::kDriveRemovable;
    return Platform::DriveType(root);
  }
  bool DiskFreeSpace(const std::string& root, platform::ClusterInfo& info) override {
    if (!OnSlot(root)) return Platform::DiskFreeSpace(root, info);
    if (current_ < 0) return false;
    info.SectorsPerCluster = 1;
    info.BytesPerSector = 1;
    info.TotalClusters = size_;
    info.FreeClusters = static_cast<uint32_t>(size_ - std::min<uint64_t>(Used(), size_));
    return true;
  }
  bool SetVolumeLabel(const std::string& root, const std::string& label) override {
    if (!OnSlot(root)) return Platform::SetVolumeLabel(root, label);
    if (current_ < 0 || !labelsWritable) return false;
    SetLabel(CurrentDisk(), label);
    return true;
  }

 private:
  static std::string Normal(const std::string& path) {
    std::string p = std::filesystem::absolute(path).lexically_normal().generic_string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  }
  static std::string Generic(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  }
  // The root asked about is the slot, or a drive the slot lies on.
  bool OnSlot(const std::string& root) const {
    std::string r = Generic(root);
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r == slot_ || (slot_.size() > r.size() && slot_.compare(0, r.size(), r) == 0 &&
                          r.find(':') != std::string::npos);
  }
  std::string Map(const std::string& path) const {
    const std::string full = Normal(path);
    if (current_ < 0 || full.size() <= slot_.size() + 1 ||
        full.compare(0, slot_.size() + 1, slot_ + "/") != 0)
      return path;
    return CurrentDisk() + full.substr(slot_.size());
  }

  std::string slot_;
  std::vector<std::string> disks_;
  uint32_t size_;
  size_t next_ = 0;
  int current_ = 0;
  std::map<std::string, std::string> labels_;
};

}  // namespace vix::test
