// File handles over Win32 handles (the buffer above them is shared).
#include "platform/win32/win32_util.h"

#include <algorithm>

#include "platform/buffered_file.h"
#include "platform/platform.h"

namespace vix::platform {
namespace {

// The most one ReadFile or WriteFile call is asked to move.
constexpr DWORD kMaxChunk = 1u << 30;

DWORD Chunk(size_t count) { return static_cast<DWORD>(std::min<size_t>(count, kMaxChunk)); }

// The raw calls over a Win32 handle.
class Win32File final : public detail::RawFile {
 public:
  explicit Win32File(HANDLE h) : h_(h) {}

  int64_t ReadSome(void* buffer, size_t count) override {
    DWORD n = 0;
    return ReadFile(h_, buffer, Chunk(count), &n, nullptr) ? static_cast<int64_t>(n) : -1;
  }

  int64_t WriteSome(const void* data, size_t count) override {
    DWORD n = 0;
    return WriteFile(h_, data, Chunk(count), &n, nullptr) ? static_cast<int64_t>(n) : -1;
  }

  int64_t Seek(int64_t distance, Origin origin) override {
    LARGE_INTEGER d, at;
    d.QuadPart = distance;
    const DWORD method = origin == Origin::Begin ? FILE_BEGIN
                         : origin == Origin::Current ? FILE_CURRENT : FILE_END;
    return SetFilePointerEx(h_, d, &at, method) ? at.QuadPart : -1;
  }

  int64_t Tell() override {
    LARGE_INTEGER zero, at;
    zero.QuadPart = 0;
    return SetFilePointerEx(h_, zero, &at, FILE_CURRENT) ? at.QuadPart : -1;
  }

  int64_t Size() override {
    LARGE_INTEGER size;
    return GetFileSizeEx(h_, &size) ? size.QuadPart : -1;
  }

  bool Truncate() override { return SetEndOfFile(h_) != 0; }

  bool Close() override { return CloseHandle(h_) != 0; }

  uint32_t DosTime(int which) override {
    FILETIME created, accessed, written;
    if (!GetFileTime(h_, &created, &accessed, &written)) return 0;
    return detail::DosStampOf(which == 0 ? created : which == 2 ? accessed : written);
  }

 private:
  HANDLE h_;
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
  return std::make_unique<detail::BufferedFile>(std::make_unique<Win32File>(h),
                                                (access & GENERIC_WRITE) != 0);
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

namespace detail {

int SystemErrorCode() { return static_cast<int>(GetLastError()); }
int ClosedHandleError() { return ERROR_INVALID_HANDLE; }
int NotWritableError() { return ERROR_ACCESS_DENIED; }

}  // namespace detail

}  // namespace vix::platform
