// The TAR writer: header bytes, padding and end fill, long names, updating an
// existing archive, and the faults mended (changed sizes, foreign files).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "archive/kvtErrors.h"
#include "support/fault_platform.h"
#include "support/files.h"
#include "support/regressions.h"
#include "support/writer_run.h"
#include "writers/kvtTar.h"

namespace vix {
namespace {

using namespace vix::test;

std::string Text(const Bytes& b, size_t off, size_t len) {
  return std::string(reinterpret_cast<const char*>(b.data() + off), len);
}

// The stored form of a path in a TAR header: "/" between the folders.
std::string TarName(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// The checksum as a reader computes it, independently of the writer.
uint32_t Checksum(const Bytes& b, size_t at) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? 32 : b[at + i];
  return sum;
}

uint64_t Octal(const Bytes& b, size_t off, size_t len) {
  uint64_t v = 0;
  for (size_t i = 0; i < len && b[off + i] != 0; ++i)
    if (b[off + i] >= '0' && b[off + i] <= '7') v = v * 8 + (b[off + i] - '0');
  return v;
}

struct Member {
  std::string Name;
  char Type;
  uint64_t Size;
  size_t HeaderAt;  // the member's own header (after any long-name blocks)
};

// A plain reader: GNU long names and pax paths, stops at the first zero block.
std::vector<Member> List(const Bytes& tar) {
  std::vector<Member> out;
  std::string longName;
  size_t pos = 0;
  while (pos + 512 <= tar.size()) {
    bool zero = true;
    for (size_t i = 0; i < 512; ++i) zero = zero && tar[pos + i] == 0;
    if (zero) break;
    EXPECT_EQ(Octal(tar, pos + 148, 8), Checksum(tar, pos)) << "header at " << pos;
    const uint64_t size = Octal(tar, pos + 124, 12);
    const char type = static_cast<char>(tar[pos + 156]);
    if (type == 'L') {
      longName = std::string(reinterpret_cast<const char*>(tar.data() + pos + 512));
      pos += 512 + (size + 511) / 512 * 512;
      continue;
    }
    if (type == 'x') {  // this writer's pax headers hold one path record
      const std::string records(reinterpret_cast<const char*>(tar.data() + pos + 512), size);
      const size_t at = records.find(" path=");
      EXPECT_NE(at, std::string::npos);
      if (at != std::string::npos) longName = records.substr(at + 6, records.size() - at - 7);
      pos += 512 + (size + 511) / 512 * 512;
      continue;
    }
    const std::string field(reinterpret_cast<const char*>(tar.data() + pos), strnlen(reinterpret_cast<const char*>(tar.data() + pos), 100));
    out.push_back({longName.empty() ? field : longName, type, size, pos});
    longName.clear();
    pos += 512 + (size + 511) / 512 * 512;
  }
  return out;
}

class TarWriter : public test::WriterTest<TTar> {
 protected:
  TarWriter() { Prepare = [](TTar& t) { test::AnswerReplace(t, true); }; }
};

TEST_F(TarWriter, OneByteFileHeaderPaddingAndEndFill) {
  const std::string file = dir / "one.bin";
  WriteFile(file, Bytes{0x5A});
  ASSERT_EQ(Run({file}, dir / "out.tar"), 1);
  const Bytes tar = ReadFile(dir / "out.tar");
  ASSERT_EQ(tar.size(), 10240u);
  const std::string name = "one.bin";  // relative to the spec's folder by default
  EXPECT_EQ(Text(tar, 0, name.size() + 1), name + '\0');
  EXPECT_EQ(Text(tar, 100, 8), std::string("0100666\0", 8));
  EXPECT_EQ(Text(tar, 108, 8), std::string("0000002\0", 8));
  EXPECT_EQ(Text(tar, 116, 8), std::string("0000002\0", 8));
  EXPECT_EQ(Text(tar, 124, 12), std::string("00000000001\0", 12));
  EXPECT_LE(std::llabs(static_cast<long long>(Octal(tar, 136, 12)) - UnixMTime(file)), 2);
  EXPECT_EQ(tar[136 + 11], 0);
  EXPECT_EQ(tar[148 + 7], 0);
  EXPECT_EQ(Octal(tar, 148, 8), Checksum(tar, 0));
  EXPECT_EQ(tar[156], '0');
  EXPECT_EQ(Text(tar, 257, 8), std::string("ustar  \0", 8));
  EXPECT_EQ(Text(tar, 265, 5), std::string("root\0", 5));
  EXPECT_EQ(Text(tar, 297, 5), std::string("root\0", 5));
  for (size_t i = 157; i < 257; ++i) ASSERT_EQ(tar[i], 0) << i;
  for (size_t i = 329; i < 512; ++i) ASSERT_EQ(tar[i], 0) << i;
  EXPECT_EQ(tar[512], 0x5A);
  for (size_t i = 513; i < tar.size(); ++i) ASSERT_EQ(tar[i], 0) << i;
}

TEST_F(TarWriter, EndFillReachesTheNextRecordWithTwoZeroBlocks) {
  // Entries ending at 9728 leave only 512 bytes to 10240: the fill runs to 20480.
  WriteFile(dir / "a" / "nine.bin", Bytes(9216, 1));
  ASSERT_EQ(Run({dir / "a" / "nine.bin"}, dir / "a.tar"), 1);
  EXPECT_EQ(ReadFile(dir / "a.tar").size(), 20480u);
  // An empty file ends at 512: 9728 zero bytes follow.
  WriteFile(dir / "b" / "empty.dat", Bytes{});
  ASSERT_EQ(Run({dir / "b" / "empty.dat"}, dir / "b.tar"), 1);
  const Bytes b = ReadFile(dir / "b.tar");
  EXPECT_EQ(b.size(), 10240u);
  EXPECT_EQ(Octal(b, 124, 12), 0u);
}

TEST_F(TarWriter, EmptyFolderEntry) {
  std::filesystem::create_directories(dir / "src" / "void");
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", [](TTar& t) {
              t.StoreEmptySubDirs = true;
              t.FileAttribute().SetftDirectory(true);
            }),
            1);
  const Bytes tar = ReadFile(dir / "out.tar");
  const auto members = List(tar);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].Name, "void/");
  EXPECT_EQ(members[0].Type, '5');
  EXPECT_EQ(members[0].Size, 0u);
  EXPECT_EQ(Text(tar, 100, 8), std::string("0040555\0", 8));
  EXPECT_EQ(tar.size(), 10240u);
}

