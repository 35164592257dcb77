// Spanned output on simulated removable disks and split output to segment
// files, read back by a parser that follows the published split layout.
#include <gtest/gtest.h>

#include <map>

#include "app/Main.h"
#include "app/WriterChoice.h"
#include "archive/kvtDiskMan.h"
#include "archive/kvtErrors.h"
#include "support/folder_disks.h"
#include "support/test_data.h"
#include "support/ui_double.h"
#include "zip_test_support.h"

namespace vix::test {
namespace {

// The volumes of a spanned or split archive, in disk order.
struct Volumes {
  std::vector<std::string> Parts;
  struct Record {
    std::string Name, Data;
    uint32_t Disk = 0, Offset = 0;
  };
  std::vector<Record> Records;
  uint32_t EntriesOnLast = 0, RecordsStartingOnLast = 0, DirSize = 0, CommentLength = 0;

  // The bytes from `offset` on disk `disk`, read across later disks.
  std::string Read(uint32_t disk, uint32_t offset, size_t count) const {
    std::string out;
    while (out.size() < count && disk < Parts.size()) {
      const std::string& p = Parts[disk];
      out += p.substr(std::min<size_t>(offset, p.size()), count - out.size());
      ++disk;
      offset = 0;
    }
    EXPECT_EQ(out.size(), count) << "read past the last volume";
    return out;
  }

  // Parses through the end record on the last volume; every local header
  // must lie whole on its disk and every stored entry's CRC must match.
  void Parse() {
    ASSERT_FALSE(Parts.empty());
    const std::string& last = Parts.back();
    ASSERT_GE(last.size(), 22u);
    const size_t e = last.size() - 22;
    ASSERT_EQ(Le32(last, e), 0x06054B50u) << "end record closes the last volume";
    ASSERT_EQ(Le16(last, e + 4), Parts.size() - 1) << "number of this disk";
    EntriesOnLast = Le16(last, e + 8);
    DirSize = Le32(last, e + 12);
    CommentLength = Le16(last, e + 20);
    uint32_t disk = Le16(last, e + 6), offset = Le32(last, e + 16);
    const std::string dir = Read(disk, offset, DirSize);
    size_t c = 0;
    for (uint32_t i = 0; i < Le16(last, e + 10); ++i) {
      if (disk == Parts.size() - 1) ++RecordsStartingOnLast;
      ASSERT_EQ(Le32(dir, c), 0x02014B50u) << "record " << i;
      const size_t n = Le16(dir, c + 28), x = Le16(dir, c + 30), m = Le16(dir, c + 32);
      const size_t length = 46 + n + x + m;
      Record r;
      r.Name = dir.substr(c + 46, n);
      r.Disk = Le16(dir, c + 34);
      r.Offset = Le32(dir, c + 42);
      ASSERT_LT(r.Disk, Parts.size());
      const std::string& on = Parts[r.Disk];
      ASSERT_LE(r.Offset + 30, on.size()) << r.Name << ": local header split";
      ASSERT_EQ(Le32(on, r.Offset), 0x04034B50u) << r.Name;
      const size_t header = 30 + Le16(on, r.Offset + 26) + Le16(on, r.Offset + 28);
      ASSERT_LE(r.Offset + header, on.size()) << r.Name << ": local header split";
      r.Data = Read(r.Disk, static_cast<uint32_t>(r.Offset + header), Le32(dir, c + 20));
      EXPECT_EQ(Crc32(r.Data), Le32(dir, c + 16)) << r.Name;
      Records.push_back(r);
      // Where the next record starts.
      uint32_t left = static_cast<uint32_t>(length);
      while (left > 0) {
        const uint32_t here = static_cast<uint32_t>(Parts[disk].size()) - offset;
        if (left < here) {
          offset += left;
          left = 0;
        } else {
          left -= here;
          ++disk;
          offset = 0;
        }
      }
      c += length;
    }
    EXPECT_EQ(c, DirSize);
  }
};

// Stored entries, so that the parser reads them without an inflater.
struct SpanRun : ZipRun {
  std::vector<std::string> disks;
  std::unique_ptr<FolderDisks> drive;
  std::unique_ptr<platform::ScopedPlatform> use;
  int insertQuestions = 0;

