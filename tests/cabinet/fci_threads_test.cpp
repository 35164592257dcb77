// The built-in cabinet library with MSZIP blocks encoded on worker threads:
// the cabinet, the callbacks and the failures must be those of a run on the
// calling thread alone.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "cabinet/fci_doubles.h"
#include "support/test_data.h"
#include "writers/cabinet/fci.h"

namespace {

using namespace vix::fci;
using namespace vix::test::fcidoubles;
using vix::test::Bytes;
using vix::test::Noise;
using vix::test::Words;

// Text, noise, small files that share blocks, a stored folder between
// MSZIP ones: 50 blocks and more in several folders.
const std::vector<std::pair<std::string, TCOMP>>& Set() {
  static const std::vector<std::pair<std::string, TCOMP>> kSet = {
      {"text1", tcompTYPE_MSZIP},  {"noise", tcompTYPE_MSZIP},  {"small1", tcompTYPE_MSZIP},
      {"small2", tcompTYPE_MSZIP}, {"small3", tcompTYPE_MSZIP}, {"stored", tcompTYPE_NONE},
      {"text2", tcompTYPE_MSZIP},  {"mixed", tcompTYPE_MSZIP}};
  return kSet;
}

class FciThreadsTest : public FciTest {
 protected:
  void SetUp() override {
    FciTest::SetUp();
    ccab.cbFolderThresh = 60000;  // of compressed bytes
    Source("text1", Words<Bytes>(700000, 1));
    Source("noise", Noise<Bytes>(200000, 2));
    for (int i = 1; i <= 3; ++i) Source("small" + std::to_string(i), Words<Bytes>(9000, 10 + i));
    Source("stored", Words<Bytes>(50000, 3));
    Source("text2", Words<Bytes>(500000, 4));
    Bytes mixed = Words<Bytes>(150000, 5);
    const Bytes noise = Noise<Bytes>(70000, 6);
    mixed.insert(mixed.begin() + 60000, noise.begin(), noise.end());
    Source("mixed", mixed);
  }
  HFCI CreateWith(unsigned threads) {
    if (!Create()) return nullptr;
    EXPECT_TRUE(SetBuiltinThreads(hfci, threads));
    return hfci;
  }
  bool AddSet() {
    for (const auto& [name, type] : Set())
      if (!Add(name, type)) return false;
    return true;
  }
  bool NoTemporaryFiles() const {
    for (const auto& [name, data] : fs.files)
      if (name.rfind("tmp/", 0) == 0) return false;
    return true;
  }
};

struct Outcome {
  Bytes cabinet;
  std::vector<std::tuple<UINT, ULONG, ULONG>> statuses;
  std::vector<std::string> placed;
};

TEST_F(FciThreadsTest, OneTwoAndEightThreadsWriteTheSameCabinetAndCallbacks) {
  std::vector<Outcome> runs;
  for (unsigned threads : {1u, 2u, 8u}) {
    SCOPED_TRACE(threads);
    fs.files.erase("cabs/out.cab");
    fs.statuses.clear();
    fs.placed.clear();
    ASSERT_TRUE(CreateWith(threads));
    ASSERT_TRUE(AddSet());
    ASSERT_TRUE(Flush());
    Destroy();
    runs.push_back({fs.files["cabs/out.cab"], fs.statuses, fs.placed});
    const Cabinet cab = Read();
    size_t blocks = 0;
    for (const auto& folder : cab.folders) blocks += folder.blocks.size();
    EXPECT_GE(cab.folders.size(), 5u);
    EXPECT_GT(blocks, 50u);
    for (const auto& [name, type] : Set())
      EXPECT_EQ(cab.contents.at(name), fs.files["src/" + name]);
    EXPECT_TRUE(NoTemporaryFiles());
  }
  for (size_t i = 1; i < runs.size(); ++i) {
    EXPECT_TRUE(runs[i].cabinet == runs[0].cabinet) << "run " << i;
    EXPECT_EQ(runs[i].statuses, runs[0].statuses) << "run " << i;
    EXPECT_EQ(runs[i].placed, runs[0].placed) << "run " << i;
  }
}

// A stop asked for by the status callback in the middle of a threaded file:
// no status after it, the file refused with the context as it was before
// (adding it again gives the cabinet of a run never stopped), and a context
// destroyed then leaves no temporary file and the old cabinet as it was.
TEST_F(FciThreadsTest, AStopInTheMiddleOfAThreadedFileIsTheLastCallback) {
  ASSERT_TRUE(CreateWith(1));
  ASSERT_TRUE(AddSet());
  ASSERT_TRUE(Flush());
  Destroy();
  const Bytes unstopped = fs.files["cabs/out.cab"];
  const Bytes old{'o', 'l', 'd'};

  for (bool retry : {false, true}) {
    SCOPED_TRACE(retry);
    fs.files["cabs/out.cab"] = old;
    fs.statuses.clear();
    ASSERT_TRUE(CreateWith(2));
    ASSERT_TRUE(Add("text1"));
    ASSERT_TRUE(Add("noise"));
    // The fourth of text2's 16 blocks, with later ones in the workers' hands.
    fs.abortAtStatus = static_cast<int>(fs.statuses.size()) + 3;
    EXPECT_FALSE(Add("text2"));
    ExpectError(FCIERR_USER_ABORT);
    EXPECT_EQ(fs.statuses.size(), size_t(fs.abortAtStatus) + 1);
    fs.abortAtStatus = -1;
    if (retry) {
      // The context is as it was before text2: the rest of the set goes on.
      for (const auto& [name, type] : Set()) {
        if (name == "text1" || name == "noise") continue;
        ASSERT_TRUE(Add(name, type)) << name;
      }
      ASSERT_TRUE(Flush());
      EXPECT_TRUE(fs.files["cabs/out.cab"] == unstopped);
    } else {
      Destroy();
      EXPECT_TRUE(fs.files["cabs/out.cab"] == old);
    }
    Destroy();
    EXPECT_TRUE(NoTemporaryFiles());
  }
}

// The data file failing part-way through a threaded file fails that file
// with the error a one-thread run reports, after the same callbacks.
TEST_F(FciThreadsTest, AWriteFailingMidwayIsReportedAsOnOneThread) {
  std::vector<Outcome> runs;
  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    fs.statuses.clear();
    fs.failWriteOf = "tmp/t" + std::to_string(fs.tempCount);
    fs.failWriteAfter = 50000;  // about half of text1's blocks
    ASSERT_TRUE(CreateWith(threads));
    EXPECT_FALSE(Add("text1"));
    ExpectError(FCIERR_TEMP_FILE, kENOSPC);
    EXPECT_GT(fs.statuses.size(), 4u);
    Destroy();
    EXPECT_TRUE(NoTemporaryFiles());
    runs.push_back({{}, fs.statuses, {}});
  }
  EXPECT_EQ(runs[1].statuses, runs[0].statuses);
}

