// The LZX compressor: its bit order, complete codes, the uncompressed
// block's padding, the E8 translation and round trips through the test
// decoder over the frame sizes and windows cabinets use.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "engines/lzx.h"
#include "support/test_data.h"
#include "verify/lzx_decoder.h"

namespace vix::lzx {
namespace {

using vix::verify::LzxDecoder;

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  return std::vector<uint8_t>(v.begin(), v.end());
}

TEST(LzxBits, WordsAreLittleEndianFilledFromTheTop) {
  std::vector<uint8_t> out;
  BitWriter bw(out);
  bw.Put(0, 1);
  bw.Put(1, 3);   // verbatim block type
  bw.Put(0, 12);  // first 12 of the 24 size bits
  EXPECT_EQ(out, Bytes({0x00, 0x10}));
  bw.Put(0x1ABCD, 17);  // straddles two words
  bw.Put(0x7, 3);
  bw.AlignWord();
  // 1 1010 1011 1100 1101 111 then 12 zero bits: 0xD5E6, 0xF000.
  EXPECT_EQ(out, Bytes({0x00, 0x10, 0xE6, 0xD5, 0x00, 0xF0}));
  EXPECT_EQ(bw.BitCount(), 48u);
  bw.AlignWord();
  EXPECT_EQ(out.size(), 6u);
}

// The widest field (24 bits) after 15 pending bits keeps every bit.
TEST(LzxBits, WideFieldAfterManyPendingBits) {
  std::vector<uint8_t> out;
  BitWriter bw(out);
  bw.Put(0x7FFF, 15);
  bw.Put(0xABCDEF, 24);
  bw.Put(0x1FF, 9);
  // 111111111111111 101010111100110111101111 111111111:
  // 0xFFFF, 0x579B, 0xDFFF.
  EXPECT_EQ(out, Bytes({0xFF, 0xFF, 0x9B, 0x57, 0xFF, 0xDF}));
  EXPECT_EQ(bw.BitCount(), 48u);
}

TEST(LzxBits, SlotsAndWindowSizes) {
  const int expected[] = {30, 32, 34, 36, 38, 42, 50};
  for (int w = kMinWindowBits; w <= kMaxWindowBits; ++w)
    EXPECT_EQ(PositionSlots(w), expected[w - kMinWindowBits]) << w;
  for (uint32_t f = 3; f < (1u << 21); f += 7) {
    const int s = SlotOf(f);
    ASSERT_LE(kSlots.base[s], f);
    ASSERT_LT(f - kSlots.base[s], 1u << kSlots.extra[s]) << f;
  }
}

int64_t KraftNumerator(const uint8_t* lengths, int n, int maxLength) {
  int64_t sum = 0;
  for (int i = 0; i < n; ++i)
    if (lengths[i]) sum += int64_t{1} << (maxLength - lengths[i]);
  return sum;
}

TEST(LzxTrees, EveryCodeWithTwoOrMoreSymbolsIsComplete) {
  std::mt19937 rng(7);
  const std::pair<int, int> shapes[] = {{656, 16}, {249, 16}, {20, 15}, {8, 7}, {496, 16}};
  for (const auto& [n, maxLength] : shapes) {
    for (int trial = 0; trial < 200; ++trial) {
      std::vector<uint32_t> freq(n, 0);
      const int kind = trial % 4;
      for (int i = 0; i < n; ++i) {
        if (kind == 0) freq[i] = rng() % 3 == 0 ? rng() % 1000 : 0;
        if (kind == 1) freq[i] = 1u << (rng() % 24);  // steep: forces the limit
        if (kind == 2 && i < 40) freq[i] = i < 2 ? 1 : freq[i - 1] + freq[i - 2];  // Fibonacci
        if (kind == 3) freq[i] = rng() % 2;
      }
      std::vector<uint8_t> len(n);
      BuildLengths(freq.data(), n, maxLength, len.data());
      int used = 0;
      for (int i = 0; i < n; ++i) {
        used += freq[i] != 0;
        ASSERT_LE(len[i], maxLength);
        if (freq[i]) {
          ASSERT_GT(len[i], 0) << "used symbol without a code";
        }
      }
      if (used == 0) continue;
      ASSERT_EQ(KraftNumerator(len.data(), n, maxLength), int64_t{1} << maxLength)
          << "n=" << n << " kind=" << kind << " trial=" << trial;
    }
  }
}

TEST(LzxTrees, OneSymbolGetsAPartnerAndNoneGetsNothing) {
  uint32_t freq[8] = {};
  uint8_t len[8];
  BuildLengths(freq, 8, 7, len);
  EXPECT_EQ(KraftNumerator(len, 8, 7), 0);
  freq[0] = 5;
  BuildLengths(freq, 8, 7, len);
  EXPECT_EQ(len[0], 1);
  EXPECT_EQ(len[1], 1);
  freq[0] = 0;
  freq[6] = 5;
  BuildLengths(freq, 8, 7, len);
  EXPECT_EQ(len[6], 1);
  EXPECT_EQ(len[0], 1);
  uint16_t codes[8];
  MakeCodes(len, 8, codes);
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(codes[6], 1);
}

// A frame of `k` literals 'A' in a verbatim block (each one bit), then an
// uncompressed block of `m` bytes: over k the uncompressed header ends at
// every bit position of a word, including exactly on a boundary, where a
// whole zero word must follow.
TEST(LzxStoredBlock, PaddingAtEveryAlignmentDecodes) {
  const int slots = PositionSlots(15);
  const int mainSymbols = kNumChars + 8 * slots;
  bool sawBoundary = false;
  for (int k = 1; k <= 40; ++k) {
    for (int m : {1, 2, 7}) {
      std::vector<uint8_t> out;
      BitWriter bw(out);
      bw.Put(0, 1);  // no E8 translation
      bw.Put(kBlockVerbatim, 3);
      bw.Put(static_cast<uint32_t>(k), 24);
      std::vector<uint8_t> mainLens(mainSymbols, 0), zeros(mainSymbols, 0), lengthLens(249, 0);
      mainLens['A'] = mainLens['B'] = 1;
      WriteLengths(bw, mainLens.data(), zeros.data(), kNumChars);
      WriteLengths(bw, mainLens.data() + kNumChars, zeros.data(), mainSymbols - kNumChars);
      WriteLengths(bw, lengthLens.data(), zeros.data(), kNumSecondaryLengths);
      for (int i = 0; i < k; ++i) bw.Put(0, 1);  // 'A' has code 0
      const uint64_t before = bw.BitCount();
      const bool boundary = (before + 27) % 16 == 0;
      sawBoundary |= boundary;
      std::vector<uint8_t> raw(m);
      for (int i = 0; i < m; ++i) raw[i] = static_cast<uint8_t>(0x30 + i);
      WriteUncompressedBlock(bw, raw.data(), raw.size(), {1, 1, 1});
      bw.AlignWord();
      // The offsets start after the header and 1..16 pad bits.
      const size_t rAt = 2 * ((before + 27) / 16 + 1);
      ASSERT_EQ(out.size(), rAt + 12 + m + (m & 1)) << k;
      EXPECT_EQ(out[rAt], 1);
      if (m & 1) {
        EXPECT_EQ(out.back(), 0);
      }

      LzxDecoder dec(15);
      std::vector<uint8_t> got;
      ASSERT_TRUE(dec.DecodeFrame(out.data(), out.size(), k + m, got))
          << "k=" << k << " m=" << m << ": " << dec.error;
      std::vector<uint8_t> want(k, 'A');
      want.insert(want.end(), raw.begin(), raw.end());
      EXPECT_EQ(got, want);
      if (boundary) {
        // Without the whole pad word the reader takes the pad as offsets.
        std::vector<uint8_t> cut(out);
        cut.erase(cut.begin() + static_cast<long>(rAt) - 2, cut.begin() + static_cast<long>(rAt));
        LzxDecoder strict(15);
        std::vector<uint8_t> bad;
        EXPECT_FALSE(strict.DecodeFrame(cut.data(), cut.size(), k + m, bad) && bad == want);
      }
    }
  }
  EXPECT_TRUE(sawBoundary);
}

TEST(LzxE8, WorkedValuesAndFrameEdges) {
  auto one = [](int32_t v, uint32_t pos) {
    std::vector<uint8_t> f(pos + 16, 0);
    f[pos] = 0xE8;
    std::memcpy(&f[pos + 1], &v, 4);
    TranslateE8(f.data(), f.size(), 0, kE8TranslationSize, true);
    int32_t w;
    std::memcpy(&w, &f[pos + 1], 4);
    return w;
  };
  EXPECT_EQ(one(32, 100), 132);
  EXPECT_EQ(one(-50, 100), 50);
  EXPECT_EQ(one(11999950, 100), -50);
  EXPECT_EQ(one(-101, 100), -101);
  EXPECT_EQ(one(12345, 0), 12345);  // identity at position 0

  // An E8 at length - 11 is translated, one at length - 10 is not.
  std::vector<uint8_t> f(64, 0);
  f[64 - 11] = 0xE8;
  f[64 - 10] = 0xE8;
  std::vector<uint8_t> g(f);
  TranslateE8(g.data(), g.size(), 1000, kE8TranslationSize, true);
  EXPECT_NE(g[64 - 10], f[64 - 10]);  // the first call's operand, changed
  std::vector<uint8_t> h(64, 0);
  h[64 - 10] = 0xE8;
  std::vector<uint8_t> h2(h);
  TranslateE8(h2.data(), h2.size(), 1000, kE8TranslationSize, true);
  EXPECT_EQ(h2, h);
}

TEST(LzxE8, TranslationRoundTrips) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<uint8_t> f(kFrameSize);
    for (auto& b : f) b = rng() % 4 == 0 ? 0xE8 : static_cast<uint8_t>(rng());
    const uint32_t pos = static_cast<uint32_t>(rng() % (1u << 30));
    // Planted operands at the edges of the translated range.
    for (int k = 0; k + 5 < static_cast<int>(f.size()); k += 997) {
      f[k] = 0xE8;
      const int32_t p = static_cast<int32_t>(pos) + k;
      const int32_t vals[] = {-p, -p - 1, static_cast<int32_t>(kE8TranslationSize) - p,
                              static_cast<int32_t>(kE8TranslationSize) - p - 1,
                              static_cast<int32_t>(kE8TranslationSize) - 1};
      std::memcpy(&f[k + 1], &vals[(k / 997) % 5], 4);
    }
    std::vector<uint8_t> g(f);
    TranslateE8(g.data(), g.size(), pos, kE8TranslationSize, true);
    EXPECT_NE(g, f);
    TranslateE8(g.data(), g.size(), pos, kE8TranslationSize, false);
    ASSERT_EQ(g, f) << trial;
  }
}

