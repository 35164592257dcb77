// Names, attributes, folders and directory search with the wide Win32 API.
#include "platform/win32/win32_util.h"

#include <shellapi.h>

#include <vector>

#include "platform/platform.h"

namespace vix::platform {
namespace {

using detail::Narrow;
using detail::Widen;

bool EndsWithDelimiter(const std::string& s) {
  return !s.empty() && (s.back() == '\\' || s.back() == '/' || s.back() == ':');
}

void Fill(const WIN32_FIND_DATAW& w, FindData& out) {
  out.Name = Narrow(w.cFileName, wcslen(w.cFileName));
  out.Attr = w.dwFileAttributes & ~uint32_t{kAttrSpecial};
  out.Size = static_cast<uint64_t>(w.nFileSizeHigh) << 32 | w.nFileSizeLow;
  out.Time = detail::DosStampOf(w.ftLastWriteTime);
}

class Win32Find final : public FindHandle {
 public:
  // `h` is INVALID_HANDLE_VALUE for a search that matched nothing.
  Win32Find(HANDLE h, const WIN32_FIND_DATAW& first) : h_(h), first_(first), pending_(h != INVALID_HANDLE_VALUE) {}
  ~Win32Find() override {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  bool Next(FindData& out) override {
    if (h_ == INVALID_HANDLE_VALUE) return false;
    if (pending_) {
      pending_ = false;
      Fill(first_, out);
      return true;
    }
    WIN32_FIND_DATAW w;
    if (!FindNextFileW(h_, &w)) return false;
    Fill(w, out);
    return true;
  }

 private:
  HANDLE h_;
  WIN32_FIND_DATAW first_;
  bool pending_;
};

// The full path of a name in a buffer grown to fit.
std::wstring FullPathW(const std::wstring& name) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetFullPathNameW(name.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n + 1);
  }
}

}  // namespace

uint32_t Platform::GetAttributes(const std::string& path) {
  return GetFileAttributesW(Widen(path).c_str());
}

bool Platform::SetAttributes(const std::string& path, uint32_t attr) {
  // Only these bits can be set; a plain file without any of them is "normal".
  constexpr uint32_t kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                 FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const uint32_t bits = attr & kSettable;
  return SetFileAttributesW(Widen(path).c_str(), bits ? bits : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool Platform::RenameFile(const std::string& from, const std::string& to, bool replace) {
  return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                     replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

FileId Platform::Identity(const std::string& path) {
  FileId id;
  HANDLE h = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return id;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info)) {
    id.Volume = info.dwVolumeSerialNumber;
    id.Index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    id.Known = true;
  }
  CloseHandle(h);
  return id;
}

void Platform::CopyFileMetadata(const std::string& from, const std::string& to) {
  detail::KeepLastError keep;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Widen(from).c_str(), GetFileExInfoStandard, &data)) return;
  HANDLE h = CreateFileW(Widen(to).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    SetFileTime(h, nullptr, nullptr, &data.ftLastWriteTime);
    CloseHandle(h);
  }
  SetFileAttributesW(Widen(to).c_str(), data.dwFileAttributes);
}

int CrossDeviceError() { return ERROR_NOT_SAME_DEVICE; }
int DiskFullError() { return ERROR_DISK_FULL; }
int FileExistsError() { return ERROR_ALREADY_EXISTS; }
void SetLastErrorCode(int code) { SetLastError(static_cast<DWORD>(code)); }

