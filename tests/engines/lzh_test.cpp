// The LZH compressor core: round trips through the test decoder, the
// abandoning rules and the shapes of streams the format allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <tuple>
#include <utility>

#include "support/reference.h"
#include "support/test_data.h"
#include "archive/kvtBase.h"
#include "archive/kvtCrc.h"
#include "engines/lzh.h"
#include "engines/lzh_decoder.h"
#include "engines/lzh_huffman.h"

namespace vix {
namespace {

using testing_lzh::LzhDecoder;

// Input from memory in reads of at most `chunk` bytes; output recorded with
// the size of every write.
class MemoryIo : public LzhIo {
 public:
  explicit MemoryIo(const std::vector<uint8_t>& in, uint32_t chunk = 1u << 30)
      : in_(in), chunk_(chunk) {}
  uint32_t Read(uint8_t* buffer, uint32_t count) override {
    const uint32_t n = static_cast<uint32_t>(
        std::min<size_t>({count, chunk_, in_.size() - readPos_}));
    std::memcpy(buffer, in_.data() + readPos_, n);
    readPos_ += n;
    return n;
  }
  void Write(const uint8_t* buffer, uint32_t count) override {
    out.insert(out.end(), buffer, buffer + count);
    writes.push_back(count);
  }
  std::vector<uint8_t> out;
  std::vector<uint32_t> writes;

