// The LZH compressor core: round trips through the test decoder, the
// abandoning rules and the shapes of streams the format allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <tuple>

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
