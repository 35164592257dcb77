// The write buffer, its failure latch and the closing report, for every
// platform.
#include "platform/buffered_file.h"

#include <utility>

namespace vix::platform::detail {

BufferedFile::BufferedFile(std::unique_ptr<RawFile> raw, bool writable)
    : raw_(std::move(raw)), writable_(writable) {}

BufferedFile::~BufferedFile() { Close(); }

int64_t BufferedFile::Read(void* buffer, size_t count) {
  // Reads must see the bytes written before them.
  if (!FlushBuffer()) return -1;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const int64_t n = raw_->ReadSome(out + done, count - done);
    if (n < 0) return done ? static_cast<int64_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (at_ >= 0) at_ += static_cast<int64_t>(done);
  return static_cast<int64_t>(done);
}

int64_t BufferedFile::Write(const void* buffer, size_t count) {
  if (!raw_ || !writable_ || failed_) {
    // A handle opened for reading fails here, not later at a flush.
    SetLastErrorCode(failed_ ? error_ : NotWritableError());
    return 0;
  }
  const auto* in = static_cast<const uint8_t*>(buffer);
  if (buffer_.size() + count > kBufferSize && !FlushBuffer()) return 0;
  if (count >= kBufferSize) return static_cast<int64_t>(WriteAll(in, count));
  buffer_.insert(buffer_.end(), in, in + count);
  return static_cast<int64_t>(count);
}

bool BufferedFile::Seek(int64_t distance, Origin origin) {
  if (!FlushBuffer()) return false;
  // A move to where the handle is already costs no call (writers rewind
  // every source they open).
  if (at_ >= 0 && ((origin == Origin::Begin && distance == at_) ||
                   (origin == Origin::Current && distance == 0)))
    return true;
  const int64_t at = raw_->Seek(distance, origin);
  // A failed move may have left the system's position anywhere.
  at_ = at;
  return at >= 0;
}

int64_t BufferedFile::Position() {
  if (!raw_) {
    SetLastErrorCode(ClosedHandleError());
    return -1;
  }
  if (at_ < 0) at_ = raw_->Tell();
  return at_ < 0 ? -1 : at_ + static_cast<int64_t>(buffer_.size());
}

int64_t BufferedFile::Size() { return FlushBuffer() ? raw_->Size() : -1; }

bool BufferedFile::SetEnd() { return FlushBuffer() && raw_->Truncate(); }

bool BufferedFile::Flush() { return FlushBuffer(); }

bool BufferedFile::Close() {
  if (!raw_) return !failed_;
  bool ok = FlushBuffer();
  // The flush's reason wins over the close's: it is the first failure.
  int error = SystemErrorCode();
  if (!raw_->Close() && ok) {
    ok = false;
    error = SystemErrorCode();
  }
  raw_.reset();
  SetLastErrorCode(error);
  return ok;
}

uint32_t BufferedFile::DosTime(int which) {
  // The stamps of a file with bytes still buffered would be those before
  // the last writes.
  FlushBuffer();
  return raw_ ? raw_->DosTime(which) : 0;
}

// A failure is sticky: the bytes it lost make everything after it suspect,
// so every later flushing call and Close() report it.
bool BufferedFile::FlushBuffer() {
  if (!raw_) {
    SetLastErrorCode(ClosedHandleError());
    return false;
  }
  if (failed_) {
    SetLastErrorCode(error_);
    return false;
  }
  if (buffer_.empty()) return true;
  const size_t done = WriteAll(buffer_.data(), buffer_.size());
  if (done < buffer_.size()) {
    failed_ = true;
    error_ = SystemErrorCode();
  }
  buffer_.clear();
  return !failed_;
}

// Writes all of `count` bytes unless the system refuses; returns the number
// written (the system's last error tells why when short).
size_t BufferedFile::WriteAll(const uint8_t* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    const int64_t n = raw_->WriteSome(data + done, count - done);
    if (n < 0) break;
    if (n == 0) {
      // A system that takes nothing and names no reason has no room left.
      SetLastErrorCode(DiskFullError());
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (at_ >= 0) at_ += static_cast<int64_t>(done);
  return done;
}

}  // namespace vix::platform::detail
