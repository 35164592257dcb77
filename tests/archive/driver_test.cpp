// The compress driver, run on real files through a small test writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "archive/kvtBase.h"
#include "archive/kvtNames.h"
#include "archive/test_writer.h"
#include "support/error_log.h"
#include "support/fault_platform.h"
#include "support/temp_dir.h"
#include "support/ui_double.h"
#include "support/writer_run.h"

namespace vix {
namespace {

using platform::FindData;
using test::TTestWriter;

// The real services with the temporary folder moved into the test's own
// scratch folder, so that leftovers of a run can be seen.
class DriverPlatform : public test::FaultPlatform {
 public:
  std::string Temp;
  std::string TempFolder() override { return Temp; }
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os_.Temp = AppendBackslash(dir_.MakeDir("tmp"));
    src_ = dir_.MakeDir("src");
    dir_.WriteFile("src/a.txt", "alpha");
    dir_.WriteFile("src/b.txt", "bravo bravo");
    dir_.WriteFile("src/sub/c.txt", std::string(100000, 'c'));
    archive_ = dir_.Join("out.tst");
  }

  std::unique_ptr<TTestWriter> Writer(const std::vector<std::string>& spec) {
    auto w = std::make_unique<TTestWriter>();
    w->SetFileSpec(spec);
    w->SetDefaultDir(src_);
    w->SetArchiveFile(archive_);
    errors_.Attach(*w);
    return w;
  }

  std::string Spec(const std::string& relative) { return dir_.Join("src/" + relative); }
  std::string ArchiveBytes() { return dir_.ReadFile("out.tst"); }
  // Names in the archive's folder beginning with "kvt": a temporary file
  // left beside the archive.
  size_t KvtBesideArchive() {
    size_t n = 0;
    auto search = platform::Current().FindFirst(dir_.Path(), "kvt*");
    FindData d;
    while (search && search->Next(d)) ++n;
    return n;
  }

  // Names of the entries in an archive of the test format.
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    const std::string a = ArchiveBytes();
    size_t pos = 0;
    while (pos + TTestWriter::kHeader <= a.size()) {
      auto byte = [&](size_t i) { return static_cast<uint8_t>(a[pos + i]); };
      const size_t nameLen = byte(0) | byte(1) << 8;
      const size_t size = byte(2) | byte(3) << 8 | byte(4) << 16 | size_t{byte(5)} << 24;
      names.push_back(a.substr(pos + TTestWriter::kHeader, nameLen));
      pos += TTestWriter::kHeader + nameLen + size;
    }
    return names;
  }

  size_t TempFilesLeft() { return FilesIn(os_.Temp); }

  size_t FilesIn(const std::string& folder) {
    size_t n = 0;
    auto search = platform::Current().FindFirst(folder, "*");
    FindData d;
    while (search && search->Next(d))
      if (d.Name != "." && d.Name != "..") ++n;
    return n;
  }

  test::TempDir dir_;
  DriverPlatform os_;
  platform::ScopedPlatform use_{os_};
  test::UiDouble ui_;
  std::string src_, archive_;
  test::ErrorLog errors_;
};

TEST_F(DriverTest, NewArchiveRunsTheWriterOperationsInOrder) {
  auto w = Writer({Spec("*.txt")});
  std::vector<std::string> events;
  w->OnActivate = [&](TCompBase&) { events.push_back("Activate"); };
  w->OnDeactivate = [&](TCompBase&) { events.push_back("Deactivate"); };
  w->OnBegin = [&](TCompBase&, const std::string& name, int count, bool&) {
    events.push_back("Begin " + name + " " + std::to_string(count));
  };
  EXPECT_EQ(w->Compress(), 2);
  std::vector<std::string> calls = w->Calls;
  std::sort(calls.begin(), calls.begin() + 2);  // the file system's order
  EXPECT_EQ(calls, (std::vector<std::string>{"WriteEntry a.txt", "WriteEntry b.txt",
                                             "WriteArchiveEnd", "CommitTempFile",
                                             "ReportEntries", "AfterCommit"}));
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events.front(), "Activate");
  EXPECT_EQ(events.back(), "Deactivate");
  EXPECT_EQ(Entries().size(), 2u);
  EXPECT_TRUE(errors_.Empty());
  EXPECT_EQ(TempFilesLeft(), 0u);
}

