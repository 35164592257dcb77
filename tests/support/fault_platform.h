// A Platform double that forwards to the real services and injects faults.
//
// Install it for the length of a test with platform::ScopedPlatform:
//
//   test::FaultPlatform faults;
//   platform::ScopedPlatform use(faults);
//   faults.DiskFullAfter(1000);            // every write past 1000 bytes fails
//   faults.FailMoveFile(test::FaultPlatform::Fail::Once);
//   test::FaultPlatform::Volume floppy;    // a removable disk at "A:\"
//   floppy.Type = platform::kDriveRemovable;
//   faults.SimulateVolume("A:\\", floppy);
//
// Files
//   ShortWriteAfter(n)   each file created or opened for writing from now on
//                        takes n bytes; a write that crosses the limit is
//                        short and later writes write nothing.
//   DiskFullAfter(n)     the same with one budget shared by all such files
//                        (a volume that fills up).
//   FailOpenRead(name)   OpenRead fails for a path that equals `name` or
//                        ends in a delimiter followed by it.
//   FailCreate(name)     Create and OpenReadWrite fail likewise.
//   CutReads(name, n, error, fromPass)
//                        reads of that file reach no further than n bytes,
//                        from its fromPass-th pass on (a pass starts with a
//                        read at position 0; 1 is the first): they stop
//                        there as if the file ended, or fail when error.
// Moves and deletions: FailMoveFile / FailDeleteFile / FailRecycleFile with
//   Fail::Once (the next call fails, later ones work) or Fail::Always.
//   FailMoveFile covers renames (RenameFile) too.
//   VolumePerFolder(true): every folder is a volume of its own, so a rename
//   between two folders fails with the system's cross-device error and
//   MoveFile has to copy (through Create, so DiskFullAfter reaches it).
//   Moves, deletions and recycles that succeed are recorded. RecycleFile
//   deletes the file instead of filling the user's real recycle bin or
//   trash (it still fails for a name that does not exist).
// Volumes: SimulateVolume(root, v) answers VolumeInformation, DriveType,
//   DiskFreeSpace and SetVolumeLabel for `root` from `v` (other roots go to
//   the system). Volume(root) reaches the record to change it mid-test (a
//   disk inserted, a label read back); written labels are also logged.
//   SetCriticalErrorMode is recorded and does not reach the system.
// Searches: MarkFolders(bits) adds attribute bits to every folder a search
//   reports (Windows folders may carry read-only, hidden or archive).
//   FailSearch(name) makes FindFirst fail for a folder whose path, without
//   a trailing delimiter, equals `name` or ends in a delimiter and it (a
//   folder that cannot be read or searched, as root cannot make one).
// After an injected failure LastErrorText() is "Simulated fault" and
// LastErrorCode() the code of the fault (a full disk, a cross-device
// rename, or access denied) until the next call to one of the overridden
// operations that reaches the system.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace vix::test {

class FaultPlatform : public platform::Platform {
 public:
  enum class Fail { Never, Once, Always };

  struct Volume {
    bool Ready = true;            // false: volume information and space fail
    int FailuresBeforeReady = 0;  // that many volume reads fail first
    bool SpaceReadable = true;    // false: DiskFreeSpace fails
    uint8_t Type = platform::kDriveFixed;
    std::string Label;
    platform::ClusterInfo Clusters{1, 512, 1000, 2000};
    bool LabelWritable = true;
  };

  static constexpr int64_t kNoLimit = -1;

  // --- configuration
  void ShortWriteAfter(int64_t bytes) { perFileLimit_ = bytes; }
  void DiskFullAfter(int64_t bytes) { *diskLeft_ = bytes; }
  void FailOpenRead(const std::string& name) { failOpenRead_.insert(name); }
  void FailCreate(const std::string& name) { failCreate_.insert(name); }
  void CutReads(const std::string& name, int64_t after, bool error, int fromPass = 1) {
    cut_ = {name, after, error, fromPass};
  }
  void FailMoveFile(Fail mode) { failMove_ = mode; }
  void FailDeleteFile(Fail mode) { failDelete_ = mode; }
  void FailRecycleFile(Fail mode) { failRecycle_ = mode; }
  void SimulateVolume(const std::string& root, const Volume& volume) { volumes_[root] = volume; }
  Volume& VolumeAt(const std::string& root) { return volumes_.at(root); }
  void MarkFolders(uint32_t bits) { folderBits_ = bits; }
  void FailSearch(const std::string& name) { failSearch_.insert(name); }
  void VolumePerFolder(bool on) { volumePerFolder_ = on; }

  // --- what happened
  std::vector<std::pair<std::string, std::string>> Moved;         // from, to
  std::vector<std::string> Deleted;
  std::vector<std::string> Recycled;
  std::vector<std::pair<std::string, std::string>> LabelsWritten; // root, label
  std::vector<uint32_t> ErrorModes;                               // SetCriticalErrorMode arguments
  int MoveCalls = 0, DeleteCalls = 0, RecycleCalls = 0, VolumeReads = 0;
  // Bytes accepted by all files written through this platform.
  int64_t BytesWritten() const { return *written_; }

  // --- the services
  platform::FileHandle OpenRead(const std::string& path, platform::ShareMode share) override;
  platform::FileHandle OpenReadWrite(const std::string& path) override;
  platform::FileHandle Create(const std::string& path, bool overwrite) override;
  bool MoveFile(const std::string& from, const std::string& to) override;
  bool RenameFile(const std::string& from, const std::string& to, bool replace) override;
  bool DeleteFile(const std::string& path) override;
  bool RecycleFile(const std::string& path) override;
  bool VolumeInformation(const std::string& root, std::string& label) override;
  uint8_t DriveType(const std::string& root) override;
  bool DiskFreeSpace(const std::string& root, platform::ClusterInfo& info) override;
  bool SetVolumeLabel(const std::string& root, const std::string& label) override;
  uint32_t SetCriticalErrorMode(uint32_t mode) override;
  std::unique_ptr<platform::FindHandle> FindFirst(const std::string& folder,
                                                  const std::string& mask) override;
  std::string LastErrorText() override;
  int LastErrorCode() override;

 private:
  static bool NameIn(const std::string& path, const std::set<std::string>& names);
  bool Inject(Fail& mode);
  void Fault(int code) { faulted_->Code = code; }
  platform::FileHandle Wrap(platform::FileHandle file);
  Volume* Simulated(const std::string& root);

  int64_t perFileLimit_ = kNoLimit;
  std::shared_ptr<int64_t> diskLeft_ = std::make_shared<int64_t>(kNoLimit);
  std::shared_ptr<int64_t> written_ = std::make_shared<int64_t>(0);
  std::set<std::string> failOpenRead_, failCreate_;
  Fail failMove_ = Fail::Never, failDelete_ = Fail::Never, failRecycle_ = Fail::Never;
  std::map<std::string, Volume> volumes_;
  uint32_t errorMode_ = 0;
  uint32_t folderBits_ = 0;
  std::set<std::string> failSearch_;
  bool volumePerFolder_ = false;
  bool inMove_ = false;
  struct Cut {
    std::string Name;
    int64_t After = 0;
    bool Error = false;
    int FromPass = 1;
  } cut_;
  // The code of the injected failure that LastErrorText and LastErrorCode
  // report, 0 when the last call reached the system; shared with the files
  // this platform made, whose writes a full disk stops.
  struct Faulted {
    int Code = 0;
  };
  std::shared_ptr<Faulted> faulted_ = std::make_shared<Faulted>();
};

}  // namespace vix::test
