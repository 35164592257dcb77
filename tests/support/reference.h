// Independent references the engine and writer tests compare against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vix::test {

// CRC-32 (ISO-HDLC) and CRC-16 (ARC) bit by bit, with none of the
// library's tables.
uint32_t ReferenceCrc32(const void* data, size_t size);
inline uint32_t ReferenceCrc32(const std::vector<uint8_t>& bytes) {
  return ReferenceCrc32(bytes.data(), bytes.size());
}
uint16_t ReferenceCrc16(const std::vector<uint8_t>& bytes);

// Up to `size` bytes of a corpus file from `offset`; empty when the corpus
// is missing. The corpus lies beside the repository unless VIX_CORPUS
// names it.
std::vector<uint8_t> CorpusSlice(const char* name, size_t offset, size_t size);

}  // namespace vix::test