  SpanRun(std::vector<std::string> order, uint32_t size) {
    zip.SetCompressMethod(cmStore);
    dir.MakeDir("slot");
    for (const auto& d : order) disks.push_back(dir.MakeDir(d));
    drive = std::make_unique<FolderDisks>(dir.Join("slot"), disks, size);
    use = std::make_unique<platform::ScopedPlatform>(*drive);
    zip.OnInsertDisk = [this](TCompBase&, const std::string&, bool& cancel) {
      ++insertQuestions;
      cancel = !drive->InsertNext();
    };
  }
  int Span(const std::vector<std::string>& lines) {
    std::vector<std::string> spec;
    for (const auto& l : lines) spec.push_back(dir.Join(l));
    return RunKept(spec, dir.Join("slot/out.zip"));
  }
  std::string Part(const std::string& disk) const {
    return dir.Exists(disk + "/out.zip") ? dir.ReadFile(disk + "/out.zip") : std::string();
  }
  Volumes Read(const std::vector<std::string>& order) const {
    Volumes v;
    for (const auto& d : order) v.Parts.push_back(Part(d));
    v.Parse();
    return v;
  }
  std::string Label(const std::string& disk) const { return drive->Label(dir.Join(disk)); }
};

TEST(ZipSpan, AnArchiveThatFitsIsWrittenWholeWithoutSignatureOrLabel) {
  SpanRun r({"d1", "d2"}, 1000000);
  r.dir.WriteFile("a.bin", Noise(30000, 1));
  ASSERT_EQ(r.Span({"a.bin"}), 1);
  EXPECT_TRUE(r.errors.Codes().empty());
  EXPECT_EQ(r.insertQuestions, 0);
  EXPECT_EQ(r.Label("d1"), "");
  Archive a;
  ASSERT_TRUE(Parse(r.Part("d1"), a));
  EXPECT_EQ(a.Entries.at(0).Offset, 0u);
}

// Sizes that put disk changes inside data, before local headers, inside
// and before the directory: every layout must read back whole.
TEST(ZipSpan, VolumesCarrySignatureLabelsAndWholeLocalHeaders) {
  bool centralOnLaterDisk = false, entryOnDisk2 = false;
  for (uint32_t size : {60000u, 61111u, 75000u, 90000u, 120037u}) {
    SCOPED_TRACE(size);
    SpanRun r({"d1", "d2", "d3", "d4", "d5"}, size);
    r.dir.WriteFile("one.bin", Noise(70000, 2));
    r.dir.WriteFile("two.txt", std::string(100, 'x'));
    r.dir.WriteFile("three.bin", Noise(55000, 3));
    for (int i = 0; i < 40; ++i)
      r.dir.WriteFile("many/f" + std::to_string(i) + "-with-a-long-name-" + std::string(60, 'n'),
                      Noise(100 + i * 37, 10 + i));
    r.zip.RecurseDirs = true;
    r.zip.SetArchiveComment("not carried");
    r.Span({"*.*"});
    ASSERT_TRUE(r.errors.Codes().empty()) << r.errors.Messages().at(0);
    std::vector<std::string> used;
    for (const auto& d : {"d1", "d2", "d3", "d4", "d5"})
      if (!r.Part(d).empty()) used.push_back(d);
    ASSERT_GE(used.size(), 2u);
    Volumes v = r.Read(used);
    EXPECT_EQ(Le32(v.Parts[0], 0), 0x08074B50u);
    for (size_t i = 0; i < used.size(); ++i)
      EXPECT_EQ(r.Label(used[i]), "PKBACK# 00" + std::to_string(i + 1));
    ASSERT_EQ(v.Records.size(), 43u);
    std::map<std::string, std::string> data;
    for (const auto& rec : v.Records) data[rec.Name] = rec.Data;
    EXPECT_EQ(data["one.bin"], Noise(70000, 2));
    EXPECT_EQ(data["three.bin"], Noise(55000, 3));
    for (const auto& rec : v.Records) entryOnDisk2 = entryOnDisk2 || rec.Disk == 1;
    EXPECT_EQ(v.EntriesOnLast, v.RecordsStartingOnLast);
    EXPECT_EQ(v.CommentLength, 0u);
    const std::string& last = v.Parts.back();
    centralOnLaterDisk = centralOnLaterDisk || Le16(last, last.size() - 22 + 6) > 0;
  }
  EXPECT_TRUE(entryOnDisk2);
  EXPECT_TRUE(centralOnLaterDisk);
}

TEST(ZipSpan, AnEarlierDiskReinsertedIsAskedForAgain) {
  SpanRun r({"d1", "d1", "d2"}, 60000);
  r.dir.WriteFile("a.bin", Noise(80000, 4));
  ASSERT_EQ(r.Span({"a.bin"}), 1);
  EXPECT_TRUE(r.errors.Codes().empty());
  EXPECT_EQ(r.insertQuestions, 3);
  EXPECT_EQ(r.Label("d1"), "PKBACK# 001");
  EXPECT_EQ(r.Label("d2"), "PKBACK# 002");
  Volumes v = r.Read({"d1", "d2"});
  EXPECT_EQ(v.Records.at(0).Data, Noise(80000, 4));
}

// Cancel between disks (the second is not inserted), during the question
// (the run's cancel set while it is asked), and during a copy (set at a
// message pump once the second disk is in): the disks keep what they got
// and the run says so.
TEST(ZipSpan, CancelLeavesTheDisksWrittenAndIsReported) {
  enum When { kNotInserted, kDuringQuestion, kDuringCopy };
  for (const When when : {kNotInserted, kDuringQuestion, kDuringCopy}) {
    SCOPED_TRACE(when);
    SpanRun r({"d1", "d2"}, 60000);
    r.dir.WriteFile("a.bin", Noise(150000, 5));
    UiDouble ui;
    bool second = false;
    platform::Ui().PumpMessages = [&] {
      if (second && when == kDuringCopy) r.zip.SetCancel(true);
    };
    r.zip.OnInsertDisk = [&](TCompBase& z, const std::string& volume, bool& cancel) {
      second = volume == "2";
      cancel = second && when == kNotInserted;
      if (second && when == kDuringQuestion) z.SetCancel(true);
      if (!cancel) r.drive->InsertNext();
    };
    r.Span({"a.bin"});
    EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrUserCanceled});
    const std::string written =
        when == kDuringCopy ? "2 disks written so far" : "1 disk written so far";
    EXPECT_NE(r.errors.Messages().at(0).find(written), std::string::npos) << r.errors.Messages().at(0);
    EXPECT_EQ(r.Part("d1").size(), 60000u);
    // A copy stops at its next chunk.
    EXPECT_EQ(r.Part("d2").empty(), when != kDuringCopy);
    EXPECT_LT(r.Part("d2").size(), 2 * 32768u);
    EXPECT_FALSE(r.zip.SpannedComplete);
  }
}

