#include "support/sparse_platform.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vix::test {
namespace {

const uint8_t kZeroPage[SparseData::kPage] = {};

// A virtual input: zeros, then the tail.
class GeneratedFile final : public platform::File {
 public:
  GeneratedFile(uint64_t size, std::string tail) : size_(size), tail_(std::move(tail)) {}
  int64_t Read(void* buffer, size_t count) override {
    const uint64_t n = std::min<uint64_t>(count, pos_ < size_ ? size_ - pos_ : 0);
    auto* to = static_cast<uint8_t*>(buffer);
    const uint64_t tailAt = size_ - std::min<uint64_t>(size_, tail_.size());
    for (uint64_t i = 0; i < n;) {
      const uint64_t at = pos_ + i;
      if (at >= tailAt) {
        to[i++] = static_cast<uint8_t>(tail_[at - tailAt]);
        continue;
      }
      const uint64_t zeros = std::min(n - i, tailAt - at);
      std::memset(to + i, 0, zeros);
      i += zeros;
    }
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return 0; }
  bool Seek(int64_t distance, platform::Origin origin) override {
    const int64_t base = origin == platform::Origin::Begin     ? 0
                         : origin == platform::Origin::Current ? static_cast<int64_t>(pos_)
                                                               : static_cast<int64_t>(size_);
    if (base + distance < 0) return false;
    pos_ = static_cast<uint64_t>(base + distance);
    return true;
  }
  int64_t Position() override { return static_cast<int64_t>(pos_); }
  int64_t Size() override { return static_cast<int64_t>(size_); }
  bool SetEnd() override { return false; }
  bool Flush() override { return true; }
  bool Close() override { return true; }
  uint32_t DosTime(int) override { return 0x5A2C6000; }  // 2025-01-12 12:00:00

 private:
  uint64_t size_;
  std::string tail_;
  uint64_t pos_ = 0;
};

// A recorded file: reads and writes go to its sparse data.
class RecordedFile final : public platform::File {
 public:
  explicit RecordedFile(std::shared_ptr<SparseData> data) : data_(std::move(data)) {}
  int64_t Read(void* buffer, size_t count) override {
    const size_t n = data_->Read(pos_, static_cast<uint8_t*>(buffer), count);
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void* buffer, size_t count) override {
    data_->Write(pos_, static_cast<const uint8_t*>(buffer), count);
    pos_ += count;
    return static_cast<int64_t>(count);
  }
  bool Seek(int64_t distance, platform::Origin origin) override {
    const int64_t base = origin == platform::Origin::Begin     ? 0
                         : origin == platform::Origin::Current ? static_cast<int64_t>(pos_)
                                                               : static_cast<int64_t>(data_->Size());
    if (base + distance < 0) return false;
    pos_ = static_cast<uint64_t>(base + distance);
    return true;
  }
  int64_t Position() override { return static_cast<int64_t>(pos_); }
  int64_t Size() override { return static_cast<int64_t>(data_->Size()); }
  bool SetEnd() override {
    data_->Resize(pos_);
    return true;
  }
  bool Flush() override { return true; }
  bool Close() override { return true; }
  uint32_t DosTime(int) override { return 0x5A2C6000; }

 private:
  std::shared_ptr<SparseData> data_;
  uint64_t pos_ = 0;
};

}  // namespace

// --- SparseData ----------------------------------------------------------------

void SparseData::Write(uint64_t at, const uint8_t* data, size_t count) {
  size_ = std::max(size_, at + count);
  while (count > 0) {
    const uint64_t page = at / kPage, in = at % kPage;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, kPage - in));
    auto it = pages_.find(page);
    if (it == pages_.end() && std::memcmp(data, kZeroPage, n) != 0)
      it = pages_.emplace(page, std::vector<uint8_t>(kPage, 0)).first;
    if (it != pages_.end()) std::memcpy(it->second.data() + in, data, n);
    at += n;
    data += n;
    count -= n;
  }
}

size_t SparseData::Read(uint64_t at, uint8_t* to, size_t count) const {
  if (at >= size_) return 0;
  const size_t total = static_cast<size_t>(std::min<uint64_t>(count, size_ - at));
  for (size_t done = 0; done < total;) {
    const uint64_t page = (at + done) / kPage, in = (at + done) % kPage;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(total - done, kPage - in));
    const auto it = pages_.find(page);
    if (it == pages_.end())
      std::memset(to + done, 0, n);
    else
      std::memcpy(to + done, it->second.data() + in, n);
    done += n;
  }
  return total;
}

std::vector<uint8_t> SparseData::Bytes(uint64_t at, size_t count) const {
  std::vector<uint8_t> out(count);
  out.resize(Read(at, out.data(), count));
  return out;
}

