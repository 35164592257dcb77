// The corpus in tests/regressions/zip (see make_corpus.py there): damaged
// existing archives must be reported and left as they are, never read past
// their end; unusual sound ones must be updated with their entries kept.
#include <gtest/gtest.h>

#include "archive/kvtNames.h"
#include "zip_test_support.h"

namespace vix::ziptest {
namespace {

std::vector<std::string> CorpusFiles() {
  const std::string folder = VIX_SOURCE_DIR "/tests/regressions/zip/";
  std::vector<std::string> names;
  if (auto search = platform::Current().FindFirst(folder, "*.zip")) {
    platform::FindData data;
    while (search->Next(data)) names.push_back(data.Name);
  }
  return names;
}

std::string ReadCorpus(const std::string& name) {
  auto file = platform::Current().OpenRead(VIX_SOURCE_DIR "/tests/regressions/zip/" + name,
                                           platform::ShareMode::Read);
  std::string bytes(file ? static_cast<size_t>(file->Size()) : 0, '\0');
  if (file && !bytes.empty()) file->Read(bytes.data(), bytes.size());
  return bytes;
}

TEST(ZipRegressions, DamagedArchivesAreLeftUntouchedAndSoundOnesUpdated) {
  const std::vector<std::string> names = CorpusFiles();
  ASSERT_GE(names.size(), 15u) << "corpus not found";
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string before = ReadCorpus(name);
    ZipRun r;
    r.dir.WriteFile("out.zip", before);
    r.dir.WriteFile("new.txt", "added by the update");
    r.zip.SetCompressMethod(cmStore);
    const int written = r.Run({"new.txt"});
    if (name.rfind("damaged-", 0) == 0) {
      EXPECT_EQ(written, 0);
      EXPECT_EQ(r.codes, std::vector<int>{kErrUnsupported});
      EXPECT_EQ(r.Bytes(), before);
    } else {
      EXPECT_EQ(written, 1);
      EXPECT_TRUE(r.codes.empty());
      Archive old, now;
      ASSERT_TRUE(Parse(before, old));
      ASSERT_TRUE(Parse(r.Bytes(), now));
      ASSERT_EQ(now.Entries.size(), old.Entries.size() + 1);
      for (size_t i = 0; i < old.Entries.size(); ++i)
        EXPECT_EQ(now.Entries[i].Whole, old.Entries[i].Whole);
      EXPECT_EQ(now.Comment, old.Comment);
      EXPECT_EQ(now.Entries.back().Data, "added by the update");
    }
  }
}

}  // namespace
}  // namespace vix::ziptest