// The clear-disk question is asked again only while the handler frees room.
TEST(ZipSpan, ClearDiskIsRepeatedOnlyWhileSpaceIsFreed) {
  struct Case {
    int freedPerAnswer;  // -1: Cancel = false
    int expectQuestions;
    bool complete;
  };
  for (const Case c : {Case{0, 1, false}, Case{30000, 2, true}, Case{-1, 1, true}}) {
    SCOPED_TRACE(c.freedPerAnswer);
    SpanRun r({"d1", "d2", "d3"}, 70000);
    r.dir.WriteFile("d2/old.bin", std::string(50000, 'o'));
    r.dir.WriteFile("a.bin", Noise(100000, 6));
    int questions = 0;
    r.zip.OnClearDisk = [&](TCompBase&, const std::string&, uint32_t required, uint32_t free,
                            uint32_t total, bool& cancel) {
      ++questions;
      EXPECT_EQ(required, 50000u);
      EXPECT_EQ(total, 70000u);
      EXPECT_LT(free, required);
      if (c.freedPerAnswer < 0) return;
      cancel = true;
      if (c.freedPerAnswer > 0) {
        const std::string old = r.dir.ReadFile("d2/old.bin");
        r.dir.WriteFile("d2/old.bin", old.substr(0, old.size() - c.freedPerAnswer / 2));
      }
    };
    r.Span({"a.bin"});
    EXPECT_EQ(questions, c.expectQuestions);
    if (c.complete) {
      ASSERT_TRUE(r.errors.Codes().empty()) << r.errors.Messages().at(0);
      EXPECT_TRUE(r.zip.SpannedComplete);
      // Cancel = false takes d2 as it is; too small, so d3 is asked for.
      Volumes v = r.Read(c.freedPerAnswer < 0 ? std::vector<std::string>{"d1", "d3"}
                                              : std::vector<std::string>{"d1", "d2"});
      EXPECT_EQ(v.Records.at(0).Data, Noise(100000, 6));
    } else {
      EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrUserCanceled});
      EXPECT_FALSE(r.zip.SpannedComplete);
    }
  }
}

