// The deflate engine: output that inflates to the input at every level, the
// block choices it is meant to make, the component bookkeeping of
// DeflateFile, and DeflateMemoryBlock's history.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/reference.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "archive/kvtBase.h"
#include "archive/kvtCrc.h"
#include "archive/kvtErrors.h"
#include "engines/deflate.h"
#include "engines/deflate_core.h"
#include "engines/deflate_test_inflater.h"
#include "platform/platform.h"

namespace vix {
namespace {

using test::Inflated;
using test::TestInflater;
using test::Bytes;

constexpr TDeflateType kTypes[] = {dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX};
constexpr int kLevels[] = {1, 2, 7, 9};

// Text-like data: words from a small vocabulary, so matches of all lengths
// and distances occur.
Bytes Words(size_t n, uint32_t seed) {
  return test::Words<Bytes>(n, seed, {"deflate ", "window ", "archive ", "the ", "of ", "header\n",
                                      "0123456789 ", "entry ", "  ", "block "});
}

// A component that only hosts the engine: streams in memory, counters and
// CRC as the writers use them.
class EngineHost : public TCompBase {
 public:
  explicit EngineHost(TArcType type = atGZip) : TCompBase(nullptr) { fArcType = type; }
  void SetArcType(TArcType) override {}
};

struct FileRun {
  EngineResult Result;
  Bytes Out;
  uint32_t Returned = 0;
  uint32_t PackedBytes = 0;
  uint32_t Crc = 0;
  uint16_t Method = 8;
  uint32_t InputLeft = 0;
  int Progress = 0;
};

FileRun RunDeflateFile(const Bytes& input, TDeflateType type, bool storedFallback,
                       bool encrypt = false, EngineHost* host = nullptr) {
  EngineHost own;
  EngineHost& c = host ? *host : own;
  c.SetDeflateType(type);
  platform::MemoryStream in(input), out;
  FileRun r;
  c.OnProgress = [&](TCompBase&, uint8_t, uint8_t) { ++r.Progress; };
  c.InputLeft = static_cast<uint32_t>(input.size());
  c.TotalBytes = c.BytesLeft = static_cast<uint32_t>(input.size());
  c.PackedBytes = 0;
  Crc32Value = 0xFFFFFFFFu;
  r.Result = DeflateFile(c, &in, &out, encrypt, storedFallback);
  r.Returned = static_cast<uint32_t>(r.Result.BytesWritten);
  r.Out = out.Data();
  r.PackedBytes = c.PackedBytes;
  r.Crc = Crc32Value ^ 0xFFFFFFFFu;
  r.Method = r.Result.Stored() ? 0 : 8;
  r.InputLeft = c.InputLeft;
  return r;
}


Inflated Decode(const Bytes& stream, const Bytes& history = {}) {
  Inflated r = TestInflater::Run(stream.data(), stream.size(), history);
  EXPECT_EQ(r.BytesUsed, stream.size()) << "bytes after the final block";
  return r;
}


// --- output inflates to the input ---------------------------------------------

TEST(DeflateEngine, GeneratedInputsInflateToThemselvesAtEveryLevel) {
  Bytes runs(3000, 'a');
  runs.insert(runs.end(), 700, 'b');
  const std::vector<std::pair<const char*, Bytes>> inputs = {
      {"one byte", Bytes{0x5A}},
      {"two bytes", Bytes{1, 2}},
      {"runs longer than 258", runs},
      {"text beyond the window slide", Words(300000, 7)},
      {"incompressible", test::Noise<Bytes>(100000, 3)},
      {"mixed", [] {
         Bytes m = Words(50000, 1);
         const Bytes r = test::Noise<Bytes>(40000, 2);
         m.insert(m.end(), r.begin(), r.end());
         m.insert(m.end(), r.begin(), r.begin() + 20000);  // a match 40000 back: too far
         return m;
       }()},
  };
  for (const auto& [what, input] : inputs) {
    for (TDeflateType type : kTypes) {
      SCOPED_TRACE(std::string(what) + " type " + std::to_string(type));
      const FileRun r = RunDeflateFile(input, type, false);
      const Inflated d = Decode(r.Out);
      EXPECT_EQ(d.Data, input);
      EXPECT_EQ(r.Returned, r.Out.size());
      EXPECT_EQ(r.PackedBytes, r.Out.size());
      EXPECT_EQ(r.Crc, test::ReferenceCrc32(input));
      EXPECT_EQ(r.InputLeft, 0u);
      for (const auto& b : d.Blocks) EXPECT_LE(b.MaxDistance, 32506);
    }
  }
}

TEST(DeflateEngine, CorpusFilesInflateToThemselvesAtEveryLevel) {
  const char* const kFiles[] = {"english-kjv.txt", "cppcheck.elf", "japanese-sjis.roff",
                                "icons-png.bin", "magic.mgc"};
  int tested = 0;
  for (const char* name : kFiles) {
    const Bytes input = test::CorpusSlice(name, 0, 400000);
    if (input.empty()) continue;
    ++tested;
    for (TDeflateType type : kTypes) {
      SCOPED_TRACE(std::string(name) + " type " + std::to_string(type));
      const FileRun r = RunDeflateFile(input, type, true);
      if (r.Method == 0) {
        EXPECT_EQ(r.Out, input);  // stored as it is
      } else {
        EXPECT_EQ(Decode(r.Out).Data, input);
      }
    }
  }
  if (tested == 0) GTEST_SKIP() << "corpus not found (set VIX_CORPUS)";
}

TEST(DeflateEngine, EmptyInputWritesNothing) {
  const FileRun r = RunDeflateFile({}, dtDeflateN, true);
  EXPECT_EQ(r.Returned, 0u);
  EXPECT_TRUE(r.Out.empty());
  EXPECT_EQ(r.Method, 8);
}

// --- block choices ------------------------------------------------------------------

TEST(DeflateEngine, OneByteIsOneFinalFixedBlock) {
  const FileRun r = RunDeflateFile({0x41}, dtDeflateN, true);
  const Inflated d = Decode(r.Out);
  ASSERT_EQ(d.Blocks.size(), 1u);
  EXPECT_EQ(d.Blocks[0].Type, 1);
  EXPECT_TRUE(d.Blocks[0].Final);
  EXPECT_EQ(r.Method, 8);
}

// Text pays for its own code trees: one final dynamic block at every level.
TEST(DeflateEngine, TextGetsADynamicBlock) {
  const Bytes input = Words(20000, 3);
  for (TDeflateType type : kTypes) {
    const FileRun r = RunDeflateFile(input, type, true);
    EXPECT_EQ(r.Method, 8);
    const Inflated d = Decode(r.Out);
    ASSERT_EQ(d.Blocks.size(), 1u) << "type " << type;
    EXPECT_EQ(d.Blocks[0].Type, 2) << "type " << type;
    EXPECT_TRUE(d.Blocks[0].Final);
    EXPECT_EQ(d.Data, input);
  }
}

TEST(DeflateEngine, SmallIncompressibleInputFallsBackToStoringOnlyWhenAllowed) {
  // Random bytes: dynamic codes beat the fixed ones (which spend 9 bits on
  // the upper byte values) once the input is long enough to pay for the
  // trees, but nothing beats the bytes themselves.
  const Bytes input = test::Noise<Bytes>(4000, 5);

  const FileRun fallback = RunDeflateFile(input, dtDeflateN, true);
  EXPECT_EQ(fallback.Method, 0);
  EXPECT_EQ(fallback.Out, input);
  EXPECT_EQ(fallback.Returned, input.size());
  EXPECT_EQ(fallback.Crc, test::ReferenceCrc32(input));

  const FileRun stored = RunDeflateFile(input, dtDeflateN, false);
  EXPECT_EQ(stored.Method, 8);
  ASSERT_EQ(stored.Out.size(), input.size() + 5);
  EXPECT_EQ(stored.Out[0], 0x01);  // final, stored
  const Inflated d = Decode(stored.Out);
  ASSERT_EQ(d.Blocks.size(), 1u);
  EXPECT_EQ(d.Blocks[0].Type, 0);
  EXPECT_EQ(d.Data, input);
}

TEST(DeflateEngine, FallbackOnlyWhenTheWholeInputIsOneBlock) {
  // Incompressible data beyond one block: stored blocks, never raw bytes.
  const Bytes input = test::Noise<Bytes>(50000, 9);
  const FileRun r = RunDeflateFile(input, dtDeflateS, true);
  EXPECT_EQ(r.Method, 8);
  const Inflated d = Decode(r.Out);
  ASSERT_GE(d.Blocks.size(), 2u);
  for (const auto& b : d.Blocks) EXPECT_EQ(b.Type, 0);
  EXPECT_EQ(d.Data, input);
}

TEST(DeflateEngine, BlocksEndAt32767Items) {
  // A counter: almost no three-byte string repeats, so the block is made of
  // items rather than a few long matches, and the first one ends by count.
  Bytes input;
  for (uint32_t i = 0; input.size() < 50000; ++i) {
    input.push_back(static_cast<uint8_t>(i));
    input.push_back(static_cast<uint8_t>(i >> 8));
  }
  for (TDeflateType type : {dtDeflateS, dtDeflateN}) {
    const Inflated d = Decode(RunDeflateFile(input, type, false).Out);
    ASSERT_EQ(d.Blocks.size(), 2u);
    EXPECT_EQ(d.Blocks[0].Items, 32767u);
    EXPECT_EQ(d.Data, input);
  }
}

TEST(DeflateEngine, LongRunsUseLength258) {
  const Bytes input(100000, 'z');
  for (TDeflateType type : kTypes) {
    const Inflated d = Decode(RunDeflateFile(input, type, false).Out);
    ASSERT_FALSE(d.Blocks.empty());
    EXPECT_TRUE(d.Blocks[0].UsedSymbol285) << "type " << type;
    EXPECT_EQ(d.Blocks[0].LongestMatch, 258);
    EXPECT_EQ(d.Data, input);
  }
}

// Segments of three fresh literals and a 200-byte repeat: few matches, and
// far less output than input, so above level 2 a block ends after 4096 items.
TEST(DeflateEngine, EarlyBlockEndAboveLevelTwoOnly) {
  const Bytes repeat = test::Noise<Bytes>(200, 11);
  const Bytes fresh = test::Noise<Bytes>(3 * 3000, 12);
  Bytes input;
  for (int s = 0; s < 3000; ++s) {
    input.insert(input.end(), fresh.begin() + 3 * s, fresh.begin() + 3 * s + 3);
    input.insert(input.end(), repeat.begin(), repeat.end());
  }
  const Inflated lazy = Decode(RunDeflateFile(input, dtDeflateN, false).Out);
  ASSERT_GE(lazy.Blocks.size(), 2u);
  EXPECT_EQ(lazy.Blocks[0].Items, 4096u);
  EXPECT_EQ(lazy.Data, input);
  const Inflated greedy = Decode(RunDeflateFile(input, dtDeflateF, false).Out);
  EXPECT_GT(greedy.Blocks[0].Items, 4096u);
  EXPECT_EQ(greedy.Data, input);
}

// The core run on memory at one row of the table; a cancel may come with
// the first write, as the component's does.
struct CoreRun : deflate_core::DeflateIo {
  CoreRun(const Bytes& in, int level, bool cancelOnWrite) : in_(in), cancelOnWrite_(cancelOnWrite) {
    deflate_core::Options options;
    options.Level = level;
    deflate_core::Run(*this, options);
  }
  bool MoreInput() override { return at_ < in_.size(); }
  int64_t Read(uint8_t* buffer, uint32_t count) override {
    const size_t n = std::min<size_t>(count, in_.size() - at_);
    std::copy(in_.begin() + at_, in_.begin() + at_ + n, buffer);
    at_ += n;
    return static_cast<int64_t>(n);
  }
  void Write(const uint8_t* buffer, uint32_t count) override {
    Out.insert(Out.end(), buffer, buffer + count);
    if (cancelOnWrite_) Cancelled = true;
  }
  Bytes Out;

