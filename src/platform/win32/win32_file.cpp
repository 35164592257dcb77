// Buffered file handles over Win32 handles.
#include "platform/win32/win32_util.h"

#include <algorithm>
#include <vector>

#include "platform/platform.h"

namespace vix::platform {
namespace {

// Large enough that the engines' small blocks rarely reach the system.
constexpr size_t kWriteBuffer = 64 * 1024;
constexpr DWORD kMaxChunk = 1u << 30;

// Writes all of `count` bytes unless the system refuses; returns the number
// written (GetLastError tells why when short).
size_t WriteAll(HANDLE h, const uint8_t* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, kMaxChunk));
    if (!WriteFile(h, data + done, chunk, &n, nullptr)) break;
    if (n == 0) {
      SetLastError(ERROR_DISK_FULL);
      break;
    }
    done += n;
  }
  return done;
}

class Win32File final : public File {
 public:
  Win32File(HANDLE h, bool writable) : h_(h), writable_(writable) {}
  ~Win32File() override { Close(); }

  int64_t Read(void* buffer, size_t count) override {
    // Reads must see the bytes written before them.
    if (!FlushBuffer()) return -1;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, kMaxChunk));
      if (!ReadFile(h_, out + done, chunk, &n, nullptr)) return done ? static_cast<int64_t>(done) : -1;
      if (n == 0) break;
      done += n;
    }
    return static_cast<int64_t>(done);
  }

  int64_t Write(const void* buffer, size_t count) override {
    if (h_ == INVALID_HANDLE_VALUE || !writable_ || failed_) {
      // A handle opened for reading fails here, not later at a flush.
      SetLastError(failed_ ? error_ : ERROR_ACCESS_DENIED);
      return 0;
    }
    const auto* in = static_cast<const uint8_t*>(buffer);
    if (buffer_.size() + count > kWriteBuffer && !FlushBuffer()) return 0;
    if (count >= kWriteBuffer) return static_cast<int64_t>(WriteAll(h_, in, count));
    buffer_.insert(buffer_.end(), in, in + count);
    return static_cast<int64_t>(count);
  }

  bool Seek(int64_t distance, Origin origin) override {
    if (!FlushBuffer()) return false;
    LARGE_INTEGER d;
    d.QuadPart = distance;
    const DWORD method = origin == Origin::Begin ? FILE_BEGIN
                         : origin == Origin::Current ? FILE_CURRENT : FILE_END;
    return SetFilePointerEx(h_, d, nullptr, method) != 0;
  }

  int64_t Position() override {
    LARGE_INTEGER zero, at;
    zero.QuadPart = 0;
    if (h_ == INVALID_HANDLE_VALUE || !SetFilePointerEx(h_, zero, &at, FILE_CURRENT)) return -1;
    return at.QuadPart + static_cast<int64_t>(buffer_.size());
  }

  int64_t Size() override {
    LARGE_INTEGER size;
    if (!FlushBuffer() || !GetFileSizeEx(h_, &size)) return -1;
    return size.QuadPart;
  }

  bool SetEnd() override { return FlushBuffer() && SetEndOfFile(h_); }

  bool Flush() override { return FlushBuffer(); }

  bool Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return !failed_;
    bool ok = FlushBuffer();
    DWORD error = GetLastError();
    if (!CloseHandle(h_) && ok) {
      ok = false;
      error = GetLastError();
    }
    h_ = INVALID_HANDLE_VALUE;
    SetLastError(error);
    return ok;
  }

  uint32_t DosTime(int which) override {
    FlushBuffer();
    FILETIME created, accessed, written;
    if (h_ == INVALID_HANDLE_VALUE || !GetFileTime(h_, &created, &accessed, &written)) return 0;
    return detail::DosStampOf(which == 0 ? created : which == 2 ? accessed : written);
  }

 private:
  // A failure is sticky: the bytes it lost make everything after it
  // suspect, so every later flushing call and Close() report it.
  bool FlushBuffer() {
    if (h_ == INVALID_HANDLE_VALUE) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    if (failed_) {
      SetLastError(error_);
      return false;
    }
    if (buffer_.empty()) return true;
    const size_t done = WriteAll(h_, buffer_.data(), buffer_.size());
    if (done < buffer_.size()) {
      failed_ = true;
      error_ = GetLastError();
    }
    buffer_.clear();
    return !failed_;
  }

  HANDLE h_;
  bool writable_;
  std::vector<uint8_t> buffer_;
  bool failed_ = false;
  DWORD error_ = 0;
};

FileHandle Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  const std::wstring name = detail::Widen(path);
  HANDLE h = CreateFileW(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  // Folders open only with backup semantics, but a device name (CON, NUL,
  // a pipe) would open, and reading one may never end: only disk files are
  // read here.
  if (disposition == OPEN_EXISTING && GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return std::make_unique<Win32File>(h, (access & GENERIC_WRITE) != 0);
}

}  // namespace

FileHandle Platform::OpenRead(const std::string& path, ShareMode share) {
  return Open(path, GENERIC_READ, share == ShareMode::Read ? FILE_SHARE_READ : 0, OPEN_EXISTING);
}

FileHandle Platform::OpenReadWrite(const std::string& path) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
}

FileHandle Platform::Create(const std::string& path, bool overwrite) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, 0, overwrite ? CREATE_ALWAYS : CREATE_NEW);
}

}  // namespace vix::platform