// Names that begin with a dot are files like any other: leaving them out
// lost .gitignore and whole .git folders without a word. Only "." and ".."
// are no entries.
TEST_F(DriverTest, DotNamesAreGatheredAndDuplicatesStoredOnce) {
  dir_.WriteFile("src/.profile", "dot file");
  dir_.WriteFile("src/.dotdir/inner.txt", "inside a dot folder");
  auto w = Writer({Spec("*"), Spec("a.txt"), Spec("*.txt")});
  w->RecurseDirs = true;
  std::vector<std::string> expected{".dotdir\\inner.txt", ".profile", "a.txt", "b.txt",
                                    "sub\\c.txt"};
  // Wine marks dot names hidden, and hidden folders are not descended into.
  if (platform::Current().GetAttributes(dir_.Join("src/.dotdir")) & platform::kAttrHidden)
    expected.erase(expected.begin());
  EXPECT_EQ(w->Compress(), expected.size());
  std::vector<std::string> names = Entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, expected);
}

// Whatever the mask, every plain subfolder is descended into (one that the
// mask does not name too), and only the names the mask takes are stored.
TEST_F(DriverTest, RecursionDescendsTheSameFoldersWhateverTheMask) {
  dir_.WriteFile("src/sub/deeper/d.txt", "deep");
  dir_.WriteFile("src/sub/deeper/e.dat", "not text");
  dir_.WriteFile("src/dir.txt/f.txt", "in a folder named like a file");
  auto gather = [&](const std::string& mask) {
    platform::Current().DeleteFile(archive_);
    auto w = Writer({Spec(mask)});
    w->RecurseDirs = true;
    w->Compress();
    std::vector<std::string> names = Entries();
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> every{"a.txt", "b.txt", "dir.txt\\f.txt", "sub\\c.txt",
                                       "sub\\deeper\\d.txt", "sub\\deeper\\e.dat"};
  EXPECT_EQ(gather("*"), every);
  EXPECT_EQ(gather("*.*"), every);
  EXPECT_EQ(gather("*.txt"), (std::vector<std::string>{"a.txt", "b.txt", "dir.txt\\f.txt",
                                                      "sub\\c.txt", "sub\\deeper\\d.txt"}));
  EXPECT_EQ(gather("?.dat"), (std::vector<std::string>{"sub\\deeper\\e.dat"}));
  EXPECT_TRUE(errors_.Empty());
}

// An archive inside the folder it stores must not store itself (nor, under
// another name, a link to itself), and the run's temporary file neither.
TEST_F(DriverTest, TheArchiveAndTheRunsOwnFilesAreNeverGathered) {
  archive_ = dir_.Join("src/out.tst");
  os_.Temp = AppendBackslash(dir_.MakeDir("src/tmp"));
  auto run = [&] {
    auto w = Writer({Spec("*")});
    w->RecurseDirs = true;
    test::AnswerReplace(*w, true);
    return w->Compress();
  };
  EXPECT_EQ(run(), 3);
  dir_.WriteFile("src/a.txt", "alpha, changed");
#ifndef _WIN32
  // The same file under another name is still the archive.
  ASSERT_EQ(link(archive_.c_str(), dir_.Join("src/alias.tst").c_str()), 0);
#endif
  EXPECT_EQ(run(), 1);
  const std::string a = dir_.ReadFile("src/out.tst");
  for (const char* name : {"out.tst", "alias.tst", "kvt"})
    EXPECT_EQ(a.find(name), std::string::npos) << name;
  EXPECT_TRUE(errors_.Empty());
}

TEST_F(DriverTest, RelativeSpecLinesStoreNamesRelativeToTheirFolder) {
  const std::string cwd = platform::Current().CurrentDirectory();
  ASSERT_TRUE(platform::Current().SetCurrentDirectory(dir_.Path()));
  auto w = Writer({std::string("src") + kNativeStyle.Delim + "a.txt"});
  EXPECT_EQ(w->Compress(), 1);
  platform::Current().SetCurrentDirectory(cwd);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.txt"}));
}

TEST_F(DriverTest, UnchangedUpdateLeavesTheArchiveByteForByte) {
  ASSERT_EQ(Writer({Spec("*.txt")})->Compress(), 2);
  const std::string before = ArchiveBytes();
  auto w = Writer({Spec("*.txt")});
  EXPECT_EQ(w->Compress(), 0);
  EXPECT_EQ(ArchiveBytes(), before);
  EXPECT_TRUE(errors_.Empty());
  EXPECT_EQ(TempFilesLeft(), 0u);
}

TEST_F(DriverTest, AddingAFileKeepsTheOldEntriesByteForByte) {
  ASSERT_EQ(Writer({Spec("*.txt")})->Compress(), 2);
  const std::string before = ArchiveBytes();
  dir_.WriteFile("src/d.txt", "delta");
  auto w = Writer({Spec("*.txt")});
  EXPECT_EQ(w->Compress(), 1);
  const std::string after = ArchiveBytes();
  EXPECT_EQ(after.substr(0, before.size()), before);
  EXPECT_EQ(Entries().back(), "d.txt");
  // The kept entries are copied by the driver itself, before the new one.
  EXPECT_EQ(w->Calls, (std::vector<std::string>{"LoadEntries", "WriteEntry d.txt",
                                                "WriteArchiveEnd", "CommitTempFile",
                                                "ReportEntries", "AfterCommit"}));
}

TEST_F(DriverTest, ChangedEntryIsReplacedThroughOnReplaceFile) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  dir_.WriteFile("src/a.txt", "alpha, longer now");
  auto w = Writer({Spec("a.txt")});
  uint32_t oldSize = 0, newSize = 0;
  w->OnReplaceFile = [&](TCompBase&, const std::string& oldName, const std::string& name,
                         TDateTime, TDateTime, uint32_t o, uint32_t n, int, int, bool& replace) {
    EXPECT_EQ(oldName, "a.txt");
    EXPECT_EQ(name, Spec("a.txt"));
    oldSize = o;
    newSize = n;
    replace = true;
  };
  EXPECT_EQ(w->Compress(), 1);
  EXPECT_EQ(oldSize, 5u);
  EXPECT_EQ(newSize, 17u);
  EXPECT_NE(ArchiveBytes().find("alpha, longer now"), std::string::npos);
  EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(DriverTest, ChangedEntryWithoutHandlerIsReportedAndKept) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  const std::string before = ArchiveBytes();
  dir_.WriteFile("src/a.txt", "changed");
  EXPECT_EQ(Writer({Spec("a.txt")})->Compress(), 0);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrEventNotAssigned);
  EXPECT_EQ(errors_.Reports[0].Extended, "OnReplaceFile");
  EXPECT_EQ(ArchiveBytes(), before);
}

