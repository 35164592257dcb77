// The compress job on real files with the real writers: the faults it mends
// around cancelling, the ZIP password, the LZH end mark and TAR-GZIP names;
// the name check's question and the verify box.
#include <gtest/gtest.h>

#include "app/Main.h"
#include "app/WriterChoice.h"
#include "support/temp_dir.h"
#include "support/ui_double.h"

namespace vix::app {
namespace {

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application() = TApplicationState();
    src_ = dir_.MakeDir("w/src");
    dir_.WriteFile("w/src/a.txt", std::string(5000, 'a') + "z");
    dir_.WriteFile("w/src/b.txt", "bravo z");
  }
  // One run of the dialog on the folder, as OK does it.
  TJobResult Run(int page, int item, const std::string& name, bool cancel = false) {
    TfrmCompress form;
    form.SettingsPath = dir_.Join("PLM_VIX.INI");
    form.SaveSettingsOnDestroy = false;
    form.FormCreate({src_});
    form.PageControl1.ActivePageIndex = page;
    TRadioGroup* groups[] = {&form.grpLHACompressMethod, &form.grpZipDeflateType,
                             &form.grpCAB_CompressType, &form.grpTAR_CompressType};
    groups[page]->ItemIndex = item;
    form.edtArchiveFilename.Text = name;
    form.Cancelled = cancel;
    if (Password.size()) {
      form.chkZIP_Password.SetChecked(true);
      form.edtZIP_Password.Text = Password;
    }
    form.ShowError = [this](const std::string& f, const std::string& x, int code) {
      Errors.push_back(f + "|" + x + "|" + std::to_string(code));
    };
    form.chkVerify.SetChecked(Verify);
    if (Factory) form.WriterFactory = Factory;
    form.btnOKClick();
    return form.LastJob;
  }
  std::string Archive(const std::string& name) { return dir_.Join("w/" + name); }

  test::TempDir dir_;
  test::UiDouble ui_;
  std::string src_;
  std::string Password;
  bool Verify = false;
  std::function<std::unique_ptr<TCompBase>(int page)> Factory;
  std::vector<std::string> Errors;
};

// Fault mended: a cancelled job deleted the archive even when it had
// existed before the job.
TEST_F(JobTest, CancelKeepsAnArchiveThatExistedAndLeavesNoNewOne) {
  for (int page : {pgLzh, pgZip, pgCab, pgTar}) {
    const std::string name = "old" + std::to_string(page) + PageExtension(page, 0);
    ASSERT_FALSE(Run(page, 0, name).Cancelled);
    ASSERT_TRUE(Errors.empty()) << Errors.front();
    const std::string before = dir_.ReadFile("w/" + name);
    dir_.WriteFile("w/src/b.txt", "changed " + std::to_string(page));
    const TJobResult r = Run(page, 0, name, true);
    EXPECT_TRUE(r.Cancelled) << name;
    ASSERT_TRUE(dir_.Exists("w/" + name)) << name;
    EXPECT_EQ(dir_.ReadFile("w/" + name), before) << name;
    const std::string fresh = "new" + std::to_string(page) + PageExtension(page, 0);
    EXPECT_TRUE(Run(page, 0, fresh, true).Cancelled);
    EXPECT_FALSE(dir_.Exists("w/" + fresh)) << fresh;
  }
}

// Fault mended: the password of the ZIP page was never used.
TEST_F(JobTest, CheckedPasswordEncryptsTheZipEntries) {
  Password = "secret";
  Run(pgZip, 2, "p.zip");
  const std::string zip = dir_.ReadFile("w/p.zip");
  ASSERT_GT(zip.size(), 30u);
  ASSERT_EQ(zip.substr(0, 4), "PK\x03\x04");
  EXPECT_EQ(zip[6] & 1, 1);  // general-purpose flag: encrypted
  Password.clear();
  Run(pgZip, 2, "q.zip");
  EXPECT_EQ(dir_.ReadFile("w/q.zip")[6] & 1, 0);
}

