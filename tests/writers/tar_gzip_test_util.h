// Scratch folders and file helpers shared by the TAR and GZIP writer tests.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/kvtBase.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace vix::testing {

using Bytes = std::vector<uint8_t>;

// A fresh folder below the system's temporary folder, removed afterwards;
// dir / "a" / "b.txt" names a path inside it.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& /*tag*/) {}
  std::string operator/(const std::string& name) const { return dir_.Join(name); }
  const std::string& Path() const { return dir_.Path(); }

 private:
  test::TempDir dir_;
};

// Joins path pieces with the native delimiter: dir / "src" / "a.txt".
// Paths are UTF-8 text, as the components take them, on every system.
inline std::string operator/(const std::string& a, const std::string& b) {
  std::filesystem::path p = std::filesystem::u8path(a);
  p /= std::filesystem::u8path(b);
  return p.u8string();
}
inline std::string operator/(const std::string& a, const char* b) { return a / std::string(b); }

inline void WriteFile(const std::string& path, const Bytes& data) {
  const std::filesystem::path p = std::filesystem::u8path(path);
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot create " + path);
}

inline void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (!in) return {};
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Seconds since 1970 of the file's last write, as the system keeps them.
inline int64_t UnixMTime(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

// The stored form of a path in a TAR header: "/" between the folders.
inline std::string TarName(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

// Collects the codes a component reports.
struct ErrorLog {
  std::vector<int> Codes;
  std::vector<std::string> Messages;
  void Attach(TCompBase& c) {
    c.OnError = [this](TCompBase&, const std::string& file, const std::string& extended,
                       const std::string&, int code) {
      Codes.push_back(code);
      Messages.push_back(file + ": " + extended);
    };
  }
};

inline uint32_t GetLE32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace vix::testing