TEST_F(DriverTest, RenamedDuplicateKeepsTheOldEntryAndAddsTheFile) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  dir_.WriteFile("src/a.txt", "a new alpha");
  auto w = Writer({Spec("a.txt")});
  test::AnswerReplace(*w, false);
  w->OnRenameDupFile = [](TCompBase&, const std::string& old, std::string& name) {
    name = "old-a.txt";
  };
  EXPECT_EQ(w->Compress(), 1);
  EXPECT_NE(std::find(w->Calls.begin(), w->Calls.end(), "CopyEntry old-a.txt"), w->Calls.end());
  EXPECT_NE(std::find(w->Calls.begin(), w->Calls.end(), "WriteEntry a.txt"), w->Calls.end());
}

TEST_F(DriverTest, ReadOnlyArchiveIsLeftAloneWithoutHandler) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  const std::string before = ArchiveBytes();
  ASSERT_TRUE(platform::Current().SetAttributes(archive_, platform::kAttrReadOnly));
  dir_.WriteFile("src/new.txt", "new");
  auto w = Writer({Spec("*.txt")});
  bool activated = false;
  w->OnActivate = [&](TCompBase&) { activated = true; };
  EXPECT_EQ(w->Compress(), 0);
  EXPECT_FALSE(activated);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrEventNotAssigned);
  EXPECT_EQ(errors_.Reports[0].Extended, "OnNonWriteableArchive");
  EXPECT_EQ(ArchiveBytes(), before);
  platform::Current().SetAttributes(archive_, platform::kAttrArchive);
}

TEST_F(DriverTest, ReadOnlyArchiveIsUpdatedWhenTheHandlerAllows) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  ASSERT_TRUE(platform::Current().SetAttributes(archive_, platform::kAttrReadOnly));
  auto w = Writer({Spec("*.txt")});
  w->OnNonWriteableArchive = [](TCompBase&, const std::string&, bool& write) { write = true; };
  EXPECT_EQ(w->Compress(), 1);
  EXPECT_EQ(platform::Current().GetAttributes(archive_) & platform::kAttrReadOnly, 0u);
}

