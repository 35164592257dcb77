// The parts of the platform layer that need no operating system: memory
// streams, the replaceable service object and the user-interface hooks.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace vix::platform {

bool ReadExactly(Stream& source, void* buffer, size_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const int64_t got = source.Read(p, count);
    if (got <= 0) return false;
    p += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

// ---------------------------------------------------------------------------
// MemoryStream

int64_t MemoryStream::Read(void* buffer, size_t count) {
  const int64_t size = static_cast<int64_t>(data_.size());
  if (pos_ >= size || count == 0) return 0;
  const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size - pos_));
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += static_cast<int64_t>(n);
  return static_cast<int64_t>(n);
}

int64_t MemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return 0;
  const size_t end = static_cast<size_t>(pos_) + count;
  // Writing past the end fills the gap with zeros, as a file would.
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ = static_cast<int64_t>(end);
  return static_cast<int64_t>(count);
}

bool MemoryStream::Seek(int64_t distance, Origin origin) {
  int64_t base = 0;
  switch (origin) {
    case Origin::Begin: base = 0; break;
    case Origin::Current: base = pos_; break;
    case Origin::End: base = static_cast<int64_t>(data_.size()); break;
  }
  const int64_t target = base + distance;
  if (target < 0) return false;
  pos_ = target;
  return true;
}

bool MemoryStream::SetEnd() {
  data_.resize(static_cast<size_t>(pos_));
  return true;
}

// ---------------------------------------------------------------------------
// The installed services

namespace {

Platform& RealPlatform() {
  static Platform real;
  return real;
}

Platform* installed = nullptr;

}  // namespace

Platform& Current() { return installed ? *installed : RealPlatform(); }

ScopedPlatform::ScopedPlatform(Platform& replacement) : previous_(installed) {
  installed = &replacement;
}

ScopedPlatform::~ScopedPlatform() { installed = previous_; }

// SEM_FAILCRITICALERRORS: the system fails the call instead of asking.
constexpr uint32_t kFailCriticalErrors = 0x0001;

CriticalErrorsOff::CriticalErrorsOff()
    : previous_(Current().SetCriticalErrorMode(kFailCriticalErrors)) {}

CriticalErrorsOff::~CriticalErrorsOff() { Current().SetCriticalErrorMode(previous_); }

// ---------------------------------------------------------------------------
// Moving files

namespace {

std::string FolderOf(const std::string& path) {
  size_t split = path.find_last_of(kNativeStyle.Drives ? "\\/:" : "/");
  return split == std::string::npos ? std::string() : path.substr(0, split + 1);
}

}  // namespace

long TempFileOwner(const std::string& name, const std::string& prefix) {
  constexpr size_t kExtLength = 4;  // ".tmp"
  if (name.size() <= prefix.size() + kExtLength || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - kExtLength, kExtLength, ".tmp") != 0)
    return 0;
  long pid = 0;
  size_t i = prefix.size();
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < 100000000; ++i)
    pid = pid * 10 + (name[i] - '0');
  return i > prefix.size() && i < name.size() && name[i] == '-' ? pid : 0;
}

bool Platform::MoveFile(const std::string& from, const std::string& to) {
  if (RenameFile(from, to, false)) return true;
  if (LastErrorCode() != CrossDeviceError()) return false;
  return MoveAcrossVolumes(from, to);
}

// The copy is made under a temporary name in the target's folder and takes
// the target's name only once it is complete, so a full disk or a failed
// read never leaves a truncated file under that name; the original goes
// only after that.
bool Platform::MoveAcrossVolumes(const std::string& from, const std::string& to) {
  if (GetAttributes(to) != kNoAttributes) {
    SetLastErrorCode(FileExistsError());
    return false;
  }
  FileHandle in = OpenRead(from, ShareMode::None);
  if (!in) return false;
  std::string folder = FolderOf(to);
  if (folder.empty()) folder = CurrentDirectory();
  const std::string beside = UniqueTempFile(folder, "kvt");
  if (beside.empty()) return false;
  bool ok = false;
  {
    FileHandle out = Create(beside, true);
    if (out) {
      std::vector<char> buffer(256 * 1024);
      ok = true;
      for (;;) {
        const int64_t n = in->Read(buffer.data(), buffer.size());
        if (n <= 0) {
          ok = n == 0;
          break;
        }
        if (out->Write(buffer.data(), static_cast<size_t>(n)) != n) {
          ok = false;
          break;
        }
      }
      if (!out->Close()) ok = false;
    }
  }
  in.reset();
  if (ok) {
    CopyFileMetadata(from, beside);
    ok = RenameFile(beside, to, false);
  }
  if (!ok) {
    KeepLastError keep;
    DeleteFile(beside);
    return false;
  }
  if (!DeleteFile(from)) {
    // Both names now hold the file; the move did not happen.
    KeepLastError keep;
    DeleteFile(to);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// User-interface hooks

UiHooks& Ui() {
  static UiHooks hooks;
  return hooks;
}

void PumpMessages() {
  if (Ui().PumpMessages) Ui().PumpMessages();
}

void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) {
  if (Ui().MessageBox) Ui().MessageBox(text, caption, icon);
}

bool AskYesNo(const std::string& text, const std::string& caption) {
  return Ui().AskYesNo && Ui().AskYesNo(text, caption) == Answer::Yes;
}

bool AskRetryCancel(const std::string& text, const std::string& caption) {
  return Ui().AskRetryCancel && Ui().AskRetryCancel(text, caption) == Answer::Retry;
}

std::string& ApplicationTitle() {
  static std::string title = "Pelmoran Vix";
  return title;
}

}  // namespace vix::platform