// A tree of many small files: most blocks hold the tail of one file and
// the head of the next, a few files are empty, some do not shrink and some
// span several blocks; folders of 30 blocks and more, a threshold far
// enough that 16 blocks can be in hand.
class FciSmallFilesTest : public FciThreadsTest {
 protected:
  static constexpr int kFiles = 300;
  void SetUp() override {
    FciThreadsTest::SetUp();
    ccab.cbFolderThresh = 700000;
    for (int i = 0; i < kFiles; ++i) {
      const size_t size = i % 40 == 0 ? 0 : i % 23 == 0 ? 70000 : (i * 7919u) % 20000 + 1;
      Source(Name(i), i % 9 == 4 ? Noise<Bytes>(size, i) : Words<Bytes>(size, i));
    }
  }
  static std::string Name(int i) { return "s" + std::to_string(i); }

  struct Run {
    Bytes cabinet;
    std::vector<std::string> calls;           // every callback, in order
    std::vector<std::pair<int, int>> failed;  // file, erfOper
    size_t nextCabinetCalls = 0;
  };
  // Adds the files (all but `skip`) on `threads` threads and flushes.
  Run AddAll(unsigned threads, const std::vector<int>& skip = {}) {
    fs.files.erase("cabs/out.cab");
    fs.statuses.clear();  // abortAtStatus counts from here
    fs.nextCabinetCalls.clear();
    fs.calls.clear();
    Run run;
    EXPECT_TRUE(CreateWith(threads));
    for (int i = 0; i < kFiles; ++i) {
      if (std::find(skip.begin(), skip.end(), i) != skip.end()) continue;
      if (!Add(Name(i))) run.failed.emplace_back(i, erf.erfOper);
    }
    EXPECT_TRUE(Flush());
    Destroy();
    EXPECT_TRUE(NoTemporaryFiles());
    run.cabinet = fs.files["cabs/out.cab"];
    run.calls = fs.calls;
    run.nextCabinetCalls = fs.nextCabinetCalls.size();
    return run;
  }
  // The cabinet holds every file not refused, each as it was.
  Cabinet ExpectHoldsAllBut(const Run& run) {
    Cabinet cab;
    std::string why;
    EXPECT_TRUE(vix::test::ReadCabinet(run.cabinet, cab, why)) << why;
    size_t held = 0;
    for (int i = 0; i < kFiles; ++i) {
      const bool refused = std::any_of(run.failed.begin(), run.failed.end(),
                                       [i](const auto& f) { return f.first == i; });
      EXPECT_EQ(cab.contents.count(Name(i)), refused ? 0u : 1u) << Name(i);
      if (!refused && cab.contents.count(Name(i))) {
        EXPECT_TRUE(cab.contents.at(Name(i)) == fs.files["src/" + Name(i)]) << Name(i);
        ++held;
      }
    }
    EXPECT_EQ(cab.files.size(), held);
    return cab;
  }
};