// Cancels at the n-th chance the run gives (message pumps and progress
// events) and checks that an existing archive is untouched and no
// temporary file is left, for every n until a run completes.
TEST_F(DriverTest, CancelAtEveryStageLeavesTheArchiveAsItWas) {
  ASSERT_EQ(Writer({Spec("a.txt"), Spec("sub/*")})->Compress(), 2);
  const std::string before = ArchiveBytes();
  dir_.WriteFile("src/big.bin", std::string(200000, 'x'));
  dir_.WriteFile("src/d.txt", "delta");
  int cancelledRuns = 0;
  for (int n = 1; n < 200; ++n) {
    auto w = Writer({Spec("*.*"), Spec("sub/*")});
    int chances = 0;
    auto chance = [&] {
      if (++chances == n) w->SetCancel(true);
    };
    platform::Ui().PumpMessages = chance;
    w->OnProgress = [&](TCompBase&, uint8_t, uint8_t) { chance(); };
    const int written = w->Compress();
    platform::Ui().PumpMessages = nullptr;
    ASSERT_EQ(TempFilesLeft(), 0u) << "cancel at chance " << n;
    if (chances < n) {  // the run ended before the n-th chance: done
      EXPECT_EQ(written, 3);
      break;
    }
    ++cancelledRuns;
    ASSERT_EQ(ArchiveBytes(), before) << "cancel at chance " << n;
  }
  EXPECT_GT(cancelledRuns, 5);
  for (const auto& e : errors_.Reports) EXPECT_EQ(e.Code, kErrUserCanceled);
}

TEST_F(DriverTest, CancelledNewArchiveIsNotCreated) {
  auto w = Writer({Spec("*.txt")});
  w->OnProgress = [&](TCompBase& s, uint8_t, uint8_t) { s.SetCancel(true); };
  w->Compress();
  EXPECT_FALSE(dir_.Exists("out.tst"));
  EXPECT_EQ(TempFilesLeft(), 0u);
}

TEST_F(DriverTest, ShortWriteIsFatalAndLeavesNoTemporaryFile) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  const std::string before = ArchiveBytes();
  os_.ShortWriteAfter(30);
  auto w = Writer({Spec("*.*"), Spec("sub/*")});
  try {
    w->Compress();
    ADD_FAILURE() << "no exception";
  } catch (const E_RAISE& e) {
    EXPECT_EQ(e.Code, kErrWrite);
  }
  EXPECT_EQ(ArchiveBytes(), before);
  EXPECT_EQ(TempFilesLeft(), 0u);
}

TEST_F(DriverTest, FullDiskIsFatalAndLeavesTheArchive) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  const std::string before = ArchiveBytes();
  os_.DiskFullAfter(50000);
  EXPECT_THROW(Writer({Spec("*.*"), Spec("sub/*")})->Compress(), E_RAISE);
  EXPECT_EQ(ArchiveBytes(), before);
  EXPECT_EQ(TempFilesLeft(), 0u);
}

TEST_F(DriverTest, FailedCommitKeepsTheOldArchive) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  const std::string before = ArchiveBytes();
  os_.FailMoveFile(test::FaultPlatform::Fail::Always);
  EXPECT_THROW(Writer({Spec("*.txt")})->Compress(), E_RAISE);
  EXPECT_EQ(ArchiveBytes(), before);
  EXPECT_EQ(TempFilesLeft(), 0u);
}

TEST_F(DriverTest, CommitThatFailsOnceStillReplacesTheArchive) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  os_.FailMoveFile(test::FaultPlatform::Fail::Once);
  EXPECT_EQ(Writer({Spec("*.txt")})->Compress(), 1);
  EXPECT_EQ(Entries().size(), 2u);
  EXPECT_EQ(TempFilesLeft(), 0u);
}

// The temporary folder and the archive lie on different volumes, and the
// archive's volume fills up while the new archive is copied over: the old
// archive stays exactly as it was, under its own name, and nothing is left
// beside it or in the temporary folder. The report names the archive and
// the system's reason.
TEST_F(DriverTest, CommitAcrossVolumesReplacesTheArchiveOnlyWithACompleteFile) {
  ASSERT_EQ(Writer({Spec("a.txt")})->Compress(), 1);
  const std::string before = ArchiveBytes();
  os_.VolumePerFolder(true);
  // Both entries take 2 * 14 + 5 + 5 + 5 + 11 = 54 bytes: the temporary
  // file is written whole, its copy stops after 20 bytes.
  os_.DiskFullAfter(54 + 20);
  EXPECT_THROW(Writer({Spec("*.txt")})->Compress(), E_RAISE);
  EXPECT_EQ(ArchiveBytes(), before);
  EXPECT_EQ(TempFilesLeft(), 0u);
  EXPECT_EQ(KvtBesideArchive(), 0u);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrWrite);
  EXPECT_EQ(errors_.Reports[0].File, archive_);
  EXPECT_NE(errors_.Reports[0].Extended.find("Simulated fault"), std::string::npos) << errors_.Reports[0].Extended;

  os_.DiskFullAfter(test::FaultPlatform::kNoLimit);
  errors_.Clear();
  EXPECT_EQ(Writer({Spec("*.txt")})->Compress(), 1);
  EXPECT_EQ(Entries().size(), 2u);
  EXPECT_TRUE(errors_.Empty());
  EXPECT_EQ(TempFilesLeft(), 0u);
  EXPECT_EQ(KvtBesideArchive(), 0u);
}

