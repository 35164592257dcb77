// The test harness itself: what every suite leans on must not quietly pass
// over a case or hand out other data than it says.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "archive/kvtErrors.h"
#include "archive/test_writer.h"
#include "support/error_log.h"
#include "support/files.h"
#include "support/regressions.h"
#include "support/test_data.h"
#include "support/writer_run.h"

namespace vix::test {
namespace {

// An archive saved under another ending, or a companion without its archive,
// would be skipped without a word: every file of a folder is a case the
// walker runs, or a companion named after one (kept-links.cut beside
// kept-links.tar), or the script that made them. Each folder holds kept
// cases, and those that have refused ones still do.
TEST(RegressionFolders, EveryFileIsACaseOrItsCompanion) {
  namespace fs = std::filesystem;
  struct Folder {
    const char* format;
    const char* extension;
    bool hasRefused;
  };
  for (const Folder& folder : {Folder{"zip", ".zip", true}, Folder{"lzh", ".lzh", false},
                               Folder{"tar", ".tar", true}}) {
    SCOPED_TRACE(folder.format);
    std::set<std::string> cases;
    size_t refused = 0;
    for (const RegressionFile& file : RegressionFiles(folder.format, folder.extension)) {
      cases.insert(file.Name);
      refused += file.Refused;
      EXPECT_TRUE(fs::exists(fs::u8path(file.Path))) << file.Path;
    }
    EXPECT_GT(cases.size(), refused) << "no kept archive";
    EXPECT_EQ(refused > 0, folder.hasRefused);
    for (const auto& entry : fs::directory_iterator(fs::u8path(RegressionPath(folder.format, "")))) {
      const std::string name = entry.path().filename().u8string();
      if (cases.count(name) || name == "make_corpus.py") continue;
      const std::string stem = name.substr(0, name.rfind('.'));
      EXPECT_TRUE(cases.count(stem + folder.extension))
          << name << " is neither a case nor the companion of one";
    }
  }
}

TEST(TestData, NoiseIsTheSameBytesInEitherBufferAndSpreadOverAllValues) {
  const std::string text = Noise(65536, 5);
  const Bytes bytes = Noise<Bytes>(65536, 5);
  ASSERT_EQ(text.size(), 65536u);
  EXPECT_TRUE(std::equal(text.begin(), text.end(), bytes.begin(),
                         [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; }));
  EXPECT_NE(Noise(64, 6), Noise(64, 5).substr(0, 64));
  EXPECT_EQ(std::set<uint8_t>(bytes.begin(), bytes.end()).size(), 256u);
}

TEST(TestData, WordsAreWholeWordsOfTheVocabularyCutAtTheSize) {
  const std::initializer_list<const char*> vocabulary = {"ab ", "cde ", "\n"};
  const std::string text = Words(10001, 3, vocabulary);
  ASSERT_EQ(text.size(), 10001u);
  std::set<std::string> seen;
  for (size_t at = 0; at < text.size();) {
    size_t matched = 0;
    for (const char* word : vocabulary) {
      const std::string w(word);
      if (text.compare(at, w.size(), w, 0, std::min(w.size(), text.size() - at)) == 0) {
        matched = w.size();
        seen.insert(w);
      }
    }
    ASSERT_GT(matched, 0u) << "no word at " << at;
    at += matched;
  }
  EXPECT_EQ(seen.size(), vocabulary.size());
  EXPECT_EQ(Words<Bytes>(500, 3, vocabulary), Bytes(text.begin(), text.begin() + 500));
}

TEST(TestData, RepeatsCycleThePatternAndDriftByStretch) {
  EXPECT_EQ(Repeats(7, "abc"), "abcabca");
  EXPECT_EQ(Repeats<Bytes>(6, "ab", 2), (Bytes{'a', 'b', 'b', 'c', 'c', 'd'}));
}

TEST(ErrorLog, KeepsEveryReportInOrderWithItsFileAndReason) {
  TTestWriter writer;
  ErrorLog errors;
  errors.Attach(writer);
  writer.ReportError("a.txt", "no room", "0", kErrWrite);
  writer.ReportError("b.txt", "gone", "0", kErrOpen);
  EXPECT_EQ(errors.Codes(), (std::vector<int>{kErrWrite, kErrOpen}));
  EXPECT_EQ(errors.Messages(), (std::vector<std::string>{"a.txt: no room", "b.txt: gone"}));
  errors.Clear();
  EXPECT_TRUE(errors.Empty());
}

// Run gives every run a writer of its own; RunKept keeps one, as a program
// that reuses its component does. Both report to the same log.
TEST(WriterRun, RunStartsAfreshRunKeptKeepsTheOptions) {
  WriterRun<TTestWriter> run;
  run.Prepare = [](TTestWriter& w) { w.StoreEmptySubDirs = true; };
  const std::string archive = run.dir / "out.tst";
  run.Run({run.dir / "none"}, archive, [](TTestWriter& w) {
    EXPECT_TRUE(w.StoreEmptySubDirs);
    w.RecurseDirs = true;
    w.ReportError("first", "marker", "0", kErrOpen);
  });
  run.Run({run.dir / "none"}, archive, [](TTestWriter& w) {
    EXPECT_FALSE(w.RecurseDirs);
    w.ReportError("second", "marker", "0", kErrOpen);
  });
  run.writer.RecurseDirs = true;
  run.RunKept({run.dir / "none"}, archive, [](TTestWriter& w) {
    EXPECT_TRUE(w.RecurseDirs);
    EXPECT_FALSE(w.StoreEmptySubDirs);  // Prepare is for new writers only
    w.ReportError("kept", "marker", "0", kErrOpen);
  });
  ASSERT_GE(run.errors.Reports.size(), 3u);
  std::vector<std::string> files;
  for (const auto& r : run.errors.Reports)
    if (r.Extended == "marker") files.push_back(r.File);
  EXPECT_EQ(files, (std::vector<std::string>{"first", "second", "kept"}));
}

}  // namespace
}  // namespace vix::test
