#include "verify/lzh_decoder.h"

#include <cstring>

namespace vix::verify {

namespace {
constexpr int kCharSymbols = 510;  // 256 literals and match lengths 3..256
constexpr int kLengthSymbols = 19;
}  // namespace

LzhDecoder::LzhDecoder(int dicbit) : np_(dicbit + 1), pbit_(dicbit >= 14 ? 5 : 4) {}

bool LzhDecoder::Fail(const char* what) {
  if (error_.empty()) error_ = what;
  return false;
}

bool LzhDecoder::Need(int n) {
  while (count_ < n) {
    uint8_t b = 0;
    if (!in_->Next(b)) {
      if (in_->Failed()) return Fail("the archive cannot be read");
      past_ += 8;
      if (past_ > 32) return Fail("the compressed data ends early");
    }
    buf_ = buf_ << 8 | b;
    count_ += 8;
  }
  return true;
}

bool LzhDecoder::Build(Table& t, int alphabet) {
  std::memset(t.fast, 0, sizeof t.fast);
  if (t.single >= 0) return t.single < alphabet || Fail("single symbol out of range");
  for (int l = 0; l <= 16; ++l) t.count[l] = 0;
  for (int s = 0; s < alphabet; ++s) t.count[t.len[s]]++;
  uint32_t code = 0, index = 0;
  uint16_t offs[17];
  for (int l = 1; l <= 16; ++l) {
    t.first[l] = code;
    t.offset[l] = index;
    offs[l] = static_cast<uint16_t>(index);
    index += t.count[l];
    code = (code + t.count[l]) << 1;
  }
  // A complete prefix code fills the 16-bit code space exactly.
  if (code != (1u << 17)) return Fail("incomplete or over-subscribed code");
  for (int s = 0; s < alphabet; ++s) {
    const int l = t.len[s];
    if (!l) continue;
    const uint32_t c = t.first[l] + (offs[l] - t.offset[l]);
    t.sorted[offs[l]++] = static_cast<uint16_t>(s);
    if (l <= Table::kFastBits) {
      const uint32_t lo = c << (Table::kFastBits - l), n = 1u << (Table::kFastBits - l);
      for (uint32_t k = 0; k < n; ++k) t.fast[lo + k] = static_cast<uint16_t>(s << 5 | l);
    }
  }
  return true;
}

int LzhDecoder::Decode(const Table& t) {
  if (t.single >= 0) return t.single;
  if (!Need(16)) return -1;
  const uint16_t e = t.fast[Peek(Table::kFastBits)];
  if (e) {
    count_ -= e & 31;
    return e >> 5;
  }
  const uint32_t bits = Peek(16);
  for (int l = Table::kFastBits + 1; l <= 16; ++l) {
    const uint32_t code = bits >> (16 - l);
    if (code - t.first[l] < t.count[l]) {
      count_ -= l;
      return t.sorted[t.offset[l] + code - t.first[l]];
    }
  }
  Fail("no code matches");
  return -1;
}

bool LzhDecoder::ReadPtLen(Table& t, int alphabet, int nbit, int special) {
  t.single = -1;
  std::memset(t.len, 0, sizeof t.len);
  if (!Need(nbit)) return false;
  const int n = static_cast<int>(Bits(nbit));
  if (n == 0) {
    if (!Need(nbit)) return false;
    t.single = static_cast<int>(Bits(nbit));
    return Build(t, alphabet);
  }
  if (n > alphabet) return Fail("table count too large");
  int i = 0;
  while (i < n) {
    if (!Need(3)) return false;
    uint32_t c = Bits(3);
    if (c == 7) {
      for (;;) {
        if (!Need(1)) return false;
        if (!Bits(1)) break;
        if (++c > 16) return Fail("code length above 16");
      }
    }
    t.len[i++] = static_cast<uint8_t>(c);
    if (i == special) {
      if (!Need(2)) return false;
      i += static_cast<int>(Bits(2));
      if (i > n) return Fail("skip past the count");
    }
  }
  return Build(t, alphabet);
}

bool LzhDecoder::ReadCLen() {
  c_.single = -1;
  std::memset(c_.len, 0, sizeof c_.len);
  if (!Need(9)) return false;
  const int n = static_cast<int>(Bits(9));
  if (n == 0) {
    if (!Need(9)) return false;
    c_.single = static_cast<int>(Bits(9));
    return Build(c_, kCharSymbols);
  }
  if (n > kCharSymbols) return Fail("character count too large");
  int i = 0;
  while (i < n) {
    const int c = Decode(t_);
    if (c < 0) return false;
    if (c > 2) {
      c_.len[i++] = static_cast<uint8_t>(c - 2);
      continue;
    }
    int run = 1;
    if (c == 1) {
      if (!Need(4)) return false;
      run = static_cast<int>(Bits(4)) + 3;
    } else if (c == 2) {
      if (!Need(9)) return false;
      run = static_cast<int>(Bits(9)) + 20;
    }
    if (i + run > n) return Fail("zero run past the count");
    i += run;
  }
  return Build(c_, kCharSymbols);
}

bool LzhDecoder::Run(ByteSource& in, OutputWindow& out, uint64_t size) {
  in_ = &in;
  buf_ = 0;
  count_ = past_ = 0;
  error_.clear();
  uint64_t made = 0;
  uint32_t left = 0;
  while (made < size) {
    if (left == 0) {
      if (!Need(16)) return false;
      left = Bits(16);
      if (left == 0) return Fail("empty block");
      if (!ReadPtLen(t_, kLengthSymbols, 5, 3) || !ReadCLen() || !ReadPtLen(p_, np_, pbit_, -1))
        return false;
    }
    --left;
    const int c = Decode(c_);
    if (c < 0) return false;
    if (c < 256) {
      out.Put(static_cast<uint8_t>(c));
      ++made;
    } else {
      const uint32_t length = static_cast<uint32_t>(c) - 253;
      const int ps = Decode(p_);
      if (ps < 0) return false;
      uint32_t p = static_cast<uint32_t>(ps);
      if (p > 1) {
        if (!Need(static_cast<int>(p - 1))) return false;
        p = (1u << (p - 1)) + Bits(static_cast<int>(p - 1));
      }
      if (made + length > size) return Fail("a match runs past the end");
      if (!out.Copy(p + 1, length)) return Fail("a match reaches before the start");
      made += length;
    }
    if (past_ > count_) return Fail("the compressed data ends early");
  }
  return true;
}

}  // namespace vix::verify