// Write failures name the file that could not be written and say why,
// not the input being stored.
TEST_F(DriverTest, WriteFailuresNameTheFileWrittenAndTheReason) {
  // A target folder that does not exist: the commit fails.
  archive_ = dir_.Join("missing/out.tst");
  EXPECT_THROW(Writer({Spec("*.txt")})->Compress(), E_RAISE);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrWrite);
  EXPECT_EQ(errors_.Reports[0].File, archive_);
  EXPECT_GT(errors_.Reports[0].Extended.size(), std::string(" (while storing b.txt)").size());
  EXPECT_EQ(TempFilesLeft(), 0u);

  // A full disk while the temporary file is written.
  archive_ = dir_.Join("out.tst");
  os_.DiskFullAfter(30);
  try {
    Writer({Spec("*.txt")})->Compress();
    ADD_FAILURE() << "no exception";
  } catch (const E_RAISE& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(os_.Temp + "kvt"), std::string::npos) << what;
    EXPECT_NE(what.find("Simulated fault"), std::string::npos) << what;
  }
  os_.DiskFullAfter(test::FaultPlatform::kNoLimit);

  // A temporary folder that cannot be made (a file stands in its way).
  errors_.Clear();
  os_.Temp = dir_.WriteFile("blocked", "a file, not a folder") + kNativeStyle.Delim;
  EXPECT_THROW(Writer({Spec("*.txt")})->Compress(), E_RAISE);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrOpen);
  EXPECT_EQ(errors_.Reports[0].File, os_.Temp);
  EXPECT_NE(errors_.Reports[0].Extended.find(": "), std::string::npos) << errors_.Reports[0].Extended;
  EXPECT_GT(errors_.Reports[0].Extended.size(), errors_.Reports[0].Extended.find(": ") + 2);
}

// A folder that cannot be read or searched (here the double's; root can
// read every folder) is reported with the system's reason, once, and gets
// no empty-folder entry.
TEST_F(DriverTest, UnreadableFoldersAreReportedAndNotStoredAsEmpty) {
  os_.FailSearch(dir_.Join("src/sub"));
  auto w = Writer({Spec("*")});
  w->RecurseDirs = true;
  w->StoreEmptySubDirs = true;
  w->FileAttribute().SetftDirectory(true);
  EXPECT_EQ(w->Compress(), 2);
  std::vector<std::string> names = Entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt"}));
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrNotAccessible);
  EXPECT_EQ(errors_.Reports[0].File, dir_.Join("src/sub"));
  EXPECT_NE(errors_.Reports[0].Extended.find("Simulated fault"), std::string::npos) << errors_.Reports[0].Extended;

  // The folder given as the spec's own folder is reported the same way.
  errors_.Clear();
  archive_ = dir_.Join("out2.tst");
  EXPECT_EQ(Writer({Spec("sub/*")})->Compress(), 0);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].File, dir_.Join("src/sub"));
}

// Names that cannot be stored faithfully are reported (26858) and left
// out, never renamed: a Korean name in a format without UTF-8 names, a
// backslash that readers would take for a folder separator, bytes that
// are not UTF-8. A name code page 932 holds is kept.
TEST_F(DriverTest, NamesThatCannotBeStoredAreReportedAndLeftOut) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  class NoUtf8Writer : public TTestWriter {
   public:
    bool StoresUtf8Names() const override { return false; }
  };
  dir_.WriteFile("src/names/한국.txt", "k");
  dir_.WriteFile("src/names/日本.txt", "j");
#ifndef _WIN32
  dir_.WriteFile("src/names/back\\slash.txt", "b");
  dir_.WriteFile("src/names/\x93\xfa.txt", "s");  // Shift-JIS bytes, not UTF-8
#endif
  NoUtf8Writer w;
  w.SetFileSpec({Spec("names/*")});
  w.SetDefaultDir(src_);
  w.SetArchiveFile(archive_);
  errors_.Attach(w);
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"\x93\xfa\x96\x7b.txt"}));
  std::vector<std::string> reported;
  for (const auto& e : errors_.Reports) {
    EXPECT_EQ(e.Code, kErrNameNotStored) << e.File;
    EXPECT_NE(e.Extended.find("left out"), std::string::npos) << e.Extended;
    reported.push_back(ExtractFileName(e.File));
  }
  std::sort(reported.begin(), reported.end());