// A folder that carries more than the folder bit is still a folder entry,
// and an unchanged run leaves the archive as it was.
TEST_F(TarWriter, FoldersWithMoreAttributesAreFolderEntriesOnce) {
  test::FaultPlatform os;
  os.MarkFolders(platform::kAttrReadOnly | platform::kAttrArchive);
  platform::ScopedPlatform use(os);
  std::filesystem::create_directories(dir / "src" / "void");
  auto setup = [](TTar& t) {
    t.StoreEmptySubDirs = true;
    t.FileAttribute().SetftDirectory(true);
  };
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", setup), 1);
  EXPECT_TRUE(errors.Codes().empty());
  const Bytes before = ReadFile(dir / "out.tar");
  const auto members = List(before);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].Type, '5');
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", setup), 0);
  EXPECT_TRUE(errors.Codes().empty());
  EXPECT_EQ(ReadFile(dir / "out.tar"), before);
}

TEST_F(TarWriter, UserNameOfFortyCharactersIsCutTo32WithoutTerminator) {
  WriteFile(dir / "f.txt", "x");
  const std::string forty(40, 'u');
  std::string kept;
  Run({dir / "f.txt"}, dir / "out.tar", [&](TTar& t) {
    t.UnixUName = forty;
    t.OnEnd = [&](TCompBase& s, const std::string&, bool) { kept = static_cast<TTar&>(s).UnixUName; };
  });
  const Bytes tar = ReadFile(dir / "out.tar");
  EXPECT_EQ(Text(tar, 265, 32), std::string(32, 'u'));
  EXPECT_EQ(tar[297], 'r');  // gname follows at once
  EXPECT_EQ(kept, std::string(32, 'u'));
}

TEST_F(TarWriter, LongNamesGoIntoAGnuLongNameEntry) {
  const std::string file = dir / (std::string(150, 'n') + ".txt");
  WriteFile(file, "long");
  ASSERT_EQ(Run({file}, dir / "out.tar"), 1);
  const Bytes tar = ReadFile(dir / "out.tar");
  const std::string name = std::string(150, 'n') + ".txt";
  EXPECT_EQ(Text(tar, 0, 14), std::string("././@LongLink\0", 14));
  EXPECT_EQ(tar[156], 'L');
  EXPECT_EQ(Octal(tar, 124, 12), name.size() + 1);
  EXPECT_EQ(Text(tar, 512, name.size() + 1), name + '\0');
  const auto members = List(tar);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].Name, name);
  const size_t h = members[0].HeaderAt;
  EXPECT_EQ(h, 512 + (name.size() + 1 + 511) / 512 * 512);
  EXPECT_EQ(Text(tar, h, 100), name.substr(0, 99) + '\0');
  EXPECT_EQ(Text(tar, h + 512, 4), "long");
}