void SparseData::Resize(uint64_t size) {
  if (size < size_) {
    // Pages past the end go; the part of the last one beyond it reads as zeros again.
    pages_.erase(pages_.lower_bound((size + kPage - 1) / kPage), pages_.end());
    const auto last = pages_.find(size / kPage);
    if (last != pages_.end())
      std::fill(last->second.begin() + static_cast<std::ptrdiff_t>(size % kPage),
                last->second.end(), 0);
  }
  size_ = size;
}

// --- SparsePlatform --------------------------------------------------------------

std::string SparsePlatform::Key(const std::string& path) { return Platform::FullPath(path); }

void SparsePlatform::AddFile(const std::string& path, uint64_t size, const std::string& tail) {
  platform::FileHandle placeholder = Platform::Create(path, true);
  if (!placeholder || !placeholder->Close())
    throw std::runtime_error("cannot create the placeholder " + path);
  inputs_[Key(path)] = Virtual{size, tail.substr(0, static_cast<size_t>(std::min<uint64_t>(size, tail.size())))};
}

bool SparsePlatform::IsRecorded(const std::string& path) { return outputs_.count(Key(path)) > 0; }

const SparseData& SparsePlatform::Recorded(const std::string& path) {
  const auto it = outputs_.find(Key(path));
  if (it == outputs_.end()) throw std::runtime_error("nothing was recorded as " + path);
  return *it->second;
}

platform::FileHandle SparsePlatform::OpenRead(const std::string& path, platform::ShareMode share) {
  const std::string key = Key(path);
  if (const auto in = inputs_.find(key); in != inputs_.end())
    return std::make_unique<GeneratedFile>(in->second.Size, in->second.Tail);
  if (const auto out = outputs_.find(key); out != outputs_.end()) {
    // Opening fails where the system would (the placeholder went).
    if (!Platform::OpenRead(path, share)) return nullptr;
    return std::make_unique<RecordedFile>(out->second);
  }
  return Platform::OpenRead(path, share);
}

platform::FileHandle SparsePlatform::OpenReadWrite(const std::string& path) {
  platform::FileHandle real = Platform::OpenReadWrite(path);
  if (!real) return nullptr;
  auto& data = outputs_[Key(path)];
  if (!data) {
    // An existing real file becomes a record of its content.
    data = std::make_shared<SparseData>();
    std::vector<uint8_t> buffer(65536);
    for (int64_t n; (n = real->Read(buffer.data(), buffer.size())) > 0;)
      data->Write(data->Size(), buffer.data(), static_cast<size_t>(n));
  }
  real->Close();
  return std::make_unique<RecordedFile>(data);
}

platform::FileHandle SparsePlatform::Create(const std::string& path, bool overwrite) {
  platform::FileHandle real = Platform::Create(path, overwrite);
  if (!real) return nullptr;
  real->Close();
  auto data = std::make_shared<SparseData>();
  outputs_[Key(path)] = data;
  return std::make_unique<RecordedFile>(data);
}

void SparsePlatform::Carry(const std::string& from, const std::string& to) {
  const auto it = outputs_.find(Key(from));
  if (it == outputs_.end()) {
    outputs_.erase(Key(to));
    return;
  }
  auto data = it->second;
  outputs_.erase(it);
  outputs_[Key(to)] = std::move(data);
}

bool SparsePlatform::MoveFile(const std::string& from, const std::string& to) {
  if (!Platform::MoveFile(from, to)) return false;
  Carry(from, to);
  return true;
}

bool SparsePlatform::RenameFile(const std::string& from, const std::string& to, bool replace) {
  if (!Platform::RenameFile(from, to, replace)) return false;
  Carry(from, to);
  return true;
}

bool SparsePlatform::DeleteFile(const std::string& path) {
  if (!Platform::DeleteFile(path)) return false;
  outputs_.erase(Key(path));
  inputs_.erase(Key(path));
  return true;
}

bool SparsePlatform::RecycleFile(const std::string& path) { return DeleteFile(path); }

std::unique_ptr<platform::FindHandle> SparsePlatform::FindFirst(const std::string& folder,
                                                                const std::string& mask) {
  auto real = Platform::FindFirst(folder, mask);
  if (!real) return real;
  // Entries report the virtual or recorded size instead of the placeholder's.
  struct Sized final : platform::FindHandle {
    std::unique_ptr<platform::FindHandle> real;
    SparsePlatform* owner;
    std::string folder;
    bool Next(platform::FindData& out) override {
      if (!real->Next(out)) return false;
      const std::string key = owner->Key(folder + out.Name);
      if (const auto in = owner->inputs_.find(key); in != owner->inputs_.end())
        out.Size = in->second.Size;
      else if (const auto rec = owner->outputs_.find(key); rec != owner->outputs_.end())
        out.Size = rec->second->Size();
      return true;
    }
  };
  auto sized = std::make_unique<Sized>();
  sized->real = std::move(real);
  sized->owner = this;
  sized->folder = folder;
  if (!sized->folder.empty() && sized->folder.back() != '/' && sized->folder.back() != '\\')
    sized->folder += platform::kNativeStyle.Delim;
  return sized;
}

}  // namespace vix::test