#ifdef _WIN32
  EXPECT_EQ(reported, (std::vector<std::string>{"한국.txt"}));
#else
  EXPECT_EQ(reported,
            (std::vector<std::string>{"back\\slash.txt", "\x93\xfa.txt", "한국.txt"}));
#endif

  // A format that marks UTF-8 names keeps the Korean one.
  errors_.Clear();
  platform::Current().DeleteFile(archive_);
  auto utf8 = Writer({Spec("names/*.txt")});
  const size_t kept = utf8->Compress();
  EXPECT_GE(kept, 2u);
  for (const auto& e : errors_.Reports) EXPECT_NE(ExtractFileName(e.File), "한국.txt");
}

TEST_F(DriverTest, UncreatableTemporaryFileReportsTwiceThenRaises) {
  auto w = Writer({Spec("a.txt")});
  // Every temporary name begins with "kvt"; make its creation fail.
  class NoTemp : public DriverPlatform {
   public:
    platform::FileHandle Create(const std::string& path, bool overwrite) override {
      if (ExtractFileName(path).rfind("kvt", 0) == 0) return nullptr;
      return DriverPlatform::Create(path, overwrite);
    }
  } noTemp;
  noTemp.Temp = os_.Temp;
  platform::ScopedPlatform use(noTemp);
  EXPECT_THROW(w->Compress(), E_RAISE);
  ASSERT_EQ(errors_.Reports.size(), 2u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrOpen);
  EXPECT_EQ(errors_.Reports[1].Code, kErrOpen);
  EXPECT_FALSE(dir_.Exists("out.tst"));
}

TEST_F(DriverTest, FileThatVanishesBeforeWritingIsReportedAndSkipped) {
  auto w = Writer({Spec("*.txt")});
  w->BeforeWrite = [&](int index) {
    if (index == 0) platform::Current().DeleteFile(w->EntryList.Line(1));
  };
  EXPECT_EQ(w->Compress(), 1);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrOpen);
  EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(DriverTest, FilesOf4GiBAreReportedAndSkipped) {
  // A search that reports one file too large for 32-bit sizes.
  class HugeFile : public DriverPlatform {
   public:
    std::unique_ptr<platform::FindHandle> FindFirst(const std::string& folder,
                                                    const std::string& mask) override {
      struct Search : platform::FindHandle {
        std::unique_ptr<platform::FindHandle> real;
        bool huge = true;
        bool Next(FindData& out) override {
          if (huge) {
            huge = false;
            out = FindData{0x5A000000u, 0x100000000ull, platform::kAttrArchive, "huge.iso", {}};
            return true;
          }
          return real && real->Next(out);
        }
      };
      auto s = std::make_unique<Search>();
      s->real = DriverPlatform::FindFirst(folder, mask);
      return s;
    }
  } huge;
  huge.Temp = os_.Temp;
  platform::ScopedPlatform use(huge);
  auto w = Writer({Spec("*.txt")});
  EXPECT_EQ(w->Compress(), 2);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrOpen);
  EXPECT_NE(errors_.Reports[0].Extended.find("too large"), std::string::npos);
  EXPECT_NE(errors_.Reports[0].Extended.find("4294967296"), std::string::npos);
}

TEST_F(DriverTest, MoveDeletesTheStoredSourcesAfterTheCommit) {
  auto w = Writer({Spec("*.txt")});
  w->Switch = swMove;
  w->DeleteOptions = doFinal;
  std::vector<std::string> deleted;
  w->OnDeleteFile = [&](TCompBase&, const std::string& name, int count, int) {
    EXPECT_EQ(count, 2);
    deleted.push_back(name);
  };
  EXPECT_EQ(w->Compress(), 2);
  EXPECT_EQ(deleted.size(), 2u);
  EXPECT_FALSE(dir_.Exists("src/a.txt"));
  EXPECT_FALSE(dir_.Exists("src/b.txt"));
  EXPECT_TRUE(dir_.Exists("src/sub/c.txt"));
}

TEST_F(DriverTest, MoveNeverDeletesAFolder) {
  // Folders reported read-only, as Windows may; every deletion tried is kept.
  class ReadOnlyFolders : public DriverPlatform {
   public:
    bool DeleteFile(const std::string& path) override {
      Attempts.push_back(path);
      return DriverPlatform::DeleteFile(path);
    }
    std::vector<std::string> Attempts;
  } readOnly;
  readOnly.MarkFolders(platform::kAttrReadOnly);
  readOnly.Temp = os_.Temp;
  platform::ScopedPlatform use(readOnly);
  auto w = Writer({Spec("*")});
  w->Switch = swMove;
  w->DeleteOptions = doFinal;
  w->StoreEmptySubDirs = true;
  w->FileAttribute().SetftDirectory(true);
  EXPECT_EQ(w->Compress(), 3);  // a.txt, b.txt and the folder sub
  EXPECT_FALSE(dir_.Exists("src/a.txt"));
  EXPECT_TRUE(dir_.Exists("src/sub/c.txt"));
  for (const auto& path : readOnly.Attempts) EXPECT_NE(ExtractFileName(path), "sub");
}

