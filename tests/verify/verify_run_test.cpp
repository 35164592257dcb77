// Verification as part of a run: runs that pass on every format (and the
// source records they compare), and archives damaged between writing and
// commit, which must leave the old archive as it was, name the entry and
// leave no temporary file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "archive/kvtNames.h"
#include "support/fault_platform.h"
#include "verify/verify_archive.h"
#include "verify_support.h"
#include "writers/kvtGZip.h"
#include "writers/kvtMakeCab.h"
#include "writers/kvtTar.h"

namespace vix::verifytest {
namespace {

class TempPlatform : public test::FaultPlatform {
 public:
  std::string Temp;
  std::string TempFolder() override { return Temp; }
};

struct Report {
  int Code;
  std::string File, Extended;
};

// A writer whose archive is changed after its entries are written and
// before it is finished: the first occurrence of `Find` gets a byte changed.
template <class W>
class Damaging : public W {
 public:
  Damaging() : W(nullptr) {}
  std::string Find;
  void WriteArchiveEnd(Stream* Target) override {
    if (!Find.empty()) {
      const int64_t end = Target->Position();
      std::string bytes(static_cast<size_t>(end), '\0');
      ASSERT_TRUE(Target->Seek(0, platform::Origin::Begin));
      ASSERT_EQ(Target->Read(&bytes[0], bytes.size()), end);
      const size_t at = bytes.find(Find);
      ASSERT_NE(at, std::string::npos);
      const char changed = static_cast<char>(bytes[at] ^ 0x20);
      ASSERT_TRUE(Target->Seek(static_cast<int64_t>(at), platform::Origin::Begin));
      ASSERT_EQ(Target->Write(&changed, 1), 1);
      ASSERT_TRUE(Target->Seek(end, platform::Origin::Begin));
    }
    W::WriteArchiveEnd(Target);
  }
};

class VerifyRun : public ::testing::Test {
 protected:
  void SetUp() override { os_.Temp = AppendBackslash(dir_.MakeDir("tmp")); }

  void Prepare(TCompBase& w, const std::vector<std::string>& names, const std::string& archive) {
    std::vector<std::string> spec;
    for (const auto& n : names) spec.push_back(dir_.Join("src/" + n));
    w.StoredDirNames = sdRelative;
    w.SetDefaultDir(dir_.Join("src"));
    w.SetFileSpec(spec);
    w.SetArchiveFile(dir_.Join(archive));
    w.Verify = true;
    w.OnError = [this](TCompBase&, const std::string& f, const std::string& x, const std::string&,
                       int c) { reports_.push_back({c, f, x}); };
    w.OnReplaceFile = [](TCompBase&, const std::string&, const std::string&, TDateTime, TDateTime,
                         uint32_t, uint32_t, int, int, bool& replace) { replace = true; };
  }

  // Files of the run's own left in the archive's folder or the temporary one.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> left;
    for (const std::string& folder : {dir_.Path(), os_.Temp}) {
      for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("kvt", 0) == 0) left.push_back(name);
      }
    }
    return left;
  }

  test::TempDir dir_;
  TempPlatform os_;
  platform::ScopedPlatform use_{os_};
  std::vector<Report> reports_;
};

