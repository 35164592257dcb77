// Windows headers and the helpers the Win32 files of the platform layer
// share. Include this before platform.h: windows.h defines macros (MoveFile,
// DeleteFile, CreateDirectory, MessageBox...) that would rename the
// platform's members, so they are undefined here and the W functions are
// called by their explicit names.
#pragma once

#include <windows.h>

#undef CreateDirectory
#undef CreateFile
#undef DeleteFile
#undef GetCurrentDirectory
#undef MessageBox
#undef MoveFile
#undef RemoveDirectory
#undef SetCurrentDirectory
#undef SetVolumeLabel

#include <string>

#include "platform/dos_stamp.h"

namespace vix::platform::detail {

// UTF-8 to UTF-16 and back at the edge of the system; broken sequences
// become U+FFFD.
std::wstring Widen(const std::string& text);
std::string Narrow(const wchar_t* text, size_t length);
inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

// The DOS stamp (local time) of a system file time (UTC).
// Out-of-range times clamp as on POSIX instead of failing to 0.
inline uint32_t DosStampOf(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME t;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) return 0;
  return PackDosStamp(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// Keeps the last-error code across clean-up calls.
class KeepLastError {
 public:
  KeepLastError() : saved_(GetLastError()) {}
  ~KeepLastError() { SetLastError(saved_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD saved_;
};

}  // namespace vix::platform::detail
