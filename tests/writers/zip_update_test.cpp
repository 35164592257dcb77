// Updating existing ZIP archives: kept entries byte for byte, comments,
// unchanged runs, replaced and renamed entries, and the comment operations.
#include <gtest/gtest.h>

#include "zip_test_support.h"

namespace vix::ziptest {
namespace {

// A foreign archive with what other writers put in: a central extra field,
// an entry comment, a data descriptor and an archive comment.
const std::vector<ForeignEntry> kForeign = {
    {"keep1.txt", "first kept entry", "UT\x05\x00\x01\x11\x22\x33\x44", "UT\x01\x00\x01",
     "entry note", false},
    {"dir/keep2.txt", std::string(3000, 'k'), "", "", "", true},
};

TEST(ZipUpdate, AddingFilesKeepsForeignEntriesByteForByte) {
  ZipRun r;
  const std::string before = BuildForeign(kForeign, "archive comment");
  r.dir.WriteFile("out.zip", before);
  r.dir.WriteFile("new.txt", "a new file");
  ASSERT_EQ(r.Run({"new.txt"}), 1);
  EXPECT_TRUE(r.codes.empty());

  Archive old, now;
  ASSERT_TRUE(Parse(before, old));
  const std::string after = r.Bytes();
  ASSERT_TRUE(Parse(after, now));
  ASSERT_EQ(now.Entries.size(), 3u);
  EXPECT_EQ(now.Comment, "archive comment");
  for (size_t i = 0; i < 2; ++i) {
    const Entry &o = old.Entries[i], &n = now.Entries[i];
    SCOPED_TRACE(o.Name);
    EXPECT_EQ(n.Whole, o.Whole);
    EXPECT_EQ(n.Central.substr(0, 42), o.Central.substr(0, 42));
    EXPECT_EQ(n.Name, o.Name);
    EXPECT_EQ(n.CentralExtra, o.CentralExtra);
    EXPECT_EQ(n.Comment, o.Comment);
  }
  // The descriptor travels with its entry: the next entry starts after it.
  const Entry& kept2 = now.Entries[1];
  EXPECT_EQ(after.substr(kept2.Offset + kept2.Whole.size(), 4), "PK\x07\x08");
  EXPECT_EQ(now.Entries[2].Offset, kept2.Offset + kept2.Whole.size() + 16);
  EXPECT_EQ(now.Entries[2].Name, "new.txt");
}

TEST(ZipUpdate, UnchangedRunLeavesTheArchiveByteIdentical) {
  ZipRun r;
  r.dir.WriteFile("a.txt", "alpha");
  r.dir.WriteFile("b.txt", std::string(5000, 'b'));
  ASSERT_EQ(r.Run({"*.txt"}), 2);
  const std::string first = r.Bytes();
  EXPECT_EQ(r.Run({"*.txt"}), 0);
  EXPECT_EQ(r.Bytes(), first);
  EXPECT_TRUE(r.codes.empty());
}

TEST(ZipUpdate, ChangedFileIsReplacedOnlyWhenTheHandlerSaysSo) {
  ZipRun r;
  r.dir.WriteFile("a.txt", "alpha");
  r.dir.WriteFile("b.txt", "beta");
  r.zip.SetCompressMethod(cmStore);
  ASSERT_EQ(r.Run({"*.txt"}), 2);
  Archive old;
  ASSERT_TRUE(Parse(r.Bytes(), old));
  r.dir.WriteFile("b.txt", "beta, longer now");

  // Without OnReplaceFile: reported, the old entry stays.
  EXPECT_EQ(r.Run({"*.txt"}), 0);
  EXPECT_EQ(r.codes, std::vector<int>{kErrEventNotAssigned});

  r.zip.OnReplaceFile = [](TCompBase&, const std::string&, const std::string&, TDateTime,
                           TDateTime, uint32_t, uint32_t, int, int, bool& replace) {
    replace = true;
  };
  EXPECT_EQ(r.Run({"*.txt"}), 1);
  Archive now;
  ASSERT_TRUE(Parse(r.Bytes(), now));
  ASSERT_EQ(now.Entries.size(), 2u);
  EXPECT_EQ(now.Find("a.txt")->Whole, old.Find("a.txt")->Whole);
  EXPECT_EQ(now.Find("b.txt")->Data, "beta, longer now");
}

TEST(ZipUpdate, RenamedOldEntryIsCopiedUnderItsNewName) {
  ZipRun r;
  const std::string before = BuildForeign(kForeign, "");
  r.dir.WriteFile("out.zip", before);
  r.dir.WriteFile("keep1.txt", "a different file of the same name");
  r.zip.OnReplaceFile = [](TCompBase&, const std::string&, const std::string&, TDateTime,
                           TDateTime, uint32_t, uint32_t, int, int, bool& replace) {
    replace = false;
  };
  r.zip.OnRenameDupFile = [](TCompBase&, const std::string&, std::string& name) {
    name = "old1.txt";
  };
  r.zip.SetCompressMethod(cmStore);
  ASSERT_EQ(r.Run({"keep1.txt"}), 1);
  Archive old, now;
  ASSERT_TRUE(Parse(before, old));
  ASSERT_TRUE(Parse(r.Bytes(), now));
  ASSERT_EQ(now.Entries.size(), 3u);
  const Entry& renamed = now.Entries[0];
  const Entry& original = old.Entries[0];
  EXPECT_EQ(renamed.Name, "old1.txt");
  EXPECT_EQ(Le16(renamed.Local, 26), 8u);
  EXPECT_EQ(renamed.Local.substr(0, 26), original.Local.substr(0, 26));
  EXPECT_EQ(renamed.Whole.substr(30 + 8), original.Whole.substr(30 + 9));  // extra + data
  EXPECT_EQ(renamed.CentralExtra, original.CentralExtra);
  EXPECT_EQ(renamed.Comment, original.Comment);
  EXPECT_EQ(now.Find("keep1.txt")->Data, "a different file of the same name");
}

TEST(ZipUpdate, DeleteSwitchDropsTheSelectedEntries) {
  ZipRun r;
  const std::string before = BuildForeign(kForeign, "c");
  r.dir.WriteFile("out.zip", before);
  r.zip.Switch = swDelete;
  r.zip.SetFileSpec({"keep1.txt"});
  r.zip.SetArchiveFile(r.Archive());
  EXPECT_EQ(r.zip.Compress(), 1);
  Archive old, now;
  ASSERT_TRUE(Parse(before, old));
  ASSERT_TRUE(Parse(r.Bytes(), now));
  ASSERT_EQ(now.Entries.size(), 1u);
  EXPECT_EQ(now.Entries[0].Whole, old.Entries[1].Whole);
  EXPECT_EQ(now.Comment, "c");
}

TEST(ZipComments, RewriteDirectoryInPlaceWithNewComments) {
  ZipRun r;
  r.dir.WriteFile("out.zip", BuildForeign(kForeign, "a rather long archive comment"));
  r.zip.SetArchiveFile(r.Archive());
  EXPECT_EQ(r.zip.GetArchiveComment(), "a rather long archive comment");
  ASSERT_EQ(r.zip.ReadArchiveDirectory(), 2);
  r.zip.SetEntryComment(1, "second");
  r.zip.SetArchiveComment("short");
  r.zip.RewriteDirectory();
  EXPECT_TRUE(r.codes.empty());

  Archive now;
  ASSERT_TRUE(Parse(r.Bytes(), now));  // the file ends right after the new comment
  EXPECT_EQ(now.Comment, "short");
  EXPECT_EQ(now.Entries[0].Comment, "entry note");
  EXPECT_EQ(now.Entries[1].Comment, "second");
  EXPECT_EQ(now.Entries[1].Data, kForeign[1].Data);
}

}  // namespace
}  // namespace vix::ziptest
