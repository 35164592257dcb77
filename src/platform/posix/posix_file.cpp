// File handles over POSIX descriptors (the buffer above them is shared).
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/buffered_file.h"
#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace vix::platform {
namespace {

using detail::DosStampOf;

// The raw calls over a POSIX descriptor.
class PosixFile final : public detail::RawFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}

  int64_t ReadSome(void* buffer, size_t count) override {
    ssize_t n;
    do n = ::read(fd_, buffer, count);
    while (n < 0 && errno == EINTR);
    return n;
  }

  int64_t WriteSome(const void* data, size_t count) override {
    ssize_t n;
    do n = ::write(fd_, data, count);
    while (n < 0 && errno == EINTR);
    return n;
  }

  int64_t Seek(int64_t distance, Origin origin) override {
    const int whence = origin == Origin::Begin ? SEEK_SET
                       : origin == Origin::Current ? SEEK_CUR : SEEK_END;
    const off_t at = ::lseek(fd_, static_cast<off_t>(distance), whence);
    return at < 0 ? -1 : static_cast<int64_t>(at);
  }

  int64_t Tell() override {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<int64_t>(at);
  }

  int64_t Size() override {
    struct stat st;
    return ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  }

  bool Truncate() override {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    return at >= 0 && ::ftruncate(fd_, at) == 0;
  }

  bool Close() override { return ::close(fd_) == 0; }

  uint32_t DosTime(int which) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return 0;
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
  int fd_;
};

FileHandle Buffered(int fd, bool writable) {
  if (fd < 0) return nullptr;
  return std::make_unique<detail::BufferedFile>(std::make_unique<PosixFile>(fd), writable);
}

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
  // O_NONBLOCK stays: it has no effect on a regular file.
  return fd;
}

}  // namespace

// Sharing restrictions cannot be enforced on Linux: advisory locks bind
// only programs that ask for them, so `share` is accepted and not enforced.
FileHandle Platform::OpenRead(const std::string& path, ShareMode /*share*/) {
  return Buffered(OpenRegular(path, O_RDONLY), false);
}

FileHandle Platform::OpenReadWrite(const std::string& path) {
  return Buffered(OpenRegular(path, O_RDWR), true);
}

FileHandle Platform::Create(const std::string& path, bool overwrite) {
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
  return Buffered(::open(path.c_str(), flags, 0666), true);
}

namespace detail {

int SystemErrorCode() { return errno; }
int ClosedHandleError() { return EBADF; }
int NotWritableError() { return EBADF; }

}  // namespace detail

}  // namespace vix::platform
