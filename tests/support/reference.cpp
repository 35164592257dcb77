#include "support/reference.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vix::test {

uint32_t ReferenceCrc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return crc ^ 0xFFFFFFFFu;
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
