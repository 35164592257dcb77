// Independent references the engine and writer tests compare against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vix::test {

// CRC-32 (ISO-HDLC) bit by bit, with none of the library's tables.
uint32_t ReferenceCrc32(const std::vector<uint8_t>& bytes);

// Up to `size` bytes of a corpus file from `offset`; empty when the corpus
// is missing. The corpus lies beside the repository unless VIX_CORPUS
// names it.
std::vector<uint8_t> CorpusSlice(const char* name, size_t offset, size_t size);

}  // namespace vix::test