 private:
  const std::vector<uint8_t>& in_;
  uint32_t chunk_;
  size_t readPos_ = 0;
};

struct Encoded {
  bool packed;
  LzhStats stats;
  std::vector<uint8_t> stream;
  std::vector<uint32_t> writes;
};

Encoded Encode(const std::vector<uint8_t>& data, const LzhMethodParams& params,
               uint32_t chunk = 1u << 30) {
  MemoryIo io(data, chunk);
  Encoded e;
  e.packed = LzhEncode(params, io, e.stats);
  e.stream = std::move(io.out);
  e.writes = std::move(io.writes);
  return e;
}

int DicBit(const LzhMethodParams& p) { return static_cast<int>(p.DicBit); }


// The stream is fixed byte for byte, not only decodable: a change to the
// parser, the match finder or the code construction that still round-trips
// must not go unnoticed. Mixed input: repeats with drifting bytes and noise.
TEST(LzhEncoderTest, StreamsStayByteForByteTheSame) {
  std::mt19937 rng(5);
  std::vector<uint8_t> input(600000);
  for (size_t i = 0; i < input.size(); ++i) {
    const uint32_t r = rng();
    input[i] = r % 7 == 0 ? static_cast<uint8_t>(r >> 8)
                          : static_cast<uint8_t>("abcabcabd"[i % 9] + (i / 5000) % 3);
  }
  const auto lh5 = Encode(input, kLh5Params, 4093);
  const auto lh6 = Encode(input, kLh6Params, 4093);
  EXPECT_EQ(lh5.stream.size(), 206096u);
  EXPECT_EQ(test::ReferenceCrc32(lh5.stream), 0x02a5a81cu);
  EXPECT_EQ(lh6.stream.size(), 204577u);
  EXPECT_EQ(test::ReferenceCrc32(lh6.stream), 0xb71295cdu);
}

// Inputs that drive the match finder into its corners, each a few hundred
// KiB at most: ties between many equally long matches, copies from just
// inside and just outside both windows, runs around the longest match, and
// ends that fall inside a match or right at a window slide.
std::vector<std::pair<const char*, std::vector<uint8_t>>> MatchFinderInputs() {
  std::vector<std::pair<const char*, std::vector<uint8_t>>> inputs;
  inputs.emplace_back("words", test::Words<test::Bytes>(300000, 21));
  // Two letters at random: every position has many equal candidates, so
  // the choice among them shows in the distances.
  std::vector<uint8_t> coin(200000);
  std::mt19937 rng(17);
  for (auto& b : coin) b = "ab"[rng() & 1];
  inputs.emplace_back("two letters", coin);
  // Noise with copies of random length (3..300) from random distances up
  // to a little beyond the larger window.
  std::vector<uint8_t> copies;
  while (copies.size() < 300000) {
    const uint32_t r = rng();
    if (copies.size() < 2000 || r % 3 == 0) {
      for (int i = 0; i < 40; ++i) copies.push_back(static_cast<uint8_t>(rng()));
      continue;
    }
    const size_t distance = 1 + rng() % std::min<size_t>(16500, copies.size());
    const size_t length = 3 + rng() % 298;
    for (size_t i = 0; i < length; ++i) {
      const uint8_t b = copies[copies.size() - distance];
      copies.push_back(b);
    }
  }
  inputs.emplace_back("copies", copies);
  // A noise unit repeated at distances around both window sizes, with a
  // byte changed in each repeat.
  for (const size_t window : {8192, 16384}) {
    // Text ahead, so that the noise is not given up as incompressible.
    auto edges = test::Words<test::Bytes>(60000, 3);
    for (const size_t distance : {window - 1, window, window + 1}) {
      const auto unit = test::Noise<test::Bytes>(distance, static_cast<uint32_t>(distance));
      for (int round = 0; round < 3; ++round) {
        edges.insert(edges.end(), unit.begin(), unit.end());
        edges[edges.size() - 1 - round * 997] ^= 0x5a;
      }
    }
    inputs.emplace_back("window edges", edges);
  }
  // Runs of one byte around the longest match, apart by a changing byte,
  // and long runs of a short pattern.
  std::vector<uint8_t> runs;
  for (const size_t length : {3, 4, 255, 256, 257, 258, 511, 512, 513, 1000, 20000}) {
    runs.insert(runs.end(), length, static_cast<uint8_t>(length));
    runs.push_back(static_cast<uint8_t>(runs.size()));
  }
  const auto pattern = test::Repeats<test::Bytes>(70000, std::string("ab\0xyz", 6));
  runs.insert(runs.end(), pattern.begin(), pattern.end());
  inputs.emplace_back("runs", runs);
  std::vector<uint8_t> drift(400000);
  for (size_t i = 0; i < drift.size(); ++i) {
    const uint32_t r = rng();
    drift[i] = r % 7 == 0 ? static_cast<uint8_t>(r >> 8)
                          : static_cast<uint8_t>("abcabcabd"[i % 9] + (i / 5000) % 3);
  }
  inputs.emplace_back("drift", drift);
  // Text ending inside a long match, at lengths around the first read
  // (window + longest match) and the slides.
  const auto text = test::Words<test::Bytes>(40000, 5);
  for (const size_t size : {1, 2, 3, 4, 257, 8447, 8448, 8449, 16383, 16384, 16385, 16639, 16640,
                            16641, 24832, 32768, 32769, 33024, 33025}) {
    std::vector<uint8_t> cut(text.begin(), text.begin() + size);
    if (size > 600) std::copy_n(text.begin(), 500, cut.end() - 500);
    inputs.emplace_back("ends", std::move(cut));
  }
  return inputs;
}

// Every stream of the inputs above, pinned byte for byte (size and CRC-32
// of each), and the compressed ones decoded back. A faster match finder
// must pick the same match, position included, at every step.
TEST(LzhEncoderTest, MatchFinderCornersKeepTheirStreams) {
  struct Pin {
    uint32_t size5, crc5, size6, crc6;
  };
  const std::vector<Pin> pins = {
      {36860, 0x2e0c4326, 35851, 0x94088061},
      {30456, 0xd8be89b3, 30312, 0x4317891d},
      {71477, 0xfba0275b, 41579, 0xfb424e7a},
      {67084, 0xbb1742ea, 34463, 0xfe81bb96},
      {157127, 0xadc28ba8, 124534, 0xa05a8f97},
      {237, 0x76693db7, 237, 0x9a300c19},
      {137849, 0xbb598262, 136982, 0x9e8c06b9},
      {0, 0x00000000, 0, 0x00000000},
      {0, 0x00000000, 0, 0x00000000},
      {0, 0x00000000, 0, 0x00000000},
      {0, 0x00000000, 0, 0x00000000},
      {96, 0x07e10619, 96, 0x13925d9d},
      {1186, 0x3de316d9, 1186, 0x297022b3},
      {1186, 0x37f821bd, 1186, 0x2c7db901},
      {1187, 0x9a4e330d, 1187, 0xc43e5422},
      {2242, 0xd66bc10b, 2191, 0xd51596ed},
      {2241, 0x50470bd2, 2192, 0x26cc0131},
      {2242, 0xd0e5fa18, 2191, 0xe43f4540},
      {2273, 0x439bc4c7, 2222, 0xea71af76},
      {2274, 0x4e9ed2d4, 2221, 0xbe6d22eb},
      {2274, 0x63623507, 2221, 0x9a039c3b},
      {3296, 0x6e7dbb8c, 3279, 0xb71d87d4},
      {4272, 0x967b6d9f, 4238, 0xb5f00a8d},
      {4272, 0xedfb8681, 4239, 0x881d8969},
      {4301, 0x69817dac, 4269, 0x1ce5f8aa},
      {4300, 0x5848e7fa, 4267, 0x647dc175},
  };
  const auto inputs = MatchFinderInputs();
  std::vector<Pin> got;
  for (const auto& [name, data] : inputs) {
    Pin pin{};
    for (const auto* params : {&kLh5Params, &kLh6Params}) {
      const auto e = Encode(data, *params, 4093);
      const uint32_t size = static_cast<uint32_t>(e.stream.size());
      const uint32_t crc = test::ReferenceCrc32(e.stream);
      (params == &kLh5Params ? pin.size5 : pin.size6) = size;
      (params == &kLh5Params ? pin.crc5 : pin.crc6) = crc;
      if (e.packed) {
        LzhDecoder dec(e.stream.data(), e.stream.size(), DicBit(*params));
        EXPECT_EQ(dec.Decode(data.size()), data) << name << " size " << data.size();
      }
    }
    got.push_back(pin);
  }
  EXPECT_EQ(got.size(), pins.size());
  for (size_t i = 0; i < std::min(got.size(), pins.size()); ++i) {
    const auto& name = inputs[i].first;
    const size_t size = inputs[i].second.size();
    EXPECT_EQ(got[i].size5, pins[i].size5) << name << " " << size << " lh5";
    EXPECT_EQ(got[i].crc5, pins[i].crc5) << name << " " << size << " lh5";
    EXPECT_EQ(got[i].size6, pins[i].size6) << name << " " << size << " lh6";
    EXPECT_EQ(got[i].crc6, pins[i].crc6) << name << " " << size << " lh6";
  }
  if (::testing::Test::HasFailure())
    for (const auto& p : got)
      std::printf("      {%u, 0x%08x, %u, 0x%08x},\n", p.size5, p.crc5, p.size6, p.crc6);
}

class LzhMethodTest : public ::testing::TestWithParam<LzhMethodParams> {};

INSTANTIATE_TEST_SUITE_P(Methods, LzhMethodTest, ::testing::Values(kLh5Params, kLh6Params),
                         [](const auto& info) {
                           return info.param.DicBit == 13 ? std::string("lh5")
                                                          : std::string("lh6");
                         });

// A MiB crosses 64 or 128 window slides; reads come in odd small pieces,
// every distance stays inside the method's window, and the output goes out
// in whole 32769-byte buffers.
TEST_P(LzhMethodTest, CorpusRoundTripsAcrossManyWindowSlides) {
  for (const char* name : {"english-kjv.txt", "cppcheck.elf", "japanese-sjis.roff"}) {
    const auto data = test::CorpusSlice(name, 100000, 1u << 20);
    if (data.empty()) GTEST_SKIP() << "corpus not found";
    const auto e = Encode(data, GetParam(), 777);
    ASSERT_TRUE(e.packed) << name;
    EXPECT_EQ(e.stats.BytesRead, data.size());
    EXPECT_EQ(e.stats.BytesWritten, e.stream.size());
    EXPECT_LT(e.stream.size(), data.size() * 6 / 10) << name;
    for (size_t i = 0; i + 1 < e.writes.size(); ++i) EXPECT_EQ(e.writes[i], 32769u);
    LzhDecoder dec(e.stream.data(), e.stream.size(), DicBit(GetParam()));
    dec.RecordTokens = true;
    ASSERT_EQ(dec.Decode(data.size()), data) << name;
    EXPECT_EQ(dec.BytesConsumed(), e.stream.size()) << name;
    uint32_t farthest = 0;
    for (const auto& t : dec.Tokens) farthest = std::max(farthest, t.Distance);
    EXPECT_LE(farthest, GetParam().DicSiz) << name;
    EXPECT_GT(farthest, GetParam().DicSiz - 64) << name;
  }
}

TEST_P(LzhMethodTest, AbandonsIncompressibleInput) {
  // Ten distinct bytes: the pending codes outgrow the input.
  std::vector<uint8_t> few = {1, 9, 2, 8, 3, 7, 4, 6, 5, 0};
  auto e = Encode(few, GetParam());
  EXPECT_FALSE(e.packed);
  EXPECT_TRUE(e.stream.empty());
  // Random data: the stream would reach the size of the input read.
  const auto noise = test::Noise<test::Bytes>(200000, 3);
  e = Encode(noise, GetParam());
  EXPECT_FALSE(e.packed);
  EXPECT_LT(e.stats.BytesWritten, e.stats.BytesRead);
  EXPECT_LT(e.stats.BytesRead, noise.size());  // the rest is never read
}

// 300 equal bytes: one literal, then matches of at most 256 bytes.
TEST_P(LzhMethodTest, EqualBytesGiveALiteralThenLongestMatches) {
  const std::vector<uint8_t> data(300, 'a');
  const auto e = Encode(data, GetParam());
  ASSERT_TRUE(e.packed);
  LzhDecoder dec(e.stream.data(), e.stream.size(), DicBit(GetParam()));
  dec.RecordTokens = true;
  ASSERT_EQ(dec.Decode(data.size()), data);
  ASSERT_EQ(dec.Tokens.size(), 3u);
  EXPECT_EQ(dec.Tokens[0].Length, 0u);
  EXPECT_EQ(dec.Tokens[1].Length, 256u);
  EXPECT_EQ(dec.Tokens[1].Distance, 1u);
  EXPECT_EQ(dec.Tokens[2].Length, 43u);
}

// Long runs: after the first block every code is a 256-byte match at
// distance 1, so the character and position tables go as one symbol. Each
// full-length match replaces an older leaf, and the replaced leaves leave
// the window as it slides.
TEST_P(LzhMethodTest, LongRunsUseOneSymbolTables) {
  std::vector<uint8_t> data(6u << 20, 0);
  const auto tail = test::Noise<test::Bytes>(5000, 11);
  data.insert(data.end(), tail.begin(), tail.end());
  const auto e = Encode(data, GetParam());
  ASSERT_TRUE(e.packed);
  EXPECT_LT(e.stream.size(), 12000u);
  LzhDecoder dec(e.stream.data(), e.stream.size(), DicBit(GetParam()));
  ASSERT_EQ(dec.Decode(data.size()), data);
  ASSERT_GE(dec.Blocks.size(), 3u);
  EXPECT_FALSE(dec.Blocks.front().SingleCharSymbol);
  EXPECT_TRUE(dec.Blocks[1].SingleCharSymbol);
  EXPECT_TRUE(dec.Blocks[1].SinglePosSymbol);
}

// The parser against a brute-force model of it. At each position the
// finder must give the longest match (at most 256 bytes and no further than
// the input's end) among the positions up to a window minus one back; a
// match is taken unless the next position has a longer one. Which of equal
// matches is taken is the tree's own: its nodes carry a position that is
// brought up to date lazily, so it is sometimes older than the newest
// equal match, and streams pinned elsewhere depend on that.
struct ModelMatches {
  std::vector<uint32_t> longest;  // per position; 0 when under 3 bytes
  std::vector<uint32_t> nearest;  // distance of the nearest longest match
};

ModelMatches LongestMatches(const std::vector<uint8_t>& data, uint32_t dicsiz) {
  const size_t n = data.size();
  ModelMatches m{std::vector<uint32_t>(n + 1, 0), std::vector<uint32_t>(n + 1, 0)};
  // Earlier positions by a hash of their first three bytes, newest first.
  constexpr size_t kNone = SIZE_MAX;
  std::vector<size_t> head(1u << 16, kNone), before(n, kNone);
  for (size_t j = 0; j + 3 <= n; ++j) {
    const uint32_t bytes = static_cast<uint32_t>(data[j] << 16 | data[j + 1] << 8 | data[j + 2]);
    const uint32_t key = (bytes * 2654435761u) >> 16;
    const uint32_t cap = static_cast<uint32_t>(std::min<size_t>(256, n - j));
    for (size_t c = head[key]; c != kNone && j - c < dicsiz; c = before[c]) {
      uint32_t l = 0;
      while (l < cap && data[c + l] == data[j + l]) ++l;
      if (l >= 3 && l > m.longest[j]) {
        m.longest[j] = l;
        m.nearest[j] = static_cast<uint32_t>(j - c);
        if (l == cap) break;
      }
    }
    before[j] = head[key];
    head[key] = j;
  }
  return m;
}

TEST_P(LzhMethodTest, ParserTakesTheLongestMatchInTheWindow) {
  const uint32_t dicsiz = GetParam().DicSiz;
  std::vector<std::pair<const char*, std::vector<uint8_t>>> inputs;
  inputs.emplace_back("words", test::Words<test::Bytes>(70000, 8));
  std::mt19937 rng(5);
  std::vector<uint8_t> coin(12000);
  for (auto& b : coin) b = "ab"[rng() & 1];
  inputs.emplace_back("two letters", coin);
  // Noise units repeated at a window and a byte either side of it, then
  // runs around the longest match.
  auto edges = test::Words<test::Bytes>(30000, 4);
  for (const uint32_t period : {dicsiz - 1, dicsiz, dicsiz + 1}) {
    const auto unit = test::Noise<test::Bytes>(period, period);
    for (int round = 0; round < 3; ++round) edges.insert(edges.end(), unit.begin(), unit.end());
  }
  for (const size_t length : {255, 256, 257, 258, 513, 3000}) {
    edges.insert(edges.end(), length, static_cast<uint8_t>(length));
    edges.push_back(static_cast<uint8_t>(length + 1));
  }
  inputs.emplace_back("window edges and runs", edges);
  // Copies from random distances up to beyond the window, ending inside a
  // copy so that the last match is cut by the end of the input.
  std::vector<uint8_t> copies = test::Words<test::Bytes>(2000, 6);
  while (copies.size() < 60000) {
    const size_t distance = 1 + rng() % std::min<size_t>(dicsiz + 300, copies.size());
    const size_t length = 3 + rng() % 400;
    for (size_t k = 0; k < length; ++k) copies.push_back(copies[copies.size() - distance]);
    if (rng() % 4 == 0) copies.push_back(static_cast<uint8_t>(rng()));
  }
  inputs.emplace_back("copies", copies);

  size_t olderTies = 0;
  for (const auto& [name, data] : inputs) {
    const auto e = Encode(data, GetParam(), 4093);
    ASSERT_TRUE(e.packed) << name;
    LzhDecoder dec(e.stream.data(), e.stream.size(), DicBit(GetParam()));
    dec.RecordTokens = true;
    ASSERT_EQ(dec.Decode(data.size()), data) << name;
    const auto model = LongestMatches(data, dicsiz);
    size_t at = 0, wrong = 0;
    for (const auto& token : dec.Tokens) {
      const uint32_t here = model.longest[at], next = model.longest[at + 1];
      const bool literal = here == 0 || next > here;
      if (token.Length != (literal ? 0 : here) || token.Distance > dicsiz) {
        if (++wrong <= 3)
          ADD_FAILURE() << name << " at byte " << at << ": length " << token.Length
                        << " distance " << token.Distance << ", longest here " << here
                        << ", next " << next;
      } else if (token.Length && token.Distance != model.nearest[at]) {
        ++olderTies;  // decoding proved it a match of that length, only older
      }
      at += token.Length ? token.Length : 1;
    }
    EXPECT_EQ(wrong, 0u) << name;
  }
  EXPECT_GT(olderTies, 0u);
}

// Only a 16 KiB window sees a repeat 10000 bytes back.
TEST(LzhEncoderTest, RepeatAtDistance10000NeedsTheLh6Window) {
  const auto unit = test::Noise<test::Bytes>(10000, 9);
  std::vector<uint8_t> data;
  for (int i = 0; i < 3; ++i) data.insert(data.end(), unit.begin(), unit.end());

  const auto lh6 = Encode(data, kLh6Params);
  ASSERT_TRUE(lh6.packed);
  EXPECT_LT(lh6.stream.size(), 11000u);
  LzhDecoder dec(lh6.stream.data(), lh6.stream.size(), 14);
  dec.RecordTokens = true;
  ASSERT_EQ(dec.Decode(data.size()), data);
  EXPECT_TRUE(std::any_of(dec.Tokens.begin(), dec.Tokens.end(),
                          [](const auto& t) { return t.Distance == 10000; }));

  EXPECT_FALSE(Encode(data, kLh5Params).packed);
}

// A component whose block writes fail after a budget of bytes.
class FailingWriter : public TCompBase {
 public:
  FailingWriter() : TCompBase(nullptr) {}
  int64_t budget = -1;
  int64_t WriteBlock(Stream* Target, void* Buffer, uint32_t Count, bool IsData, TCrcKind CrcKind,
                     bool Encrypt) override {
    if (budget >= 0 && (budget -= Count) < 0) throw E_RAISE(kErrWrite);
    return TCompBase::WriteBlock(Target, Buffer, Count, IsData, CrcKind, Encrypt);
  }
};

// LzhEncodeFile through a component: CRC and counters on success, and each
// way of stopping told apart (the caller must not take a failed write for a
// finished stream).
TEST(LzhEncodeFileTest, KeepsTheCountersAndTellsFailuresApart) {
  std::vector<uint8_t> text;
  for (int i = 0; i < 40000; ++i) text.push_back("the lazy window"[i % 15] ^ (i / 997 & 1));
  FailingWriter comp;
  auto run = [&](uint32_t inputLeft) {
    platform::MemoryStream in(text), out;
    comp.InputLeft = inputLeft;
    comp.TotalBytes = comp.BytesLeft = 100000;
    comp.PackedBytes = 0;
    Crc16Value = 0;
    const EngineResult r = LzhEncodeFile(comp, &in, &out);
    return std::make_tuple(r.Status, r.BytesRead, out.Data());
  };
  LzhParameters = kLh5Params;
  auto [result, read, stream] = run(static_cast<uint32_t>(text.size()));
  ASSERT_EQ(result, EngineStatus::Done);
  EXPECT_EQ(read, text.size());
  EXPECT_EQ(comp.PackedBytes, stream.size());
  EXPECT_EQ(comp.InputLeft, 0u);
  EXPECT_EQ(comp.BytesLeft, 100000u - text.size());
  uint32_t crc = 0;
  UpdateCrc16(text.data(), text.size(), crc);
  EXPECT_EQ(Crc16Value, crc);
  LzhDecoder dec(stream.data(), stream.size(), 13);
  EXPECT_EQ(dec.Decode(text.size()), text);

  // Reads stop at the size the file had when opened.
  EXPECT_EQ(std::get<1>(run(1000)), 1000u);

  comp.budget = 100;
  EXPECT_EQ(std::get<0>(run(static_cast<uint32_t>(text.size()))), EngineStatus::WriteFailed);
  comp.budget = -1;
  comp.OnProgress = [](TCompBase& c, uint8_t, uint8_t) { c.SetCancel(true); };
  EXPECT_EQ(std::get<0>(run(static_cast<uint32_t>(text.size()))), EngineStatus::Cancelled);
}

// A memory input whose reads fail from `good` bytes on.
class FailingInput : public platform::MemoryStream {
 public:
  FailingInput(std::vector<uint8_t> bytes, size_t good)
      : MemoryStream(std::move(bytes)), good_(good) {}
  int64_t Read(void* buffer, size_t count) override {
    if (static_cast<size_t>(Position()) >= good_) return -1;
    return MemoryStream::Read(buffer, std::min(count, good_ - static_cast<size_t>(Position())));
  }

