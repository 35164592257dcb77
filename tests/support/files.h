// Files of a test as bytes, and paths built with "/": dir / "src" / "a.txt".
// Paths are UTF-8 text, as the components take them, on every system. Like
// TempDir these use the standard library, not the platform layer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vix::test {

// Joins path pieces with the native delimiter.
std::string operator/(const std::string& a, const std::string& b);
inline std::string operator/(const std::string& a, const char* b) { return a / std::string(b); }
inline std::string operator/(const TempDir& dir, const std::string& name) { return dir.Join(name); }
inline std::string operator/(const TempDir& dir, const char* name) { return dir.Join(name); }

// A path written with "/" in the system's own spelling.
std::string NativePath(std::string path);

// Writes the file, creating missing folders; throws when it cannot.
void WriteFile(const std::string& path, const Bytes& data);
void WriteFile(const std::string& path, const std::string& text);
// The whole file; empty when it cannot be read.
Bytes ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Seconds since 1970 of the file's last write, as the system keeps them.
int64_t UnixMTime(const std::string& path);

// Little-endian fields at a pointer, and of a buffer (std::string or Bytes)
// where out of range throws.
inline uint32_t Le16(const uint8_t* p) { return p[0] | p[1] << 8; }
inline uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
template <class Buffer>
uint32_t Le16(const Buffer& b, size_t at) {
  return static_cast<uint8_t>(b.at(at)) | static_cast<uint8_t>(b.at(at + 1)) << 8;
}
template <class Buffer>
uint32_t Le32(const Buffer& b, size_t at) {
  return Le16(b, at) | Le16(b, at + 2) << 16;
}

}  // namespace vix::test
