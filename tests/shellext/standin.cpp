// Stands in for PLM_VIX.EXE beside VIXSHEXT.dll: records the command line it
// was started with and its arguments as the C runtime splits them, in UTF-8,
// to started.txt in its own folder.
#include <windows.h>

#include <string>

namespace {
std::string Utf8(const wchar_t* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
  return s;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::string record = "cmdline " + Utf8(GetCommandLineW()) + "\n";
  for (int i = 1; i < argc; ++i) record += "arg " + Utf8(argv[i]) + "\n";
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  path.resize(path.find_last_of(L'\\') + 1);
  const std::wstring temp = path + L"started.part", done = path + L"started.txt";
  HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(f, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(f);
  return MoveFileW(temp.c_str(), done.c_str()) ? 0 : 1;
}
