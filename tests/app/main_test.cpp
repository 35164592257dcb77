// The compress dialog's logic: the command line and the list file, the
// placement arithmetic, folder expansion, the archive name, the writer
// choice, and the job on real files.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/Main.h"
#include "app/WriterChoice.h"
#include "archive/kvtNames.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/ui_double.h"

namespace vix::app {
namespace {

namespace fs = std::filesystem;

// A path written with "/" in the platform's spelling.
std::string N(const std::string& s) { return test::NativePath(s); }

class MainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application() = TApplicationState();
    form_.SettingsPath = dir_.Join("PLM_VIX.INI");
  }
  test::TempDir dir_;
  test::UiDouble ui_;
  TfrmCompress form_;
};

TEST_F(MainTest, ArgumentsBecomeTheListAndTheDialogIsCentred) {
  form_.ScreenWidth = 1001;
  form_.ReadFileList({"a.txt", "C:\\my docs", "/se", "x"});
  EXPECT_EQ(form_.FileList, (std::vector<std::string>{"a.txt", "C:\\my docs", "/se", "x"}));
  EXPECT_EQ(form_.Bounds.Left, (1001 - form_.Bounds.Width) / 2);
  EXPECT_FALSE(Application().Terminated);
}

TEST_F(MainTest, ListFileReplacesEarlierNamesAndIsDeleted) {
  const std::string list = dir_.WriteFile("__000000.TMP", "first\r\nsecond\r\n");
  form_.ReadFileList({"dropped", "/SE", list});
  EXPECT_EQ(form_.FileList, (std::vector<std::string>{"first", "second"}));
  EXPECT_FALSE(dir_.Exists("__000000.TMP"));
  EXPECT_FALSE(Application().Terminated);
}

TEST_F(MainTest, BadUseOfTheListSwitchEndsTheRun) {
  const std::string list = dir_.WriteFile("l.TMP", "a\n");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"/SE"}, {"/SE", list, "more"}, {"/SE", dir_.Join("missing.TMP")}}) {
    Application() = TApplicationState();
    TfrmCompress form;
    form.ReadFileList(args);
    EXPECT_TRUE(Application().Terminated) << args.size();
    EXPECT_FALSE(Application().ShowMainForm);
  }
  EXPECT_TRUE(dir_.Exists("l.TMP"));  // only a list that was read goes
}

TEST_F(MainTest, ListFileLineBreaksNulAndEncodings) {
  EXPECT_EQ(SplitListText("a\r\nb\rc\n\nd\n"),
            (std::vector<std::string>{"a", "b", "c", "", "d"}));
  EXPECT_EQ(SplitListText(std::string("a\nb\0c\nd", 7)), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SplitListText("\xEF\xBB\xBF日本.txt\r\n"), (std::vector<std::string>{"日本.txt"}));
  // Without a mark: the system code page (UTF-8 on Linux), with a name that
  // page holds.
  std::string name = "表.txt";
  if (platform::AnsiToUtf8(platform::Utf8ToAnsi(name)) != name) name = "café.txt";
  EXPECT_EQ(SplitListText(platform::Utf8ToAnsi(name) + "\n"), (std::vector<std::string>{name}));
  EXPECT_TRUE(SplitListText("").empty());
}

TEST_F(MainTest, NoArgumentsShowsTheDropWindowAndCentresOnIt) {
  form_.ShowDropWindow = [](std::vector<std::string>& names, TRect& drop) {
    names = {"x", "y"};
    drop = {900, 10, 178, 105};
    return true;
  };
  form_.ReadFileList({});
  EXPECT_EQ(form_.FileList, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(form_.Bounds.Left, form_.ScreenWidth - form_.Bounds.Width);
  EXPECT_EQ(form_.Bounds.Top, 0);
  form_.ShowDropWindow = [](std::vector<std::string>&, TRect&) { return false; };
  form_.ReadFileList({});
  EXPECT_TRUE(Application().Terminated);
}

TEST(Placement, CentresTruncatingTowardZeroAndClampsHorizontallyFirst) {
  EXPECT_EQ(CentreOnScreen(1025, 768, 400, 300), (TPoint{312, 234}));
  EXPECT_EQ(CentreOnScreen(300, 200, 401, 301), (TPoint{-50, -50}));
  EXPECT_EQ(CentreOnDropWindow({100, 100, 178, 105}, 400, 300, 1024, 768), (TPoint{0, 3}));
  EXPECT_EQ(CentreOnDropWindow({500, 400, 178, 105}, 400, 300, 1024, 768), (TPoint{389, 303}));
  EXPECT_EQ(CentreOnDropWindow({900, 700, 178, 105}, 400, 300, 1024, 768), (TPoint{624, 468}));
  EXPECT_EQ(CentreOnDropWindow({10, 10, 178, 105}, 400, 300, 1024, 768), (TPoint{0, 0}));
}

TEST_F(MainTest, FoldersExpandDepthFirstWithoutEnteringAFolderLinkLoop) {
  const std::string pics = dir_.MakeDir("data/pics");
  dir_.MakeDir("data/pics/a/x");
  dir_.MakeDir("data/pics/b");
  dir_.WriteFile("data/pics/f.txt", "f");
  const std::string file = dir_.WriteFile("data/r.txt", "r");
  std::error_code ec;
  fs::create_directory_symlink(pics, pics + N("/a/x/loop"), ec);
  if (ec) GTEST_SKIP() << "no folder links here: " << ec.message();
  form_.FileList = {pics + N("/"), file, dir_.Join("data/missing")};
  form_.ExpandFileList();
  EXPECT_EQ(form_.edtArchiveFilename.Text, "pics");
  EXPECT_TRUE(form_.edtArchiveFilename.AllSelected);
  std::vector<std::string> got = form_.FileList;
  // Subfolders come in the file system's order; sort the two branches.
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0], pics + N("/*.*"));
  std::vector<std::string> middle(got.begin() + 1, got.begin() + 4);
  std::sort(middle.begin(), middle.end());
  EXPECT_EQ(middle, (std::vector<std::string>{pics + N("/a/*.*"), pics + N("/a/x/*.*"), pics + N("/b/*.*")}));
  const auto a = std::find(got.begin(), got.end(), pics + N("/a/*.*"));
  EXPECT_EQ(*(a + 1), pics + N("/a/x/*.*"));  // a folder's line before its subfolders'
  EXPECT_EQ(got[4], file);
  EXPECT_EQ(got[5], dir_.Join("data/missing"));
}