 private:
  const Bytes& in_;
  size_t at_ = 0;
  bool cancelOnWrite_;
};

// Every lazy row ends its blocks by count and early as the shared row did,
// and every row stops right after the block whose output brought the
// cancel: the rows keep the block's counters and the flag in their own
// copies.
TEST(DeflateEngine, LazyRowsEndBlocksAndStopAtACancelLikeTheSharedRow) {
  Bytes counter;
  for (uint32_t i = 0; counter.size() < 200000; ++i) {
    counter.push_back(static_cast<uint8_t>(i));
    counter.push_back(static_cast<uint8_t>(i >> 8));
  }
  const Bytes repeat = test::Noise<Bytes>(200, 11);
  const Bytes fresh = test::Noise<Bytes>(3 * 3000, 12);
  Bytes sparse;
  for (int s = 0; s < 3000; ++s) {
    sparse.insert(sparse.end(), fresh.begin() + 3 * s, fresh.begin() + 3 * s + 3);
    sparse.insert(sparse.end(), repeat.begin(), repeat.end());
  }
  for (int level = 4; level <= 9; ++level) {
    const Inflated byCount = Decode(CoreRun(counter, level, false).Out);
    ASSERT_GE(byCount.Blocks.size(), 3u) << "level " << level;
    EXPECT_EQ(byCount.Blocks[0].Items, 32767u) << "level " << level;
    EXPECT_EQ(byCount.Blocks[1].Items, 32767u) << "level " << level;
    EXPECT_EQ(byCount.Data, counter) << "level " << level;

    const Inflated early = Decode(CoreRun(sparse, level, false).Out);
    ASSERT_GE(early.Blocks.size(), 2u) << "level " << level;
    EXPECT_EQ(early.Blocks[0].Items, 4096u) << "level " << level;
    EXPECT_EQ(early.Data, sparse) << "level " << level;

  }
  for (int level = 1; level <= 9; ++level) {
    const Inflated cancelled = Decode(CoreRun(counter, level, true).Out);
    ASSERT_EQ(cancelled.Blocks.size(), 2u) << "level " << level;
    EXPECT_EQ(cancelled.Blocks[0].Items, 32767u) << "level " << level;
    EXPECT_TRUE(cancelled.Blocks[1].Final) << "level " << level;
    EXPECT_LE(cancelled.Blocks[1].Items, 1u) << "level " << level << ": only a held literal";
    ASSERT_LT(cancelled.Data.size(), counter.size() / 2) << "level " << level;
    EXPECT_TRUE(std::equal(cancelled.Data.begin(), cancelled.Data.end(), counter.begin()))
        << "level " << level;
  }
}

// --- component bookkeeping ---------------------------------------------------------

TEST(DeflateEngine, CancelledRunStillEndsWithAFinalBlock) {
  const Bytes input = Words(1000000, 4);
  EngineHost host;
  int reports = 0;
  host.SetDeflateType(dtDeflateN);
  host.ProgressHandler = [&](uint8_t, uint8_t) {
    if (++reports == 2) host.SetCancel(true);
  };
  platform::MemoryStream in(input), out;
  host.InputLeft = static_cast<uint32_t>(input.size());
  DeflateFile(host, &in, &out, false, false);
  EXPECT_EQ(reports, 2) << "no reads after the cancel";
  const Inflated d = Decode(out.Data());
  ASSERT_FALSE(d.Blocks.empty());
  EXPECT_TRUE(d.Blocks.back().Final);
  ASSERT_LT(d.Data.size(), input.size());
  EXPECT_TRUE(std::equal(d.Data.begin(), d.Data.end(), input.begin()));
}

TEST(DeflateEngine, ReadsNoMoreThanTheAnnouncedSize) {
  const Bytes input = Words(100000, 8);
  EngineHost host;
  host.SetDeflateType(dtDeflateF);
  platform::MemoryStream in(input), out;
  host.InputLeft = 70000;  // the file grew after its size was taken
  DeflateFile(host, &in, &out, false, false);
  EXPECT_EQ(Decode(out.Data()).Data, Bytes(input.begin(), input.begin() + 70000));
  EXPECT_EQ(host.InputLeft, 0u);
}

// A memory input whose reads fail once `good` bytes have been read.
class FailingInput : public platform::MemoryStream {
 public:
  FailingInput(Bytes bytes, size_t good) : MemoryStream(std::move(bytes)), good_(good) {}
  int64_t Read(void* buffer, size_t count) override {
    if (static_cast<size_t>(Position()) >= good_) return -1;
    return MemoryStream::Read(buffer, std::min(count, good_ - static_cast<size_t>(Position())));
  }