TEST_F(VerifyRun, EveryFormatPassesAndRecordsWhatWasRead) {
  // Noise makes the LZH engine give up and store the file, reading it a
  // second time from its start; a password makes the ZIP writer read the
  // file once before it stores it.
  const Files files = {{"a.txt", Words(50000)}, {"noise.bin", Noise(30000)}, {"e.dat", ""}};
  for (const auto& f : files) dir_.WriteFile("src/" + f.first, f.second);
  struct Case {
    const char *Format, *Method, *Password;
  };
  const Case cases[] = {{"zip", "deflate", "p"}, {"lzh", "lh5", ""}, {"cab", "lzx", ""},
                        {"cab", "mszip", ""},    {"tar", "tar", ""},  {"tar", "tgz", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Format) + " " + c.Method);
    auto w = app::MakeWriter(c.Format);
    app::ApplyMethod(*w, *app::FindMethod(c.Format, c.Method));
    if (auto* zip = dynamic_cast<TZip*>(w.get())) zip->Password = c.Password;
    Prepare(*w, {"a.txt", "noise.bin", "e.dat"}, std::string("out-") + c.Method);
    EXPECT_EQ(w->Compress(), 3);
    EXPECT_TRUE(reports_.empty()) << reports_[0].File << ": " << reports_[0].Extended;
    reports_.clear();
    // TAR-GZIP: the records are the GZIP step's, of its one member.
    if (std::string(c.Method) == "tgz") continue;
    ASSERT_EQ(w->VerifyRecords.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_TRUE(w->VerifyRecords[i].FromSource);
      EXPECT_EQ(w->VerifyRecords[i].Size, files[i].second.size());
      EXPECT_EQ(w->VerifyRecords[i].Crc32, BitCrc32(files[i].second));
    }
  }
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(VerifyRun, AnUpdateChecksKeptEntriesByTheirOwnCrc) {
  dir_.WriteFile("src/a.txt", Words(20000, 1));
  dir_.WriteFile("src/b.txt", Words(20000, 2));
  TZip first(nullptr);
  Prepare(first, {"a.txt"}, "u.zip");
  ASSERT_EQ(first.Compress(), 1);
  TZip second(nullptr);
  Prepare(second, {"b.txt"}, "u.zip");
  ASSERT_EQ(second.Compress(), 1);
  EXPECT_TRUE(reports_.empty());
  ASSERT_EQ(second.VerifyRecords.size(), 2u);
  EXPECT_FALSE(second.VerifyRecords[0].FromSource);  // a.txt, kept
  EXPECT_TRUE(second.VerifyRecords[1].FromSource);
}

// The damaged byte breaks the entry's CRC (ZIP) or only its data (TAR has
// no data CRC: only the comparison with what was read finds it). Either
// way the old archive stays byte for byte and the entry is named.
template <class W>
void DamagedUpdateKeepsTheOldArchive(VerifyRun& t, test::TempDir& dir, std::vector<Report>& reports,
                                     const std::string& archive) {
  dir.WriteFile("src/old.txt", "the archive as it was before this run");
  dir.WriteFile("src/new.txt", Words(9000, 9) + "MARKER-of-new" + Words(100, 1));
  W before(nullptr);
  before.SetDefaultDir(dir.Join("src"));
  before.SetFileSpec({dir.Join("src/old.txt")});
  before.SetArchiveFile(dir.Join(archive));
  ASSERT_EQ(before.Compress(), 1);
  const std::string old = Slurp(dir.Join(archive));

  Damaging<W> w;
  w.SetCompressMethod(cmStore);
  w.SetDefaultDir(dir.Join("src"));
  w.SetFileSpec({dir.Join("src/new.txt")});
  w.SetArchiveFile(dir.Join(archive));
  w.Verify = true;
  w.OnError = [&](TCompBase&, const std::string& f, const std::string& x, const std::string&,
                  int c) { reports.push_back({c, f, x}); };
  w.Find = "MARKER-of-new";
  w.Compress();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Code, kErrVerifyFailed);
  EXPECT_EQ(reports[0].File, "new.txt") << reports[0].Extended;
  EXPECT_NE(reports[0].Extended.find(" is as it was"), std::string::npos);
  EXPECT_EQ(Slurp(dir.Join(archive)), old);
  (void)t;
}

TEST_F(VerifyRun, DamagedZipIsNotCommitted) {
  DamagedUpdateKeepsTheOldArchive<TZip>(*this, dir_, reports_, "d.zip");
  EXPECT_NE(reports_.at(0).Extended.find("CRC"), std::string::npos);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(VerifyRun, DamagedTarIsFoundByComparingWithTheSource) {
  DamagedUpdateKeepsTheOldArchive<TTar>(*this, dir_, reports_, "d.tar");
  EXPECT_NE(reports_.at(0).Extended.find("differs from what was read"), std::string::npos);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(VerifyRun, ANewArchiveThatFailsIsNotLeftBehind) {
  dir_.WriteFile("src/new.txt", "MARKER-of-new and some more text");
  Damaging<TZip> w;
  w.SetCompressMethod(cmStore);
  Prepare(w, {"new.txt"}, "n.zip");
  w.Find = "MARKER-of-new";
  w.Switch = swMove;  // and a move deletes no source
  EXPECT_EQ(w.Compress(), 0);  // written, then not kept
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].Code, kErrVerifyFailed);
  EXPECT_NE(reports_[0].Extended.find(" was made"), std::string::npos);
  EXPECT_FALSE(dir_.Exists("n.zip"));
  EXPECT_TRUE(dir_.Exists("src/new.txt"));
  EXPECT_TRUE(Leftovers().empty());
}