struct RoundTrip {
  std::vector<uint8_t> decoded;
  std::vector<int> blockTypes;
  size_t compressed = 0;
  std::string error;
};

RoundTrip Through(const std::vector<uint8_t>& data, int windowBits, bool e8 = true,
                  bool optimal = false) {
  EncoderOptions o;
  o.WindowBits = windowBits;
  o.E8 = e8;
  o.Optimal = optimal;
  Encoder enc(o);
  LzxDecoder dec(windowBits);
  RoundTrip r;
  std::vector<uint8_t> frame;
  for (size_t at = 0; at < data.size(); at += kFrameSize) {
    const size_t n = std::min<size_t>(kFrameSize, data.size() - at);
    enc.EncodeFrame(data.data() + at, n, frame);
    EXPECT_LE(frame.size(), kFrameSize + 6144);
    EXPECT_EQ(frame.size() % 2, 0u);
    r.compressed += frame.size();
    if (!dec.DecodeFrame(frame.data(), frame.size(), n, r.decoded)) {
      r.error = dec.error + " in the frame at " + std::to_string(at);
      break;
    }
  }
  r.blockTypes = dec.blockTypes;
  return r;
}

std::vector<uint8_t> Text(size_t n, uint32_t seed) {
  return test::Words<test::Bytes>(n, seed, {"the ", "cabinet ", "folder ", "frame ", "window ", "offset ",
                                            "of ", "and ", "\n", "LZX ", "match "});
}

