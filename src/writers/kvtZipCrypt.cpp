#include "writers/kvtZipCrypt.h"

#include <chrono>
#include <random>
#include <vector>

#include "archive/kvtCrc.h"

namespace vix {

namespace {

// Seeded once per process from the system's entropy and the clock, and never
// reseeded, so entries written within one clock tick still get different
// header bytes.
std::mt19937& HeaderRandom() {
  static std::mt19937 generator = [] {
    std::random_device device;
    const auto ticks = static_cast<uint32_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::seed_seq seed{device(), device(), ticks};
    return std::mt19937(seed);
  }();
  return generator;
}

}  // namespace

EncryptionHeader MakeEncryptionHeader(const std::string& password, uint32_t crc) {
  InitCipherKeys(password);
  std::uniform_int_distribution<int> draw(0, 32766);
  EncryptionHeader header{};
  for (uint32_t i = 0; i < kEncryptionHeaderSize - 2; ++i)
    header[i] = EncryptByte(static_cast<uint8_t>(draw(HeaderRandom()) >> 7));
  header[10] = EncryptByte(static_cast<uint8_t>(crc >> 16));
  header[11] = EncryptByte(static_cast<uint8_t>(crc >> 24));
  return header;
}

}  // namespace vix