// Fault mended: every run appended an end mark, so a run that changed
// nothing left an archive ending with two.
TEST_F(JobTest, LzhArchiveEndsWithExactlyOneEndMark) {
  for (int run = 0; run < 2; ++run) {
    const TJobResult r = Run(pgLzh, 0, "e.lzh");
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    const std::string lzh = dir_.ReadFile("w/e.lzh");
    ASSERT_GE(lzh.size(), 2u);
    EXPECT_EQ(lzh.substr(lzh.size() - 2), std::string("z\0", 2)) << "run " << run;
  }
  dir_.WriteFile("w/src/c.txt", "charlie z");
  Run(pgLzh, 0, "e.lzh");
  const std::string lzh = dir_.ReadFile("w/e.lzh");
  EXPECT_EQ(lzh.substr(lzh.size() - 2), std::string("z\0", 2));
  EXPECT_NE(lzh.find("c.txt"), std::string::npos);
}

// Fault mended: TAR-GZIP left x.tgz.gz instead of the name the dialog showed.
TEST_F(JobTest, TarGzipLeavesTheCompletedName) {
  const TJobResult r = Run(pgTar, 1, "t");
  EXPECT_EQ(r.ArchiveFile, Archive("t.tgz"));
  EXPECT_TRUE(r.Committed);
  const std::string tgz = dir_.ReadFile("w/t.tgz");
  EXPECT_EQ(tgz.substr(0, 2), "\x1F\x8B");
  EXPECT_FALSE(dir_.Exists("w/t.tgz.gz"));
  EXPECT_FALSE(dir_.Exists("w/t.tar"));
  EXPECT_FALSE(dir_.Exists("w/t.tgz.~vix0"));
  // A second run replaces it whole with a new one.
  dir_.WriteFile("w/src/c.txt", "charlie");
  Run(pgTar, 1, "t");
  EXPECT_NE(dir_.ReadFile("w/t.tgz"), tgz);
  EXPECT_EQ(dir_.ReadFile("w/t.tgz").substr(0, 2), "\x1F\x8B");
  // A cancelled run leaves the old one.
  const std::string kept = dir_.ReadFile("w/t.tgz");
  Run(pgTar, 1, "t", true);
  EXPECT_EQ(dir_.ReadFile("w/t.tgz"), kept);
  EXPECT_FALSE(dir_.Exists("w/t.tgz.~vix0"));
}

TEST_F(JobTest, ReadOnlyArchiveIsReportedAndLeftAlone) {
  const std::string path = dir_.WriteFile("w/ro.tgz", "mine");
  ASSERT_TRUE(platform::Current().SetAttributes(path, platform::kAttrReadOnly));
  Run(pgTar, 1, "ro.tgz");
  platform::Current().SetAttributes(path, platform::kAttrArchive);
  EXPECT_EQ(dir_.ReadFile("w/ro.tgz"), "mine");
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("OnNonWriteableArchive|25270"), std::string::npos);
}

TEST_F(JobTest, ProgressQuestionAnsweredYesCancelsAtTheNextReport) {
  TfrmCompress form;
  TfrmProgress progress(form);
  ui_.QueueAnswer(platform::Answer::No);
  ui_.QueueAnswer(platform::Answer::Yes);
  progress.Button1Click();
  EXPECT_FALSE(form.Cancelled);
  bool canClose = true;
  progress.FormCloseQuery(canClose);
  EXPECT_FALSE(canClose);
  EXPECT_TRUE(form.Cancelled);
  ASSERT_EQ(ui_.Questions.size(), 2u);
  EXPECT_EQ(ui_.Questions[0].Text, "キャンセルしてもよろしいですか？");
  EXPECT_EQ(ui_.Questions[0].Caption, "Pelmoran Vix");
}

