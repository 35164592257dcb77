// The verifier's inflater (raw deflate, RFC 1951). It reads its input from
// a ByteSource and writes into an OutputWindow, so that one window can
// carry the 32 KiB history from one MSZIP block to the next. Safe on any
// input: every length, distance and code is checked; a bad stream is an
// error, never a crash.
#pragma once

#include <cstdint>
#include <string>

#include "verify/byte_io.h"

namespace vix::verify {

inline constexpr uint32_t kDeflateReach = 32768;

class Inflater {
 public:
  // Decodes one deflate stream up to its final block. `limit` bounds the
  // bytes it may produce (a stream that makes more is refused). False with
  // Error() set on a malformed stream.
  bool Run(ByteSource& in, OutputWindow& out, uint64_t limit = UINT64_MAX);
  const std::string& Error() const { return error_; }
  // Input bytes the stream used (its last byte included).
  uint64_t BytesUsed() const { return used_; }

  // A decoding table: a first-level look-up by the next kFastBits bits and
  // canonical counts for longer codes.
  struct Table {
    static constexpr int kFastBits = 9;
    uint16_t fast[1 << kFastBits];  // symbol << 4 | length; 0 for "longer"
    uint16_t count[16];
    uint16_t symbol[320];
  };

 private:
  bool Fail(const char* what);
  bool Need(int n) { return count_ >= n || Refill(n); }
  bool Refill(int n);
  uint32_t Bits(int n) {
    const uint32_t v = static_cast<uint32_t>(buf_ & ((uint64_t{1} << n) - 1));
    buf_ >>= n;
    count_ -= n;
    return v;
  }
  bool Build(Table& t, const uint8_t* lengths, int n, bool codeLengths, bool fixed);
  int Decode(const Table& t);
  bool Dynamic();
  bool Codes(OutputWindow& out, uint64_t limit);
  bool Stored(OutputWindow& out, uint64_t limit);

  ByteSource* in_ = nullptr;
  uint64_t buf_ = 0;
  int count_ = 0;
  int past_ = 0;  // zero bits added past the end of the input
  uint64_t used_ = 0;
  uint64_t made_ = 0;
  std::string error_;
  Table lit_{}, dist_{};
};

}  // namespace vix::verify