// The drive gives no answer for the second disk and the retry question is
// answered Cancel.
TEST(ZipSpan, ADriveNotReadyStopsTheOutputWithAReport) {
  SpanRun r({"d1", "d2"}, 60000);
  UiDouble ui;  // Cancel at the retry question
  r.zip.OnInsertDisk = [&](TCompBase&, const std::string& volume, bool& cancel) {
    cancel = false;
    if (volume == "2") r.drive->Eject();
  };
  r.dir.WriteFile("a.bin", Noise(80000, 14));
  r.Span({"a.bin"});
  EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrUserCanceled});
  EXPECT_NE(r.errors.Messages().at(0).find("disk 2 is not ready"), std::string::npos);
  EXPECT_EQ(r.Part("d1").size(), 60000u);
  EXPECT_FALSE(r.zip.SpannedComplete);
}

TEST(ZipSpan, AnUnwritableLabelStopsTheOutput) {
  SpanRun r({"d1"}, 60000);
  r.drive->labelsWritable = false;
  r.dir.WriteFile("a.bin", Noise(80000, 7));
  r.Span({"a.bin"});
  EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrSpannedLabel});
  EXPECT_EQ(r.zip.ArchiveFile(), "");
  EXPECT_FALSE(r.zip.SpannedComplete);
}

TEST(ZipSplit, SegmentsFollowTheSplitLayoutAndASmallArchiveStaysWhole) {
  ZipRun r;
  r.zip.SetCompressMethod(cmStore);
  r.dir.WriteFile("a.bin", Noise(200000, 8));
  r.dir.WriteFile("b.txt", "bee");
  r.zip.SplitSize = 65536;
  r.Run({"a.bin", "b.txt"});
  ASSERT_TRUE(r.errors.Codes().empty()) << r.errors.Messages().at(0);
  EXPECT_TRUE(r.zip.SpannedComplete);
  Volumes v;
  for (const char* part : {"out.z01", "out.z02", "out.z03", "out.zip"})
    v.Parts.push_back(r.dir.ReadFile(part));
  EXPECT_FALSE(r.dir.Exists("out.z04"));
  for (size_t i = 0; i + 1 < v.Parts.size(); ++i) EXPECT_EQ(v.Parts[i].size(), 65536u);
  EXPECT_EQ(Le32(v.Parts[0], 0), 0x08074B50u);
  v.Parse();
  ASSERT_EQ(v.Records.size(), 2u);
  EXPECT_EQ(v.Records[0].Data, Noise(200000, 8));
  EXPECT_EQ(v.Records[1].Data, "bee");

  ZipRun small;
  small.dir.WriteFile("b.txt", "bee");
  small.zip.SplitSize = 65536;
  small.Run({"b.txt"});
  EXPECT_TRUE(small.errors.Codes().empty());
  EXPECT_FALSE(small.dir.Exists("out.z01"));
  Archive a;
  EXPECT_TRUE(Parse(small.Bytes(), a));
}

