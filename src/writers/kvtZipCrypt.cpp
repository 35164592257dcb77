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

bool InputCrc32(platform::Stream& input, uint32_t size, uint32_t& crc) {
  constexpr uint32_t kChunk = 100000;
  if (!input.Seek(0, platform::Origin::Begin)) return false;
  std::vector<uint8_t> buffer(size < kChunk ? size : kChunk);
  uint32_t reg = 0xFFFFFFFF;
  uint32_t left = size;
  while (left > 0) {
    const uint32_t want = left < kChunk ? left : kChunk;
    const int64_t got = input.Read(buffer.data(), want);
    if (got <= 0) break;
    UpdateCrc32(buffer.data(), static_cast<size_t>(got), reg);
    left -= static_cast<uint32_t>(got);
  }
  const bool rewound = input.Seek(0, platform::Origin::Begin);
  crc = reg ^ 0xFFFFFFFF;
  return left == 0 && rewound;
}

}  // namespace vix
