#include "support/reference.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vix::test {

uint32_t ReferenceCrc32(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return crc ^ 0xFFFFFFFFu;
}

uint16_t ReferenceCrc16(const std::vector<uint8_t>& bytes) {
  uint16_t crc = 0;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

std::vector<uint8_t> CorpusSlice(const char* name, size_t offset, size_t size) {
  const char* env = std::getenv("VIX_CORPUS");
  const std::string dir = env ? env : std::string(VIX_SOURCE_DIR) + "/../shared/corpus";
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen((dir + "/" + name).c_str(), "rb");
  if (!f) return bytes;
  if (std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0) {
    bytes.resize(size);
    bytes.resize(std::fread(bytes.data(), 1, size, f));
  }
  std::fclose(f);
  return bytes;
}

}  // namespace vix::test