 private:
  size_t good_;
};

// A host whose block writes fail after a budget of bytes, as a full disk
// makes WriteBlock raise.
class FullOutputHost : public EngineHost {
 public:
  int64_t budget = -1;
  int64_t WriteBlock(Stream* Target, void* Buffer, uint32_t Count, bool IsData, TCrcKind CrcKind,
                     bool Encrypt) override {
    if (budget >= 0 && (budget -= Count) < 0) throw E_RAISE(kErrWrite, "out.zip: disk full");
    return TCompBase::WriteBlock(Target, Buffer, Count, IsData, CrcKind, Encrypt);
  }
};

// Every way a run can end reaches the caller as its own status, with the
// bytes read and written; none of them is taken for another.
TEST(DeflateEngine, ResultTellsEachEndingApart) {
  const Bytes text = Words(200000, 21);

  const FileRun done = RunDeflateFile(text, dtDeflateN, true);
  EXPECT_EQ(done.Result.Status, EngineStatus::Done);
  EXPECT_FALSE(done.Result.InputInOutput);
  EXPECT_EQ(done.Result.BytesRead, text.size());
  EXPECT_EQ(done.Result.BytesWritten, done.Out.size());
  EXPECT_EQ(done.PackedBytes, done.Out.size());

  const Bytes noise = test::Noise<Bytes>(3000, 22);
  const FileRun fallback = RunDeflateFile(noise, dtDeflateN, true);
  EXPECT_EQ(fallback.Result.Status, EngineStatus::Fallback);
  EXPECT_TRUE(fallback.Result.InputInOutput);
  EXPECT_EQ(fallback.Result.BytesWritten, noise.size());

  {  // a read error part-way: what was read is closed as a complete stream
    EngineHost host;
    host.SetDeflateType(dtDeflateF);
    FailingInput in(text, 70000);
    platform::MemoryStream out;
    host.InputLeft = static_cast<uint32_t>(text.size());
    const EngineResult r = DeflateFile(host, &in, &out, false, true);
    EXPECT_EQ(r.Status, EngineStatus::ReadFailed);
    EXPECT_EQ(r.BytesRead, 70000u);
    EXPECT_EQ(Decode(out.Data()).Data, Bytes(text.begin(), text.begin() + 70000));
  }
  {  // a failed write ends the run at once and keeps the reason
    FullOutputHost host;
    host.SetDeflateType(dtDeflateN);
    host.budget = 1000;
    const Bytes big = test::Noise<Bytes>(400000, 23);  // stored blocks go out early
    platform::MemoryStream in(big), out;
    host.InputLeft = static_cast<uint32_t>(big.size());
    const EngineResult r = DeflateFile(host, &in, &out, false, true);
    EXPECT_EQ(r.Status, EngineStatus::WriteFailed);
    EXPECT_EQ(r.Why, "out.zip: disk full");
    EXPECT_EQ(r.BytesWritten, out.Data().size());
    EXPECT_LT(r.BytesRead, big.size()) << "reading went on after the failure";
  }
  {  // a cancel during the run
    EngineHost host;
    host.SetDeflateType(dtDeflateN);
    host.ProgressHandler = [&](uint8_t, uint8_t) { host.SetCancel(true); };
    platform::MemoryStream in(text), out;
    host.InputLeft = static_cast<uint32_t>(text.size());
    const EngineResult r = DeflateFile(host, &in, &out, false, false);
    EXPECT_EQ(r.Status, EngineStatus::Cancelled);
    EXPECT_LT(r.BytesRead, text.size());
  }
}

// Encryption works in place: stored blocks written from the window must not
// leave encrypted bytes behind for later matches (the repeat would then be
// coded as literals, or worse, as matches against cipher text).
TEST(DeflateEngine, EncryptedStoredBlocksLeaveTheWindowIntact) {
  const Bytes random = test::Noise<Bytes>(20000, 31);
  Bytes input = random;
  input.insert(input.end(), random.begin(), random.end());
  EngineHost host(atZip);
  InitCipherKeys("secret");
  const FileRun r = RunDeflateFile(input, dtDeflateN, false, true, &host);
  InitCipherKeys("secret");
  Bytes plain = r.Out;
  for (auto& b : plain) b = DecryptByte(b);
  const Inflated d = Decode(plain);
  EXPECT_EQ(d.Data, input);
  EXPECT_LT(plain.size(), random.size() + random.size() / 10) << "the repeat was not matched";
}

// --- DeflateMemoryBlock ------------------------------------------------------------

TEST(DeflateMemoryBlock, IsACompleteStreamAtEveryLevel) {
  const Bytes data = Words(32768, 14);
  for (int level : kLevels) {
    Bytes out = {0xEE};  // appended after what is there
    DeflateMemoryBlock(nullptr, 0, data.data(), data.size(), level, out);
    ASSERT_EQ(out[0], 0xEE);
    const Bytes stream(out.begin() + 1, out.end());
    const Inflated d = Decode(stream);
    EXPECT_EQ(d.Data, data) << "level " << level;
    EXPECT_TRUE(d.Blocks.back().Final);
  }
  // Incompressible blocks stay within what a cabinet's MSZIP block may hold
  // (32768 + 12 bytes with its two-byte signature).
  const Bytes noise = test::Noise<Bytes>(32768, 19);
  for (int level : kLevels) {
    Bytes out;
    DeflateMemoryBlock(noise.data(), noise.size(), noise.data(), noise.size(), level, out);
    EXPECT_LE(out.size(), 32768u + 10) << "level " << level;
    const Bytes fresh = test::Noise<Bytes>(32768, 20 + level);
    out.clear();
    DeflateMemoryBlock(noise.data(), noise.size(), fresh.data(), fresh.size(), level, out);
    EXPECT_LE(out.size(), 32768u + 10) << "level " << level;
    EXPECT_EQ(Decode(out, noise).Data, fresh);
  }
  // A history shorter than the hash's three bytes, and an empty block.
  const Bytes ab = {'a', 'b'}, abc = {'a', 'b', 'a', 'b', 'a', 'b', 'c'};
  Bytes out, empty;
  DeflateMemoryBlock(ab.data(), ab.size(), abc.data(), abc.size(), 9, out);
  EXPECT_EQ(Decode(out, ab).Data, abc);
  DeflateMemoryBlock(ab.data(), ab.size(), abc.data(), 0, 1, empty);
  EXPECT_TRUE(Decode(empty).Data.empty());
}

TEST(DeflateMemoryBlock, MatchesReachBackIntoTheHistory) {
  const Bytes history = test::Noise<Bytes>(32768, 15);
  // The block repeats pieces of the history at distances up to 32506.
  Bytes data(history.begin() + 300, history.end());
  data.insert(data.end(), history.begin() + 20000, history.begin() + 20300);
  for (int level : kLevels) {
    Bytes with, without;
    DeflateMemoryBlock(history.data(), history.size(), data.data(), data.size(), level, with);
    DeflateMemoryBlock(nullptr, 0, data.data(), data.size(), level, without);
    const Inflated d = Decode(with, history);
    EXPECT_EQ(d.Data, data) << "level " << level;
    EXPECT_LT(with.size() * 10, without.size()) << "level " << level;
    for (const auto& b : d.Blocks) EXPECT_LE(b.MaxDistance, 32506);
  }
}

#ifndef _WIN32
// An independent inflater (Python's zlib with the history as preset
// dictionary) reads what the cabinet writer will store.
TEST(DeflateMemoryBlock, PythonZlibInflatesWithTheHistoryAsDictionary) {
  if (std::system("python3 -c 'import zlib' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  const Bytes history = Words(32768, 16);
  const Bytes data = Words(32768, 17);
  test::TempDir scratch;  // a folder of its own, removed afterwards
  const std::string dir = scratch.Path() + "/";
  auto write = [&](const std::string& name, const Bytes& b) {
    scratch.WriteFile(name, std::string(b.begin(), b.end()));
  };
  write("hist.bin", history);
  write("data.bin", data);
  for (int level : kLevels) {
    Bytes out;
    DeflateMemoryBlock(history.data(), history.size(), data.data(), data.size(), level, out);
    write("block.bin", out);
    const std::string cmd =
        "python3 -c \"import zlib,sys; d=sys.argv[1]; r=lambda n: open(d+n,'rb').read(); "
        "o=zlib.decompressobj(-15, zdict=r('hist.bin')); x=o.decompress(r('block.bin')); "
        "sys.exit(0 if o.eof and x==r('data.bin') else 1)\" '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << "level " << level;
  }
}
#endif

// --- Huffman code lengths ----------------------------------------------------------

// --- the match walk ----------------------------------------------------------

// Text whose 3-byte strings repeat constantly (chains as long as level 9
// walks) with a byte of noise here and there, so that each candidate
// mismatches somewhere else.
Bytes LongChains(size_t n, uint32_t seed) {
  const Bytes noise = test::Noise<Bytes>(n, seed);
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = noise[i] < 8 ? noise[i] : "abcabdabcabe"[i % 12];
  return b;
}

// Few items are matches but they are long, so blocks above level 2 end
// early (at a multiple of 4096 items).
Bytes LiteralsBetweenMatches(size_t pieces, uint32_t seed) {
  const Bytes pool = test::Noise<Bytes>(2000, seed);
  const Bytes fresh = test::Noise<Bytes>(4 * pieces, seed + 1);
  Bytes b;
  for (size_t s = 0; s < pieces; ++s) {
    b.insert(b.end(), fresh.begin() + 4 * s, fresh.begin() + 4 * s + 3);
    const size_t from = fresh[4 * s + 3] * 7u;
    b.insert(b.end(), pool.begin() + from, pool.begin() + from + 40);
  }
  return b;
}

// Runs of one byte and of two- and three-byte periods, with text between
// them: long matches over positions that hash alike, across slides.
Bytes Runs(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const size_t len = 3 + rng() % 700;
    const uint8_t x = static_cast<uint8_t>(rng() % 4), y = static_cast<uint8_t>('a' + rng() % 26);
    switch (rng() % 4) {
      case 0: b.insert(b.end(), len, x); break;
      case 1: for (size_t i = 0; i < len; ++i) b.push_back(i % 2 ? x : y); break;
      case 2: for (size_t i = 0; i < len; ++i) b.push_back(i % 3 == 2 ? y : x); break;
      default: for (size_t i = 0; i < len / 8; ++i) b.push_back(static_cast<uint8_t>('a' + rng() % 26)); break;
    }
  }
  b.resize(n);
  return b;
}

// The writers' archives must not change when the engine gets faster: these
// are the CRC-32s and sizes of the streams the engine wrote before its match
// walk kept four links per position (the runs: before a match's tail was
// inserted with its head and links in registers), at every row of the table.
TEST(DeflateMemoryBlock, StreamsStayByteForByteTheSameAtEveryLevel) {
  struct Digest {
    uint32_t Crc;
    size_t Size;
  };
  constexpr Digest kExpected[9][5] = {
      {{0x4C6298B4, 27306}, {0xB04924EA, 12078}, {0xAD73E5C2, 5905}, {0x8551D954, 21248}, {0xE0DFE0E9, 8932}},
      {{0x2ED2A31F, 25108}, {0xA636CF9A, 10974}, {0x6871C4CF, 5403}, {0x6691EB75, 21030}, {0xAF7C685B, 8916}},
      {{0xF78385E4, 21969}, {0x97B067AF, 9486}, {0x7AABBDAA, 4722}, {0x6596074A, 20942}, {0x539952EE, 8961}},
      {{0x6628F757, 21972}, {0x60CE693A, 8692}, {0x0E03D166, 4739}, {0x05CE1431, 24091}, {0x70DEDD61, 7937}},
      {{0x07443BD9, 20562}, {0x2FA79CB1, 8232}, {0xF650C659, 4436}, {0x07AD7FBE, 22314}, {0xBCAB80ED, 7926}},
      {{0xB08AE922, 18736}, {0x910A550C, 7804}, {0xB0881C2B, 4015}, {0xA70B6C6E, 19799}, {0x00131055, 7885}},
      {{0x375EA15C, 18010}, {0x26A973A6, 7562}, {0xE8C64C79, 3838}, {0xA70B6C6E, 19799}, {0xC68FDD02, 7883}},
      {{0x2D0C0692, 17455}, {0x5E7B609E, 6458}, {0x80A1C23E, 3656}, {0xD440B9B2, 19785}, {0x077DF2C5, 7687}},
      {{0x2D0C0692, 17455}, {0x67A7EAF1, 6033}, {0x80A1C23E, 3656}, {0xD440B9B2, 19785}, {0x46B2E823, 7680}},
  };
  const Bytes text = Words(150000, 21);
  const Bytes chains = LongChains(100000, 22);
  const Bytes sparse = LiteralsBetweenMatches(3000, 25);
  const Bytes runs = Runs(200000, 26);
  for (int level = 1; level <= 9; ++level) {
    Bytes streams[5];
    DeflateMemoryBlock(nullptr, 0, text.data(), text.size(), level, streams[0]);
    DeflateMemoryBlock(nullptr, 0, chains.data(), chains.size(), level, streams[1]);
    DeflateMemoryBlock(text.data(), 40000, text.data() + 40000, 32768, level, streams[2]);
    DeflateMemoryBlock(nullptr, 0, sparse.data(), sparse.size(), level, streams[3]);
    DeflateMemoryBlock(nullptr, 0, runs.data(), runs.size(), level, streams[4]);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(test::ReferenceCrc32(streams[i]), kExpected[level - 1][i].Crc)
          << "level " << level << " input " << i;
      EXPECT_EQ(streams[i].size(), kExpected[level - 1][i].Size)
          << "level " << level << " input " << i;
    }
  }
}

// Matches that run into the end of the input: the word-wise compare reads
// past it (into zeros, or after a slide into older bytes that continue the
// pattern) and the length must still stop at the last byte.
TEST(DeflateMemoryBlock, MatchesEndingAtTheLastByteInflateAtEveryLevel) {
  std::vector<size_t> sizes;
  for (size_t n = 1; n <= 20; ++n) sizes.push_back(n);
  for (size_t n = 255; n <= 275; ++n) sizes.push_back(n);  // one 258 match and a little
  for (size_t n = 516; n <= 527; ++n) sizes.push_back(n);
  for (size_t n = 65274 + 250; n <= 65274 + 270; ++n) sizes.push_back(n);  // ends after a slide
  const char kPattern[] = "0123456";  // period 7: every match runs on to the end
  for (int level = 1; level <= 9; ++level) {
    for (size_t n : sizes) {
      for (bool lastDiffers : {false, true}) {
        Bytes input(n);
        for (size_t i = 0; i < n; ++i) input[i] = static_cast<uint8_t>(kPattern[i % 7]);
        if (lastDiffers) input.back() = 'x';
        Bytes out;
        DeflateMemoryBlock(nullptr, 0, input.data(), input.size(), level, out);
        ASSERT_EQ(Decode(out).Data, input)
            << "level " << level << " size " << n << (lastDiffers ? " last differs" : "");
      }
    }
  }
}

// Hands the input over in reads of 1 to `most` bytes, sizes drawn from `seed`.
class CutReads : public deflate_core::DeflateIo {
 public:
  CutReads(const Bytes& in, uint32_t seed, uint32_t most) : in_(in), rng_(seed), most_(most) {}
  bool MoreInput() override { return at_ < in_.size(); }
  int64_t Read(uint8_t* buffer, uint32_t count) override {
    const size_t n = std::min<size_t>({count, in_.size() - at_, 1 + rng_() % most_});
    std::copy(in_.begin() + at_, in_.begin() + at_ + n, buffer);
    at_ += n;
    return static_cast<int64_t>(n);
  }
  void Write(const uint8_t* buffer, uint32_t count) override {
    Out.insert(Out.end(), buffer, buffer + count);
  }
  Bytes Out;