// x86-like code: call instructions to a handful of targets among noise.
std::vector<uint8_t> Calls(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    if (rng() % 3 == 0) {
      const int32_t target = static_cast<int32_t>(rng() % 64) * 4096;
      const int32_t rel = target - static_cast<int32_t>(v.size()) - 5;
      v.push_back(0xE8);
      for (int k = 0; k < 4; ++k) v.push_back(static_cast<uint8_t>(rel >> (8 * k)));
    } else {
      v.push_back(static_cast<uint8_t>(0x40 + rng() % 8));
    }
  }
  v.resize(n);
  return v;
}

TEST(LzxRoundTrip, FrameSizesAndWindows) {
  for (int w : {15, 18, 21}) {
    for (size_t n : {size_t{1}, size_t{2}, size_t{11}, size_t{32767}, size_t{32768},
                     size_t{32769}, size_t{65536}, size_t{(1 << 20) + 1}}) {
      for (int kind = 0; kind < 3; ++kind) {
        const std::vector<uint8_t> data =
            kind == 0 ? Text(n, 1) : kind == 1 ? test::Noise<test::Bytes>(n, 2) : Calls(n, 3);
        const RoundTrip r = Through(data, w);
        ASSERT_EQ(r.error, "") << "w=" << w << " n=" << n << " kind=" << kind;
        ASSERT_TRUE(r.decoded == data) << "w=" << w << " n=" << n << " kind=" << kind;
      }
    }
  }
}