TEST_F(MainTest, ArchiveNameIsProposedAndCompleted) {
  const std::string w = dir_.MakeDir("w");
  dir_.WriteFile("w/Report.txt", "r");
  form_.FileList = {w + N("/report.txt"), w + N("/b.doc")};
  EXPECT_EQ(form_.DefaultArchiveDir(), w);
  EXPECT_EQ(form_.DefaultArchiveName(), "Report");
  EXPECT_EQ(form_.CompleteArchiveName(".lzh"), w + N("/Report.lzh"));
  form_.edtArchiveFilename.Text = "x.zip";
  EXPECT_EQ(form_.CompleteArchiveName(".lzh"), w + N("/x.zip"));
  form_.edtArchiveFilename.Text = N("/elsewhere/y");
  EXPECT_EQ(form_.CompleteArchiveName(".cab"), N("/elsewhere/y.cab"));
  form_.FileList = {w + N("/sub/*.*")};
  form_.edtArchiveFilename.Text.clear();
  EXPECT_EQ(form_.DefaultArchiveDir(), w);
  EXPECT_EQ(form_.CompleteArchiveName(".tgz"), w + N("/sub.tgz"));
  form_.FileList = {N("/top")};
  EXPECT_EQ(form_.CompleteArchiveName(".zip"), N("/top.zip"));
  // Relative names keep the archive relative (the current folder).
  form_.FileList = {"rel"};
  EXPECT_EQ(form_.CompleteArchiveName(".zip"), "rel.zip");
}

TEST_F(MainTest, GoDesktopMovesTheNameToTheDesktop) {
  form_.FileList = {N("/w/report.txt")};
  form_.edtArchiveFilename.Text = N("/w/old/name.lzh");
  form_.btnGoDeskTopClick();
  const std::string desktop = SpecialFolderDir(platform::kCsidlDesktopDirectory);
  ASSERT_FALSE(desktop.empty());
  EXPECT_EQ(form_.edtArchiveFilename.Text, desktop + N("/name.lzh"));
  form_.edtArchiveFilename.Text.clear();
  form_.btnGoDeskTopClick();
  EXPECT_EQ(form_.edtArchiveFilename.Text, desktop + N("/report"));
}

TEST_F(MainTest, PasswordControlsFollowTheBoxes) {
  form_.FormCreate({"a"});
  // The start-up runs the SFX handler last, which enables all three.
  EXPECT_TRUE(form_.edtZIP_Password.Enabled);
  EXPECT_EQ(form_.edtZIP_Password.PasswordChar, '*');
  form_.chkZIP_Password.SetChecked(true);
  EXPECT_TRUE(form_.edtZIP_Password.Enabled && form_.chkZIP_ShowPassword.Enabled);
  form_.chkZIP_ShowPassword.SetChecked(true);
  EXPECT_EQ(form_.edtZIP_Password.PasswordChar, 0);
  form_.chkZIP_SFX.SetChecked(true);
  EXPECT_FALSE(form_.chkZIP_Password.Enabled || form_.edtZIP_Password.Enabled);
  EXPECT_EQ(form_.Caption, "Pelmoran Vix");
}

