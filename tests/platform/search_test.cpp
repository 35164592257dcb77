// Directory search: masks, attributes, and what the search must never
// follow or read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/dos_mask.h"
#endif

namespace vix::platform {
namespace {

std::vector<FindData> Search(const std::string& folder, const std::string& mask) {
  std::vector<FindData> out;
  auto handle = Current().FindFirst(folder, mask);
  if (!handle) return out;
  for (FindData d; handle->Next(d);) out.push_back(d);
  return out;
}

std::set<std::string> Names(const std::string& folder, const std::string& mask) {
  std::set<std::string> out;
  for (const auto& d : Search(folder, mask)) out.insert(d.Name);
  return out;
}

class SearchTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("a.txt", "aaa");
    dir_.WriteFile("b.TXT", "bbbbbb");
    dir_.WriteFile("c.dat", "");
    dir_.WriteFile("noext", "n");
    dir_.WriteFile("d.txt.bak", "d");
    dir_.WriteFile(".hidden", "h");
    dir_.MakeDir("sub");
  }
  test::TempDir dir_;
};

TEST_F(SearchTest, MasksSelectNamesAsWindowsDoes) {
  using S = std::set<std::string>;
  const S all{".", "..", "a.txt", "b.TXT", "c.dat", "noext", "d.txt.bak", ".hidden", "sub"};
  EXPECT_EQ(Names(dir_.Path(), "*"), all);
  EXPECT_EQ(Names(dir_.Path(), "*.*"), all);  // names without a dot too
  EXPECT_EQ(Names(dir_.Path(), "*.txt"), (S{"a.txt", "b.TXT"}));
  EXPECT_EQ(Names(dir_.Path(), "*.TxT"), (S{"a.txt", "b.TXT"}));
  EXPECT_EQ(Names(dir_.Path(), "?.txt"), (S{"a.txt", "b.TXT"}));
  EXPECT_EQ(Names(dir_.Path(), "*.bak"), (S{"d.txt.bak"}));
  EXPECT_EQ(Names(dir_.Path(), "NOEXT"), (S{"noext"}));
  EXPECT_EQ(Names(dir_.Path(), "c*"), (S{"c.dat"}));
  EXPECT_EQ(Names(dir_.Path(), "zz*"), S{});
}

// A run handed thousands of names of one folder looks each up in one
// reading of the folder: every mask must find what a search of its own
// finds, ASCII case folded as before.
TEST_F(SearchTest, ASnapshotFindsWhatASearchOfItsOwnFinds) {
  dir_.WriteFile("A.txt", "capital");
  dir_.WriteFile("\xE6\x97\xA5\xE6\x9C\xAC.txt", "nihon");
  const char* masks[] = {"a.txt",     "A.TXT", "b.txt",     "noext", "NOEXT",
                         "noext.",    "missing", "*.txt",   "?.txt", ".hidden",
                         "sub",       "d.txt.bak", "\xE6\x97\xA5\xE6\x9C\xAC.TXT", "*", "."};
  std::vector<std::set<std::string>> alone;
  for (const char* mask : masks) alone.push_back(Names(dir_.Path(), mask));
#ifndef _WIN32
  EXPECT_EQ(alone[0], (std::set<std::string>{"A.txt", "a.txt"}));  // two files here
#endif
  ListingSnapshot snapshot;
  for (int round = 0; round < 2; ++round)  // the first reads the folder, the second reuses it
    for (size_t i = 0; i < std::size(masks); ++i)
      EXPECT_EQ(Names(dir_.Path(), masks[i]), alone[i]) << masks[i] << " round " << round;
}