TEST_F(DriverTest, CancelledMoveDeletesNothing) {
  auto w = Writer({Spec("*.txt")});
  w->Switch = swMove;
  w->DeleteOptions = doFinal;
  w->OnEnd = [](TCompBase& s, const std::string&, bool) { s.SetCancel(true); };
  w->Compress();
  EXPECT_TRUE(dir_.Exists("src/a.txt"));
  EXPECT_TRUE(dir_.Exists("src/b.txt"));
  EXPECT_TRUE(os_.Deleted.empty() || !dir_.Exists("out.tst"));
}

TEST_F(DriverTest, DeleteDropsSelectedEntriesAndDeletesAnArchiveLeftEmpty) {
  ASSERT_EQ(Writer({Spec("*.txt")})->Compress(), 2);
  auto w = Writer({"a.txt"});
  w->Switch = swDelete;
  EXPECT_EQ(w->Compress(), 1);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"b.txt"}));
  ASSERT_EQ(Writer({Spec("*.txt")})->Compress(), 1);
  // Deleting every entry, several at once, removes the archive itself.
  auto all = Writer({"*.*"});
  all->Switch = swDelete;
  EXPECT_EQ(all->Compress(), 2);
  EXPECT_FALSE(dir_.Exists("out.tst"));
}

TEST_F(DriverTest, DeleteOnAMissingArchiveHasNothingToDo) {
  auto w = Writer({"a.txt"});
  w->Switch = swDelete;
  EXPECT_EQ(w->Compress(), 0);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrNothingToDo);
}

TEST_F(DriverTest, DamagedArchiveReportedByTheWriterIsLeftUntouched) {
  dir_.WriteFile("out.tst", std::string("\x05\x00\xff\xff\xff\x7f", 6) + std::string(20, 'z'));
  const std::string before = ArchiveBytes();
  EXPECT_EQ(Writer({Spec("*.txt")})->Compress(), 0);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Code, kErrUnsupported);
  EXPECT_EQ(ArchiveBytes(), before);
  EXPECT_EQ(TempFilesLeft(), 0u);
}

TEST_F(DriverTest, ReadListsEveryEntryThroughOnRead) {
  ASSERT_EQ(Writer({Spec("*.txt")})->Compress(), 2);
  auto w = Writer({});
  w->Switch = swRead;
  EXPECT_EQ(w->Compress(), 0);
  ASSERT_EQ(errors_.Reports.size(), 1u);
  EXPECT_EQ(errors_.Reports[0].Extended, "OnRead");
  std::vector<int> numbers;
  w->OnRead = [&](TCompBase&, uint32_t, int filenum) { numbers.push_back(filenum); };
  w->Compress();
  EXPECT_EQ(numbers, (std::vector<int>{1, 2}));
  EXPECT_EQ(w->Calls.size(), 2u);
  EXPECT_EQ(w->Calls[0].rfind("ListEntry ", 0), 0u);
}

TEST_F(DriverTest, ExcludedNamesAreNotGathered) {
  auto w = Writer({Spec("*.txt")});
  w->SetExcludeSpec({"b.*"});
  EXPECT_EQ(w->Compress(), 1);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.txt"}));
}