// The cabinet and GZIP writers commit on their own paths. A record changed
// before the check stands for a writer that stored other bytes than it read.
TEST_F(VerifyRun, CabinetThatFailsLeavesTheOldOne) {
  dir_.WriteFile("src/a.txt", Words(40000, 1));
  TMakeCab before(nullptr);
  Prepare(before, {"a.txt"}, "c.cab");
  ASSERT_EQ(before.Compress(), 1);
  const std::string old = Slurp(dir_.Join("c.cab"));
  dir_.WriteFile("src/b.txt", Words(30000, 2));
  TMakeCab w(nullptr);
  w.SetCompressMethod(cmMsZip);
  Prepare(w, {"a.txt", "b.txt"}, "c.cab");
  w.OnElapsedTime = [](TCompBase& c, float) { c.VerifyRecords.at(1).Crc32 ^= 1; };
  EXPECT_EQ(w.Compress(), 0);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].Code, kErrVerifyFailed);
  EXPECT_EQ(reports_[0].File, "b.txt");
  EXPECT_EQ(Slurp(dir_.Join("c.cab")), old);
  EXPECT_TRUE(Leftovers().empty());
  // A new cabinet that fails is not left behind either.
  reports_.clear();
  TMakeCab fresh(nullptr);
  Prepare(fresh, {"a.txt"}, "new.cab");
  fresh.OnElapsedTime = [](TCompBase& c, float) { c.VerifyRecords.at(0).Size += 1; };
  EXPECT_EQ(fresh.Compress(), 0);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_FALSE(dir_.Exists("new.cab"));
}

TEST_F(VerifyRun, GzipMemberThatFailsLeavesTheOldFile) {
  dir_.WriteFile("src/a.txt", Words(40000, 1));
  dir_.WriteFile("a.txt.gz", "the old member");
  TGZip w(nullptr);
  Prepare(w, {"a.txt"}, "a.txt");
  w.OnFileExists = [](TCompBase&, const std::string&, TDateTime, int& mode) { mode = 0; };
  w.OnRead = [](TCompBase& c, uint32_t, int) { c.SourceTap.Crc ^= 1; };
  EXPECT_EQ(w.Compress(), 0);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].Code, kErrVerifyFailed);
  EXPECT_EQ(Slurp(dir_.Join("a.txt.gz")), "the old member");
  EXPECT_TRUE(Leftovers().empty());
  // Untouched, the same run passes and replaces it.
  reports_.clear();
  w.OnRead = nullptr;
  EXPECT_EQ(w.Compress(), 1);
  EXPECT_TRUE(reports_.empty());
  EXPECT_NE(Slurp(dir_.Join("a.txt.gz")), "the old member");
}

TEST(VerifyCompare, RecordsAgainstEntries) {
  verify::ReadResult read;
  read.Entries = {{"a", 3, 0x1234, true}, {"dir/", 0, 0, false}};
  using R = TCompBase::TVerifyRecord;
  verify::Mismatch m;
  EXPECT_TRUE(verify::CompareWithRecords(read, {R{"a", true, 3, 0x1234}, R{"dir/", true, 0, 0}}, m));
  EXPECT_TRUE(verify::CompareWithRecords(read, {R{"a", false, 9, 9}, R{"dir/", false, 0, 0}}, m));
  EXPECT_FALSE(verify::CompareWithRecords(read, {R{"a", true, 4, 0x1234}, R{"dir/", true, 0, 0}}, m));
  EXPECT_EQ(m.Entry, "a");
  EXPECT_FALSE(verify::CompareWithRecords(read, {R{"a", true, 3, 0x1235}, R{"dir/", true, 0, 0}}, m));
  EXPECT_FALSE(verify::CompareWithRecords(read, {R{"a", true, 3, 0x1234}}, m));
  EXPECT_EQ(m.Entry, "dir/");
  EXPECT_FALSE(verify::CompareWithRecords(
      read, {R{"a", true, 3, 0x1234}, R{"dir/", true, 0, 0}, R{"b", true, 1, 1}}, m));
  EXPECT_EQ(m.Entry, "b");
  EXPECT_FALSE(verify::CompareWithRecords(read, {R{"a", true, 3, 0x1234}, R{"dir/", true, 5, 0}}, m));
}

}  // namespace
}  // namespace vix::verifytest