TEST_F(SearchTest, EntriesCarryAttributesSizesAndStamps) {
  const uint32_t now = Current().NowDosStamp();
  int seen = 0;
  for (const auto& d : Search(dir_.Path(), "*")) {
    if (d.Name == "." || d.Name == "..") continue;
    ++seen;
    if (d.Name == "sub") {
      EXPECT_TRUE(d.Attr & kAttrDirectory);
      continue;
    }
    uint32_t unwanted = kAttrDirectory | kAttrReadOnly | kAttrSpecial;
#ifndef _WIN32
    unwanted |= kAttrHidden;  // a leading "." hides nothing here (Wine hides it)
#endif
    EXPECT_EQ(d.Attr & unwanted, 0u) << d.Name;
    EXPECT_TRUE(d.Attr & kAttrArchive) << d.Name;
    EXPECT_EQ(d.Size, dir_.ReadFile(d.Name).size()) << d.Name;
    EXPECT_LE(d.Time, now + 4) << d.Name;  // a local stamp of the last few seconds
    EXPECT_GE(d.Time + 64, now) << d.Name;
  }
  EXPECT_EQ(seen, 7);
}

// Times outside the DOS range clamp to its ends instead of wrapping or
// turning into an invalid stamp.
TEST_F(SearchTest, StampsOutsideTheDosRangeClamp) {
  ASSERT_TRUE(Current().SetLastWriteTime(dir_.Join("a.txt"), 86400 * 365));       // 1971
  ASSERT_TRUE(Current().SetLastWriteTime(dir_.Join("noext"), 7258118400 + 86400));  // 2200
  for (const auto& d : Search(dir_.Path(), "*")) {
    if (d.Name == "a.txt") {
      EXPECT_EQ(d.Time, 0x00210000u);  // 1980-01-01 00:00:00
    } else if (d.Name == "noext") {
      EXPECT_EQ(d.Time, 0xFF9FBF7Du);  // 2107-12-31 23:59:58
    }
  }
}

TEST_F(SearchTest, MissingFolderGivesNoSearch) {
  EXPECT_FALSE(Current().FindFirst(dir_.Join("nowhere"), "*"));
  EXPECT_FALSE(Current().LastErrorText().empty());
}

TEST(PlatformAttributes, ReadOnlyBitRoundTrips) {
  test::TempDir dir;
  const std::string file = dir.WriteFile("r.txt", "r");
  EXPECT_EQ(Current().GetAttributes(file), uint32_t{kAttrArchive});
  EXPECT_EQ(Current().GetAttributes(dir.Path()) & kAttrDirectory, uint32_t{kAttrDirectory});
  EXPECT_EQ(Current().GetAttributes(dir.Join("missing")), 0xFFFFFFFFu);

  ASSERT_TRUE(Current().SetAttributes(file, kAttrReadOnly | kAttrArchive));
  EXPECT_EQ(Current().GetAttributes(file), uint32_t{kAttrReadOnly | kAttrArchive});
  const auto found = Search(dir.Path(), "r.txt");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].Attr & kAttrReadOnly);
  ASSERT_TRUE(Current().SetAttributes(file, kAttrArchive));
  EXPECT_EQ(Current().GetAttributes(file), uint32_t{kAttrArchive});
  EXPECT_FALSE(Current().SetAttributes(dir.Join("missing"), kAttrArchive));
}

#ifndef _WIN32
TEST(PlatformSearch, EntriesComeSortedWithDotsFirst) {
  test::TempDir dir;
  for (const char* name : {"m", "B", "z", "a", "_"}) dir.WriteFile(name, "");
  std::vector<std::string> order;
  for (const auto& d : Search(dir.Path(), "*")) order.push_back(d.Name);
  EXPECT_EQ(order, (std::vector<std::string>{".", "..", "B", "_", "a", "m", "z"}));
}