 private:
  size_t good_;
};

// The rest of the result: a read error, an abandoned stream (the writer
// stores the file itself, so the input is not in the output), the bytes
// written, and the reason of a failed write.
TEST(LzhEncodeFileTest, ResultCarriesTheBytesAndWhatTheWriterMustDo) {
  std::vector<uint8_t> text;
  for (int i = 0; i < 40000; ++i) text.push_back("the lazy window"[i % 15] ^ (i / 997 & 1));
  LzhParameters = kLh5Params;
  FailingWriter comp;
  auto run = [&](platform::MemoryStream& in) {
    platform::MemoryStream out;
    comp.InputLeft = static_cast<uint32_t>(in.Size());
    comp.TotalBytes = comp.BytesLeft = 100000;
    comp.PackedBytes = 0;
    EngineResult r = LzhEncodeFile(comp, &in, &out);
    EXPECT_EQ(r.BytesWritten, out.Data().size());
    EXPECT_EQ(comp.PackedBytes, out.Data().size());
    return r;
  };

  FailingInput broken(text, 20000);
  const EngineResult read = run(broken);
  EXPECT_EQ(read.Status, EngineStatus::ReadFailed);
  EXPECT_EQ(read.BytesRead, 20000u);

  std::mt19937 rng(3);
  std::vector<uint8_t> noise(60000);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  platform::MemoryStream noisy(noise);
  const EngineResult abandoned = run(noisy);
  EXPECT_EQ(abandoned.Status, EngineStatus::Fallback);
  EXPECT_FALSE(abandoned.InputInOutput);

  comp.budget = 100;
  platform::MemoryStream plain(text);
  const EngineResult write = run(plain);
  EXPECT_EQ(write.Status, EngineStatus::WriteFailed);
  EXPECT_EQ(write.Why, MessageText(kErrWrite));
}

TEST(LzhHuffmanTest, BuildsCanonicalCodesFromFrequencies) {
  uint32_t freq[2 * 4 - 1] = {1, 1, 2, 4};
  uint8_t len[4];
  uint16_t code[4];
  const int root = lzh::MakeTree(4, freq, len, code);
  EXPECT_GE(root, 4);
  EXPECT_EQ(freq[root], 8u);
  EXPECT_EQ(std::vector<int>(len, len + 4), (std::vector<int>{3, 3, 2, 1}));
  EXPECT_EQ(std::vector<int>(code, code + 4), (std::vector<int>{0b110, 0b111, 0b10, 0b0}));
}

// Fibonacci frequencies make a tree 30 levels deep; the lengths are cut to
// 16 and the code space stays exactly full, the rarest symbols longest.
TEST(LzhHuffmanTest, LimitsLengthsTo16AndKeepsTheCodeComplete) {
  constexpr int n = 30;
  uint32_t freq[2 * n - 1] = {};
  uint32_t a = 1, b = 1;
  for (int i = 0; i < n; ++i) {
    freq[i] = a;
    const uint32_t c = a + b;
    a = b;
    b = c;
  }
  uint8_t len[n];
  uint16_t code[n];
  lzh::MakeTree(n, freq, len, code);
  uint32_t kraft = 0;
  for (int i = 0; i < n; ++i) {
    ASSERT_GE(len[i], 1);
    ASSERT_LE(len[i], 16);
    kraft += 1u << (16 - len[i]);
  }
  EXPECT_EQ(kraft, 1u << 16);
  EXPECT_EQ(len[0], 16);
  EXPECT_EQ(len[n - 1], 1);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      if (i != j && len[i] <= len[j]) {
        EXPECT_NE(code[j] >> (len[j] - len[i]), code[i]) << i << " prefixes " << j;
      }
}

}  // namespace
}  // namespace vix