// Both parses over the same data: each round-trips, and the lazy one stays
// close to the optimal one where matches and repeated offsets abound.
TEST(LzxRoundTrip, LazyAndOptimalParses) {
  for (int w : {15, 18, 21}) {
    for (int kind = 0; kind < 4; ++kind) {
      std::vector<uint8_t> data = kind == 0 ? Text(150000, 21)
                                : kind == 1 ? test::Noise<test::Bytes>(70000, 22)
                                            : Calls(150000, 23);
      if (kind == 3) {
        // Records that differ in one field: repeated offsets at every record.
        data.clear();
        std::mt19937 rng(24);
        while (data.size() < 150000) {
          const std::vector<uint8_t> rec = Text(40, 25);
          data.insert(data.end(), rec.begin(), rec.end());
          data.push_back(static_cast<uint8_t>(rng()));
          data.push_back(static_cast<uint8_t>(rng()));
        }
      }
      size_t sizes[2];
      for (bool optimal : {false, true}) {
        const RoundTrip r = Through(data, w, true, optimal);
        ASSERT_EQ(r.error, "") << "w=" << w << " kind=" << kind << " optimal=" << optimal;
        ASSERT_TRUE(r.decoded == data) << "w=" << w << " kind=" << kind << " optimal=" << optimal;
        sizes[optimal] = r.compressed;
      }
      if (kind != 1) {
        EXPECT_LT(sizes[0], sizes[1] + sizes[1] / 8) << "w=" << w << " kind=" << kind;
      }
      if (kind == 3) {
        EXPECT_LT(sizes[0], data.size() / 8) << "w=" << w;
      }
    }
  }
}

TEST(LzxRoundTrip, BlockKindsAreChosenBySize) {
  const RoundTrip text = Through(Text(200000, 4), 21);
  ASSERT_EQ(text.error, "");
  EXPECT_LT(text.compressed, 200000u / 3);
  const RoundTrip noise = Through(test::Noise<test::Bytes>(100000, 5), 21);
  ASSERT_EQ(noise.error, "");
  for (int t : noise.blockTypes) EXPECT_EQ(t, kBlockUncompressed);
  EXPECT_LE(noise.compressed, 100000u + 4 * 20);
  // Far matches with many footer bits make aligned blocks pay.
  std::vector<uint8_t> far = test::Noise<test::Bytes>(300000, 6);
  for (size_t i = 150000; i < far.size(); i += 64)
    std::memcpy(&far[i], &far[i - 150000 + (i * 7 % 4096) * 8], 32);
  const RoundTrip mixed = Through(far, 21);
  ASSERT_EQ(mixed.error, "");
  ASSERT_TRUE(mixed.decoded == far);
  bool aligned = false, verbatim = false;
  for (int t : Through(Calls(400000, 8), 21).blockTypes) {
    aligned |= t == kBlockAligned;
    verbatim |= t == kBlockVerbatim;
  }
  for (int t : mixed.blockTypes) aligned |= t == kBlockAligned;
  EXPECT_TRUE(verbatim);
  EXPECT_TRUE(aligned);
}

TEST(LzxRoundTrip, MatchesReachBackAcrossFramesWithinTheWindow) {
  // A 40000-byte pattern repeated: within reach of a 2^16 window, out of
  // reach of 2^15 (offsets stop at 2^15 - 3).
  const std::vector<uint8_t> unit = test::Noise<test::Bytes>(40000, 9);
  std::vector<uint8_t> data;
  for (int i = 0; i < 5; ++i) data.insert(data.end(), unit.begin(), unit.end());
  const RoundTrip small = Through(data, 15), large = Through(data, 16);
  ASSERT_EQ(small.error, "");
  ASSERT_EQ(large.error, "");
  ASSERT_TRUE(small.decoded == data && large.decoded == data);
  EXPECT_GT(small.compressed, 190000u);
  EXPECT_LT(large.compressed, 45000u);
}

