// A small, slow inflater for the tests: decodes a raw deflate stream
// (RFC 1951) written from the RFC, not from the engine, and records what
// each block was (type, final flag, items, matches, longest match), so that
// tests can check the engine's block choices as well as its output.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vix::test {

struct InflatedBlock {
  int Type = -1;  // 0 stored, 1 fixed, 2 dynamic
  bool Final = false;
  size_t Items = 0;    // literals and matches (stored bytes count as items)
  size_t Matches = 0;
  int LongestMatch = 0;
  int MaxDistance = 0;
  bool UsedSymbol285 = false;
};

struct Inflated {
  std::vector<uint8_t> Data;  // without the preset history
  std::vector<InflatedBlock> Blocks;
  size_t BytesUsed = 0;       // input bytes up to the end of the final block
};

class TestInflater {
 public:
  // Throws std::runtime_error on any malformed stream.
  static Inflated Run(const uint8_t* in, size_t size, const std::vector<uint8_t>& history = {}) {
    TestInflater t(in, size);
    std::vector<uint8_t> out = history;
    Inflated result;
    for (;;) {
      InflatedBlock block;
      block.Final = t.Bits(1) != 0;
      block.Type = static_cast<int>(t.Bits(2));
      if (block.Type == 0) {
        t.bitBuf_ = 0;  // to the byte boundary
        t.bitCount_ = 0;
        const uint32_t len = t.Bits(16), nlen = t.Bits(16);
        if ((len ^ 0xFFFF) != nlen) throw std::runtime_error("stored length check");
        for (uint32_t i = 0; i < len; ++i) out.push_back(static_cast<uint8_t>(t.Bits(8)));
        block.Items = len;
      } else if (block.Type == 1 || block.Type == 2) {
        Huffman lit, dist;
        if (block.Type == 1) {
          std::vector<uint8_t> l(288), d(30, 5);
          for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
          lit.Build(l, Huffman::kFixed);
          dist.Build(d, Huffman::kFixed);
        } else {
          t.ReadDynamic(lit, dist);
        }
        t.Codes(lit, dist, out, block);
      } else {
        throw std::runtime_error("block type 3");
      }
      result.Blocks.push_back(block);
      if (block.Final) break;
    }
    result.Data.assign(out.begin() + static_cast<long>(history.size()), out.end());
    result.BytesUsed = t.pos_;
    return result;
  }

