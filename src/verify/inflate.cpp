#include "verify/inflate.h"

#include <cstring>

namespace vix::verify {

namespace {

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

uint32_t Reverse(uint32_t code, int length) {
  uint32_t r = 0;
  for (int i = 0; i < length; ++i, code >>= 1) r = r << 1 | (code & 1);
  return r;
}

}  // namespace

bool Inflater::Fail(const char* what) {
  if (error_.empty()) error_ = what;
  return false;
}

// Fills the bit buffer as far as it goes (at least `n` bits). Past the end
// of the input zero bits stand in, so that a short code at the very end can
// be looked up; taking any of them is caught by the callers through past_.
bool Inflater::Refill(int n) {
  while (count_ <= 56) {
    uint8_t b = 0;
    if (in_->Next(b)) {
      ++used_;
    } else {
      if (in_->Failed()) return Fail("the archive cannot be read");
      if (count_ >= n) return true;
      past_ += 8;
      if (past_ > 64) return Fail("the deflate stream ends early");
    }
    buf_ |= uint64_t{b} << count_;
    count_ += 8;
  }
  return true;
}

bool Inflater::Build(Table& t, const uint8_t* lengths, int n, bool codeLengths, bool fixed) {
  std::memset(t.count, 0, sizeof t.count);
  std::memset(t.fast, 0, sizeof t.fast);
  for (int i = 0; i < n; ++i) t.count[lengths[i]]++;
  t.count[0] = 0;
  int left = 1, used = 0, longest = 0;
  for (int len = 1; len < 16; ++len) {
    left = left * 2 - t.count[len];
    if (left < 0) return Fail("over-subscribed code");
    used += t.count[len];
    if (t.count[len]) longest = len;
  }
  // As zlib: an incomplete code only for the fixed distances, no code at
  // all, or a single code of length 1 (not for the code lengths).
  const bool single = used == 1 && longest == 1 && !codeLengths;
  if (left > 0 && used > 0 && !single && !fixed) return Fail("incomplete code");
  uint16_t offs[16] = {};
  for (int len = 1; len < 15; ++len) offs[len + 1] = static_cast<uint16_t>(offs[len] + t.count[len]);
  // Canonical codes per length, then the fast table for the short ones.
  uint32_t next[16] = {}, code = 0;
  for (int len = 1; len < 16; ++len) {
    code = (code + t.count[len - 1]) << 1;
    next[len] = code;
  }
  for (int s = 0; s < n; ++s) {
    const int len = lengths[s];
    if (!len) continue;
    t.symbol[offs[len]++] = static_cast<uint16_t>(s);
    const uint32_t c = next[len]++;
    if (len <= Table::kFastBits) {
      const uint32_t r = Reverse(c, len);
      for (uint32_t k = r; k < (1u << Table::kFastBits); k += 1u << len)
        t.fast[k] = static_cast<uint16_t>(s << 4 | len);
    }
  }
  return true;
}

int Inflater::Decode(const Table& t) {
  if (!Need(Table::kFastBits)) return -1;
  const uint16_t e = t.fast[buf_ & ((1u << Table::kFastBits) - 1)];
  if (e) {
    Bits(e & 15);
    return e >> 4;
  }
  // A longer code: bit by bit, as the canonical counts give it.
  int code = 0, first = 0, index = 0;
  for (int len = 1; len < 16; ++len) {
    if (!Need(1)) return -1;
    code |= static_cast<int>(Bits(1));
    const int count = t.count[len];
    if (code - count < first) return t.symbol[index + (code - first)];
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  Fail("no code matches");
  return -1;
}

bool Inflater::Dynamic() {
  if (!Need(14)) return false;
  const int nlen = static_cast<int>(Bits(5)) + 257, ndist = static_cast<int>(Bits(5)) + 1;
  const int ncode = static_cast<int>(Bits(4)) + 4;
  if (nlen > 286 || ndist > 30) return Fail("too many codes");
  uint8_t cl[19] = {};
  for (int i = 0; i < ncode; ++i) {
    if (!Need(3)) return false;
    cl[kOrder[i]] = static_cast<uint8_t>(Bits(3));
  }
  Table clt;
  if (!Build(clt, cl, 19, true, false)) return false;
  uint8_t lengths[286 + 30] = {};
  int i = 0;
  while (i < nlen + ndist) {
    const int sym = Decode(clt);
    if (sym < 0) return false;
    if (sym < 16) {
      lengths[i++] = static_cast<uint8_t>(sym);
      continue;
    }
    uint8_t value = 0;
    int repeat;
    if (sym == 16) {
      if (i == 0) return Fail("repeat without a length");
      value = lengths[i - 1];
      if (!Need(2)) return false;
      repeat = 3 + static_cast<int>(Bits(2));
    } else if (sym == 17) {
      if (!Need(3)) return false;
      repeat = 3 + static_cast<int>(Bits(3));
    } else {
      if (!Need(7)) return false;
      repeat = 11 + static_cast<int>(Bits(7));
    }
    if (i + repeat > nlen + ndist) return Fail("lengths run past the count");
    for (int k = 0; k < repeat; ++k) lengths[i++] = value;
  }
  if (lengths[256] == 0) return Fail("no end-of-block code");
  return Build(lit_, lengths, nlen, false, false) && Build(dist_, lengths + nlen, ndist, false, false);
}

bool Inflater::Codes(OutputWindow& out, uint64_t limit) {
  for (;;) {
    const int sym = Decode(lit_);
    if (sym < 0) return false;
    if (sym < 256) {
      if (++made_ > limit) return Fail("more data than the entry holds");
      out.Put(static_cast<uint8_t>(sym));
      continue;
    }
    if (sym == 256) return true;
    if (sym > 285) return Fail("bad length symbol");
    const int ls = sym - 257;
    if (!Need(kLengthExtra[ls])) return false;
    const uint32_t len = kLengthBase[ls] + Bits(kLengthExtra[ls]);
    const int ds = Decode(dist_);
    if (ds < 0) return false;
    if (ds > 29) return Fail("bad distance symbol");
    if (!Need(kDistExtra[ds])) return false;
    const uint32_t d = kDistBase[ds] + Bits(kDistExtra[ds]);
    if (past_ > count_) return Fail("the deflate stream ends early");
    made_ += len;
    if (made_ > limit) return Fail("more data than the entry holds");
    if (!out.Copy(d, len)) return Fail("distance too far back");
  }
}

bool Inflater::Stored(OutputWindow& out, uint64_t limit) {
  // To the byte boundary; whole bytes still buffered are the block's start.
  Bits(count_ % 8);
  if (!Need(32)) return false;
  const uint32_t len = Bits(16), nlen = Bits(16);
  if ((len ^ 0xFFFF) != nlen) return Fail("stored length check");
  if (past_ > count_) return Fail("the deflate stream ends early");
  made_ += len;
  if (made_ > limit) return Fail("more data than the entry holds");
  uint32_t left = len;
  while (left > 0 && count_ >= 8) {
    out.Put(static_cast<uint8_t>(Bits(8)));
    --left;
  }
  if (past_ > count_) return Fail("the deflate stream ends early");
  uint8_t chunk[4096];
  while (left > 0) {
    const size_t n = in_->Read(chunk, left < sizeof chunk ? left : sizeof chunk);
    if (n == 0) return Fail(in_->Failed() ? "the archive cannot be read" : "the deflate stream ends early");
    used_ += n;
    out.Append(chunk, n);
    left -= static_cast<uint32_t>(n);
  }
  return true;
}

bool Inflater::Run(ByteSource& in, OutputWindow& out, uint64_t limit) {
  in_ = &in;
  buf_ = 0;
  count_ = past_ = 0;
  used_ = made_ = 0;
  error_.clear();
  for (;;) {
    if (!Need(3)) return false;
    const bool final = Bits(1) != 0;
    const uint32_t type = Bits(2);
    bool ok;
    if (type == 0) {
      ok = Stored(out, limit);
    } else if (type == 1) {
      uint8_t l[288 + 30];
      for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
      for (int i = 288; i < 318; ++i) l[i] = 5;
      ok = Build(lit_, l, 288, false, true) && Build(dist_, l + 288, 30, false, true) &&
           Codes(out, limit);
    } else if (type == 2) {
      ok = Dynamic() && Codes(out, limit);
    } else {
      ok = Fail("block type 3");
    }
    if (!ok) return false;
    if (past_ > count_) return Fail("the deflate stream ends early");
    if (final) break;
  }
  // Whole bytes read ahead into the bit buffer are not part of the stream.
  used_ -= static_cast<uint64_t>((count_ - past_) / 8);
  return true;
}

}  // namespace vix::verify
