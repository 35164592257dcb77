// A small "-lh5-"/"-lh6-" decoder for the tests: it reads the stream the
// way the format describes it, bit by bit, checks everything it reads, and
// can record the tokens and the table forms of each block.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vix::testing_lzh {

struct LzhToken {
  uint32_t Length;    // 0 for a literal
  uint32_t Distance;  // for a match
  uint8_t Literal;
};

struct LzhBlockInfo {
  uint32_t Codes = 0;
  bool SingleCharSymbol = false;    // character table sent as one symbol
  bool SingleLengthSymbol = false;  // code-length table sent as one symbol
  bool SinglePosSymbol = false;     // position table sent as one symbol
};

class LzhDecoder {
 public:
  // dicbit 13 for "-lh5-", 14 for our "-lh6-" (15 and 16 are read too).
  LzhDecoder(const uint8_t* data, size_t size, int dicbit)
      : data_(data), size_(size), np_(dicbit + 1), pbit_(dicbit >= 14 ? 5 : 4) {}

  bool RecordTokens = false;
  std::vector<LzhToken> Tokens;
  std::vector<LzhBlockInfo> Blocks;

  // Decodes `outSize` bytes; throws std::runtime_error on a malformed stream.
  std::vector<uint8_t> Decode(size_t outSize) {
    std::vector<uint8_t> out;
    out.reserve(outSize);
    uint32_t left = 0;
    while (out.size() < outSize) {
      if (left == 0) {
        left = Bits(16);
        if (left == 0) Fail("empty block");
        ReadBlockTables(left);
      }
      --left;
      const int c = DecodeSymbol(c_);
      if (c < 256) {
        out.push_back(static_cast<uint8_t>(c));
        if (RecordTokens) Tokens.push_back({0, 0, static_cast<uint8_t>(c)});
        continue;
      }
      const uint32_t length = static_cast<uint32_t>(c) - 253;
      uint32_t p = static_cast<uint32_t>(DecodeSymbol(p_));
      if (p > 1) p = (1u << (p - 1)) + Bits(static_cast<int>(p - 1));
      const uint32_t distance = p + 1;
      if (distance > out.size()) Fail("distance before the start");
      if (out.size() + length > outSize) Fail("match runs past the end");
      if (RecordTokens) Tokens.push_back({length, distance, 0});
      for (uint32_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
    }
    return out;
  }

  size_t BytesConsumed() const { return (bitPos_ + 7) / 8; }

 private:
  struct Table {
    std::vector<uint8_t> len;
    int single = -1;  // the only symbol, when sent as one
    // Canonical decoding: per length the first code, the count and the
    // index of its first symbol in `sorted`.
    uint32_t first[17] = {}, count[17] = {}, offset[17] = {};
    std::vector<uint16_t> sorted;
  };

  [[noreturn]] static void Fail(const std::string& what) {
    throw std::runtime_error("lzh stream: " + what);
  }

  uint32_t Bit() {
    if (bitPos_ >= size_ * 8) Fail("stream ends early");
    const uint32_t b = (data_[bitPos_ / 8] >> (7 - bitPos_ % 8)) & 1u;
    ++bitPos_;
    return b;
  }
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }

  static void Build(Table& t, int alphabet) {
    if (t.single >= 0) {
      if (t.single >= alphabet) Fail("single symbol out of range");
      return;
    }
    t.len.resize(alphabet, 0);
    uint32_t code = 0, index = 0;
    for (int l = 1; l <= 16; ++l) {
      t.count[l] = 0;
      for (int s = 0; s < alphabet; ++s)
        if (t.len[s] == l) ++t.count[l];
    }
    t.sorted.clear();
    for (int l = 1; l <= 16; ++l) {
      t.first[l] = code;
      t.offset[l] = index;
      for (int s = 0; s < alphabet; ++s)
        if (t.len[s] == l) t.sorted.push_back(static_cast<uint16_t>(s));
      index += t.count[l];
      code = (code + t.count[l]) << 1;
    }
    // A complete prefix code fills the 16-bit code space exactly.
    if (code != (1u << 17)) Fail("incomplete or oversubscribed code");
  }

  int DecodeSymbol(const Table& t) {
    if (t.single >= 0) return t.single;
    uint32_t code = 0;
    for (int l = 1; l <= 16; ++l) {
      code = (code << 1) | Bit();
      if (code - t.first[l] < t.count[l]) return t.sorted[t.offset[l] + code - t.first[l]];
    }
    Fail("no code matches");
  }

  void ReadPtLen(Table& t, int alphabet, int nbit, int special) {
    t = Table();
    const int n = static_cast<int>(Bits(nbit));
    if (n == 0) {
      t.single = static_cast<int>(Bits(nbit));
      Build(t, alphabet);
      return;
    }
    if (n > alphabet) Fail("table count too large");
    t.len.assign(alphabet, 0);
    int i = 0;
    while (i < n) {
      uint32_t c = Bits(3);
      if (c == 7)
        while (Bit()) {
          if (++c > 16) Fail("code length above 16");
        }
      t.len[i++] = static_cast<uint8_t>(c);
      if (i == special) {
        i += static_cast<int>(Bits(2));
        if (i > n) Fail("skip past the count");
      }
    }
    Build(t, alphabet);
  }

  void ReadCLen() {
    c_ = Table();
    const int n = static_cast<int>(Bits(9));
    if (n == 0) {
      c_.single = static_cast<int>(Bits(9));
      Build(c_, 510);
      return;
    }
    if (n > 510) Fail("character count too large");
    c_.len.assign(510, 0);
    int i = 0;
    while (i < n) {
      const int c = DecodeSymbol(t_);
      if (c > 2) {
        c_.len[i++] = static_cast<uint8_t>(c - 2);
        continue;
      }
      const int run = c == 0 ? 1 : c == 1 ? static_cast<int>(Bits(4)) + 3
                                          : static_cast<int>(Bits(9)) + 20;
      if (i + run > n) Fail("zero run past the count");
      i += run;
    }
    Build(c_, 510);
  }

  void ReadBlockTables(uint32_t codes) {
    LzhBlockInfo info;
    info.Codes = codes;
    ReadPtLen(t_, 19, 5, 3);
    info.SingleLengthSymbol = t_.single >= 0;
    ReadCLen();
    info.SingleCharSymbol = c_.single >= 0;
    ReadPtLen(p_, np_, pbit_, -1);
    info.SinglePosSymbol = p_.single >= 0;
    Blocks.push_back(info);
  }

  const uint8_t* data_;
  size_t size_;
  size_t bitPos_ = 0;
  int np_, pbit_;
  Table t_, c_, p_;
};

}  // namespace vix::testing_lzh