 private:
  struct Huffman {
    std::vector<uint16_t> Count = std::vector<uint16_t>(16), Symbol;
    // Incomplete codes are refused as zlib refuses them: allowed only for
    // the fixed distance code, for no code at all, and (except for the
    // code-length code) for a single code of length 1.
    enum Kind { kCodeLengths, kDynamic, kFixed };
    void Build(const std::vector<uint8_t>& lengths, Kind kind = kDynamic) {
      std::fill(Count.begin(), Count.end(), 0);
      for (auto l : lengths) Count[l]++;
      Count[0] = 0;
      int left = 1, used = 0, longest = 0;
      for (int len = 1; len < 16; ++len) {
        left = left * 2 - Count[len];
        if (left < 0) throw std::runtime_error("over-subscribed code");
        used += Count[len];
        if (Count[len]) longest = len;
      }
      const bool single = used == 1 && longest == 1 && kind != kCodeLengths;
      if (left > 0 && used > 0 && !single && kind != kFixed)
        throw std::runtime_error("incomplete code");
      std::vector<uint16_t> offs(16);
      for (int len = 1; len < 15; ++len) offs[len + 1] = offs[len] + Count[len];
      Symbol.assign(lengths.size(), 0);
      for (size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s]) Symbol[offs[lengths[s]]++] = static_cast<uint16_t>(s);
    }
  };

  TestInflater(const uint8_t* in, size_t size) : in_(in), size_(size) {}

  uint32_t Bits(int n) {
    while (bitCount_ < n) {
      if (pos_ >= size_) throw std::runtime_error("stream ends early");
      bitBuf_ |= static_cast<uint64_t>(in_[pos_++]) << bitCount_;
      bitCount_ += 8;
    }
    const uint32_t v = static_cast<uint32_t>(bitBuf_ & ((1ull << n) - 1));
    bitBuf_ >>= n;
    bitCount_ -= n;
    return v;
  }

  int Decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
      code |= static_cast<int>(Bits(1));
      const int count = h.Count[len];
      if (code - count < first) return h.Symbol[index + (code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    throw std::runtime_error("bad code");
  }

  void ReadDynamic(Huffman& lit, Huffman& dist) {
    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    const int nlen = static_cast<int>(Bits(5)) + 257, ndist = static_cast<int>(Bits(5)) + 1;
    const int ncode = static_cast<int>(Bits(4)) + 4;
    if (nlen > 286 || ndist > 30) throw std::runtime_error("too many codes");
    std::vector<uint8_t> cl(19);
    for (int i = 0; i < ncode; ++i) cl[kOrder[i]] = static_cast<uint8_t>(Bits(3));
    Huffman clh;
    clh.Build(cl, Huffman::kCodeLengths);
    std::vector<uint8_t> lengths;
    while (static_cast<int>(lengths.size()) < nlen + ndist) {
      const int sym = Decode(clh);
      if (sym < 16) {
        lengths.push_back(static_cast<uint8_t>(sym));
      } else {
        uint8_t value = 0;
        int repeat;
        if (sym == 16) {
          if (lengths.empty()) throw std::runtime_error("repeat without length");
          value = lengths.back();
          repeat = 3 + static_cast<int>(Bits(2));
        } else if (sym == 17) {
          repeat = 3 + static_cast<int>(Bits(3));
        } else {
          repeat = 11 + static_cast<int>(Bits(7));
        }
        lengths.insert(lengths.end(), repeat, value);
      }
    }
    if (static_cast<int>(lengths.size()) != nlen + ndist) throw std::runtime_error("lengths overrun");
    if (lengths[256] == 0) throw std::runtime_error("no end code");
    lit.Build(std::vector<uint8_t>(lengths.begin(), lengths.begin() + nlen));
    dist.Build(std::vector<uint8_t>(lengths.begin() + nlen, lengths.end()));
  }

  void Codes(const Huffman& lit, const Huffman& dist, std::vector<uint8_t>& out,
             InflatedBlock& block) {
    static const uint16_t kLBase[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                                        31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const uint8_t kLExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const uint16_t kDBase[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097,
                                        6145, 8193, 12289, 16385, 24577};
    static const uint8_t kDExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      const int sym = Decode(lit);
      if (sym < 256) {
        out.push_back(static_cast<uint8_t>(sym));
        ++block.Items;
      } else if (sym == 256) {
        return;
      } else {
        if (sym > 285) throw std::runtime_error("bad length symbol");
        const int len = kLBase[sym - 257] + static_cast<int>(Bits(kLExtra[sym - 257]));
        const int dsym = Decode(dist);
        if (dsym > 29) throw std::runtime_error("bad distance symbol");
        const int d = kDBase[dsym] + static_cast<int>(Bits(kDExtra[dsym]));
        if (d > static_cast<int>(out.size())) throw std::runtime_error("distance too far back");
        for (int i = 0; i < len; ++i) out.push_back(out[out.size() - d]);
        ++block.Items;
        ++block.Matches;
        block.LongestMatch = std::max(block.LongestMatch, len);
        block.MaxDistance = std::max(block.MaxDistance, d);
        block.UsedSymbol285 = block.UsedSymbol285 || sym == 285;
      }
    }
  }

  const uint8_t* in_;
  size_t size_;
  size_t pos_ = 0;
  uint64_t bitBuf_ = 0;
  int bitCount_ = 0;
};

}  // namespace vix::test