// The finder's bounds after the buffer has slid: a stretch repeated from
// 2,000,000 bytes back (within a 2^21 window) past the point where the
// encoder moves its history down.
TEST(LzxRoundTrip, FarMatchesAfterTheBufferSlides) {
  constexpr size_t kNoise = 4300000, kFrom = 2300000, kCopy = 300000;
  std::vector<uint8_t> data = test::Noise<test::Bytes>(kNoise, 15);
  data.insert(data.end(), data.begin() + kFrom, data.begin() + kFrom + kCopy);
  const RoundTrip r = Through(data, 21, false);
  ASSERT_EQ(r.error, "");
  ASSERT_TRUE(r.decoded == data);
  // The noise is stored (20 bytes of block overhead a frame); the copy
  // costs a few bytes a match.
  EXPECT_LT(r.compressed, kNoise + kNoise / kFrameSize * 20 + 20000);
}

// The finder keeps 24 bits of each position: entries made 2^24 bytes
// earlier come back looking 1,000 bytes old, where the folder holds zeros.
// They must not turn into matches; the repeat is far out of the window.
TEST(LzxRoundTrip, FinderEntriesFromLongAgoAreNoMatches) {
  constexpr size_t kWrap = size_t{1} << 24, kGap = 1000;
  const std::vector<uint8_t> unit = test::Noise<test::Bytes>(40000, 16);
  std::vector<uint8_t> data(kWrap + kGap + 2 * unit.size(), 0);
  std::copy(unit.begin(), unit.end(), data.begin());
  std::copy(unit.begin(), unit.end(), data.begin() + kWrap + kGap);
  const RoundTrip r = Through(data, 21, false);
  ASSERT_EQ(r.error, "");
  ASSERT_TRUE(r.decoded == data);
  // The second copy of the noise is stored, not matched.
  EXPECT_GT(r.compressed, 2 * unit.size());
}

// Regression: data of period 2^15 - 3 made matches at the largest offset
// of a 2^15 window, 19 bytes long, which 7-Zip copied wrongly (it reported
// no error): a match may not run into its own source around the window.
// Random units leave only the far offset to match at, which then comes
// back as a repeated offset.
TEST(LzxRoundTrip, NoMatchRunsIntoItsSourceAroundTheWindow) {
  for (bool random : {false, true}) {
    const std::vector<uint8_t> unit =
        random ? test::Noise<test::Bytes>((1u << 15) - 3, 15) : Text((1u << 15) - 3, 14);
    std::vector<uint8_t> data;
    for (int i = 0; i < 4; ++i) data.insert(data.end(), unit.begin(), unit.end());
    for (bool optimal : {false, true}) {
      const RoundTrip r = Through(data, 15, true, optimal);
      ASSERT_EQ(r.error, "") << "optimal=" << optimal << " random=" << random;
      EXPECT_TRUE(r.decoded == data) << "optimal=" << optimal << " random=" << random;
    }
  }
}

TEST(LzxRoundTrip, TranslationOffStillRoundTrips) {
  const std::vector<uint8_t> data = Calls(100000, 10);
  const RoundTrip off = Through(data, 17, false), on = Through(data, 17, true);
  ASSERT_EQ(off.error, "");
  ASSERT_EQ(on.error, "");
  EXPECT_TRUE(off.decoded == data && on.decoded == data);
  EXPECT_LT(on.compressed, off.compressed);
}

TEST(LzxRoundTrip, RestoredEncoderContinuesTheStream) {
  const std::vector<uint8_t> a = Text(kFrameSize, 11), b = Text(kFrameSize, 12),
                             c = Calls(kFrameSize, 13);
  Encoder enc(EncoderOptions{});
  std::vector<uint8_t> fa, fb, fc, junk;
  enc.EncodeFrame(a.data(), a.size(), fa);
  const Encoder::Snapshot s = enc.Save();
  enc.EncodeFrame(c.data(), c.size(), junk);
  enc.EncodeFrame(c.data(), c.size(), junk);
  enc.Restore(s);
  enc.EncodeFrame(b.data(), b.size(), fb);
  enc.EncodeFrame(c.data(), 1000, fc);
  LzxDecoder dec(21);
  std::vector<uint8_t> out;
  ASSERT_TRUE(dec.DecodeFrame(fa.data(), fa.size(), a.size(), out)) << dec.error;
  ASSERT_TRUE(dec.DecodeFrame(fb.data(), fb.size(), b.size(), out)) << dec.error;
  ASSERT_TRUE(dec.DecodeFrame(fc.data(), fc.size(), 1000, out)) << dec.error;
  std::vector<uint8_t> want(a);
  want.insert(want.end(), b.begin(), b.end());
  want.insert(want.end(), c.begin(), c.begin() + 1000);
  EXPECT_TRUE(out == want);
}

}  // namespace
}  // namespace vix::lzx
