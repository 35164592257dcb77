#include "support/files.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vix::test {
namespace fs = std::filesystem;

std::string operator/(const std::string& a, const std::string& b) {
  fs::path p = fs::u8path(a);
  p /= fs::u8path(b);
  return p.u8string();
}

std::string NativePath(std::string path) {
  for (char& c : path)
    if (c == '/') c = static_cast<char>(fs::path::preferred_separator);
  return path;
}

void WriteFile(const std::string& path, const Bytes& data) {
  const fs::path p = fs::u8path(path);
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot create " + path);
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) return {};
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return fs::exists(fs::u8path(path)); }

int64_t UnixMTime(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

}  // namespace vix::test