// A name outside code page 932 is asked about before anything is written:
// いいえ leaves the old archive (TAR-GZIP too) and makes no new one; はい
// stores it in UTF-8. The question is the dialog's message box.
TEST_F(JobTest, NameQuestionAnsweredNoWritesNothingAndYesGoesOn) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  for (const auto& [page, item] : {std::pair{pgZip, 2}, std::pair{pgTar, 1}}) {
    const std::string name = "n" + std::to_string(page) + PageExtension(page, item);
    ASSERT_TRUE(Run(page, item, name).Committed);
    const std::string before = dir_.ReadFile("w/" + name);
    dir_.WriteFile("w/src/한국.txt", "hanguk");
    ui_.Questions.clear();
    const TJobResult no = Run(page, item, name);
    EXPECT_TRUE(no.NamesStopped);
    EXPECT_FALSE(no.Committed);
    EXPECT_EQ(dir_.ReadFile("w/" + name), before);
    ASSERT_EQ(ui_.Questions.size(), 1u);
    EXPECT_EQ(ui_.Questions[0].Caption, "Pelmoran Vix");
    EXPECT_EQ(ui_.Questions[0].Text,
              "次のファイル名はこの形式の書庫にそのままでは格納できません。\r\n\r\nsrc" +
                  std::string(1, platform::kNativeStyle.Delim) +
                  "한국.txt: UTF-8 で格納します\r\n\r\n書き込みを続けますか?");
    EXPECT_FALSE(Run(page, item, "fresh" + PageExtension(page, item)).Committed);
    EXPECT_FALSE(dir_.Exists("w/fresh" + PageExtension(page, item)));

    ui_.QueueAnswer(platform::Answer::Yes);
    const TJobResult yes = Run(page, item, name);
    EXPECT_FALSE(yes.NamesStopped);
    EXPECT_TRUE(yes.Committed);
    EXPECT_NE(dir_.ReadFile("w/" + name), before);
    EXPECT_TRUE(Errors.empty());
    platform::Current().DeleteFile(dir_.Join("w/src/한국.txt"));
  }
  EXPECT_TRUE(ui_.Messages.empty());
}

// LZH leaves such a file out: the question says so and why, and after はい
// the file is reported as left out while the others are stored.
TEST_F(JobTest, NameQuestionOnLzhNamesTheFilesLeftOut) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  dir_.WriteFile("w/src/한국.txt", "hanguk");
  dir_.WriteFile("w/src/日本.txt", "nihon");
  ui_.QueueAnswer(platform::Answer::Yes);
  const TJobResult r = Run(pgLzh, 1, "l.lzh");
  ASSERT_EQ(ui_.Questions.size(), 1u);
  EXPECT_NE(ui_.Questions[0].Text.find(
                "한국.txt: 除外します (コードページ 932 にない文字を含み、この形式の書庫は UTF-8 "
                "の名前を格納できません)"),
            std::string::npos)
      << ui_.Questions[0].Text;
  EXPECT_EQ(ui_.Questions[0].Text.find("日本"), std::string::npos);
  EXPECT_TRUE(r.Committed);
  EXPECT_EQ(r.Written, 3);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("한국.txt|"), std::string::npos) << Errors[0];
  EXPECT_NE(Errors[0].find("|26858"), std::string::npos) << Errors[0];
}

// A long list is cut in the box, with the count of the names not shown.
TEST(NameCheckQuestion, ShowsAtMostTwentyNamesAndCountsTheRest) {
  std::vector<TNameNote> names(23);
  for (size_t i = 0; i < names.size(); ++i) names[i].StoredName = "n%2" + std::to_string(i);
  names[1].Kind = TNameNote::nkBackslash;
  const std::string text = TfrmCompress::NameCheckQuestion(names);
  EXPECT_NE(text.find("n%219: UTF-8 で格納します\r\nほか 3 件\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("n%220"), std::string::npos);
  EXPECT_NE(text.find("n%21: 除外します (名前に \\ が含まれ"), std::string::npos) << text;
}

// The verify box reaches the writer as it is at OK.
TEST_F(JobTest, VerifyBoxSetsTheWritersProperty) {
  for (bool checked : {true, false}) {
    bool seen = !checked;
    Factory = [&](int page) {
      std::unique_ptr<TCompBase> w = MakePageWriter(page);
      w->OnActivate = [&](TCompBase& s) { seen = s.Verify; };
      return w;
    };
    Verify = checked;
    EXPECT_TRUE(Run(pgZip, 1, checked ? "v1.zip" : "v0.zip").Committed);
    EXPECT_EQ(seen, checked);
  }
}

}  // namespace
}  // namespace vix::app
