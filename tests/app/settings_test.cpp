// The settings file: the INI reader and writer, the eight keys with their
// clamping, positions as text, and where the file lives.
#include <gtest/gtest.h>

#include "app/AppUtils.h"
#include "app/Main.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace vix::app {
namespace {

// A path written with "/" in the platform's spelling.
std::string N(const std::string& s) { return test::NativePath(s); }

class SettingsTest : public ::testing::Test {
 protected:
  std::string Ini(const std::string& text) { return dir_.WriteFile("PLM_VIX.INI", text); }
  std::string Content() { return dir_.ReadFile("PLM_VIX.INI"); }
  test::TempDir dir_;
};

TEST_F(SettingsTest, ReadsSectionsAndKeysWithoutCaseAndValuesTrimmed) {
  TIniFile ini(Ini("; note\r\n[common]\r\nactivepage = 2 \r\nName=\"a b\"\r\n[ZIP]\r\nX=1\r\n"));
  EXPECT_EQ(ini.ReadInteger("Common", "ActivePage", 0), 2);
  EXPECT_EQ(ini.ReadString("COMMON", "name", ""), "a b");
  EXPECT_EQ(ini.ReadString("Common", "X", "none"), "none");  // X is in another section
  EXPECT_EQ(ini.ReadString("Missing", "X", "d"), "d");
}

TEST_F(SettingsTest, ValuesAreCutAt2047Characters) {
  TIniFile ini(Ini("[S]\nK=" + std::string(3000, 'v') + "\nJ=" + std::string(2047, 'w') + "\n"));
  EXPECT_EQ(ini.ReadString("S", "K", "").size(), 2047u);
  EXPECT_EQ(ini.ReadString("S", "J", "").size(), 2047u);
}

TEST_F(SettingsTest, IntegerTexts) {
  EXPECT_EQ(TextToIntDef("0x1F", 5), 31);
  EXPECT_EQ(TextToIntDef("0X10", 5), 16);
  EXPECT_EQ(TextToIntDef("$ff", 5), 255);
  EXPECT_EQ(TextToIntDef("-12", 5), -12);
  EXPECT_EQ(TextToIntDef("0x", 5), 5);
  EXPECT_EQ(TextToIntDef("", 5), 5);
  EXPECT_EQ(TextToIntDef("yes", 5), 5);
  EXPECT_EQ(TextToIntDef("12a", 5), 5);
  EXPECT_EQ(TextToIntDef("99999999999", 5), 5);
}

TEST_F(SettingsTest, WriteReplacesInPlaceAndKeepsEverythingElse) {
  const std::string before =
      "; mine\r\n[Common]\r\nActivePage=0x2\r\nOther=keep me\r\n\r\n[Foreign]\r\nA=1\r\n";
  TIniFile ini(Ini(before));
  ASSERT_TRUE(ini.WriteInteger("common", "activepage", 1));
  ASSERT_TRUE(ini.WriteInteger("LZH", "CompressMethod", 2));
  ASSERT_TRUE(ini.WriteString("Common", "New", "x"));
  EXPECT_EQ(Content(),
            "; mine\r\n[Common]\r\nActivePage=1\r\nOther=keep me\r\nNew=x\r\n\r\n[Foreign]\r\nA=1\r\n"
            "[LZH]\r\nCompressMethod=2\r\n");
}

TEST_F(SettingsTest, ByteOrderMarkSelectsUtf8AndIsKept) {
  TIniFile ini(Ini("\xEF\xBB\xBF[S]\nName=日本語\n"));
  EXPECT_EQ(ini.ReadString("S", "Name", ""), "日本語");
  ASSERT_TRUE(ini.WriteString("S", "Name", "書庫"));
  EXPECT_EQ(Content(), "\xEF\xBB\xBF[S]\nName=書庫\n");
}

TEST_F(SettingsTest, RefusedWriteLeavesTheFileAsItWas) {
  const std::string path = Ini("[S]\nK=1\n");
  ASSERT_TRUE(platform::Current().SetAttributes(path, platform::kAttrReadOnly));
  TIniFile ini(path);
  EXPECT_FALSE(ini.WriteInteger("S", "K", 2));
  EXPECT_FALSE(ini.Reason().empty());
  platform::Current().SetAttributes(path, platform::kAttrArchive);
  EXPECT_EQ(Content(), "[S]\nK=1\n");
}

TEST_F(SettingsTest, NoFileGivesTheDefaults) {
  TfrmCompress form;
  form.SettingsPath = dir_.Join("none.INI");
  form.LoadSettings();
  EXPECT_EQ(form.PageControl1.ActivePageIndex, 0);
  EXPECT_EQ(form.grpStoredDirNames.ItemIndex, 0);
  EXPECT_EQ(form.grpLHACompressMethod.ItemIndex, 0);
  EXPECT_FALSE(form.chkZIP_Password.Checked);
  EXPECT_FALSE(form.chkZIP_ShowPassword.Checked);
  EXPECT_EQ(form.grpZipDeflateType.ItemIndex, 1);
  EXPECT_EQ(form.grpCAB_CompressType.ItemIndex, 1);
  EXPECT_FALSE(form.chkVerify.Checked);
}

TEST_F(SettingsTest, ReadValuesAreClampedAndWrittenBackInDecimal) {
  TfrmCompress form;
  form.SettingsPath = Ini(
      "[Common]\nActivePage=7\nStoredDirNames=0x1\n[LZH]\nCompressMethod=$2\n"
      "[ZIP]\nUsePassword=2\nShowPassword=word\nDeflateType=9\n[CAB]\nCompressType=-5\n");
  form.LoadSettings();
  EXPECT_EQ(form.PageControl1.ActivePageIndex, -1);
  EXPECT_EQ(form.grpStoredDirNames.ItemIndex, 1);
  EXPECT_EQ(form.grpLHACompressMethod.ItemIndex, 2);
  EXPECT_TRUE(form.chkZIP_Password.Checked);
  EXPECT_TRUE(form.edtZIP_Password.Enabled);  // the click handler ran
  EXPECT_FALSE(form.chkZIP_ShowPassword.Checked);
  EXPECT_EQ(form.grpZipDeflateType.ItemIndex, 3);
  EXPECT_EQ(form.grpCAB_CompressType.ItemIndex, -1);
  ASSERT_TRUE(form.SaveSettings());
  EXPECT_EQ(Content(),
            "[Common]\nActivePage=-1\nStoredDirNames=1\nVerify=0\n[LZH]\nCompressMethod=2\n"
            "[ZIP]\nUsePassword=1\nShowPassword=0\nDeflateType=3\n[CAB]\nCompressType=-1\n");
}

// The check box under the path group: "Verify" of "Common", kept where the
// file has it (even behind the drop window's position) and read as any
// Boolean is.
TEST_F(SettingsTest, VerifyBoxRoundTripsThroughItsKey) {
  TfrmCompress form;
  form.SettingsPath = Ini("[Common]\r\nDragDropFormPosition=5,6\r\nverify=0x1\r\n");
  form.LoadSettings();
  EXPECT_TRUE(form.chkVerify.Checked);
  form.chkVerify.SetChecked(false);
  ASSERT_TRUE(form.SaveSettings());
  EXPECT_NE(Content().find("DragDropFormPosition=5,6\r\nverify=0\r\n"), std::string::npos)
      << Content();
  TfrmCompress again;
  again.SettingsPath = form.SettingsPath;
  again.LoadSettings();
  EXPECT_FALSE(again.chkVerify.Checked);
  again.chkVerify.SetChecked(true);
  ASSERT_TRUE(again.SaveSettings());
  TfrmCompress third;
  third.SettingsPath = form.SettingsPath;
  third.LoadSettings();
  EXPECT_TRUE(third.chkVerify.Checked);
  EXPECT_EQ(third.chkVerify.Caption, "書き込み後に検査する(&T)");
}

TEST_F(SettingsTest, DropWindowPositionDefaultsToTheMiddleAndIsAppliedUnclamped) {
  const std::string path = dir_.Join("PLM_VIX.INI");
  EXPECT_EQ(LoadPosition(path, 1025, 768, 178, 105), (TPoint{423, 331}));
  std::string reason;
  ASSERT_TRUE(SavePosition(path, {-50, 20}, reason));
  EXPECT_EQ(Content(), "[Common]\r\nDragDropFormPosition=-50,20\r\n");
  EXPECT_EQ(LoadPosition(path, 1025, 768, 178, 105), (TPoint{-50, 20}));
  Ini("[Common]\nDragDropFormPosition=100\n");
  EXPECT_EQ(LoadPosition(path, 1025, 768, 178, 105), (TPoint{0, 0}));
}

TEST_F(SettingsTest, PositionsAsText) {
  EXPECT_EQ(PointToText({-50, 20}), "-50,20");
  EXPECT_EQ(TextToPoint("100"), (TPoint{0, 0}));
  EXPECT_EQ(TextToPoint("100 200"), (TPoint{100, 200}));
  EXPECT_EQ(TextToPoint("-50,20,9"), (TPoint{-50, 20}));
  EXPECT_EQ(TextToPoint("\"7\",x"), (TPoint{7, 0}));
  EXPECT_EQ(TextToPoint(""), (TPoint{0, 0}));
}

// Fault mended: the file went beside the program even when that folder
// could not be written, so nothing was ever remembered.
// The real services, except that no file can be made in one folder (folder
// modes do not stop root, who runs the tests in containers).
class ReadOnlyFolderPlatform : public platform::Platform {
 public:
  std::string Folder;
  std::string UniqueTempFile(const std::string& folder, const std::string& prefix) override {
    if (folder == Folder) return "";
    return Platform::UniqueTempFile(folder, prefix);
  }
};

TEST_F(SettingsTest, UnwritableProgramFolderSendsTheFileToTheUserFolder) {
  const std::string progDir = dir_.MakeDir("prog");
  const std::string user = dir_.Join("user/pelmoran-vix");
  const std::string program = progDir + N("/PLM_VIX.EXE");
  EXPECT_EQ(SettingsFileFor(program, user), progDir + N("/PLM_VIX.INI"));
  ReadOnlyFolderPlatform os;
  os.Folder = progDir;
  platform::ScopedPlatform scoped(os);
  EXPECT_EQ(SettingsFileFor(program, user), user + N("/PLM_VIX.INI"));
  EXPECT_TRUE(dir_.Exists("user/pelmoran-vix"));  // ready for the save
  // The settings are saved there and read back from there.
  {
    TfrmCompress form;
    form.SettingsPath = SettingsFileFor(program, user);
    form.grpLHACompressMethod.ItemIndex = 2;
    ASSERT_TRUE(form.SaveSettings());
  }
  TfrmCompress form;
  form.SettingsPath = SettingsFileFor(program, user);
  form.LoadSettings();
  EXPECT_EQ(form.grpLHACompressMethod.ItemIndex, 2);
  EXPECT_FALSE(dir_.Exists("prog/PLM_VIX.INI"));
}

TEST_F(SettingsTest, AUserCopyIsReadFirst) {
  const std::string progDir = dir_.MakeDir("prog");
  dir_.WriteFile("user/PLM_VIX.INI", "");
  EXPECT_EQ(SettingsFileFor(progDir + N("/PLM_VIX.EXE"), dir_.Join("user")),
            dir_.Join("user") + N("/PLM_VIX.INI"));
}

TEST_F(SettingsTest, StrippingTheTrailingDelimiter) {
  using platform::kWindowsStyle;
  EXPECT_EQ(StripTrailingDelimiter("C:\\a\\", kWindowsStyle), "C:\\a");
  EXPECT_EQ(StripTrailingDelimiter("", kWindowsStyle), "");
  // "ソ" in code page 932 is 0x83 0x5C.
  EXPECT_EQ(StripTrailingDelimiter("C:\\\x83\x5C", kWindowsStyle, 932), "C:\\\x83\x5C");
  EXPECT_EQ(StripTrailingDelimiter("C:\\\x83\x5C\\", kWindowsStyle, 932), "C:\\\x83\x5C");
  EXPECT_EQ(StripTrailingDelimiter(N("/a/b/")), N("/a/b"));
}

TEST_F(SettingsTest, FoundFileNameGivesTheStoredSpelling) {
  dir_.WriteFile("Report.TXT", "x");
  EXPECT_EQ(FoundFileName(dir_.Join("Report.TXT")), "Report.TXT");
  EXPECT_EQ(FoundFileName(dir_.Join("missing.doc")), "missing.doc");
}

}  // namespace
}  // namespace vix::app
