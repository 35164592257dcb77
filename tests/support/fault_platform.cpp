#include "support/fault_platform.h"

#include "support/forwarding_file.h"

#include <algorithm>
#include <functional>

namespace vix::test {
namespace {

// The code of a failure that stands for no particular system error.
constexpr int kSimulatedCode = 5;  // EIO, ERROR_ACCESS_DENIED

// A file whose writes stop at a byte budget: its own, the disk's, or both.
class LimitedFile final : public ForwardingFile {
 public:
  LimitedFile(platform::FileHandle inner, int64_t ownLimit, std::shared_ptr<int64_t> diskLeft,
              std::shared_ptr<int64_t> written, std::function<void()> full)
      : ForwardingFile(std::move(inner)), ownLeft_(ownLimit), diskLeft_(std::move(diskLeft)),
        written_(std::move(written)), full_(std::move(full)) {}

  int64_t Write(const void* buffer, size_t count) override {
    int64_t allowed = static_cast<int64_t>(count);
    if (ownLeft_ >= 0) allowed = std::min(allowed, ownLeft_);
    if (*diskLeft_ >= 0) allowed = std::min(allowed, *diskLeft_);
    const int64_t done = allowed > 0 ? inner_->Write(buffer, static_cast<size_t>(allowed)) : 0;
    if (done > 0) {
      if (ownLeft_ >= 0) ownLeft_ -= done;
      if (*diskLeft_ >= 0) *diskLeft_ -= done;
      *written_ += done;
    }
    if (done < static_cast<int64_t>(count)) full_();
    return done;
  }

 private:
  int64_t ownLeft_;
  std::shared_ptr<int64_t> diskLeft_;
  std::shared_ptr<int64_t> written_;
  std::function<void()> full_;
};

// A file opened for reading whose reads reach no further than `after` bytes
// from its `fromPass`th pass on (a pass starts with a read at position 0):
// they stop there as if the file ended, or fail.
class CutFile final : public ForwardingFile {
 public:
  CutFile(platform::FileHandle inner, int64_t after, bool error, int fromPass)
      : ForwardingFile(std::move(inner)), after_(after), error_(error), fromPass_(fromPass) {}

  int64_t Read(void* buffer, size_t count) override {
    const int64_t at = inner_->Position();
    pass_ += at == 0;
    if (pass_ >= fromPass_ && at + static_cast<int64_t>(count) > after_) {
      if (error_) return -1;
      count = at < after_ ? static_cast<size_t>(after_ - at) : 0;
    }
    return inner_->Read(buffer, count);
  }