TEST_F(TarWriter, AddingAFileKeepsOldEntriesByteForByte) {
  const std::string spec = dir / "src" / "*";
  WriteFile(dir / "src" / "a.txt", "alpha");
  WriteFile(dir / "src" / (std::string(120, 'L') + ".txt"), "a long name");
  WriteFile(dir / "src" / "b.bin", Bytes(70000, 7));
  ASSERT_EQ(Run({spec}, dir / "out.tar"), 3);
  const Bytes before = ReadFile(dir / "out.tar");
  const auto old = List(before);
  ASSERT_EQ(old.size(), 3u);
  const size_t oldEnd = old.back().HeaderAt + 512 + (old.back().Size + 511) / 512 * 512;

  WriteFile(dir / "src" / "c.txt", "gamma");
  EXPECT_EQ(Run({spec}, dir / "out.tar"), 1);
  EXPECT_TRUE(errors.Codes().empty());
  const Bytes after = ReadFile(dir / "out.tar");
  ASSERT_GT(after.size(), oldEnd);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + oldEnd, after.begin()));
  const auto now = List(after);
  ASSERT_EQ(now.size(), 4u);
  EXPECT_EQ(now[3].Name, "c.txt");
  EXPECT_EQ(after.size() % 10240, 0u);
}

TEST_F(TarWriter, UnchangedRunLeavesTheArchiveAsItWas) {
  const std::string spec = dir / "src" / "*";
  WriteFile(dir / "src" / "a.txt", "alpha");
  WriteFile(dir / "src" / (std::string(130, 'q') + ".txt"), "long");
  std::filesystem::create_directories(dir / "src" / "void");
  auto folders = [](TTar& t) {
    t.StoreEmptySubDirs = true;
    t.FileAttribute().SetftDirectory(true);
  };
  ASSERT_EQ(Run({spec}, dir / "out.tar", folders), 3);
  const Bytes before = ReadFile(dir / "out.tar");
  EXPECT_EQ(Run({spec}, dir / "out.tar", folders), 0);
  EXPECT_EQ(ReadFile(dir / "out.tar"), before);
  EXPECT_TRUE(errors.Codes().empty());
}

TEST_F(TarWriter, ChangedFileReplacesItsEntry) {
  const std::string spec = dir / "src" / "*";
  WriteFile(dir / "src" / "a.txt", "alpha");
  WriteFile(dir / "src" / "b.txt", "beta");
  ASSERT_EQ(Run({spec}, dir / "out.tar"), 2);
  WriteFile(dir / "src" / "b.txt", "beta, longer now");
  EXPECT_EQ(Run({spec}, dir / "out.tar"), 1);
  const Bytes tar = ReadFile(dir / "out.tar");
  const auto members = List(tar);
  ASSERT_EQ(members.size(), 2u);
  std::map<std::string, std::string> data;
  for (const auto& m : members) data[m.Name] = Text(tar, m.HeaderAt + 512, m.Size);
  EXPECT_EQ(data["a.txt"], "alpha");
  EXPECT_EQ(data["b.txt"], "beta, longer now");
}

// The header records what was copied, and the padding follows that count,
// whether the file grew or shrank after it was gathered. The files change
// when the first entry is done, before the others are opened.
TEST_F(TarWriter, FileThatChangedSizeAfterGatheringStaysReadable) {
  const std::map<std::string, std::pair<std::string, std::string>> files = {
      {dir / "src" / "grow1.txt", {std::string(100, 'g'), std::string(700, 'G')}},
      {dir / "src" / "grow2.txt", {std::string(511, 'h'), std::string(513, 'H')}},
      {dir / "src" / "shrink1.txt", {std::string(3000, 's'), std::string(10, 'S')}},
      {dir / "src" / "shrink2.txt", {std::string(1024, 't'), std::string(0, 'T')}},
  };
  for (const auto& [path, contents] : files) WriteFile(path, contents.first);
  std::set<std::string> begun, changed;
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", [&](TTar& t) {
              t.OnBegin = [&](TCompBase&, const std::string& name, int, bool&) {
                begun.insert(dir / "src" / name);
              };
              t.OnEnd = [&](TCompBase&, const std::string&, bool) {
                if (!changed.empty()) return;
                for (const auto& [path, contents] : files) {
                  if (begun.count(path)) continue;
                  WriteFile(path, contents.second);
                  changed.insert(path);
                }
              };
            }),
            4);
  ASSERT_EQ(changed.size(), 3u);
  const Bytes tar = ReadFile(dir / "out.tar");
  const auto members = List(tar);
  ASSERT_EQ(members.size(), 4u);
  for (const auto& m : members) {
    std::string path;
    for (const auto& f : files)
      if (dir / "src" / m.Name == f.first) path = f.first;
    ASSERT_FALSE(path.empty()) << m.Name;
    const std::string& content = changed.count(path) ? files.at(path).second : files.at(path).first;
    EXPECT_EQ(m.Size, content.size()) << m.Name;
    EXPECT_EQ(Text(tar, m.HeaderAt + 512, content.size()), content);
    const size_t end = m.HeaderAt + 512 + (content.size() + 511) / 512 * 512;
    for (size_t i = m.HeaderAt + 512 + content.size(); i < end; ++i) ASSERT_EQ(tar[i], 0);
  }
}

