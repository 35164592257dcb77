// The built-in cabinet library with MSZIP blocks encoded on worker threads:
// the cabinet, the callbacks and the failures must be those of a run on the
// calling thread alone.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>
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

TEST(FciThreads, OnlyALiveContextTakesAThreadCount) {
  EXPECT_FALSE(SetBuiltinThreads(nullptr, 2));
  int notAContext = 0;
  EXPECT_FALSE(SetBuiltinThreads(&notAContext, 2));
}

}  // namespace

#endif  // _WIN32