 private:
  int64_t after_;
  bool error_;
  int fromPass_;
  int pass_ = 0;
};

}  // namespace

bool FaultPlatform::NameIn(const std::string& path, const std::set<std::string>& names) {
  for (const std::string& name : names) {
    if (path == name) return true;
    if (path.size() > name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0) {
      const char before = path[path.size() - name.size() - 1];
      if (before == '/' || before == '\\') return true;
    }
  }
  return false;
}

bool FaultPlatform::Inject(Fail& mode) {
  const bool fail = mode != Fail::Never;
  Fault(fail ? kSimulatedCode : 0);
  if (mode == Fail::Once) mode = Fail::Never;
  return fail;
}

platform::FileHandle FaultPlatform::Wrap(platform::FileHandle file) {
  if (!file) return file;
  std::shared_ptr<Faulted> faulted = faulted_;
  return std::make_unique<LimitedFile>(std::move(file), perFileLimit_, diskLeft_, written_,
                                       [faulted] { faulted->Code = platform::DiskFullError(); });
}

FaultPlatform::Volume* FaultPlatform::Simulated(const std::string& root) {
  const auto it = volumes_.find(root);
  return it == volumes_.end() ? nullptr : &it->second;
}

platform::FileHandle FaultPlatform::OpenRead(const std::string& path, platform::ShareMode share) {
  Fault(NameIn(path, failOpenRead_) ? kSimulatedCode : 0);
  if (faulted_->Code) return nullptr;
  auto file = Platform::OpenRead(path, share);
  if (file && cut_.Name.size() && NameIn(path, {cut_.Name}))
    return std::make_unique<CutFile>(std::move(file), cut_.After, cut_.Error, cut_.FromPass);
  return file;
}

std::unique_ptr<platform::FindHandle> FaultPlatform::FindFirst(const std::string& folder,
                                                               const std::string& mask) {
  std::string bare = folder;
  while (bare.size() > 1 && (bare.back() == '/' || bare.back() == '\\')) bare.pop_back();
  Fault(NameIn(bare, failSearch_) ? kSimulatedCode : 0);
  if (faulted_->Code) return nullptr;
  auto real = Platform::FindFirst(folder, mask);
  if (!real || folderBits_ == 0) return real;
  struct Marked : platform::FindHandle {
    std::unique_ptr<platform::FindHandle> real;
    uint32_t bits = 0;
    bool Next(platform::FindData& out) override {
      if (!real->Next(out)) return false;
      if (out.Attr & platform::kAttrDirectory) out.Attr |= bits;
      return true;
    }
  };
  auto marked = std::make_unique<Marked>();
  marked->real = std::move(real);
  marked->bits = folderBits_;
  return marked;
}

platform::FileHandle FaultPlatform::OpenReadWrite(const std::string& path) {
  Fault(NameIn(path, failCreate_) ? kSimulatedCode : 0);
  if (faulted_->Code) return nullptr;
  return Wrap(Platform::OpenReadWrite(path));
}

platform::FileHandle FaultPlatform::Create(const std::string& path, bool overwrite) {
  Fault(NameIn(path, failCreate_) ? kSimulatedCode : 0);
  if (faulted_->Code) return nullptr;
  return Wrap(Platform::Create(path, overwrite));
}

bool FaultPlatform::MoveFile(const std::string& from, const std::string& to) {
  ++MoveCalls;
  if (Inject(failMove_)) return false;
  inMove_ = true;
  const bool moved = Platform::MoveFile(from, to);
  inMove_ = false;
  if (!moved) return false;
  Moved.emplace_back(from, to);
  return true;
}

namespace {
std::string FolderOf(const std::string& path) {
  const size_t split = path.find_last_of("/\\");
  return split == std::string::npos ? std::string() : path.substr(0, split);
}
}  // namespace

bool FaultPlatform::RenameFile(const std::string& from, const std::string& to, bool replace) {
  // A rename inside MoveFile is part of the move that was counted.
  if (!inMove_) {
    ++MoveCalls;
    if (Inject(failMove_)) return false;
  }
  if (volumePerFolder_ && FolderOf(from) != FolderOf(to)) {
    Fault(platform::CrossDeviceError());
    return false;
  }
  Fault(0);
  if (!Platform::RenameFile(from, to, replace)) return false;
  if (!inMove_) Moved.emplace_back(from, to);
  return true;
}

bool FaultPlatform::DeleteFile(const std::string& path) {
  ++DeleteCalls;
  // A deletion must not hide why the call before it failed.
  if (faulted_->Code && failDelete_ == Fail::Never) {
    const int code = faulted_->Code;
    const bool deleted = Platform::DeleteFile(path);
    Fault(code);
    if (deleted) Deleted.push_back(path);
    return deleted;
  }
  if (Inject(failDelete_)) return false;
  if (!Platform::DeleteFile(path)) return false;
  Deleted.push_back(path);
  return true;
}

bool FaultPlatform::RecycleFile(const std::string& path) {
  ++RecycleCalls;
  if (Inject(failRecycle_)) return false;
  if (!Platform::DeleteFile(path)) return false;  // tests keep the real trash clean
  Recycled.push_back(path);
  return true;
}

bool FaultPlatform::VolumeInformation(const std::string& root, std::string& label) {
  ++VolumeReads;
  Volume* v = Simulated(root);
  Fault(0);
  if (!v) return Platform::VolumeInformation(root, label);
  if (v->FailuresBeforeReady > 0) {
    --v->FailuresBeforeReady;
    Fault(kSimulatedCode);
    return false;
  }
  Fault(v->Ready ? 0 : kSimulatedCode);
  if (faulted_->Code) return false;
  label = v->Label;
  return true;
}

uint8_t FaultPlatform::DriveType(const std::string& root) {
  Fault(0);
  const Volume* v = Simulated(root);
  return v ? v->Type : Platform::DriveType(root);
}

bool FaultPlatform::DiskFreeSpace(const std::string& root, platform::ClusterInfo& info) {
  Fault(0);
  const Volume* v = Simulated(root);
  if (!v) return Platform::DiskFreeSpace(root, info);
  Fault(!v->Ready || !v->SpaceReadable ? kSimulatedCode : 0);
  if (faulted_->Code) return false;
  info = v->Clusters;
  return true;
}

bool FaultPlatform::SetVolumeLabel(const std::string& root, const std::string& label) {
  Fault(0);
  Volume* v = Simulated(root);
  if (!v) return Platform::SetVolumeLabel(root, label);
  Fault(!v->Ready || !v->LabelWritable ? kSimulatedCode : 0);
  if (faulted_->Code) return false;
  v->Label = label;
  LabelsWritten.emplace_back(root, label);
  return true;
}

uint32_t FaultPlatform::SetCriticalErrorMode(uint32_t mode) {
  ErrorModes.push_back(mode);
  return std::exchange(errorMode_, mode);
}

std::string FaultPlatform::LastErrorText() {
  return faulted_->Code ? "Simulated fault" : Platform::LastErrorText();
}

int FaultPlatform::LastErrorCode() {
  return faulted_->Code ? faulted_->Code : Platform::LastErrorCode();
}

}  // namespace vix::test