TEST_F(TarWriter, FileGoneBeforeWritingIsReportedAndLeftOut) {
  const std::string first = dir / "src" / "1.txt", second = dir / "src" / "2.txt";
  WriteFile(first, "one");
  WriteFile(second, "two");
  std::string kept;
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", [&](TTar& t) {
              t.OnBegin = [&](TCompBase&, const std::string& name, int, bool&) {
                if (!kept.empty()) return;
                kept = name;  // the other file goes before its turn
                std::filesystem::remove(name == "1.txt" ? second : first);
              };
            }),
            1);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrOpen});
  const auto members = List(ReadFile(dir / "out.tar"));
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].Name, kept);
}

TEST_F(TarWriter, FileThatIsNotATarIsNeitherUpdatedNorReplaced) {
  WriteFile(dir / "src" / "a.txt", "alpha");
  Bytes foreign(1024, 'Z');  // a multiple of 512, but no header
  WriteFile(dir / "foreign.tar", foreign);
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "foreign.tar"), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_EQ(ReadFile(dir / "foreign.tar"), foreign);

  errors.Clear();
  Bytes odd = ReadFile(dir / "foreign.tar");
  odd.resize(1000);  // not a multiple of 512
  WriteFile(dir / "odd.tar", odd);
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "odd.tar"), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_EQ(ReadFile(dir / "odd.tar"), odd);

  // A real archive cut short: its last entry's data runs past the end.
  errors.Clear();
  WriteFile(dir / "src" / "b.bin", Bytes(5000, 3));
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "cut.tar"), 2);
  Bytes cut = ReadFile(dir / "cut.tar");
  cut.resize(2048);
  WriteFile(dir / "cut.tar", cut);
  WriteFile(dir / "src" / "c.txt", "new");
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "cut.tar"), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_EQ(ReadFile(dir / "cut.tar"), cut);
}

TEST_F(TarWriter, EmptyExistingFileBecomesANewArchive) {
  WriteFile(dir / "src" / "a.txt", "alpha");
  WriteFile(dir / "out.tar", Bytes{});
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "out.tar"), 1);
  EXPECT_TRUE(errors.Codes().empty());
  EXPECT_EQ(List(ReadFile(dir / "out.tar")).size(), 1u);
}

TEST_F(TarWriter, OnReadReportsTheEntriesWritten) {
  WriteFile(dir / "src" / "a.txt", "alpha");
  WriteFile(dir / "src" / "b.txt", "beta!");
  std::vector<std::string> reported;
  Run({dir / "src" / "*"}, dir / "out.tar", [&](TTar& t) {
    t.OnRead = [&](TCompBase& s, uint32_t offset, int) {
      EXPECT_EQ(s.Entry.MethodName, "Tarred");
      EXPECT_EQ(s.Entry.Size, 5u);
      reported.push_back(s.Entry.FileName + "@" + std::to_string(offset));
    };
  });
  ASSERT_EQ(reported.size(), 2u);
  const auto members = List(ReadFile(dir / "out.tar"));
  for (size_t i = 0; i < 2; ++i)
    EXPECT_EQ(reported[i], members[i].Name + "@" + std::to_string(members[i].HeaderAt));
}

// --- faults mended -----------------------------------------------------------

