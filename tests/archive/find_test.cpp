#include <gtest/gtest.h>

#include <set>

#include "archive/kvtFind.h"
#include "support/temp_dir.h"

namespace vix {
namespace {

std::set<std::string> Found(const std::string& folder, const std::string& mask, uint32_t attr) {
  std::set<std::string> names;
  TSearchRec rec;
  for (int r = FindFirstEntry(folder, mask, attr, rec); r == kFindOk; r = FindNextEntry(rec))
    if (rec.Name != "." && rec.Name != "..") names.insert(rec.Name);
  FindCloseEntry(rec);
  return names;
}

TEST(FindEntry, AttributeFilterPassesFoldersOrEverything) {
  test::TempDir dir;
  dir.WriteFile("file.txt", "x");
  dir.MakeDir("folder");
  EXPECT_EQ(Found(dir.Path(), "*", 0x3F), (std::set<std::string>{"file.txt", "folder"}));
  // Files carry the archive bit, which the folder filter excludes.
  EXPECT_EQ(Found(dir.Path(), "*", platform::kAttrDirectory), (std::set<std::string>{"folder"}));
  EXPECT_EQ(Found(dir.Path(), "*.txt", 0x3F), (std::set<std::string>{"file.txt"}));
}

TEST(FindEntry, MissingFolderAndNoMatchReportNotFound) {
  test::TempDir dir;
  TSearchRec rec;
  EXPECT_EQ(FindFirstEntry(dir.Join("missing"), "*", 0x3F, rec), kFindNoFiles);
  EXPECT_FALSE(rec.Handle);
  EXPECT_EQ(FindFirstEntry(dir.Path(), "*.none", 0x3F, rec), kFindNoFiles);
  EXPECT_FALSE(rec.Handle);
}

}  // namespace
}  // namespace vix