 private:
  const Bytes& in_;
  size_t at_ = 0;
  std::mt19937 rng_;
  uint32_t most_;
};

// Reads of odd sizes move the window at other moments than whole-window
// reads; the links that a slide rewrites must still lead to real matches.
TEST(DeflateMemoryBlock, SmallReadsInflateAtEveryLevel) {
  Bytes input = LongChains(120000, 23);
  const Bytes text = Words(90000, 24);
  input.insert(input.end(), text.begin(), text.end());
  for (int level = 1; level <= 9; ++level) {
    CutReads io(input, 5, 700);
    deflate_core::Options options;
    options.Level = level;
    const uint64_t written = deflate_core::Run(io, options);
    EXPECT_EQ(written, io.Out.size());
    const Inflated d = Decode(io.Out);
    EXPECT_EQ(d.Data, input) << "level " << level;
    for (const auto& b : d.Blocks) EXPECT_LE(b.MaxDistance, 32506);
  }
}

// The parse never looks past the bytes it has read, so how the input is cut
// into reads (and so when the window slides) must not change a single
// byte. A hash or a chain link that kept a byte from before a refill or a
// slide would show here as a different stream, though it still inflates.
TEST(DeflateMemoryBlock, StreamsDoNotDependOnHowReadsAreCut) {
  // Chains and text, then noise (literals whose hashes read the freshest
  // bytes), then text again: past two slides.
  Bytes input = LongChains(70000, 31);
  const Bytes text = Words(60000, 32);
  const Bytes noise = test::Noise<Bytes>(20000, 33);
  input.insert(input.end(), text.begin(), text.end());
  input.insert(input.end(), noise.begin(), noise.end());
  input.insert(input.end(), text.begin(), text.begin() + 30000);
  for (int level = 1; level <= 9; ++level) {
    Bytes whole;
    DeflateMemoryBlock(nullptr, 0, input.data(), input.size(), level, whole);
    ASSERT_EQ(Decode(whole).Data, input) << "level " << level;
    for (uint32_t most : {3u, 300u, 5000u}) {
      CutReads io(input, 40 + most, most);
      deflate_core::Options options;
      options.Level = level;
      deflate_core::Run(io, options);
      EXPECT_EQ(io.Out, whole) << "level " << level << ", reads of at most " << most;
    }
  }
}

// Blocks of nearly all literals are coded by a path of their own: its few
// matches, near and far (distance codes on both sides of 256), must still
// come out right. Bytes from 100 values make Huffman codes pay but seldom
// repeat three at a time.
TEST(DeflateMemoryBlock, MostlyLiteralBlocksKeepTheirFewMatches) {
  std::mt19937 rng(51);
  Bytes input;
  constexpr size_t kDistances[] = {1, 2, 255, 256, 257, 258, 1000, 4096, 20000, 32506};
  for (size_t round = 0; round < 40; ++round) {
    for (size_t distance : kDistances) {
      for (int i = 0; i < 300; ++i) input.push_back(static_cast<uint8_t>(' ' + rng() % 100));
      if (input.size() <= distance) continue;
      const size_t from = input.size() - distance;
      const size_t length = 3 + rng() % 20;
      for (size_t i = 0; i < length; ++i) input.push_back(input[from + i]);
    }
  }
  for (int level : {1, 2, 5, 7, 9}) {
    Bytes out;
    DeflateMemoryBlock(nullptr, 0, input.data(), input.size(), level, out);
    const Inflated d = Decode(out);
    ASSERT_EQ(d.Data, input) << "level " << level;
    bool sparse = false;
    int maxDistance = 0;
    for (const auto& b : d.Blocks) {
      sparse = sparse || (b.Type != 0 && b.Matches > 0 && b.Matches * 8 < b.Items);
      maxDistance = std::max(maxDistance, b.MaxDistance);
    }
    EXPECT_TRUE(sparse) << "level " << level << ": no coded block of nearly all literals";
    EXPECT_GT(maxDistance, 256) << "level " << level;
  }
}

double KraftSum(const std::vector<uint8_t>& lengths) {
  double sum = 0;
  for (auto l : lengths) if (l) sum += 1.0 / (1u << l);
  return sum;
}

TEST(DeflateTrees, LengthsAreLimitedAndStillComplete) {
  // Fibonacci frequencies give the deepest possible tree: 24 symbols would
  // need 23 bits without the limit.
  std::vector<uint32_t> fib = {1, 1};
  while (fib.size() < 24) fib.push_back(fib[fib.size() - 1] + fib[fib.size() - 2]);
  for (int maxBits : {15, 7}) {
    const auto lengths = deflate_core::CodeLengths(fib, maxBits);
    ASSERT_EQ(lengths.size(), fib.size());
    for (auto l : lengths) {
      EXPECT_GE(l, 1);
      EXPECT_LE(l, maxBits);
    }
    EXPECT_DOUBLE_EQ(KraftSum(lengths), 1.0) << "max " << maxBits;
    // More frequent symbols never get longer codes.
    for (size_t i = 1; i < fib.size(); ++i) EXPECT_LE(lengths[i], lengths[i - 1]);
  }
}

}  // namespace
}  // namespace vix
