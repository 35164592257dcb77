// A small LZX decoder for the tests, written from the format notes and kept
// strict where readers are strict: complete codes, zero pad bits, payloads
// that end exactly at their frame's end, no match past the frame or before
// the folder's first byte. Slow and simple on purpose.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engines/lzx.h"

namespace testing_lzx {

class LzxDecoder {
 public:
  explicit LzxDecoder(int windowBits)
      : window_(size_t{1} << windowBits),
        mainSymbols_(vix::lzx::kNumChars + 8 * vix::lzx::PositionSlots(windowBits)),
        mainLengths_(mainSymbols_, 0),
        lengthLengths_(vix::lzx::kNumSecondaryLengths, 0) {}

  // Decodes one frame's payload, which must produce `size` bytes; appends
  // them to `out`. False with `error` set on anything out of rule.
  bool DecodeFrame(const uint8_t* in, size_t n, size_t size, std::vector<uint8_t>& out) {
    in_ = in;
    n_ = n;
    p_ = 0;
    buf_ = 0;
    count_ = 0;
    if (size == 0 || size > vix::lzx::kFrameSize) return Fail("bad frame size");
    frame_.clear();
    if (padPending_) {
      if (p_ >= n_ || in_[p_++] != 0) return Fail("pad byte");
      padPending_ = false;
    }
    if (!headerRead_) {
      e8 = Bits(1) == 1;
      if (e8) {
        const uint32_t hi = Bits(16);
        translationSize = hi << 16 | Bits(16);
      }
      headerRead_ = true;
    }
    while (frame_.size() < size && error.empty()) {
      if (blockLeft_ == 0 && !ReadBlockHeader()) break;
      const size_t run = std::min<size_t>(blockLeft_, size - frame_.size());
      if (blockType_ == vix::lzx::kBlockUncompressed) {
        if (n_ - p_ < run) return Fail("raw bytes past the payload");
        for (size_t i = 0; i < run; ++i) Put(in_[p_++]);
        blockLeft_ -= static_cast<uint32_t>(run);
        if (blockLeft_ == 0 && (blockSize_ & 1)) {
          if (p_ < n_) {
            if (in_[p_++] != 0) return Fail("pad byte");
          } else {
            padPending_ = true;
          }
        }
      } else {
        DecodeTokens(frame_.size() + run);
      }
    }
    if (!error.empty()) return false;
    if (blockType_ != vix::lzx::kBlockUncompressed || blockLeft_ == 0) {
      if (Bits(count_ % 16) != 0) return Fail("pad bits not zero");
    }
    Unread();
    if (!error.empty()) return false;
    if (p_ != n_) return Fail("payload does not end at the frame's end");
    if (e8 && frames_ < vix::lzx::kE8Frames)
      vix::lzx::TranslateE8(frame_.data(), frame_.size(), static_cast<uint32_t>(total_ - frame_.size()),
                            translationSize, false);
    out.insert(out.end(), frame_.begin(), frame_.end());
    ++frames_;
    return true;
  }

  std::string error;
  bool e8 = false;
  uint32_t translationSize = 0;
  std::vector<int> blockTypes;  // every block header seen
  std::array<uint32_t, 3> reps{1, 1, 1};

 private:
  struct Huffman {
    std::vector<uint16_t> count, symbol;
    bool empty = true;
  };

  bool Fail(const char* what) {
    if (error.empty()) error = what;
    return false;
  }

  uint32_t Bits(int n) {
    while (count_ < n) {
      if (p_ + 2 > n_) {
        Fail("read past the payload");
        return 0;
      }
      buf_ = (buf_ << 16) | in_[p_] | uint64_t{in_[p_ + 1]} << 8;
      p_ += 2;
      count_ += 16;
    }
    count_ -= n;
    return static_cast<uint32_t>((buf_ >> count_) & ((uint64_t{1} << n) - 1));
  }
  // Gives back whole buffered words so that bytes can be read directly.
  void Unread() {
    p_ -= 2 * (count_ / 16);
    count_ %= 16;
    if (count_ != 0) Fail("raw bytes off a word boundary");
    buf_ = 0;
  }

  bool Build(const uint8_t* lengths, int n, Huffman& h, bool emptyOk) {
    h.count.assign(17, 0);
    h.symbol.clear();
    for (int i = 0; i < n; ++i) ++h.count[lengths[i]];
    h.empty = h.count[0] == n;
    if (h.empty) return emptyOk || Fail("empty code");
    int64_t left = 1;
    for (int len = 1; len <= 16; ++len) {
      left = 2 * left - h.count[len];
      if (left < 0) return Fail("over-subscribed code");
    }
    if (left != 0) return Fail("incomplete code");
    for (int len = 1; len <= 16; ++len)
      for (int i = 0; i < n; ++i)
        if (lengths[i] == len) h.symbol.push_back(static_cast<uint16_t>(i));
    return true;
  }

  int Decode(const Huffman& h) {
    if (h.empty) return Fail("symbol from an empty code"), -1;
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 16; ++len) {
      code |= static_cast<int>(Bits(1));
      const int c = h.count[len];
      if (code - first < c) return h.symbol[index + code - first];
      index += c;
      first = (first + c) << 1;
      code <<= 1;
    }
    return Fail("bad code"), -1;
  }

