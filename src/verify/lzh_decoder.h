// The verifier's "-lh5-"/"-lh6-" decoder: the static Huffman blocks as the
// LZH encoder writes them (a 16-bit count of codes, then the code-length,
// character and position tables), read from a ByteSource into an
// OutputWindow. Safe on any input: tables must form complete codes, every
// match must lie inside the data decoded so far and the entry's size.
#pragma once

#include <cstdint>
#include <string>

#include "verify/byte_io.h"

namespace vix::verify {

class LzhDecoder {
 public:
  // dicbit 13 for "-lh5-", up to 16 for "-lh6-"/"-lh7-" streams.
  explicit LzhDecoder(int dicbit);
  // Decodes exactly `size` bytes. False with Error() set otherwise.
  bool Run(ByteSource& in, OutputWindow& out, uint64_t size);
  const std::string& Error() const { return error_; }
  static size_t Reach(int dicbit) { return size_t{1} << dicbit; }

  struct Table {
    static constexpr int kFastBits = 10;
    int single = -1;  // the only symbol, when the table was sent as one
    uint16_t fast[1 << kFastBits];  // symbol << 5 | length; 0 for "longer"
    uint32_t first[17], count[17], offset[17];
    uint16_t sorted[512];
    uint8_t len[512];
  };

 private:
  bool Fail(const char* what);
  bool Need(int n);
  uint32_t Peek(int n) const {
    return static_cast<uint32_t>((buf_ >> (count_ - n)) & ((uint64_t{1} << n) - 1));
  }
  uint32_t Bits(int n) {
    const uint32_t v = Peek(n);
    count_ -= n;
    return v;
  }
  bool Build(Table& t, int alphabet);
  int Decode(const Table& t);
  bool ReadPtLen(Table& t, int alphabet, int nbit, int special);
  bool ReadCLen();

  int np_, pbit_;
  ByteSource* in_ = nullptr;
  uint64_t buf_ = 0;
  int count_ = 0, past_ = 0;
  std::string error_;
  Table t_{}, c_{}, p_{};
};

}  // namespace vix::verify
