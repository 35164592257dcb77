// Inside the deflate engine: the core is one algorithm that reads from a
// source and writes to a sink; DeflateFile (component block operations) and
// DeflateMemoryBlock (memory) each supply one. Not for use outside the
// engine and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vix::deflate_core {

// Where the core's input comes from and its output goes to.
class DeflateIo {
 public:
  virtual ~DeflateIo() = default;
  // False once the source knows it has nothing more to give (the file's
  // InputLeft reached 0); the core then stops reading without a call.
  virtual bool MoreInput() = 0;
  // Up to `count` bytes; 0 at the end, -1 on a read error (both end input).
  virtual int64_t Read(uint8_t* buffer, uint32_t count) = 0;
  // Hands bytes of the stream on. `buffer` may point into the window, so a
  // sink that transforms bytes (encryption) must copy them first.
  virtual void Write(const uint8_t* buffer, uint32_t count) = 0;
  // The whole input went out as plain bytes without block structure.
  virtual void StoredFallback() {}
  // A code-length code outside 1..15 was about to be sent (cannot happen for
  // trees this engine builds).
  virtual void LengthOutOfRange() {}

  // Set by the source when the run has been cancelled. The flag can only
  // change while the component runs its handlers, i.e. inside Read, so the
  // core reads this copy instead of asking the component at every step.
  bool Cancelled = false;
};

struct Options {
  int Level = 7;                     // 1..9 (the configuration table's row)
  bool AllowStoredFallback = false;
  const uint8_t* History = nullptr;  // bytes that precede the input
  size_t HistoryLength = 0;          // at most 32768 are used
};

// Compresses everything the source gives into one raw deflate stream.
// Returns the bytes written; an empty input writes nothing and returns 0.
uint64_t Run(DeflateIo& io, const Options& options);

// The Huffman code lengths the engine's tree builder gives for these
// frequencies, limited to maxBits (tests).
std::vector<uint8_t> CodeLengths(const std::vector<uint32_t>& frequencies, int maxBits);

}  // namespace vix::deflate_core
