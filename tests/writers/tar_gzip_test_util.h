// Scratch folders and file helpers shared by the TAR and GZIP writer tests.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
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
inline std::string operator/(const std::string& a, const std::string& b) {
  std::filesystem::path p(a);
  p /= std::filesystem::path(b);
  return p.string();
}
inline std::string operator/(const std::string& a, const char* b) { return a / std::string(b); }

inline void WriteFile(const std::string& path, const Bytes& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + path);
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

inline void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

inline Bytes ReadFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  Bytes data;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + n);
  std::fclose(f);
  return data;
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