// Data that ends on a block boundary has no padding; the next header still
// goes after it, not over it.
TEST_F(TarWriter, EntriesAfterABlockMultipleKeepTheirPlace) {
  const std::map<std::string, Bytes> files = {
      {"a.bin", Bytes(512, 0xA5)}, {"b.txt", Bytes{'b'}}, {"c.bin", Bytes(1024, 0xC3)},
      {"d.bin", Bytes(0)}, {"e.txt", Bytes(700, 'e')}};
  for (const auto& [name, data] : files) WriteFile(dir / "src" / name, data);
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar"), 5);
  EXPECT_TRUE(errors.Codes().empty());
  const Bytes tar = ReadFile(dir / "out.tar");
  const auto members = List(tar);
  ASSERT_EQ(members.size(), files.size());
  for (const auto& m : members) {
    ASSERT_TRUE(files.count(m.Name)) << m.Name;
    const Bytes& data = files.at(m.Name);
    EXPECT_EQ(m.Size, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), tar.begin() + m.HeaderAt + 512)) << m.Name;
  }
}

TEST(TarPadding, IsReckonedIn64BitsPastFourGiB) {
  EXPECT_EQ(tar::PaddingAfter(0), 0u);
  EXPECT_EQ(tar::PaddingAfter(513), 511u);
  // A 4294967000-byte file whose header starts at 512 ends past 2^32.
  EXPECT_EQ(tar::PaddingAfter(512 + 512 + uint64_t{4294967000}), 296u);
  EXPECT_EQ(tar::PaddingAfter(uint64_t{0xFFFFFFFF} + 1), 0u);
  EXPECT_EQ(tar::PaddingAfter(uint64_t{0xFFFFFFFF} + 2), 511u);
  EXPECT_EQ(tar::PaddingAfter(uint64_t{0xFFFFFFFF}), 1u);
}

// A target standing far into a large archive: positions past 4 GiB, with
// the bytes kept from `base` on.
class FarTarget : public platform::Stream {
 public:
  explicit FarTarget(int64_t base) : base_(base), pos_(base) {}
  Bytes data;
  int64_t Read(void*, size_t) override { return -1; }
  int64_t Write(const void* buffer, size_t count) override {
    if (pos_ < base_) return 0;
    const auto at = static_cast<size_t>(pos_ - base_);
    if (data.size() < at + count) data.resize(at + count);
    std::memcpy(data.data() + at, buffer, count);
    pos_ += static_cast<int64_t>(count);
    return static_cast<int64_t>(count);
  }
  bool Seek(int64_t distance, platform::Origin origin) override {
    pos_ = origin == platform::Origin::Begin     ? distance
           : origin == platform::Origin::Current ? pos_ + distance
                                                 : Size() + distance;
    return true;
  }
  int64_t Position() override { return pos_; }
  int64_t Size() override { return base_ + static_cast<int64_t>(data.size()); }
  bool SetEnd() override {
    data.resize(static_cast<size_t>(pos_ - base_));
    return true;
  }
  bool Flush() override { return true; }

 private:
  int64_t base_, pos_;
};

// After a file of 4294967000 bytes the next entry starts past 4 GiB; it is
// written there like any other.
TEST_F(TarWriter, EntryAfterFourGiBIsWritten) {
  WriteFile(dir / "src" / "b.txt", "b");
  TTar tar(nullptr);
  errors.Attach(tar);
  tar.SpecDir = dir / "src" / "";
  auto obj = std::make_unique<TCompBaseHeaderObj>();
  obj->Size = obj->PackedSize = 1;
  tar.EntryList.Add(dir / "src" / "b.txt", std::move(obj));
  const int64_t base = 512 + int64_t{4294967000} + tar::PaddingAfter(512 + uint64_t{4294967000});
  ASSERT_EQ(base % 512, 0);
  FarTarget target(base);
  ASSERT_TRUE(tar.WriteEntry(&target, 0, tar.EntryList.Object(0)));
  EXPECT_TRUE(errors.Codes().empty());
  ASSERT_EQ(target.data.size(), 1024u);
  const auto members = List(target.data);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].Name, "b.txt");
  EXPECT_EQ(target.data[512], 'b');
}

// A file that shrinks while it is read is reported by name and left out;
// one that grows is stored at the size it had when it was opened.
TEST_F(TarWriter, FileThatShrinksWhileReadIsReportedAndLeftOut) {
  test::FaultPlatform os;
  platform::ScopedPlatform use(os);
  WriteFile(dir / "src" / "a.txt", "alpha");
  WriteFile(dir / "src" / "shrinks.bin", Bytes(5000, 's'));
  WriteFile(dir / "src" / "z.txt", "omega");
  os.CutReads("shrinks.bin", 1000, false);
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "out.tar"), 2);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrOpen});
  EXPECT_NE(errors.Messages()[0].find("shrinks.bin"), std::string::npos);
  const Bytes tar = ReadFile(dir / "out.tar");
  const auto members = List(tar);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].Name, "a.txt");
  EXPECT_EQ(members[1].Name, "z.txt");
  EXPECT_EQ(members[1].HeaderAt, 1024u);  // nothing of the torn entry is left
  EXPECT_EQ(Text(tar, 1536, 5), "omega");
}