// Sizes that leave less room than a record needs at the end of the first
// segment: a local header and the end record move whole to the next one,
// and the end record then counts no entry as on its disk.
TEST(ZipSplit, RecordsAtASegmentEndMoveWhole) {
  // signature 4, local header 30 + name 5, data, central record 46 + 5
  for (const bool endRecord : {true, false}) {
    SCOPED_TRACE(endRecord);
    ZipRun r;
    r.zip.SetCompressMethod(cmStore);
    r.zip.SplitSize = 65536;
    const size_t first = endRecord ? 65536 - 10 - 90 : 65536 - 20 - 39;
    r.dir.WriteFile("a.bin", Noise(first, 11));
    if (!endRecord) r.dir.WriteFile("b.bin", "second");
    r.Run(endRecord ? std::vector<std::string>{"a.bin"}
                    : std::vector<std::string>{"a.bin", "b.bin"});
    ASSERT_TRUE(r.errors.Codes().empty()) << r.errors.Messages().at(0);
    Volumes v;
    v.Parts = {r.dir.ReadFile("out.z01"), r.dir.ReadFile("out.zip")};
    EXPECT_EQ(v.Parts[0].size(), endRecord ? 65526u : 65516u);
    v.Parse();
    if (endRecord) {
      EXPECT_EQ(v.Parts[1].size(), 22u);
      EXPECT_EQ(v.EntriesOnLast, 0u);
    } else {
      ASSERT_EQ(v.Records.size(), 2u);
      EXPECT_EQ(v.Records[1].Disk, 1u);
      EXPECT_EQ(v.Records[1].Offset, 0u);
      EXPECT_EQ(v.Records[1].Data, "second");
      EXPECT_EQ(v.EntriesOnLast, 2u);
    }
  }
}

// The dialog's job asks for each disk through its message box. A cancel
// while the second disk is written leaves both disks' parts in place.
TEST(ZipSpanJob, TheJobAsksForDisksAndKeepsThemOnCancel) {
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel);
    app::Application() = app::TApplicationState();
    SpanRun r({"d1", "d2", "d3"}, 60000);
    r.dir.WriteFile("src/a.bin", Noise(90000, 12));
    r.dir.WriteFile("src/b.bin", Noise(5000, 13));
    UiDouble ui;
    std::vector<std::string> questions;
    app::TfrmCompress form;
    platform::Ui().AskYesNo = [&](const std::string& text, const std::string&) {
      questions.push_back(text);
      r.drive->InsertNext();
      if (cancel && questions.size() == 2) form.Cancelled = true;
      return platform::Answer::Yes;
    };
    form.SettingsPath = r.dir.Join("PLM_VIX.INI");
    form.SaveSettingsOnDestroy = false;
    form.FormCreate({r.dir.Join("src")});
    form.PageControl1.ActivePageIndex = app::pgZip;
    form.grpZipDeflateType.ItemIndex = 0;  // store
    form.edtArchiveFilename.Text = r.dir.Join("slot/x.zip");
    std::vector<int> codes;
    form.ShowError = [&](const std::string&, const std::string&, int code) {
      codes.push_back(code);
    };
    form.btnOKClick();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_NE(questions[1].find("ディスク 2"), std::string::npos) << questions[1];
    EXPECT_EQ(form.LastJob.Cancelled, cancel);
    EXPECT_EQ(form.LastJob.Committed, !cancel);
    EXPECT_TRUE(r.dir.Exists("d1/x.zip"));
    EXPECT_TRUE(r.dir.Exists("d2/x.zip"));
    if (!cancel) {
      EXPECT_TRUE(codes.empty());
      Volumes v;
      v.Parts = {r.dir.ReadFile("d1/x.zip"), r.dir.ReadFile("d2/x.zip")};
      v.Parse();
      EXPECT_EQ(v.Records.size(), 2u);
    }
  }
}

}  // namespace
}  // namespace vix::test
