// Updating existing ZIP archives, and the corpus in tests/regressions/zip
// (make_corpus.py there): damaged archives are reported and left as they
// are, never read past their end; sound ones keep every entry byte for byte.
#include <gtest/gtest.h>

#include "zip_test_support.h"

namespace vix::test {
namespace {

TEST(ZipUpdate, CorpusDamagedArchivesUntouchedSoundOnesKeptByteForByte) {
  const auto corpus = RegressionFiles("zip", ".zip");
  ASSERT_GE(corpus.size(), 15u) << "corpus not found";
  for (const RegressionFile& file : corpus) {
    SCOPED_TRACE(file.Name);
    ZipRun r;
    const std::string before = r.UseCorpus(file.Name);
    r.dir.WriteFile("new.txt", "added by the update");
    r.zip.SetCompressMethod(cmStore);
    const int written = r.Run({"new.txt"});
    if (file.Refused) {
      EXPECT_EQ(written, 0);
      EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrUnsupported});
      EXPECT_EQ(r.Bytes(), before);
      continue;
    }
    EXPECT_EQ(written, 1);
    EXPECT_TRUE(r.errors.Codes().empty());
    const std::string after = r.Bytes();
    Archive old, now;
    ASSERT_TRUE(Parse(before, old));
    ASSERT_TRUE(Parse(after, now));
    ASSERT_EQ(now.Entries.size(), old.Entries.size() + 1);
    EXPECT_EQ(now.Comment, old.Comment);
    uint32_t next = 0;  // each entry starts where the previous one and its descriptor end
    for (size_t i = 0; i < old.Entries.size(); ++i) {
      const Entry &o = old.Entries[i], &n = now.Entries[i];
      EXPECT_EQ(n.Offset, next);
      EXPECT_EQ(n.Whole, o.Whole);
      EXPECT_EQ(n.Central.substr(0, 42), o.Central.substr(0, 42));
      EXPECT_EQ(n.Name + n.CentralExtra + n.Comment, o.Name + o.CentralExtra + o.Comment);
      next = n.Offset + static_cast<uint32_t>(n.Whole.size());
      if (n.Flags() & 8) {
        EXPECT_EQ(Le32(after, next), 0x08074B50u);
        next += 16;
      }
    }
    EXPECT_EQ(now.Entries.back().Offset, next);
    EXPECT_EQ(now.Entries.back().Data, "added by the update");
  }
}

TEST(ZipUpdate, UnchangedRunIsByteIdenticalAndAChangedFileReplacedWhenAllowed) {
  ZipRun r;
  r.dir.WriteFile("a.txt", "alpha");
  r.dir.WriteFile("b.txt", "beta");
  r.zip.SetCompressMethod(cmStore);
  ASSERT_EQ(r.Run({"*.txt"}), 2);
  const std::string first = r.Bytes();
  EXPECT_EQ(r.Run({"*.txt"}), 0);
  EXPECT_EQ(r.Bytes(), first);

  r.dir.WriteFile("b.txt", "beta, longer now");
  EXPECT_EQ(r.Run({"*.txt"}), 0);  // no OnReplaceFile: reported, the old entry stays
  EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrEventNotAssigned});
  EXPECT_EQ(r.Bytes(), first);
  AnswerReplace(r.zip, true);
  EXPECT_EQ(r.Run({"*.txt"}), 1);
  Archive old, now;
  ASSERT_TRUE(Parse(first, old));
  ASSERT_TRUE(Parse(r.Bytes(), now));
  ASSERT_EQ(now.Entries.size(), 2u);
  EXPECT_EQ(now.Find("a.txt")->Whole, old.Find("a.txt")->Whole);
  EXPECT_EQ(now.Find("b.txt")->Data, "beta, longer now");
}

