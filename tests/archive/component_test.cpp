// The component base: property setters, the attribute filter, errors,
// block primitives and progress.
#include <gtest/gtest.h>

#include "archive/kvtBase.h"
#include "archive/kvtCrc.h"
#include "archive/kvtNames.h"
#include "archive/test_writer.h"
#include "support/error_log.h"
#include "support/temp_dir.h"
#include "support/ui_double.h"

namespace vix {
namespace {

using test::TTestWriter;

TEST(FileAttr, DefaultsAcceptFilesButNotFolders) {
  TTestWriter w;
  EXPECT_EQ(w.FileAttribute().ftFileAttr(), 47);
  EXPECT_FALSE(w.FileAttribute().ftAnyFile());
  EXPECT_FALSE(w.FileAttribute().ftDirectory());
  EXPECT_TRUE(w.FileAttribute().ftArchive());
  EXPECT_TRUE(w.FileAttribute().ftZeroAttr());
  EXPECT_TRUE(w.AcceptAttr(platform::kAttrArchive));
  EXPECT_TRUE(w.AcceptAttr(0));
  EXPECT_TRUE(w.AcceptAttr(platform::kAttrReadOnly | platform::kAttrHidden));
  EXPECT_TRUE(w.AcceptAttr(platform::kAttrNormal));
  EXPECT_FALSE(w.AcceptAttr(platform::kAttrDirectory));
  EXPECT_FALSE(w.AcceptAttr(platform::kAttrTemporary | platform::kAttrArchive));
  EXPECT_FALSE(w.AcceptAttr(platform::kAttrSpecial));
  EXPECT_TRUE(w.AcceptAttr(platform::kAttrArchive | 0x400));  // a Windows reparse point
  EXPECT_FALSE(w.AcceptAttr(0x2000));  // only bits above 128
}

TEST(FileAttr, MaskAndFlagsStayConsistent) {
  TkvtFileAttr a;
  EXPECT_TRUE(a.ftAnyFile());
  EXPECT_EQ(a.ftFileAttr(), 63);
  a.SetftFileAttr(platform::kAttrArchive | platform::kAttrReadOnly);
  EXPECT_FALSE(a.ftAnyFile());
  EXPECT_TRUE(a.ftArchive());
  EXPECT_TRUE(a.ftReadOnly());
  EXPECT_FALSE(a.ftHidden());
  EXPECT_EQ(a.ftFileAttr(), 33);
  a.SetftFileAttr(128);  // the plain-file bit means any file
  EXPECT_TRUE(a.ftAnyFile());
  EXPECT_EQ(a.ftFileAttr(), 63);
  EXPECT_TRUE(a.ftZeroAttr());
  // Clearing every flag turns the filter back to any file.
  TkvtFileAttr b;
  b.SetftFileAttr(platform::kAttrArchive);
  b.SetftZeroAttr(false);
  b.SetftArchive(false);
  EXPECT_TRUE(b.ftAnyFile());
  EXPECT_TRUE(b.ftCompressed());
  EXPECT_FALSE(b.ftTemporary());
}

TEST(Properties, CompressMethodTakesOnlyAllowedValues) {
  TTestWriter w;
  w.SetCompressMethod(cmDeflate);
  EXPECT_EQ(w.CompressMethod(), cmStore);
  w.SetCompressMethod(99);
  EXPECT_EQ(w.CompressMethod(), cmStore);
}

TEST(Properties, DeflateTypeSetsTheLevel) {
  TTestWriter w;
  EXPECT_EQ(w.DeflateLevel(), 7);
  w.SetDeflateType(dtDeflateX);
  EXPECT_EQ(w.DeflateLevel(), 9);
  w.SetDeflateType(dtDeflateS);
  EXPECT_EQ(w.DeflateLevel(), 1);
  w.SetDeflateType(dtDeflateF);
  EXPECT_EQ(w.DeflateLevel(), 2);
}

TEST(Properties, DefaultExtIsNormalisedAndFollowedByTheArchiveName) {
  test::TempDir dir;
  TTestWriter w;
  EXPECT_EQ(w.DefaultExt(), ".tst");
  w.SetDefaultExt("TGZIP");
  EXPECT_EQ(w.DefaultExt(), ".tgz");
  w.SetDefaultExt(".");
  EXPECT_EQ(w.DefaultExt(), ".tst");

  w.SetArchiveFile(dir.Join("a.tst"));
  w.SetDefaultExt(".x");
  EXPECT_EQ(ExtractFileName(w.ArchiveFile()), "a.x");
  w.SetArchiveFile(dir.Join("a.zip"));
  w.SetDefaultExt(".y");
  EXPECT_EQ(ExtractFileName(w.ArchiveFile()), "a.zip");
  w.SetArchiveFile(dir.Join("plain"));
  w.SetDefaultExt(".lzh");
  EXPECT_EQ(ExtractFileName(w.ArchiveFile()), "plain.lzh");
}

TEST(Properties, DefaultDirFallsBackToTheCurrentDirectory) {
  test::TempDir dir;
  TTestWriter w;
  const std::string cwd = AppendBackslash(platform::Current().CurrentDirectory());
  EXPECT_EQ(w.DefaultDir(), cwd);
  w.SetDefaultDir(dir.Join("missing"));
  EXPECT_EQ(w.DefaultDir(), cwd);
  w.SetDefaultDir("  " + dir.Path() + "  ");
  EXPECT_EQ(w.DefaultDir(), AppendBackslash(dir.Path()));
}

TEST(Properties, TempDirAsksBeforeCreatingAFolder) {
  test::TempDir dir;
  test::UiDouble ui;
  TTestWriter w;
  ui.QueueAnswer(platform::Answer::Yes);
  w.SetTempDir(dir.Join("made/here"));
  ASSERT_EQ(ui.Questions.size(), 1u);
  EXPECT_EQ(ui.Questions[0].Text.rfind(MessageText(kErrDirNotExist), 0), 0u);
  EXPECT_TRUE(DirExists(dir.Join("made/here")));
  EXPECT_EQ(w.TempDir(), AppendBackslash(dir.Join("made/here")));

  w.SetTempDir(dir.Join("refused"));  // no answer queued: No
  EXPECT_FALSE(DirExists(dir.Join("refused")));
  EXPECT_EQ(w.TempDir(), GetTempDir());
}

TEST(Errors, CancelTurnsCodesIntoUserCanceledAndStopsRaising) {
  TTestWriter w;
  test::ErrorLog errors;
  errors.Attach(w);
  EXPECT_THROW(w.RaiseError("f", "", "0", kErrWrite), E_RAISE);
  w.SetCancel(true);
  EXPECT_NO_THROW(w.RaiseError("f", "", "0", kErrWrite));
  w.ReportError("f", "", "0", kErrOpen);
  EXPECT_EQ(errors.Codes(), (std::vector<int>{kErrWrite, kErrUserCanceled, kErrUserCanceled}));
}

TEST(Errors, SharedCancelFlagStopsBothComponents) {
  TTestWriter driver, helper;
  helper.CancelFlag = driver.CancelFlag;
  driver.SetCancel(true);
  EXPECT_TRUE(helper.GetCancel());
}

TEST(Blocks, ReadAndWriteKeepTheRunningChecksums) {
  TTestWriter w;
  platform::MemoryStream in(std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
  uint8_t buf[16];
  Crc32Value = 0xFFFFFFFFu;
  EXPECT_EQ(w.ReadBlock(&in, buf, sizeof buf, ckCrc32, false), 9);
  EXPECT_EQ(~Crc32Value, 0xCBF43926u);
  platform::MemoryStream out;
  Crc16Value = 0;
  EXPECT_EQ(w.WriteBlock(&out, buf, 9, true, ckCrc16, false), 9);
  EXPECT_EQ(Crc16Value, 0xBB3Du);
  Crc16Value = 0;
  w.WriteBlock(&out, buf, 9, false, ckCrc16, false);  // headers carry no checksum
  EXPECT_EQ(Crc16Value, 0u);
  EXPECT_EQ(out.Data().size(), 18u);
}

TEST(Blocks, ShortWriteRaisesAtOnceWithoutAReport) {
  class Full : public platform::MemoryStream {
    int64_t Write(const void*, size_t count) override { return count > 0 ? count - 1 : 0; }
  } full;
  TTestWriter w;
  test::ErrorLog errors;
  errors.Attach(w);
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_THROW(w.WriteBlock(&full, buf, 4, true, ckNone, false), E_RAISE);
  EXPECT_TRUE(errors.Empty());
}

TEST(Blocks, ConvertLineEndsWritesCrLf) {
  TTestWriter w;
  w.ConvertLineEnds = true;
  platform::MemoryStream out;
  char text[] = "a\nb\r\nc";
  w.WriteBlock(&out, text, 6, true, ckNone, false);
  EXPECT_EQ(std::string(out.Data().begin(), out.Data().end()), "a\r\nb\r\nc");
}

TEST(Blocks, CopyBlockCopiesInChunksAndReportsProgress) {
  TTestWriter w;
  std::vector<uint8_t> data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  platform::MemoryStream in(data), out;
  w.TotalBytes = w.BytesLeft = 100000;
  std::vector<int> byFile;
  w.OnProgress = [&](TCompBase&, uint8_t f, uint8_t) { byFile.push_back(f); };
  EXPECT_EQ(w.CopyBlock(&in, &out, 100000, ckNone, false), 100000u);
  EXPECT_EQ(out.Data(), data);
  EXPECT_EQ(byFile, (std::vector<int>{33, 66, 98, 100}));
  EXPECT_EQ(w.BytesLeft, 0u);
}

TEST(Blocks, ShortCopyReportsAndReturnsWhatWasCopied) {
  TTestWriter w;
  platform::MemoryStream in(std::vector<uint8_t>(40000, 1)), out;
  test::ErrorLog errors;
  errors.Attach(w);
  EXPECT_EQ(w.CopyBlock(&in, &out, 50000, ckNone, false), 32768u);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
}

TEST(Blocks, EncryptedWritesOnlyForZipFamilyData) {
  class ZipLike : public TTestWriter {
   public:
    void SetArcType(TArcType) override { fArcType = atZip; }
  } zip;
  zip.SetArcType(atZip);
  uint8_t plain[3] = {'a', 'b', 'c'}, buf[3];
  std::copy(plain, plain + 3, buf);
  InitCipherKeys("pw");
  platform::MemoryStream out;
  zip.WriteBlock(&out, buf, 3, true, ckNone, true);
  InitCipherKeys("pw");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(DecryptByte(out.Data()[i]), plain[i]);

  TTestWriter lzh;  // not of the ZIP family: written as it is
  std::copy(plain, plain + 3, buf);
  platform::MemoryStream out2;
  lzh.WriteBlock(&out2, buf, 3, true, ckNone, true);
  EXPECT_EQ(out2.Data(), std::vector<uint8_t>(plain, plain + 3));
}

TEST(Progress, ForwarderPumpsMessagesBeforeTheEvent) {
  test::UiDouble ui;
  TTestWriter w;
  int pumpsSeen = -1;
  w.OnProgress = [&](TCompBase&, uint8_t, uint8_t) { pumpsSeen = ui.Pumps; };
  w.TotalBytes = 300;
  w.BytesLeft = 200;
  w.ReportProgress(1, 3, 300);
  EXPECT_EQ(pumpsSeen, 1);
  EXPECT_EQ(w.ProgressByFile, 33);
  EXPECT_EQ(w.ProgressByArchive, 33);
}

TEST(Progress, TimerLeavesOutTheTimeOfErrorMessages) {
  TkvtTimer t;
  t.Stop();  // not running: nothing happens
  EXPECT_EQ(t.ElapsedSeconds, 0.0f);
  t.Start();
  t.Pause();
  t.Resume();
  t.Stop();
  EXPECT_GE(t.ElapsedSeconds, 0.0f);
  EXPECT_LT(t.ElapsedSeconds, 5.0f);
  EXPECT_EQ(t.StartTick, 0u);
}

TEST(Registry, ArcTypeIsForcedAndHeaderSizesFollowTheType) {
  TTestWriter w;
  w.SetArcType(atCab);
  EXPECT_EQ(w.ArcType(), atLha);
  EXPECT_EQ(TCompBase::HeaderSizeOf(atZip), 46u);
  EXPECT_EQ(TCompBase::HeaderSizeOf(atTar), 512u);
  EXPECT_EQ(TCompBase::HeaderSizeOf(atCab), 36u);
  EXPECT_EQ(TCompBase::HeaderSizeOf(atLzh), 37u);
  EXPECT_EQ(TCompBase::HeaderSizeOf(atGZip), 0u);
  EXPECT_EQ(static_cast<int>(atZoo), 31);
}

TEST(Registry, OpeningAMissingFileReportsOnce) {
  test::TempDir dir;
  TTestWriter w;
  test::ErrorLog errors;
  errors.Attach(w);
  FileHandle h;
  w.ArchiveSize = 7;
  EXPECT_FALSE(w.OpenArchiveForSize(h, dir.Join("missing.lzh")));
  EXPECT_EQ(w.ArchiveSize, 0u);
  EXPECT_EQ(errors.Codes(), (std::vector<int>{kErrOpen}));
  dir.WriteFile("x.bin", "12345");
  EXPECT_TRUE(w.OpenArchiveForSize(h, dir.Join("x.bin")));
  EXPECT_EQ(w.ArchiveSize, 5u);
  h.reset();
  auto c = w.CreateArchiveFile(dir.Join("x.bin"), true);  // truncates
  ASSERT_TRUE(c);
  c->Close();
  EXPECT_EQ(dir.ReadFile("x.bin"), "");
}

TEST(Registry, LoadingClearsANameWhoseFileIsMissing) {
  test::TempDir dir;
  TTestWriter w;
  w.SetLoading(true);
  w.SetArchiveFile(dir.Join("missing.zip"));
  EXPECT_EQ(w.ArchiveFile(), "");
  w.SetLoading(false);
  w.SetArchiveFile(dir.Join("missing.zip"));
  EXPECT_EQ(w.ArchiveFile(), dir.Join("missing.zip"));
}

}  // namespace
}  // namespace vix