TEST_F(TarWriter, FileThatGrowsWhileReadKeepsItsSizeAtOpening) {
  const std::string grows = dir / "src" / "grows.bin";
  WriteFile(grows, Bytes(100000, 'g'));
  WriteFile(dir / "src" / "z.txt", "omega");
  bool tried = false, appended = false;
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", [&](TTar& t) {
              t.OnProgress = [&](TCompBase&, uint8_t, uint8_t) {
                if (tried) return;
                tried = true;
                FILE* f = std::fopen(grows.c_str(), "ab");
                if (!f) return;
                appended = std::fputs("more bytes that arrived late", f) >= 0;
                std::fclose(f);
              };
            }),
            2);
  ASSERT_TRUE(tried);
  // Windows does not share a file being read with a writer.
  if (!appended) GTEST_SKIP() << "the file could not grow while it was read";
  EXPECT_TRUE(errors.Codes().empty());
  const Bytes tar = ReadFile(dir / "out.tar");
  const auto members = List(tar);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].Size, 100000u);
  EXPECT_EQ(members[1].Name, "z.txt");
  EXPECT_EQ(Text(tar, members[1].HeaderAt + 512, 5), "omega");
}

// The path mode applies as for every writer; absolute modes keep the full
// path without its root, and updates find the entries under those names.
TEST_F(TarWriter, PathModesGiveTheStoredNamesAndUpdatesMatchThem) {
  WriteFile(dir / "src" / "sub" / "a.txt", "alpha");
  const std::string spec = dir / "src" / "*";
  std::string absolute = TarName(dir / "src" / "sub" / "a.txt");
  if (absolute.size() > 1 && absolute[1] == ':') absolute.erase(0, 2);  // a drive
  while (!absolute.empty() && absolute[0] == '/') absolute.erase(0, 1);
  const std::map<TStoredDirNames, std::string> expected = {
      {sdNone, "a.txt"},
      {sdRelative, "sub/a.txt"},
      {sdRelativeStoreStart, "src/sub/a.txt"},
      {sdAbsolute, absolute},
      {sdAbsoluteNoDrv, absolute}};
  for (const auto& [mode, name] : expected) {
    SCOPED_TRACE(name);
    const std::string archive = dir / ("m" + std::to_string(mode) + ".tar");
    auto setup = [mode = mode](TTar& t) {
      t.StoredDirNames = mode;
      t.RecurseDirs = true;
    };
    ASSERT_EQ(Run({spec}, archive, setup), 1);
    const Bytes before = ReadFile(archive);
    const auto members = List(before);
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].Name, name);
    EXPECT_EQ(Run({spec}, archive, setup), 0);
    EXPECT_EQ(ReadFile(archive), before);
  }
  EXPECT_TRUE(errors.Codes().empty());
}

// Exclude and delete lines that give absolute paths select what the
// absolute modes stored (the names without their root).
TEST_F(TarWriter, AbsoluteLinesSelectRootlessNames) {
  WriteFile(dir / "src" / "keep" / "a.txt", "alpha");
  WriteFile(dir / "src" / "skip" / "b.txt", "beta");
  WriteFile(dir / "src" / "gone" / "c.txt", "gamma");
  auto absolute = [](TTar& t) {
    t.StoredDirNames = sdAbsolute;
    t.RecurseDirs = true;
  };
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", [&](TTar& t) {
              absolute(t);
              t.SetExcludeSpec({dir / "src" / "skip" / "*.*"});
            }),
            2);
  EXPECT_EQ(Run({dir / "src" / "gone" / "*.*"}, dir / "out.tar", [&](TTar& t) {
              absolute(t);
              t.Switch = swDelete;
            }),
            1);
  const auto members = List(ReadFile(dir / "out.tar"));
  ASSERT_EQ(members.size(), 1u);
  EXPECT_NE(members[0].Name.find("src/keep/a.txt"), std::string::npos);
  EXPECT_NE(members[0].Name[0], '/');
  EXPECT_TRUE(errors.Codes().empty());
}