TEST(ZipUpdate, RenamedOldEntryIsCopiedUnderItsNewName) {
  ZipRun r;
  Archive old, now;
  ASSERT_TRUE(Parse(r.UseCorpus("accepted-foreign.zip"), old));
  r.dir.WriteFile("keep1.txt", "a different file of the same name");
  AnswerReplace(r.zip, false);
  r.zip.OnRenameDupFile = [](TCompBase&, const std::string&, std::string& name) {
    name = "old1.txt";
  };
  r.zip.SetCompressMethod(cmStore);
  ASSERT_EQ(r.Run({"keep1.txt"}), 1);
  ASSERT_TRUE(Parse(r.Bytes(), now));
  ASSERT_EQ(now.Entries.size(), 3u);
  const Entry &renamed = now.Entries[0], &original = old.Entries[0];
  EXPECT_EQ(renamed.Name, "old1.txt");
  EXPECT_EQ(Le16(renamed.Local, 26), 8u);
  EXPECT_EQ(renamed.Local.substr(0, 26), original.Local.substr(0, 26));
  EXPECT_EQ(renamed.Whole.substr(30 + 8), original.Whole.substr(30 + 9));  // extra and data
  EXPECT_EQ(renamed.CentralExtra + renamed.Comment, original.CentralExtra + original.Comment);
  EXPECT_EQ(now.Find("keep1.txt")->Data, "a different file of the same name");
}

TEST(ZipUpdate, DeleteSwitchDropsTheSelectedEntries) {
  ZipRun r;
  Archive old, now;
  ASSERT_TRUE(Parse(r.UseCorpus("accepted-foreign.zip"), old));
  r.zip.Switch = swDelete;
  r.zip.SetFileSpec({"keep1.txt"});
  r.zip.SetArchiveFile(r.Archive());
  EXPECT_EQ(r.zip.Compress(), 1);
  ASSERT_TRUE(Parse(r.Bytes(), now));
  ASSERT_EQ(now.Entries.size(), 1u);
  EXPECT_EQ(now.Entries[0].Whole, old.Entries[1].Whole);
  EXPECT_EQ(now.Comment, old.Comment);
}

TEST(ZipComments, RewriteDirectoryInPlaceWithNewComments) {
  ZipRun r;
  r.UseCorpus("accepted-foreign.zip");
  r.zip.SetArchiveFile(r.Archive());
  EXPECT_EQ(r.zip.GetArchiveComment(), "archive comment");
  ASSERT_EQ(r.zip.ReadArchiveDirectory(), 2);
  r.zip.SetEntryComment(1, "second");
  r.zip.SetArchiveComment("short");
  r.zip.RewriteDirectory();
  EXPECT_TRUE(r.errors.Codes().empty());
  Archive now;
  ASSERT_TRUE(Parse(r.Bytes(), now));  // the file ends right after the new comment
  EXPECT_EQ(now.Comment, "short");
  EXPECT_EQ(now.Entries[0].Comment, "entry note");
  EXPECT_EQ(now.Entries[1].Comment, "second");
  EXPECT_EQ(now.Entries[1].Data, std::string(3000, 'k'));

  // An archive without entries stays one; its directory is read on demand.
  ZipRun e;
  e.UseCorpus("accepted-empty-archive.zip");
  e.zip.SetArchiveFile(e.Archive());
  e.zip.SetArchiveComment("now with a comment");
  e.zip.RewriteDirectory();
  ASSERT_TRUE(Parse(e.Bytes(), now));
  EXPECT_EQ(now.Comment, "now with a comment");
  EXPECT_TRUE(now.Entries.empty());
}

// An update keeps the archive's comment; a new archive made next by the same
// component does not inherit it.
TEST(ZipComments, ANewArchiveTakesNoCommentFromAnEarlierOne) {
  ZipRun r;
  r.UseCorpus("accepted-foreign.zip");
  r.dir.WriteFile("new.txt", "new");
  ASSERT_EQ(r.Run({"new.txt"}), 1);
  Archive updated;
  ASSERT_TRUE(Parse(r.Bytes(), updated));
  EXPECT_EQ(updated.Comment, "archive comment");
  r.zip.SetArchiveFile(r.dir.Join("other.zip"));
  ASSERT_EQ(r.zip.Compress(), 1);
  Archive other;
  ASSERT_TRUE(Parse(r.dir.ReadFile("other.zip"), other));
  EXPECT_EQ(other.Comment, "");
  EXPECT_TRUE(r.errors.Codes().empty());
}

}  // namespace
}  // namespace vix::test