TEST_F(FciSmallFilesTest, OneTwoAndEightThreadsWriteTheSameCabinetAndCallbacks) {
  std::vector<Run> runs;
  for (unsigned threads : {1u, 2u, 8u}) {
    SCOPED_TRACE(threads);
    // A file's blocks are written after its FCIAddFile returns, on one
    // thread as on many: after each file fewer blocks are reported than
    // its data has filled, by the same count whatever the threads.
    fs.statuses.clear();
    ASSERT_TRUE(CreateWith(threads));
    size_t bytes = 0, mostInHand = 0;
    for (int i = 0; i < 120; ++i) {
      ASSERT_TRUE(Add(Name(i)));
      bytes += fs.files["src/" + Name(i)].size();
      mostInHand =
          std::max(mostInHand, bytes / 32768 - std::min(bytes / 32768, fs.statuses.size()));
    }
    EXPECT_GE(mostInHand, 10u);
    Destroy();

    runs.push_back(AddAll(threads));
    EXPECT_TRUE(runs.back().failed.empty());
    const Cabinet cab = ExpectHoldsAllBut(runs.back());
    ASSERT_GE(cab.folders.size(), 2u);
    EXPECT_GT(cab.folders[0].blocks.size(), 30u);
  }
  // Every callback (statuses, files placed, reads and the data file's
  // writes) at the same point whatever the threads.
  for (size_t i = 1; i < runs.size(); ++i) {
    EXPECT_TRUE(runs[i].cabinet == runs[0].cabinet) << "run " << i;
    EXPECT_TRUE(runs[i].calls == runs[0].calls) << "run " << i;
  }
}

// A file that fails among many (its source unreadable part-way, a stop
// from the status callback while earlier files' blocks are written, the
// cabinet's size limit) is taken out whole: the others are in the cabinet
// as they were, which is byte for byte that of a run never given the
// refused files, and 1, 2 and 8 threads fail the same files after the
// same callbacks.
TEST_F(FciSmallFilesTest, AFailingFileAmongManyIsTakenOutWhole) {
  enum Kind { kRead, kStop, kLimit };
  const uint32_t limit = static_cast<uint32_t>(AddAll(1).cabinet.size() * 6 / 10);
  for (Kind kind : {kRead, kStop, kLimit}) {
    SCOPED_TRACE(kind);
    std::vector<Run> runs;
    for (unsigned threads : {1u, 2u, 8u}) {
      SCOPED_TRACE(threads);
      fs.failReadOf = kind == kRead ? "src/" + Name(91) : "";
      fs.failReadAfter = 5000;
      fs.abortAtStatus = kind == kStop ? 60 : -1;
      ccab.cb = kind == kLimit ? limit : 0;
      runs.push_back(AddAll(threads));
      const Run& run = runs.back();
      ASSERT_FALSE(run.failed.empty());
      const int first = run.failed.front().first;
      if (kind == kRead) {
        EXPECT_EQ(run.failed, (std::vector<std::pair<int, int>>{{91, FCIERR_READ_SRC}}));
      } else if (kind == kStop) {
        ASSERT_EQ(run.failed.size(), 1u);
        EXPECT_EQ(run.failed[0].second, FCIERR_USER_ABORT);
        EXPECT_GT(first, 20);  // the folder had blocks in hand
      } else {
        EXPECT_GT(first, 100);
        // Told through the next-cabinet callback, whose refusal is the error.
        for (const auto& f : run.failed) EXPECT_EQ(f.second, FCIERR_USER_ABORT);
        EXPECT_EQ(run.nextCabinetCalls, run.failed.size());
      }
      ExpectHoldsAllBut(run);
    }
    for (size_t i = 1; i < runs.size(); ++i) {
      EXPECT_TRUE(runs[i].cabinet == runs[0].cabinet) << "run " << i;
      EXPECT_TRUE(runs[i].calls == runs[0].calls) << "run " << i;
      EXPECT_EQ(runs[i].failed, runs[0].failed) << "run " << i;
    }
    fs.failReadOf.clear();
    fs.abortAtStatus = -1;
    std::vector<int> refused;
    for (const auto& f : runs[0].failed) refused.push_back(f.first);
    const Run without = AddAll(2, refused);
    EXPECT_TRUE(without.cabinet == runs[0].cabinet);
    ccab.cb = 0;
  }
}

