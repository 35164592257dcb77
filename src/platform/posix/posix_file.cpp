// Buffered file handles over POSIX descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace vix::platform {
namespace {

// Large enough that the engines' small blocks rarely reach the system.
constexpr size_t kWriteBuffer = 64 * 1024;

using detail::DosStampOf;
using detail::WriteAll;


class PosixFile final : public File {
 public:
  PosixFile(int fd, bool writable) : fd_(fd), writable_(writable) {}
  ~PosixFile() override { Close(); }

  int64_t Read(void* buffer, size_t count) override {
    // Reads must see the bytes written before them.
    if (!FlushBuffer()) return -1;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
      const ssize_t n = ::read(fd_, out + done, count - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return done ? static_cast<int64_t>(done) : -1;
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
  }

  int64_t Write(const void* buffer, size_t count) override {
    if (fd_ < 0 || !writable_ || failed_) {
      // A handle opened for reading fails here, not later at a flush.
      errno = failed_ ? error_ : EBADF;
      return 0;
    }
    const auto* in = static_cast<const uint8_t*>(buffer);
    if (buffer_.size() + count > kWriteBuffer && !FlushBuffer()) return 0;
    if (count >= kWriteBuffer) return static_cast<int64_t>(WriteAll(fd_, in, count));
    buffer_.insert(buffer_.end(), in, in + count);
    return static_cast<int64_t>(count);
  }

  bool Seek(int64_t distance, Origin origin) override {
    if (!FlushBuffer()) return false;
    const int whence = origin == Origin::Begin ? SEEK_SET
                       : origin == Origin::Current ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_, static_cast<off_t>(distance), whence) >= 0;
  }

  int64_t Position() override {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<int64_t>(at) + static_cast<int64_t>(buffer_.size());
  }

  int64_t Size() override {
    struct stat st;
    if (!FlushBuffer() || ::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  bool SetEnd() override {
    if (!FlushBuffer()) return false;
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    return at >= 0 && ::ftruncate(fd_, at) == 0;
  }

  bool Flush() override { return FlushBuffer(); }

  bool Close() override {
    if (fd_ < 0) return !failed_;
    bool ok = FlushBuffer();
    int saved = errno;
    if (::close(fd_) != 0 && ok) {
      ok = false;
      saved = errno;
    }
    fd_ = -1;
    errno = saved;
    return ok;
  }

  uint32_t DosTime(int which) override {
    FlushBuffer();
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    switch (which) {
      case 0: {
        // Birth time where the file system keeps one, else the last write.
        struct statx sx;
        if (::statx(fd_, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 &&
            (sx.stx_mask & STATX_BTIME))
          return DosStampOf(static_cast<time_t>(sx.stx_btime.tv_sec));
        return DosStampOf(st.st_mtime);
      }
      case 2:
        return DosStampOf(st.st_atime);
      default:
        return DosStampOf(st.st_mtime);
    }
  }

 private:
  // A failure is sticky: the bytes it lost make everything after it
  // suspect, so every later flushing call and Close() report it.
  bool FlushBuffer() {
    if (fd_ < 0) {
      errno = EBADF;
      return false;
    }
    if (failed_) {
      errno = error_;
      return false;
    }
    if (buffer_.empty()) return true;
    const size_t done = WriteAll(fd_, buffer_.data(), buffer_.size());
    if (done < buffer_.size()) {
      failed_ = true;
      error_ = errno;
    }
    buffer_.clear();
    return !failed_;
  }

  int fd_;
  bool writable_;
  std::vector<uint8_t> buffer_;
  bool failed_ = false;
  int error_ = 0;
};

// Opens without blocking (a FIFO would wait for a writer) and refuses
// anything that is not a regular file: FIFOs, sockets and devices can block
// forever or never end.
int OpenRegular(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  int err = 0;
  if (::fstat(fd, &st) != 0)
    err = errno;
  else if (!S_ISREG(st.st_mode))
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  if (err) {
    ::close(fd);
    errno = err;
    return -1;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

}  // namespace

// Sharing restrictions cannot be enforced on Linux: advisory locks bind
// only programs that ask for them, so `share` is accepted and not enforced.
FileHandle Platform::OpenRead(const std::string& path, ShareMode /*share*/) {
  const int fd = OpenRegular(path, O_RDONLY);
  return fd < 0 ? nullptr : std::make_unique<PosixFile>(fd, false);
}

FileHandle Platform::OpenReadWrite(const std::string& path) {
  const int fd = OpenRegular(path, O_RDWR);
  return fd < 0 ? nullptr : std::make_unique<PosixFile>(fd, true);
}

FileHandle Platform::Create(const std::string& path, bool overwrite) {
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
  const int fd = ::open(path.c_str(), flags, 0666);
  return fd < 0 ? nullptr : std::make_unique<PosixFile>(fd, true);
}

}  // namespace vix::platform