// FIFOs, sockets and devices are marked so that the filter rejects them;
// reading one could block for ever.
TEST(PlatformSearch, SpecialFilesAreMarked) {
  test::TempDir dir;
  ASSERT_EQ(mkfifo(dir.Join("fifo").c_str(), 0600), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = dir.Join("sock");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  sockPath.copy(addr.sun_path, sockPath.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(sock);
  ASSERT_EQ(symlink("/dev/null", dir.Join("dev").c_str()), 0);

  for (const char* name : {"fifo", "sock", "dev"}) {
    const auto found = Search(dir.Path(), name);
    ASSERT_EQ(found.size(), 1u) << name;
    EXPECT_EQ(found[0].Attr, uint32_t{kAttrSpecial}) << name;
    EXPECT_EQ(Current().GetAttributes(dir.Join(name)), uint32_t{kAttrSpecial}) << name;
  }
}

// A search never reports a link to a folder, so a walk that enters every
// folder it is shown ends, whatever loops the links make. Links to files
// are followed; a dangling link is special.
TEST(PlatformSearch, FolderLinksAreNotFollowed) {
  test::TempDir dir;
  dir.WriteFile("top/inner/file.txt", "12345");
  ASSERT_EQ(symlink("..", dir.Join("top/inner/up").c_str()), 0);
  ASSERT_EQ(symlink(dir.Join("top").c_str(), dir.Join("top/inner/again").c_str()), 0);
  ASSERT_EQ(symlink("file.txt", dir.Join("top/inner/alias.txt").c_str()), 0);
  ASSERT_EQ(symlink("gone", dir.Join("top/inner/dangling").c_str()), 0);

  std::vector<std::string> files;
  std::function<void(const std::string&, int)> walk = [&](const std::string& folder, int depth) {
    ASSERT_LT(depth, 10) << "the search followed a folder link";
    for (const auto& d : Search(folder, "*")) {
      if (d.Name == "." || d.Name == "..") continue;
      if (d.Attr & kAttrDirectory)
        walk(folder + "/" + d.Name, depth + 1);
      else
        files.push_back(d.Name + ":" + std::to_string(d.Attr) + ":" + std::to_string(d.Size));
    }
  };
  walk(dir.Join("top"), 0);
  std::sort(files.begin(), files.end());
  const std::string dangling = "dangling:" + std::to_string(kAttrSpecial) + ":0";
  EXPECT_EQ(files, (std::vector<std::string>{"alias.txt:32:5", dangling, "file.txt:32:5"}));
  // Named directly, a link to a folder is the folder.
  EXPECT_EQ(Current().GetAttributes(dir.Join("top/inner/up")), uint32_t{kAttrDirectory});
}

TEST(PlatformAttributes, FoldersWithoutWritePermissionAreNotReadOnly) {
  test::TempDir dir;
  const std::string sub = dir.MakeDir("locked");
  ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
  EXPECT_EQ(Current().GetAttributes(sub), uint32_t{kAttrDirectory});
  chmod(sub.c_str(), 0755);
}

// A folder that can be read but not searched lists names whose files
// cannot be reached; its search fails with the reason instead of passing
// for an empty folder (and an unreadable one fails too). Root may search
// any folder, so as root the searches run in a child that has given up
// root for the unprivileged "nobody".
TEST(PlatformSearch, FoldersThatCannotBeSearchedFailWithTheReason) {
  test::TempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  dir.WriteFile("listable/file.txt", "x");
  dir.WriteFile("closed/file.txt", "x");
  const std::string listable = dir.Join("listable"), closed = dir.Join("closed");
  ASSERT_EQ(chmod(listable.c_str(), 0444), 0);
  ASSERT_EQ(chmod(closed.c_str(), 0), 0);
  // Each bit of the result is one check that failed.
  auto checks = [&] {
    int failed = 0;
    errno = 0;
    if (Current().FindFirst(listable, "*") != nullptr) failed |= 1;
    if (errno != EACCES) failed |= 2;
    if (Current().LastErrorText().empty()) failed |= 4;
    if (Current().FindFirst(closed, "*") != nullptr) failed |= 8;
    return failed;
  };
  int failed = 0;
  if (geteuid() != 0) {
    failed = checks();
  } else {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 ? checks() : 64);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    failed = WEXITSTATUS(status);
  }
  chmod(listable.c_str(), 0755);
  chmod(closed.c_str(), 0755);
  EXPECT_EQ(failed, 0);
}

// The snapshot reads a folder once: what appears later is not seen until
// it ends. The search that uses one changes nothing in what it lists.
TEST(PlatformSearch, ASnapshotReadsEachFolderOnce) {
  test::TempDir dir;
  dir.WriteFile("first.txt", "1");
  {
    ListingSnapshot outer;
    EXPECT_EQ(Names(dir.Path(), "first.txt"), std::set<std::string>{"first.txt"});
    dir.WriteFile("later.txt", "2");
    {
      ListingSnapshot inner;
      EXPECT_EQ(Names(dir.Path(), "later.txt"), std::set<std::string>{});
    }
    EXPECT_EQ(Names(dir.Path(), "*.txt"), std::set<std::string>{"first.txt"});
  }
  EXPECT_EQ(Names(dir.Path(), "*.txt"), (std::set<std::string>{"first.txt", "later.txt"}));
  // A file gone since the folder was read is not reported.
  ListingSnapshot again;
  EXPECT_EQ(Names(dir.Path(), "later.txt").size(), 1u);
  ASSERT_TRUE(Current().DeleteFile(dir.Join("later.txt")));
  EXPECT_EQ(Names(dir.Path(), "later.txt"), std::set<std::string>{});
}

// A literal mask's key finds exactly the names the mask matches.
TEST(DosMask, LiteralKeysMatchAsTheMaskDoes) {
  const std::string names[] = {"a.txt", "A.TXT", "a.txt.", "a", "A", "\xE6\x97\xA5.txt",
                               "\xC3\xA9.txt", "\xC3\x89.txt", "\x80x", "\xFFx", "ab",
                               "a.b.c", ""};
  const std::string masks[] = {"a.txt", "A.Txt", "a", "\xE6\x97\xA5.TXT", "\xC3\xA9.txt",
                               "\x80X", "\xffx", "a.b.C", "a.", "a*", "?.txt", ""};
  for (const std::string& mask : masks) {
    const std::u32string key = detail::LiteralMaskKey(mask);
    const bool literal =
        !mask.empty() && mask.back() != '.' && mask.find_first_of("*?") == std::string::npos;
    EXPECT_EQ(!key.empty(), literal) << mask;
    if (!literal) continue;
    for (const std::string& name : names)
      EXPECT_EQ(detail::NameKey(name) == key, detail::MatchDosMask(name, mask))
          << name << " ~ " << mask;
  }
}

TEST(DosMask, FollowsTheWindowsWildcardRules) {
  struct Case {
    const char* name;
    const char* mask;
    bool match;
  };
  const Case cases[] = {
      {"readme", "*.*", true},      {"a.b.c", "*.c", true},       {"a.b.c", "*.b", false},
      {"readme", "*.", true},       {"read.me", "*.", false},     {"readme", "readme.*", true},
      {"readme.txt", "readme.*", true}, {"readmetxt", "readme.*", false},
      {"ab", "???", true},          {"abcd", "???", false},       {"ab.txt", "???.txt", true},
      {"abcd.txt", "???.txt", false}, {"a.txt", "a?.txt", true},  {"A.TXT", "a.txt", true},
      {"Ab", "a?", true},           {"日本.txt", "??.txt", true}, {"日本語.txt", "??.txt", false},
      {"x.tar.gz", "*.tar.*", true}, {"x.gz", "*.tar.*", false},  {"abc", "", false},
      {"a", "*a*a*", false},        {"aXa", "*a*a*", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(detail::MatchDosMask(c.name, c.mask), c.match) << c.name << " ~ " << c.mask;
}
#endif

}  // namespace
}  // namespace vix::platform