// A stop while blocks are in hand: no status after it, the file refused,
// and a context destroyed then leaves no temporary file and the old
// cabinet as it was; or, the stopped file added again and the rest, the
// cabinet of a run never stopped.
TEST_F(FciSmallFilesTest, AStopWithBlocksInHandIsTheLastCallback) {
  const Bytes unstopped = AddAll(1).cabinet;
  const Bytes old{'o', 'l', 'd'};
  for (bool retry : {false, true}) {
    std::vector<std::vector<std::string>> calls;
    for (unsigned threads : {1u, 2u, 8u}) {
      SCOPED_TRACE(testing::Message() << "retry " << retry << ", threads " << threads);
      fs.files["cabs/out.cab"] = old;
      fs.statuses.clear();
      fs.calls.clear();
      fs.abortAtStatus = 75;
      ASSERT_TRUE(CreateWith(threads));
      int stopped = -1;
      for (int i = 0; i < kFiles && stopped < 0; ++i)
        if (!Add(Name(i))) stopped = i;
      ASSERT_GE(stopped, 0);
      ExpectError(FCIERR_USER_ABORT);
      EXPECT_EQ(fs.statuses.size(), 76u);
      EXPECT_EQ(fs.calls.back(), "close src/" + Name(stopped) + " 0");
      fs.abortAtStatus = -1;
      if (retry) {
        for (int i = stopped; i < kFiles; ++i) ASSERT_TRUE(Add(Name(i))) << Name(i);
        ASSERT_TRUE(Flush());
        EXPECT_TRUE(fs.files["cabs/out.cab"] == unstopped);
      }
      Destroy();
      if (!retry) {
        EXPECT_TRUE(fs.files["cabs/out.cab"] == old);
      }
      EXPECT_TRUE(NoTemporaryFiles());
      calls.push_back(fs.calls);
    }
    EXPECT_TRUE(calls[1] == calls[0]);
    EXPECT_TRUE(calls[2] == calls[0]);
  }
}

// The data file failing (a block's header or its data cut), mostly while an
// earlier file's block is written, fails the file being added; the block
// stays in hand, so that with the disk fixed the same file and the rest
// give the cabinet of a run without the fault.
TEST_F(FciSmallFilesTest, ABlockThatCouldNotBeWrittenStaysInHand) {
  const Bytes whole = AddAll(1).cabinet;
  for (size_t after : {200000u, 200004u, 300011u}) {
    for (unsigned threads : {1u, 2u}) {
      SCOPED_TRACE(testing::Message() << "after " << after << ", threads " << threads);
      fs.failWriteOf = "tmp/t" + std::to_string(fs.tempCount);
      fs.failWriteAfter = after;
      ASSERT_TRUE(CreateWith(threads));
      int failed = -1;
      for (int i = 0; i < kFiles && failed < 0; ++i)
        if (!Add(Name(i))) failed = i;
      ASSERT_GE(failed, 0);
      ExpectError(FCIERR_TEMP_FILE, kENOSPC);
      fs.failWriteOf.clear();
      for (int i = failed; i < kFiles; ++i) ASSERT_TRUE(Add(Name(i))) << Name(i);
      ASSERT_TRUE(Flush());
      Destroy();
      EXPECT_TRUE(fs.files["cabs/out.cab"] == whole);
      EXPECT_TRUE(NoTemporaryFiles());
    }
  }
}

TEST(FciThreads, OnlyALiveContextTakesAThreadCount) {
  EXPECT_FALSE(SetBuiltinThreads(nullptr, 2));
  int notAContext = 0;
  EXPECT_FALSE(SetBuiltinThreads(&notAContext, 2));
}

}  // namespace

#endif  // _WIN32
