// Huffman codes of the LZH block coder: lengths limited to 16 bits and
// canonical codes, built exactly as the stream format expects them.
#pragma once

#include <cstdint>

namespace vix::lzh {

inline constexpr int kMaxCodeLength = 16;
// The largest alphabet: 256 literals and the lengths 3..256.
inline constexpr int kNC = 510;

// Builds the code of `n` symbols (n <= kNC) from freq[0..n). `freq` must
// hold 2n - 1 entries: the internal nodes' sums are stored behind the
// symbols. Fills len[0..n) and code[0..n). With fewer than two used symbols
// no tree is built: the result is that symbol (0 when none is used), whose
// length stays 0. Otherwise the result is the root node (>= n), and
// freq[root] is the sum of all frequencies.
int MakeTree(int n, uint32_t* freq, uint8_t* len, uint16_t* code);

// Canonical codes for the lengths len[0..n): codes of one length are
// consecutive in symbol order, shorter codes first. `counts[i]` is the
// number of symbols of length i (1..16).
void MakeCode(int n, const uint8_t* len, const uint16_t* counts, uint16_t* code);

}  // namespace vix::lzh