  bool ReadLengths(uint8_t* lengths, int n) {
    uint8_t pre[vix::lzx::kPretreeSymbols];
    for (auto& l : pre) l = static_cast<uint8_t>(Bits(4));
    Huffman h;
    if (!Build(pre, vix::lzx::kPretreeSymbols, h, false)) return false;
    for (int i = 0; i < n && error.empty();) {
      const int s = Decode(h);
      if (s < 0) return false;
      if (s == 17 || s == 18) {
        const int run = s == 17 ? 4 + static_cast<int>(Bits(4)) : 20 + static_cast<int>(Bits(5));
        if (i + run > n) return Fail("run past the list");
        for (int k = 0; k < run; ++k) lengths[i++] = 0;
      } else if (s == 19) {
        const int run = 4 + static_cast<int>(Bits(1));
        const int d = Decode(h);
        if (d < 0 || d > 16) return Fail("bad symbol after 19");
        if (i + run > n) return Fail("run past the list");
        const auto v = static_cast<uint8_t>((lengths[i] + 17 - d) % 17);
        for (int k = 0; k < run; ++k) lengths[i++] = v;
      } else {
        lengths[i] = static_cast<uint8_t>((lengths[i] + 17 - s) % 17);
        ++i;
      }
    }
    return error.empty();
  }

  bool ReadBlockHeader() {
    blockType_ = static_cast<int>(Bits(3));
    blockSize_ = Bits(24);
    blockLeft_ = blockSize_;
    blockTypes.push_back(blockType_);
    if (!error.empty()) return false;
    if (blockSize_ == 0) return Fail("empty block");
    if (blockType_ == vix::lzx::kBlockUncompressed) {
      if (count_ % 16 == 0) {
        if (Bits(16) != 0) return Fail("pad bits not zero");
      } else if (Bits(count_ % 16) != 0) {
        return Fail("pad bits not zero");
      }
      Unread();
      if (n_ - p_ < 12) return Fail("offsets past the payload");
      for (auto& r : reps) {
        r = in_[p_] | uint32_t{in_[p_ + 1]} << 8 | uint32_t{in_[p_ + 2]} << 16 |
            uint32_t{in_[p_ + 3]} << 24;
        p_ += 4;
        if (r == 0 || r > window_.size() - 3) return Fail("bad repeated offset");
      }
      return true;
    }
    if (blockType_ != vix::lzx::kBlockVerbatim && blockType_ != vix::lzx::kBlockAligned)
      return Fail("bad block type");
    if (blockType_ == vix::lzx::kBlockAligned) {
      uint8_t al[8];
      for (auto& l : al) l = static_cast<uint8_t>(Bits(3));
      if (!Build(al, 8, aligned_, true)) return false;
    }
    if (!ReadLengths(mainLengths_.data(), vix::lzx::kNumChars) ||
        !ReadLengths(mainLengths_.data() + vix::lzx::kNumChars, mainSymbols_ - vix::lzx::kNumChars) ||
        !ReadLengths(lengthLengths_.data(), vix::lzx::kNumSecondaryLengths))
      return false;
    return Build(mainLengths_.data(), mainSymbols_, main_, false) &&
           Build(lengthLengths_.data(), vix::lzx::kNumSecondaryLengths, length_, true);
  }

  void Put(uint8_t b) {
    window_[total_ & (window_.size() - 1)] = b;
    frame_.push_back(b);
    ++total_;
  }

  void DecodeTokens(size_t until) {
    while (frame_.size() < until && error.empty()) {
      const int sym = Decode(main_);
      if (sym < 0) return;
      if (sym < vix::lzx::kNumChars) {
        Put(static_cast<uint8_t>(sym));
        --blockLeft_;
        continue;
      }
      const int slot = (sym - vix::lzx::kNumChars) >> 3;
      int length = (sym & 7) + 2;
      if ((sym & 7) == 7) {
        const int l = Decode(length_);
        if (l < 0) return;
        length = 9 + l;
      }
      uint32_t offset;
      if (slot < 3) {
        offset = reps[slot];
        std::swap(reps[0], reps[slot]);
      } else {
        const int extra = vix::lzx::kSlots.extra[slot];
        uint32_t footer;
        if (blockType_ == vix::lzx::kBlockAligned && extra >= 3) {
          footer = Bits(extra - 3) << 3;
          const int a = Decode(aligned_);
          if (a < 0) return;
          footer += static_cast<uint32_t>(a);
        } else {
          footer = Bits(extra);
        }
        offset = vix::lzx::kSlots.base[slot] + footer - 2;
        reps[2] = reps[1];
        reps[1] = reps[0];
        reps[0] = offset;
      }
      if (static_cast<size_t>(length) > until - frame_.size()) {
        Fail("match past the frame or block end");
        return;
      }
      if (offset == 0 || offset > total_ || offset > window_.size() - 3) {
        Fail("bad match offset");
        return;
      }
      // Readers that copy within one window buffer go wrong when the copy
      // runs into its own source around the window's end.
      if (offset + length > window_.size()) {
        Fail("match runs into its source around the window");
        return;
      }
      for (int k = 0; k < length; ++k) Put(window_[(total_ - offset) & (window_.size() - 1)]);
      blockLeft_ -= static_cast<uint32_t>(length);
    }
  }

  std::vector<uint8_t> window_;
  int mainSymbols_;
  std::vector<uint8_t> mainLengths_, lengthLengths_;
  Huffman main_, length_, aligned_;
  uint64_t total_ = 0;
  uint32_t frames_ = 0;
  bool headerRead_ = false, padPending_ = false;
  int blockType_ = 0;
  uint32_t blockSize_ = 0, blockLeft_ = 0;
  std::vector<uint8_t> frame_;
  const uint8_t* in_ = nullptr;
  size_t n_ = 0, p_ = 0;
  uint64_t buf_ = 0;
  int count_ = 0;
};

}  // namespace testing_lzx