TEST(WriterChoice, EachPageAndItemGivesWriterMethodAndExtension) {
  struct Row {
    int Page, Item;
    TArcType Type;
    TCompressMethod Method;
    int Deflate;
    const char* Ext;
  };
  const Row rows[] = {
      {0, 0, atLha, cmStore, -1, ".lzh"},       {0, 1, atLha, cmFrozen5, -1, ".lzh"},
      {0, 2, atLha, cmFrozen6, -1, ".lzh"},     {1, 0, atZip, cmStore, -1, ".zip"},
      {1, 1, atZip, cmDeflate, dtDeflateF, ".zip"}, {1, 2, atZip, cmDeflate, dtDeflateN, ".zip"},
      {1, 3, atZip, cmDeflate, dtDeflateX, ".zip"}, {1, -1, atZip, cmDeflate, dtDeflateN, ".zip"},
      {2, 0, atCab, cmStore, -1, ".cab"},       {2, 1, atCab, cmMsZip, -1, ".cab"},
      {2, 2, atCab, cmLzx, -1, ".cab"},         {2, -1, atCab, cmLzx, -1, ".cab"},
      {3, 0, atTar, cmTarred, -1, ".tar"},      {3, 1, atTar, cmGzipTar, -1, ".tgz"},
      {3, -1, atTar, cmTarred, -1, ""},
  };
  for (const Row& r : rows) {
    auto w = MakePageWriter(r.Page);
    ASSERT_TRUE(w);
    ApplyPageMethod(*w, r.Page, r.Item);
    EXPECT_EQ(w->ArcType(), r.Type) << r.Page << "/" << r.Item;
    EXPECT_EQ(w->CompressMethod(), r.Method) << r.Page << "/" << r.Item;
    if (r.Deflate >= 0) {
      EXPECT_EQ(w->DeflateType(), r.Deflate) << r.Page << "/" << r.Item;
    }
    EXPECT_EQ(PageExtension(r.Page, r.Item), r.Ext);
  }
  EXPECT_FALSE(MakePageWriter(4));
  EXPECT_FALSE(MakePageWriter(-1));
  EXPECT_EQ(StoredDirNamesOfItem(0), sdExplorer);
  EXPECT_EQ(StoredDirNamesOfItem(1), sdAbsoluteNoDrv);
  EXPECT_EQ(StoredDirNamesOfItem(2), sdNone);
  EXPECT_EQ(StoredDirNamesOfItem(-1), sdNone);
  // Every dialog item has its command-line name.
  for (int page = 0; page < kPageCount; ++page)
    for (int item = 0; item < (page == pgZip ? 4 : page == pgTar ? 2 : 3); ++item)
      EXPECT_TRUE(MethodOfItem(page, item)) << page << "/" << item;
}

// A writer that records what the job set and writes nothing.
struct TJobRecord {
  std::vector<std::string> Spec;
  std::string Archive, Dir;
  TStoredDirNames Paths = sdRelative;
  bool Recurse = true, Handlers = false;
  int Runs = 0;
};

class TRecordingWriter : public TCompBase {
 public:
  explicit TRecordingWriter(TJobRecord& record) : TCompBase(nullptr), record_(record) {}
  void CompressArchive() override {
    ++record_.Runs;
    record_.Spec = FileSpec();
    record_.Archive = ArchiveFile();
    record_.Dir = DefaultDir();
    record_.Paths = StoredDirNames;
    record_.Recurse = RecurseDirs;
    record_.Handlers = OnProgress && OnError && OnBegin && OnReplaceFile && !OnNonWriteableArchive;
  }

 private:
  TJobRecord& record_;
};

TEST_F(MainTest, JobHandsTheDialogsChoicesToTheWriter) {
  const std::string w = dir_.MakeDir("w");
  form_.FileList = {w + N("/a.txt"), w + N("/sub/*.*")};
  form_.grpStoredDirNames.ItemIndex = 1;
  form_.PageControl1.ActivePageIndex = 2;
  TJobRecord rec;
  int madeFor = -1;
  form_.WriterFactory = [&](int page) {
    madeFor = page;
    return std::make_unique<TRecordingWriter>(rec);
  };
  std::vector<std::string> labels;
  form_.BindProgress = [&](TfrmProgress& p) {
    p.OnChange = [&labels](const TfrmProgress& q) { labels.push_back(q.Label1 + "|" + q.Label2); };
  };
  form_.btnOKClick();
  EXPECT_EQ(madeFor, 2);
  EXPECT_EQ(rec.Runs, 1);
  EXPECT_EQ(rec.Spec, form_.FileList);
  EXPECT_EQ(rec.Archive, w + N("/a.cab"));
  EXPECT_EQ(rec.Dir, w + N("/"));
  EXPECT_EQ(rec.Paths, sdAbsoluteNoDrv);
  EXPECT_FALSE(rec.Recurse);
  EXPECT_TRUE(rec.Handlers);
  ASSERT_GE(labels.size(), 2u);
  EXPECT_EQ(labels[1], "書庫名： a.cab|ファイル一覧を取得中...");
  EXPECT_TRUE(Application().Terminated);
  EXPECT_FALSE(form_.frmProgress);
}

TEST_F(MainTest, JobDoesNothingWithoutFilesOrPage) {
  int made = 0;
  TJobRecord rec;
  form_.WriterFactory = [&](int) {
    ++made;
    return std::make_unique<TRecordingWriter>(rec);
  };
  form_.btnOKClick();
  form_.FileList = {"a"};
  form_.PageControl1.ActivePageIndex = -1;
  form_.btnOKClick();
  EXPECT_EQ(made, 0);
  EXPECT_FALSE(Application().Terminated);
}

}  // namespace
}  // namespace vix::app
