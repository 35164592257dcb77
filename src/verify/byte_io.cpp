#include "verify/byte_io.h"

#include <algorithm>
#include <cstring>

#include "archive/kvtCrc.h"

namespace vix::verify {

namespace {
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kDrainPiece = 1 << 20;
}  // namespace

bool MemoryAccess::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (offset > size_ || count > size_ - offset) return false;
  if (count) std::memcpy(buffer, data_ + offset, count);
  return true;
}

StreamAccess::StreamAccess(platform::Stream& stream) : stream_(stream) {
  const int64_t size = stream.Size();
  size_ = size > 0 ? static_cast<uint64_t>(size) : 0;
}

bool StreamAccess::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (offset > size_ || count > size_ - offset) return false;
  if (position_ != offset) {
    position_ = UINT64_MAX;
    if (!stream_.Seek(static_cast<int64_t>(offset), platform::Origin::Begin)) return false;
    position_ = offset;
  }
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const int64_t got = stream_.Read(p + done, count - done);
    if (got <= 0) {
      position_ = UINT64_MAX;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  position_ = offset + count;
  return true;
}

ByteSource::ByteSource(RandomAccess& file, uint64_t offset, uint64_t length)
    : file_(file), offset_(offset), length_(length) {
  // A range past the end is cut to the data: reading it then ends early.
  const uint64_t size = file.Size();
  if (offset_ > size) offset_ = size;
  if (length_ > size - offset_) length_ = size - offset_;
}

bool ByteSource::Refill() {
  if (failed_ || consumed_ >= length_) return false;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, length_ - consumed_));
  buffer_.resize(n);
  if (!file_.ReadAt(offset_ + consumed_, buffer_.data(), n)) {
    failed_ = true;
    return false;
  }
  if (Transform) Transform(buffer_.data(), n);
  consumed_ += n;
  p_ = buffer_.data();
  end_ = p_ + n;
  return true;
}

size_t ByteSource::Read(uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (p_ == end_ && !Refill()) break;
    const size_t n = std::min(count - done, static_cast<size_t>(end_ - p_));
    std::memcpy(buffer + done, p_, n);
    p_ += n;
    done += n;
  }
  return done;
}

OutputWindow::OutputWindow(size_t reach, ByteSink sink)
    : reach_(reach), limit_(reach + kDrainPiece), sink_(std::move(sink)) {
  buffer_.reserve(limit_ + 1024);
}

void OutputWindow::Append(const uint8_t* data, size_t size) {
  buffer_.insert(buffer_.end(), data, data + size);
  if (buffer_.size() >= limit_) Drain();
}

bool OutputWindow::Copy(uint32_t distance, uint32_t length) {
  if (buffer_.size() + length >= limit_) Drain();
  if (distance == 0 || distance > buffer_.size()) return false;
  const size_t at = buffer_.size();
  buffer_.resize(at + length);
  uint8_t* out = buffer_.data() + at;
  const uint8_t* from = out - distance;
  // Byte by byte: a short distance repeats what this copy has just made.
  for (uint32_t i = 0; i < length; ++i) out[i] = from[i];
  return true;
}

void OutputWindow::Flush() {
  if (handed_ < buffer_.size() && sink_) sink_(buffer_.data() + handed_, buffer_.size() - handed_);
  handed_ = buffer_.size();
}

void OutputWindow::Drain() {
  Flush();
  if (buffer_.size() <= reach_) return;
  const size_t drop = buffer_.size() - reach_;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
  dropped_ += drop;
  handed_ = buffer_.size();
}

void CrcCounter::Add(const uint8_t* data, size_t size) {
  UpdateCrc32(data, size, State);
  Bytes += size;
}

}  // namespace vix::verify
