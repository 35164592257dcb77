// The name check between the search and the writing, through the real
// writers: which names each format lists, and what a stop leaves behind.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/WriterChoice.h"
#include "archive/kvtBase.h"
#include "archive/kvtNames.h"
#include "support/temp_dir.h"

namespace vix {
namespace {

struct NameRun {
  int Written = 0;
  int Checks = 0;                // times OnNameCheck fired
  bool ArchiveAtCheck = false;   // the archive existed when it fired
  std::vector<TNameNote> Notes;  // of the last check
  std::vector<int> Errors;
};

class NameCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
    dir_.WriteFile("src/a.txt", "alpha");
    dir_.WriteFile("src/日本.txt", "nihon");
    dir_.WriteFile("src/한국.txt", "hanguk");
  }

  NameRun Compress(const std::string& format, const std::string& archive,
               const std::vector<std::string>& spec, bool answer = true,
               TStoredDirNames paths = sdRelative, bool translate = true) {
    NameRun run;
    auto w = app::MakeWriter(format);
    w->SetFileSpec(spec);
    w->SetDefaultDir(dir_.Join("src"));
    w->SetArchiveFile(archive);
    w->StoredDirNames = paths;
    w->TranslateOemChar = translate;
    w->OnError = [&](TCompBase&, const std::string&, const std::string&, const std::string&,
                     int code) { run.Errors.push_back(code); };
    w->OnReplaceFile = [](TCompBase&, const std::string&, const std::string&, TDateTime,
                          TDateTime, uint32_t, uint32_t, int, int, bool& r) { r = true; };
    w->OnNameCheck = [&](TCompBase& s, const std::vector<TNameNote>& notes, bool& go) {
      ++run.Checks;
      run.ArchiveAtCheck = platform::Current().GetAttributes(s.ArchiveFile()) !=
                           platform::kNoAttributes;
      run.Notes = notes;
      EXPECT_TRUE(go);  // going on unless told otherwise
      go = answer;
    };
    run.Written = w->Compress();
    return run;
  }

  std::string Archive(const std::string& format) {
    return dir_.Join("out/a." + format);
  }
  // Everything in the output folder, sorted.
  std::vector<std::string> OutFiles() {
    std::vector<std::string> names;
    auto search = platform::Current().FindFirst(dir_.Join("out"), "*");
    platform::FindData d;
    while (search && search->Next(d))
      if (d.Name != "." && d.Name != "..") names.push_back(d.Name);
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir dir_;
  std::string out_ = dir_.MakeDir("out");
};

// A Korean name lies outside code page 932: the formats that mark UTF-8
// names store it so; LZH cannot and leaves the file out. A name the page
// holds (Japanese) and a plain one are not listed.
TEST_F(NameCheckTest, EachFormatListsTheNamesItCannotHoldAsTheyAre) {
  for (const std::string format : {"lzh", "zip", "tar", "cab"}) {
    SCOPED_TRACE(format);
    const NameRun run = Compress(format, Archive(format), {dir_.Join("src/*")});
    ASSERT_EQ(run.Checks, 1);
    EXPECT_FALSE(run.ArchiveAtCheck);
    ASSERT_EQ(run.Notes.size(), 1u);
    const TNameNote& note = run.Notes[0];
    EXPECT_EQ(note.StoredName, "한국.txt");
    EXPECT_EQ(note.FileName, dir_.Join("src/한국.txt"));
    if (format == "lzh") {
      EXPECT_EQ(note.Kind, TNameNote::nkCodePage);
      EXPECT_TRUE(note.LeftOut());
      EXPECT_NE(note.Reason.find("932"), std::string::npos) << note.Reason;
      // Going on, the file is left out and reported as before.
      EXPECT_EQ(run.Written, 2);
      EXPECT_EQ(run.Errors, std::vector<int>{kErrNameNotStored});
    } else {
      EXPECT_EQ(note.Kind, TNameNote::nkUtf8);
      EXPECT_FALSE(note.LeftOut());
      EXPECT_EQ(run.Written, 3);
      EXPECT_TRUE(run.Errors.empty());
    }
  }
}

// Stopping at the question writes nothing: an old archive keeps every
// byte, a new one is not made, and no temporary file stays. A file the
// stop left out is not reported: nothing was left out of anything.
TEST_F(NameCheckTest, AStopWritesNothingAndKeepsAnOldArchive) {
  for (const std::string format : {"lzh", "zip", "tar", "cab"}) {
    SCOPED_TRACE(format);
    const std::string archive = Archive(format);
    ASSERT_EQ(Compress(format, archive, {dir_.Join("src/a.txt")}).Written, 1);
    const std::string before = dir_.ReadFile("out/a." + format);
    const std::vector<std::string> files = OutFiles();

    const NameRun stopped = Compress(format, archive, {dir_.Join("src/*")}, false);
    EXPECT_EQ(stopped.Checks, 1);
    EXPECT_TRUE(stopped.ArchiveAtCheck);
    EXPECT_EQ(stopped.Written, 0);
    EXPECT_TRUE(stopped.Errors.empty());
    EXPECT_EQ(dir_.ReadFile("out/a." + format), before);
    EXPECT_EQ(OutFiles(), files);

    const NameRun fresh = Compress(format, dir_.Join("out/new." + format), {dir_.Join("src/*")}, false);
    EXPECT_EQ(fresh.Checks, 1);
    EXPECT_EQ(fresh.Written, 0);
    EXPECT_FALSE(dir_.Exists("out/new." + format));
    EXPECT_EQ(OutFiles(), files);
  }
}

// The check looks at the names as the archive stores them: a Korean folder
// above the spec's folder is not stored with relative paths, and is with
// absolute ones. Entries an update keeps as they are are not listed again,
// and without the code-page step UTF-8 is every name's form: nothing to say.
TEST_F(NameCheckTest, OnlyNamesAsStoredAndOnlyNewOnesAreListed) {
  dir_.WriteFile("한/src/b.txt", "bravo");
  const std::string spec = dir_.Join("한/src/*");
  NameRun run = Compress("zip", Archive("zip"), {spec});
  EXPECT_EQ(run.Checks, 0);
  EXPECT_EQ(run.Written, 1);
  run = Compress("zip", dir_.Join("out/abs.zip"), {spec}, true, sdAbsoluteNoDrv);
  ASSERT_EQ(run.Notes.size(), 1u);
  EXPECT_NE(run.Notes[0].StoredName.find("한"), std::string::npos) << run.Notes[0].StoredName;

  ASSERT_EQ(Compress("zip", Archive("zip"), {dir_.Join("src/*")}).Checks, 1);
  run = Compress("zip", Archive("zip"), {dir_.Join("src/*")});
  EXPECT_EQ(run.Checks, 0);
  EXPECT_EQ(run.Written, 0);
  dir_.WriteFile("src/한국.txt", "changed");
  run = Compress("zip", Archive("zip"), {dir_.Join("src/*")});
  ASSERT_EQ(run.Notes.size(), 1u);  // the replaced entry
  EXPECT_EQ(run.Notes[0].StoredName, "한국.txt");

  run = Compress("zip", dir_.Join("out/raw.zip"), {dir_.Join("src/*")}, true, sdRelative, false);
  EXPECT_EQ(run.Checks, 0);
  EXPECT_EQ(run.Written, 3);
}

}  // namespace
}  // namespace vix
