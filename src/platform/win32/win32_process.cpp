// The running program on Windows: its path, environment, arguments, special
// folders and the console.
#include "platform/win32/win32_util.h"

#include <io.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <iostream>

#include "platform/platform.h"

namespace vix::platform {

std::string ProgramPath() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return "";
  return detail::Narrow(buffer.data(), n);
}

std::string EnvironmentVariable(const std::string& name) {
  const std::wstring wide = detail::Widen(name);
  const DWORD n = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (n == 0) return "";
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(wide.c_str(), &value[0], n);
  return got < n ? detail::Narrow(value.data(), got) : "";
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(detail::Narrow(std::wstring(wide[i])));
  LocalFree(wide);
  return out;
}

std::string SpecialFolderPath(int csidl) {
  wchar_t path[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path))) return "";
  return detail::Narrow(std::wstring(path));
}

bool IsTerminal(int stream) { return _isatty(stream) != 0; }

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

bool ReadSecretLine(std::string& line) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(in, &mode) != 0;
  if (console) SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  const bool ok = static_cast<bool>(std::getline(std::cin, line));
  if (console) {
    SetConsoleMode(in, mode);
    std::fputs("\n", stderr);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return ok;
}

bool ReadLineUnless(std::string& line, const std::function<bool()>& stop) {
  // A console read ends when Ctrl-C is pressed; the caller's flag says so.
  const bool ok = static_cast<bool>(std::getline(std::cin, line));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (stop && stop()) return false;
  return ok;
}

}  // namespace vix::platform