// A pattern without a folder part excludes in every folder; one with a
// folder part only in that folder (a pattern naming another folder once
// dropped every top-level file its name part matched).
TEST_F(DriverTest, ExcludePatternsMatchFoldersOnlyWhenTheyNameOne) {
  const std::string d(1, kNativeStyle.Delim);
  auto names = [&](const std::vector<std::string>& excludes) {
    errors_.Clear();
    platform::Current().DeleteFile(archive_);
    auto w = Writer({Spec("*")});
    w->RecurseDirs = true;
    w->SetExcludeSpec(excludes);
    if (w->Compress() == 0) return std::vector<std::string>{};
    std::vector<std::string> n = Entries();
    std::sort(n.begin(), n.end());
    return n;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(names({"nosuchdir" + d + "*.txt"}), (V{"a.txt", "b.txt", "sub\\c.txt"}));
  EXPECT_EQ(names({"*.txt"}), V{});
  EXPECT_EQ(names({"c.txt"}), (V{"a.txt", "b.txt"}));
  EXPECT_EQ(names({"sub" + d + "*.txt"}), (V{"a.txt", "b.txt"}));
  EXPECT_EQ(names({"*" + d + "*.*"}), (V{"a.txt", "b.txt"}));
  EXPECT_EQ(names({Spec("sub") + d + "c.*"}), (V{"a.txt", "b.txt"}));
}

TEST_F(DriverTest, DateAttributeMaxGivesEveryEntryTheLatestDate) {
  auto w = Writer({Spec("*.txt")});
  w->DateAttribute = daMaxFileDate;
  ASSERT_EQ(w->Compress(), 2);
  const std::string a = ArchiveBytes();
  auto dateAt = [&](size_t pos) {
    uint32_t d = 0;
    for (int i = 0; i < 4; ++i) d |= static_cast<uint32_t>(static_cast<uint8_t>(a[pos + 6 + i])) << (8 * i);
    return d;
  };
  const size_t second = TTestWriter::kHeader + 5 + (static_cast<uint8_t>(a[2]));
  EXPECT_EQ(dateAt(0), w->MaxDate);
  EXPECT_EQ(dateAt(second), w->MaxDate);
}

// ---------------------------------------------------------------------------
// Stored names in the six modes, for both path spellings.

struct NameCase {
  TStoredDirNames mode;
  const char* full;
  const char* specDir;
  const char* defaultDir;
  const char* stored;
};

class StoredNameTest : public ::testing::TestWithParam<std::tuple<bool, NameCase>> {};

TEST_P(StoredNameTest, Mode) {
  const bool windows = std::get<0>(GetParam());
  const NameCase& c = std::get<1>(GetParam());
  auto spell = [&](std::string s) {
    if (!windows) {
      std::replace(s.begin(), s.end(), '\\', '/');
      if (s.size() >= 2 && s[1] == ':') s = s.substr(2);
    }
    return s;
  };
  TTestWriter w;
  w.StoredDirNames = c.mode;
  const platform::PathStyle style = windows ? platform::kWindowsStyle : platform::kPosixStyle;
  std::string expected = spell(c.stored);
  if (!windows && c.mode == sdAbsoluteNoDrv) expected = spell(c.full);
  EXPECT_EQ(w.StoredName(spell(c.full), spell(c.specDir), spell(c.defaultDir), style), expected);
}

const NameCase kNameCases[] = {
    {sdNone, "C:\\a\\b\\x.txt", "C:\\a\\", "C:\\", "x.txt"},
    {sdAbsolute, "C:\\a\\b\\x.txt", "C:\\a\\", "C:\\", "C:\\a\\b\\x.txt"},
    {sdAbsoluteNoDrv, "C:\\a\\b\\x.txt", "C:\\a\\", "C:\\", "\\a\\b\\x.txt"},
    {sdRelative, "C:\\a\\b\\x.txt", "C:\\a\\", "C:\\", "b\\x.txt"},
    {sdRelative, "C:\\q\\x.txt", "C:\\a\\", "C:\\", "C:\\q\\x.txt"},
    {sdRelativeStoreStart, "C:\\a\\b\\x.txt", "C:\\a\\b\\", "C:\\", "b\\x.txt"},
    {sdExplorer, "C:\\data\\pics\\a.txt", "C:\\data\\pics\\", "C:\\data\\", "pics\\a.txt"},
    {sdExplorer, "C:\\w\\report.txt", "C:\\w\\", "C:\\w\\", "report.txt"},
    {sdExplorer, "C:\\w\\deep\\x.txt", "C:\\w\\deep\\", "C:\\w\\", "deep\\x.txt"},
};

INSTANTIATE_TEST_SUITE_P(BothStyles, StoredNameTest,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kNameCases)));

TEST(StoredName, AbsoluteNoDriveDropsTheShareOfANetworkName) {
  TTestWriter w;
  w.StoredDirNames = sdAbsoluteNoDrv;
  EXPECT_EQ(w.StoredName("\\\\server\\share\\dir\\x.txt", "", "C:\\", platform::kWindowsStyle),
            "\\dir\\x.txt");
}

TEST(StoredName, WindowsComparisonsIgnoreCasePosixOnesDoNot) {
  TTestWriter w;
  EXPECT_EQ(w.StoredName("C:\\DATA\\x.txt", "c:\\data\\", "C:\\", platform::kWindowsStyle),
            "x.txt");
  EXPECT_EQ(w.StoredName("/DATA/x.txt", "/data/", "/", platform::kPosixStyle), "/DATA/x.txt");
}

}  // namespace
}  // namespace vix