// A name the OEM page cannot hold gets a pax "path" record (UTF-8) in an
// extended header before its entry; the name field keeps the OEM form.
TEST_F(TarWriter, NamesOutsideTheOemPageGetAPaxPath) {
  const std::string korean = "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4.txt";  // 한국어
  const std::string emoji = "\xF0\x9F\x98\x80/smile.txt";
  WriteFile(dir / "src" / korean, "k");
  WriteFile(dir / "src" / emoji, "e");
  WriteFile(dir / "src" / "plain.txt", "p");
  auto setup = [](TTar& t) { t.RecurseDirs = true; };
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", setup), 3);
  EXPECT_TRUE(errors.Codes().empty());
  const Bytes tar = ReadFile(dir / "out.tar");
  std::map<std::string, std::string> paths;  // pax path -> the entry's data
  size_t pos = 0;
  int plainHeaders = 0;
  while (pos + 512 <= tar.size() && tar[pos] != 0) {
    const uint64_t size = Octal(tar, pos + 124, 12);
    ASSERT_EQ(Octal(tar, pos + 148, 8), Checksum(tar, pos));
    if (tar[pos + 156] == 'x') {
      const std::string header = Text(tar, pos, strnlen(reinterpret_cast<const char*>(&tar[pos]), 100));
      EXPECT_NE(header.find("PaxHeaders/"), std::string::npos) << header;
      const std::string records = Text(tar, pos + 512, size);
      const size_t sp = records.find(' ');
      ASSERT_NE(sp, std::string::npos);
      EXPECT_EQ(std::stoul(records.substr(0, sp)), records.size());
      ASSERT_EQ(records.substr(sp + 1, 5), "path=");
      ASSERT_EQ(records.back(), '\n');
      const std::string path = records.substr(sp + 6, records.size() - sp - 7);
      pos += 512 + (size + 511) / 512 * 512;
      EXPECT_EQ(tar[pos + 156], '0');
      paths[path] = Text(tar, pos + 512, Octal(tar, pos + 124, 12));
    } else {
      ++plainHeaders;
    }
    pos += 512 + (Octal(tar, pos + 124, 12) + 511) / 512 * 512;
  }
  EXPECT_EQ(plainHeaders, 1);
  EXPECT_EQ(paths[korean], "k");
  EXPECT_EQ(paths[emoji], "e");
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "out.tar", setup), 0);
  EXPECT_EQ(ReadFile(dir / "out.tar"), tar);
  EXPECT_TRUE(errors.Codes().empty());
}

TEST_F(TarWriter, PaxRecordLengthCountsItsOwnDigits) {
  EXPECT_EQ(tar::PaxRecord("path", "a"), "9 path=a\n");
  EXPECT_EQ(tar::PaxRecord("path", std::string(91, 'x')), "101 path=" + std::string(91, 'x') + "\n");
  EXPECT_EQ(tar::PaxRecord("path", std::string(90, 'x')), "99 path=" + std::string(90, 'x') + "\n");
}

TEST_F(TarWriter, CompressedArchiveIsRefusedAsCompressed) {
  WriteFile(dir / "src" / "a.txt", "alpha");
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "t.tar", [](TTar& t) { t.SetCompressMethod(cmGzipTar); }), 1);
  ASSERT_TRUE(Exists(dir / "t.tar.gz"));
  std::filesystem::rename(dir / "t.tar.gz", dir / "t.tar");
  const Bytes gz = ReadFile(dir / "t.tar");
  errors.Clear();
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "t.tar"), 0);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_NE(errors.Messages()[0].find("compressed"), std::string::npos) << errors.Messages()[0];
  EXPECT_NE(errors.Messages()[0].find("cannot be updated"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "t.tar"), gz);

  // A TAR whose first name begins like a bzip2 stream is a TAR all the same.
  errors.Clear();
  WriteFile(dir / "bz" / "BZh91AY.txt", "first");
  ASSERT_EQ(Run({dir / "bz" / "BZh91AY.txt"}, dir / "bz.tar"), 1);
  WriteFile(dir / "bz" / "second.txt", "second");
  EXPECT_EQ(Run({dir / "bz" / "*"}, dir / "bz.tar"), 1);
  EXPECT_TRUE(errors.Codes().empty());
  EXPECT_EQ(List(ReadFile(dir / "bz.tar")).size(), 2u);
}

