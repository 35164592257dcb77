// Volumes, time, ticks and error texts with the Win32 API.
#include "platform/win32/win32_util.h"

#include "platform/platform.h"

namespace vix::platform {
namespace {

SystemTime Copy(const SYSTEMTIME& s) {
  SystemTime t;
  t.Year = s.wYear;
  t.Month = s.wMonth;
  t.DayOfWeek = s.wDayOfWeek;
  t.Day = s.wDay;
  t.Hour = s.wHour;
  t.Minute = s.wMinute;
  t.Second = s.wSecond;
  t.Milliseconds = s.wMilliseconds;
  return t;
}

}  // namespace

bool Platform::VolumeInformation(const std::string& root, std::string& label) {
  label.clear();
  if (root.empty()) {  // the system would take the current drive
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  wchar_t name[MAX_PATH + 1] = L"";
  if (!GetVolumeInformationW(detail::Widen(root).c_str(), name, MAX_PATH + 1, nullptr, nullptr, nullptr,
                             nullptr, 0))
    return false;
  label = detail::Narrow(name, wcslen(name));
  return true;
}

uint8_t Platform::DriveType(const std::string& root) {
  if (root.empty()) return kDriveNoRoot;
  return static_cast<uint8_t>(GetDriveTypeW(detail::Widen(root).c_str()));
}

bool Platform::DiskFreeSpace(const std::string& root, ClusterInfo& info) {
  if (root.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  DWORD perCluster, perSector, free, total;
  if (!GetDiskFreeSpaceW(detail::Widen(root).c_str(), &perCluster, &perSector, &free, &total)) return false;
  info.SectorsPerCluster = perCluster;
  info.BytesPerSector = perSector;
  info.FreeClusters = free;
  info.TotalClusters = total;
  return true;
}

bool Platform::SetVolumeLabel(const std::string& root, const std::string& label) {
  return SetVolumeLabelW(detail::Widen(root).c_str(), detail::Widen(label).c_str()) != 0;
}

uint32_t Platform::SetCriticalErrorMode(uint32_t mode) { return SetErrorMode(mode); }

TimeZoneInfo Platform::TimeZone() {
  TIME_ZONE_INFORMATION tzi{};
  TimeZoneInfo zone;
  if (GetTimeZoneInformation(&tzi) == TIME_ZONE_ID_INVALID) return zone;
  zone.Bias = tzi.Bias;
  zone.StandardDate = Copy(tzi.StandardDate);
  zone.StandardBias = tzi.StandardBias;
  zone.DaylightDate = Copy(tzi.DaylightDate);
  zone.DaylightBias = tzi.DaylightBias;
  return zone;
}

uint32_t Platform::TickCount() { return GetTickCount(); }

uint32_t Platform::NowDosStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return PackDosStamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

std::string Platform::LastErrorText() {
  const DWORD error = GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n && text) out = detail::Narrow(text, n);
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ')) out.pop_back();
  if (out.empty()) out = "Error " + std::to_string(error);
  SetLastError(error);
  return out;
}

}  // namespace vix::platform

namespace vix::platform {

int Platform::LastErrorCode() {
  const DWORD code = GetLastError();
  return code ? static_cast<int>(code) : ERROR_GEN_FAILURE;
}

namespace {

class Win32Library final : public SharedLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { FreeLibrary(module_); }
  void* Proc(const char* name) override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<SharedLibrary> LoadSharedLibrary(const std::string& name) {
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryW(detail::Widen(name).c_str());
  SetErrorMode(previous);
  if (!module) return nullptr;
  return std::make_unique<Win32Library>(module);
}

}  // namespace vix::platform