bool Platform::SetLastWriteTime(const std::string& path, int64_t unixSeconds) {
  HANDLE h = CreateFileW(Widen(path).c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // File times count 100 ns steps from 1601-01-01.
  const uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const bool ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
  CloseHandle(h);
  return ok;
}

bool Platform::DeleteFile(const std::string& path) { return DeleteFileW(Widen(path).c_str()) != 0; }

bool Platform::RecycleFile(const std::string& path) {
  std::wstring full = FullPathW(Widen(path));
  if (full.empty() || GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  full.push_back(L'\0');  // the list of names ends with an empty one
  SHFILEOPSTRUCTW op{};
  op.wFunc = FO_DELETE;
  op.pFrom = full.c_str();
  op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI | FOF_RENAMEONCOLLISION;
  const int result = SHFileOperationW(&op);
  if (result == 0 && !op.fAnyOperationsAborted) return true;
  // The shell's own codes above 0x70 are no system error codes.
  SetLastError(result > 0 && result < 0x71 ? static_cast<DWORD>(result) : ERROR_ACCESS_DENIED);
  return false;
}

bool Platform::CreateDirectory(const std::string& path) {
  return CreateDirectoryW(Widen(path).c_str(), nullptr) != 0;
}

bool Platform::RemoveDirectory(const std::string& path) {
  return RemoveDirectoryW(Widen(path).c_str()) != 0;
}

// The mask goes to the system, which applies its own wildcard rules.
std::unique_ptr<FindHandle> Platform::FindFirst(const std::string& folder, const std::string& mask) {
  const std::string pattern = folder.empty() || EndsWithDelimiter(folder) ? folder + mask : folder + "\\" + mask;
  WIN32_FIND_DATAW first;
  HANDLE h = FindFirstFileW(Widen(pattern).c_str(), &first);
  if (h == INVALID_HANDLE_VALUE) {
    // The folder is there but nothing matched: an empty search, not a failure.
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return std::make_unique<Win32Find>(h, first);
    return nullptr;
  }
  return std::make_unique<Win32Find>(h, first);
}

std::string Platform::TempFolder() {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH + 1) return {};
  return Narrow(buffer, n);
}

std::string Platform::UniqueTempFile(const std::string& folder, const std::string& prefix) {
  static const char kDigits[] = "0123456789abcdef";
  static uint32_t counter = GetTickCount();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = prefix + std::to_string(GetCurrentProcessId()) + "-";
    uint32_t r = ++counter * 2654435761u;
    for (int i = 0; i < 6; ++i, r >>= 4) name += kDigits[r & 15];
    name += ".tmp";
    const std::string path = EndsWithDelimiter(folder) || folder.empty() ? folder + name : folder + "\\" + name;
    HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return path;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  return {};
}

int Platform::RemoveStaleTempFiles(const std::string& folder, const std::string& prefix,
                                   int minAgeSeconds) {
  const std::string base = folder.empty() || EndsWithDelimiter(folder) ? folder : folder + "\\";
  WIN32_FIND_DATAW w;
  HANDLE h = FindFirstFileW(Widen(base + prefix + "*.tmp").c_str(), &w);
  if (h == INVALID_HANDLE_VALUE) return 0;
  detail::KeepLastError keep;
  FILETIME nowFt;
  GetSystemTimeAsFileTime(&nowFt);
  auto ticks = [](const FILETIME& f) { return static_cast<uint64_t>(f.dwHighDateTime) << 32 | f.dwLowDateTime; };
  const uint64_t now = ticks(nowFt);
  int removed = 0;
  do {
    if (w.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::string name = Narrow(w.cFileName, wcslen(w.cFileName));
    const long pid = TempFileOwner(name, prefix);
    if (pid <= 0 || static_cast<DWORD>(pid) == GetCurrentProcessId()) continue;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process) {
      const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
      CloseHandle(process);
      if (!exited) continue;
    } else if (GetLastError() != ERROR_INVALID_PARAMETER) {
      continue;  // there, but not ours to look at: alive
    }
    if (now - ticks(w.ftLastWriteTime) < static_cast<uint64_t>(minAgeSeconds) * 10000000u) continue;
    if (DeleteFileW(Widen(base + name).c_str())) ++removed;
  } while (FindNextFileW(h, &w));
  FindClose(h);
  return removed;
}

std::string Platform::CurrentDirectory() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n == 0) return {};
    if (n < buffer.size()) return Narrow(buffer.data(), n);
    buffer.resize(n + 1);
  }
}

bool Platform::SetCurrentDirectory(const std::string& path) {
  return SetCurrentDirectoryW(Widen(path).c_str()) != 0;
}

std::string Platform::FullPath(const std::string& path) {
  if (path.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return {};
  }
  return Narrow(FullPathW(Widen(path)));
}

ListingSnapshot::ListingSnapshot() = default;
ListingSnapshot::~ListingSnapshot() = default;

}  // namespace vix::platform