// A kept entry renamed by OnRenameDupFile takes its new name whole: the old
// pax path does not come along to override it, nor a POSIX prefix.
TEST_F(TarWriter, RenamedKeptEntryCarriesOnlyItsNewName) {
  const std::string korean = "\xED\x95\x9C\xEA\xB5\xAD.txt";
  WriteFile(dir / "src" / korean, "korean");
  ASSERT_EQ(Run({dir / "src" / "*"}, dir / "out.tar"), 1);
  int asked = 0;
  Run({dir / "src" / "*"}, dir / "out.tar", [&](TTar& t) {
    t.OnRenameDupFile = [&](TCompBase&, const std::string&, std::string& name) {
      name = ++asked == 1 ? "renamed.txt" : "";
    };
  });
  EXPECT_EQ(asked, 1);
  const Bytes tar = ReadFile(dir / "out.tar");
  const auto members = List(tar);
  // The file found again is stored anew after the renamed entry.
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].Name, "renamed.txt");
  EXPECT_EQ(members[0].HeaderAt, 0u);  // no extended header before it
  EXPECT_EQ(Text(tar, 512, 6), "korean");
  EXPECT_EQ(members[1].Name, korean);
  EXPECT_TRUE(errors.Codes().empty());
}

// --- existing archives of other archivers (tests/regressions/tar) ----------

// Every archive of the folder. A refused one is reported and left as it is.
// A kept one holds "drop-me" (with extended blocks of its kind) among other
// entries; where its .cut file gives the span the member takes, measured by
// the tool that made it, deleting it removes exactly that span. Adding a
// file keeps every byte before the end blocks; a file on disk named like a
// link or sparse entry leaves that entry as it is.
TEST_F(TarWriter, CorpusOfOtherArchiversKeptByteForByte) {
  const auto corpus = test::RegressionFiles("tar", ".tar");
  ASSERT_GE(corpus.size(), 7u) << "corpus not found";
  for (const test::RegressionFile& file : corpus) {
    SCOPED_TRACE(file.Name);
    const Bytes original = ReadFile(file.Path);
    const std::string archive = dir / file.Name;
    if (file.Refused) {
      WriteFile(archive, original);
      WriteFile(dir / "disk" / "new.txt", "on disk");
      errors.Clear();
      EXPECT_EQ(Run({dir / "disk" / "*"}, archive), 0);
      EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
      EXPECT_EQ(ReadFile(archive), original);
      std::filesystem::remove_all(std::filesystem::u8path(dir / "disk"));
      continue;
    }
    size_t end = original.size();
    while (end >= 512 && std::all_of(original.begin() + end - 512, original.begin() + end, [](uint8_t b) { return b == 0; }))
      end -= 512;

    const std::string cut = test::RegressionPath("tar", file.Name.substr(0, file.Name.size() - 4) + ".cut");
    if (Exists(cut)) {
      const Bytes cutText = ReadFile(cut);
      size_t from = 0, to = 0;
      ASSERT_EQ(std::sscanf(std::string(cutText.begin(), cutText.end()).c_str(), "%zu %zu", &from, &to), 2);
      WriteFile(archive, original);
      errors.Clear();
      EXPECT_EQ(Run({"drop-me*", "drop-me*.*"}, archive, [](TTar& t) { t.Switch = swDelete; }), 1);
      EXPECT_TRUE(errors.Empty()) << (errors.Empty() ? "" : errors.Messages()[0]);
      const Bytes deleted = ReadFile(archive);
      Bytes expected(original.begin(), original.begin() + from);
      expected.insert(expected.end(), original.begin() + to, original.begin() + end);
      ASSERT_GE(deleted.size(), expected.size());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), deleted.begin()));
    }

    // Files on disk under the names of the kept entries, and one new file.
    WriteFile(archive, original);
    std::filesystem::create_directories(std::filesystem::u8path(dir / "disk"));
    for (const char* name : {"link-me", "hard-me", "fifo-me", "sparse-me", "new.txt"})
      WriteFile(dir / "disk" / name, std::string("on disk: ") + name);
    errors.Clear();
    Run({dir / "disk" / "*"}, archive);
    const Bytes added = ReadFile(archive);
    ASSERT_GE(added.size(), end);
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + end, added.begin()));
    const Bytes again = added;
    Run({dir / "disk" / "*"}, archive);
    EXPECT_EQ(ReadFile(archive), again);
    std::filesystem::remove_all(std::filesystem::u8path(dir / "disk"));
  }
}

TEST_F(TarWriter, CorpusRefusedArchivesAreLeftAsTheyAre) {
  WriteFile(dir / "src" / "a.txt", "alpha");
  const Bytes gz = ReadFile(test::RegressionPath("tar", "refused-tar-gzip-given-as-tar.tar"));
  ASSERT_FALSE(gz.empty());
  WriteFile(dir / "x.tar", gz);
  EXPECT_EQ(Run({dir / "src" / "*"}, dir / "x.tar"), 0);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_NE(errors.Messages()[0].find("compressed with gzip"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "x.tar"), gz);
}

}  // namespace
}  // namespace vix
