// TLha on real files: header bytes, the stored fallbacks, updates of
// existing archives and the refusal to touch files that are not level-0
// LZH archives.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "archive/kvtNames.h"
#include "engines/lzh_decoder.h"
#include "support/fault_platform.h"
#include "support/reference.h"
#include "support/files.h"
#include "support/regressions.h"
#include "support/test_data.h"
#include "support/writer_run.h"
#include "writers/kvtLha.h"

namespace vix {
namespace {

using test::Bytes;
using test::Le32;

uint16_t Crc16(const Bytes& data) { return test::ReferenceCrc16(data); }

// One parsed level-0 entry of an archive.
struct Header {
  size_t at, n;
  std::string method, name;
  uint32_t packed, original, stamp;
  uint8_t attr, sizeByte, sum;
  uint16_t crc;
  Bytes data;
};

std::vector<Header> ParseArchive(const Bytes& a, size_t* end = nullptr) {
  std::vector<Header> out;
  size_t at = 0;
  while (at < a.size() && a[at] != 0) {
    Header h;
    h.at = at;
    h.sizeByte = a[at];
    h.sum = a[at + 1];
    h.method.assign(a.begin() + at + 2, a.begin() + at + 7);
    h.packed = Le32(a, at + 7);
    h.original = Le32(a, at + 11);
    h.stamp = Le32(a, at + 15);
    h.attr = a[at + 19];
    EXPECT_EQ(a[at + 20], 0) << "level";
    h.n = a[at + 21];
    h.name.assign(a.begin() + at + 22, a.begin() + at + 22 + h.n);
    h.crc = static_cast<uint16_t>(a[at + 22 + h.n] | a[at + 23 + h.n] << 8);
    const size_t data = at + 24 + h.n;
    h.data.assign(a.begin() + data, a.begin() + data + h.packed);
    uint8_t sum = 0;
    for (size_t i = at + 2; i < data; ++i) sum = static_cast<uint8_t>(sum + a[i]);
    EXPECT_EQ(h.sum, sum) << h.name;
    EXPECT_EQ(h.sizeByte, 22 + h.n) << h.name;
    at = data + h.packed;
    out.push_back(std::move(h));
  }
  if (end) *end = at;
  return out;
}

class LhaTest : public test::WriterTest<TLha> {
 protected:
  LhaTest() { Prepare = [](TLha& l) { test::AnswerReplace(l, true); }; }
  std::string Path(const std::string& rel) const { return dir.Join(rel); }
  void Write(const std::string& rel, const Bytes& data) {
    dir.WriteFile(rel, std::string(data.begin(), data.end()));
  }
  Bytes Read(const std::string& rel) const {
    const std::string s = dir.ReadFile(rel);
    return Bytes(s.begin(), s.end());
  }

  // Runs TLha on `specs` (relative to the root) into archive.lzh.
  int Run(std::vector<std::string> specs, TCompressMethod method = cmFrozen5,
          const std::function<void(TLha&)>& setup = nullptr) {
    for (auto& s : specs) s = Path(s);
    return WriterTest::Run(specs, Path("archive.lzh"), [&](TLha& l) {
      l.SetCompressMethod(method);
      if (setup) setup(l);
    });
  }

  // Adds src/new.txt to `archive` (an end mark last): the old entries stay
  // in front byte for byte and the new one follows them. The result, which
  // the component leaves without an end mark.
  Bytes ExpectAddedAfter(const Bytes& archive) {
    Write("archive.lzh", archive);
    EXPECT_EQ(Run({"src/new.txt"}), 1);
    EXPECT_TRUE(errors.Empty()) << (errors.Empty() ? "" : errors.Messages()[0]);
    const Bytes after = Read("archive.lzh");
    const size_t entriesEnd = archive.size() - 1;
    if (after.size() <= entriesEnd) {
      ADD_FAILURE() << "nothing added";
      return after;
    }
    EXPECT_TRUE(std::equal(archive.begin(), archive.begin() + entriesEnd, after.begin()));
    const auto added = ParseArchive(Bytes(after.begin() + entriesEnd, after.end()));
    EXPECT_EQ(added.size(), 1u);
    EXPECT_EQ(added.empty() ? "" : added[0].name, "new.txt");
    return after;
  }
};

Bytes Text(size_t n) { return test::Words<Bytes>(n, 1); }

TEST_F(LhaTest, WritesLevel0HeadersWithChecksumAndDecodableData) {
  const Bytes text = Text(50000);
  Write("src/notes.txt", text);
  Write("src/empty.dat", {});
  for (TCompressMethod method : {cmFrozen5, cmFrozen6, cmStore}) {
    platform::Current().DeleteFile(Path("archive.lzh"));
    ASSERT_EQ(Run({"src/notes.txt", "src/empty.dat"}, method), 2);
    const Bytes archive = Read("archive.lzh");
    size_t end;
    const auto entries = ParseArchive(archive, &end);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(end, archive.size());  // the writer adds no end mark

    const Header& h = entries[0];
    EXPECT_EQ(h.name, "notes.txt");
    EXPECT_EQ(h.original, text.size());
    EXPECT_EQ(h.crc, Crc16(text));
    EXPECT_EQ(h.attr, platform::kAttrArchive);
    platform::FindData found;
    ASSERT_TRUE(platform::Current().FindFirst(Path("src"), "notes.txt")->Next(found));
    EXPECT_EQ(h.stamp, found.Time);
    if (method == cmStore) {
      EXPECT_EQ(h.method, "-lh0-");
      EXPECT_EQ(h.data, text);
    } else {
      EXPECT_EQ(h.method, method == cmFrozen5 ? "-lh5-" : "-lh6-");
      EXPECT_LT(h.packed, text.size() / 2);
      testing_lzh::LzhDecoder dec(h.data.data(), h.data.size(), method == cmFrozen5 ? 13 : 14);
      EXPECT_EQ(dec.Decode(text.size()), text);
    }

    // An empty file: 24 + n bytes, stored, sizes and CRC 0.
    const Header& e = entries[1];
    EXPECT_EQ(e.method, "-lh0-");
    EXPECT_EQ(e.packed, 0u);
    EXPECT_EQ(e.original, 0u);
    EXPECT_EQ(e.crc, 0);
    EXPECT_EQ(end - e.at, 24u + 9u);
  }
}

TEST_F(LhaTest, StoresWhatDoesNotCompressOrIsAlreadyCompressed) {
  Write("src/few.bin", {1, 9, 2, 8, 3, 7, 4, 6, 5, 0});
  Write("src/data.zip", Text(20000));
  Write("src/tool.EXE", Text(20000));
  ASSERT_EQ(Run({"src/*"}, cmFrozen6), 3);
  std::map<std::string, Header> byName;
  for (auto& h : ParseArchive(Read("archive.lzh"))) byName[h.name] = h;
  EXPECT_EQ(byName["few.bin"].method, "-lh0-");
  EXPECT_EQ(byName["few.bin"].packed, 10u);
  EXPECT_EQ(byName["few.bin"].crc, Crc16(Read("src/few.bin")));
  EXPECT_EQ(byName["data.zip"].method, "-lh0-");
  EXPECT_EQ(byName["tool.EXE"].method, "-lh6-");

  platform::Current().DeleteFile(Path("archive.lzh"));
  Run({"src/data.zip"}, cmFrozen6, [](TLha& l) { l.StoreAlreadyCompressedFiles = false; });
  EXPECT_EQ(ParseArchive(Read("archive.lzh"))[0].method, "-lh6-");
}

// Fault mended: a name over 233 bytes would wrap the header's size byte.
TEST_F(LhaTest, ReportsAndSkipsNamesTooLongForTheHeader) {
  const std::string fits(229, 'a'), tooLong(230, 'b');
  Write("src/" + fits + ".txt", Text(100));
  Write("src/" + tooLong + ".txt", Text(100));
  EXPECT_EQ(Run({"src/*"}), 1);
  ASSERT_EQ(errors.Reports.size(), 1u);
  EXPECT_EQ(errors.Reports[0].Code, kErrOpen);
  EXPECT_NE(errors.Reports[0].Extended.find("too long"), std::string::npos);
  const auto entries = ParseArchive(Read("archive.lzh"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, fits + ".txt");
  EXPECT_EQ(entries[0].sizeByte, 255);
}

TEST_F(LhaTest, StoresNamesInTheOemCodePageWithBackslashes) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  Write("src/日本/表.txt", Text(10));
  Run({"src/*"}, cmFrozen5, [](TLha& l) { l.RecurseDirs = true; });
  const auto entries = ParseArchive(Read("archive.lzh"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "\x93\xfa\x96\x7b\\\x95\x5c.txt");
}

TEST_F(LhaTest, EmptyFolderEntriesOnlyForFoldersWithoutFiles) {
  Write("src/a.txt", Text(10));
  Write("src/dotonly/.hidden", Text(10));  // a file like any other: not empty
  Write("src/full/b.txt", Text(10));
  dir.MakeDir("src/void");
  Run({"src/*"}, cmFrozen5, [](TLha& l) {
    l.StoreEmptySubDirs = true;
    l.FileAttribute().SetftDirectory(true);
  });
  std::vector<std::string> names;
  for (auto& h : ParseArchive(Read("archive.lzh"))) {
    names.push_back(h.name);
    if (h.name == "void\\") {
      EXPECT_EQ(h.method, "-lhd-");
      EXPECT_EQ(h.packed, 0u);
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "void\\"}));
}

// A folder that carries more than the folder bit is still an empty-folder
// entry, and an unchanged run finds it again instead of adding it once more.
TEST_F(LhaTest, FoldersWithMoreAttributesAreFolderEntriesOnce) {
  test::FaultPlatform os;
  os.MarkFolders(platform::kAttrReadOnly | platform::kAttrArchive);
  platform::ScopedPlatform use(os);
  Write("src/a.txt", Text(10));
  dir.MakeDir("src/void");
  auto setup = [](TLha& l) {
    l.StoreEmptySubDirs = true;
    l.FileAttribute().SetftDirectory(true);
  };
  ASSERT_EQ(Run({"src/*"}, cmFrozen5, setup), 2);
  EXPECT_TRUE(errors.Empty());
  const Bytes before = Read("archive.lzh");
  std::vector<std::string> names;
  for (auto& h : ParseArchive(before)) names.push_back(h.method + " " + h.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"-lh0- a.txt", "-lhd- void\\"}));
  EXPECT_EQ(Run({"src/*"}, cmFrozen5, setup), 0);
  EXPECT_TRUE(errors.Empty());
  EXPECT_EQ(Read("archive.lzh"), before);
}

TEST_F(LhaTest, UpdateKeepsOldEntriesByteForByte) {
  Write("src/one.txt", Text(3000));
  Write("src/two.bin", {1, 2, 3});
  ASSERT_EQ(Run({"src/*"}), 2);
  Bytes before = Read("archive.lzh");
  before.push_back(0);  // the end mark the job appends
  Write("archive.lzh", before);

  // Nothing changed: nothing is written and the archive stays as it was.
  EXPECT_EQ(Run({"src/*"}), 0);
  EXPECT_EQ(Read("archive.lzh"), before);

  Write("src/three.txt", Text(7000));
  ASSERT_EQ(Run({"src/*"}), 1);
  const Bytes after = Read("archive.lzh");
  ASSERT_GT(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.end() - 1, after.begin()));
  const auto entries = ParseArchive(after);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].name, "three.txt");
}

TEST_F(LhaTest, RenamedEntryKeepsItsDataAndCrc) {
  Write("src/a.txt", Text(4000));
  ASSERT_EQ(Run({"src/a.txt"}), 1);
  const Header old = ParseArchive(Read("archive.lzh"))[0];
  Run({"src/a.txt"}, cmFrozen5, [](TLha& l) {
    l.OnRenameDupFile = [](TCompBase&, const std::string&, std::string& name) {
      name = "renamed.txt";
    };
  });
  const auto entries = ParseArchive(Read("archive.lzh"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "renamed.txt");
  EXPECT_EQ(entries[0].sizeByte, 22 + 11);
  EXPECT_EQ(entries[0].crc, old.crc);
  EXPECT_EQ(entries[0].data, old.data);
  EXPECT_EQ(entries[0].stamp, old.stamp);
  EXPECT_EQ(entries[1].name, "a.txt");
}

TEST_F(LhaTest, OnRenameFileRenamesANewEntry) {
  Write("src/a.txt", Text(100));
  Run({"src/a.txt"}, cmFrozen5, [](TLha& l) {
    l.OnRenameFile = [](TCompBase&, const std::string&, std::string& name) { name = "x/b.txt"; };
  });
  EXPECT_EQ(ParseArchive(Read("archive.lzh"))[0].name, "b.txt");
}

// Fault mended: updating a file that is not a level-0 LZH archive used to
// read it wrongly and commit a damaged archive.
TEST_F(LhaTest, LeavesFilesThatAreNotLzhArchivesUntouched) {
  Write("src/a.txt", Text(3000));
  ASSERT_EQ(Run({"src/a.txt"}), 1);
  const Bytes good = Read("archive.lzh");
  Bytes badLevel = good, badSum = good, cut(good.begin(), good.end() - 10);
  badLevel[20] = 3;
  badLevel[1] = static_cast<uint8_t>(badLevel[1] + 3);
  badSum[1] ^= 0x55;
  Bytes zeroThenData = {0, 'P', 'K', 3, 4};
  Bytes text(Text(500));
  Write("src/b.txt", Text(10));
  for (const Bytes* bad : {&badLevel, &badSum, &cut, &zeroThenData, &text}) {
    Write("archive.lzh", *bad);
    errors.Clear();
    EXPECT_EQ(Run({"src/*"}), 0);
    ASSERT_EQ(errors.Reports.size(), 1u);
    EXPECT_EQ(errors.Reports[0].Code, kErrUnsupported);
    EXPECT_EQ(Read("archive.lzh"), *bad);
  }
}

// Level-1 and level-2 entries of other tools are kept as they are.
TEST_F(LhaTest, KeepsLevel1And2EntriesOfOtherTools) {
  const Bytes data = {'h', 'i', '!'};
  // Level 2: fixed part, OS 'U', then a file-name extension and the end.
  Bytes l2 = {0, 0, '-', 'l', 'h', '0', '-', 3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0x60, 0x20, 2};
  const uint16_t crc = Crc16(data);
  l2.push_back(static_cast<uint8_t>(crc));
  l2.push_back(static_cast<uint8_t>(crc >> 8));
  l2.push_back('U');
  const std::string name2 = "two.txt";
  l2.push_back(static_cast<uint8_t>(3 + name2.size()));
  l2.push_back(0);
  l2.push_back(0x01);
  l2.insert(l2.end(), name2.begin(), name2.end());
  l2.push_back(0);
  l2.push_back(0);
  l2[0] = static_cast<uint8_t>(l2.size());
  l2.insert(l2.end(), data.begin(), data.end());
  // Level 1: name in the base header, one folder extension.
  const std::string name1 = "one.txt";
  Bytes ext = {7, 0, 0x02, 'd', 'i', 'r', 0xFF, 0, 0};  // size announced before it
  Bytes l1 = {0, 0, '-', 'l', 'h', '0', '-', 0, 0, 0, 0, 3, 0, 0, 0, 0x21, 0x43, 0x65, 0x50,
              0x20, 1, static_cast<uint8_t>(name1.size())};
  l1.insert(l1.end(), name1.begin(), name1.end());
  l1.push_back(static_cast<uint8_t>(crc));
  l1.push_back(static_cast<uint8_t>(crc >> 8));
  l1.push_back('U');
  l1.insert(l1.end(), ext.begin(), ext.begin() + 2);  // next size
  l1.insert(l1.end(), ext.begin() + 2, ext.end());
  l1[7] = static_cast<uint8_t>(7 + data.size());  // packed size counts the extension
  l1[0] = static_cast<uint8_t>(l1.size() - 2 - 7);
  uint8_t sum = 0;
  for (size_t i = 2; i < l1.size() - 7; ++i) sum = static_cast<uint8_t>(sum + l1[i]);
  l1[1] = sum;
  l1.insert(l1.end(), data.begin(), data.end());

  Bytes archive = l1;
  archive.insert(archive.end(), l2.begin(), l2.end());
  archive.push_back(0);
  Write("src/new.txt", Text(100));
  ExpectAddedAfter(archive);
}

// Every archive of tests/regressions/lzh, as other tools wrote it (header
// levels 0 to 2, lh5 to lh7, folder entries, names no code page converts
// back). A refused one is reported and left as it is. To a kept one a file
// is added after its entries, which stay byte for byte; adding it again
// changes nothing; deleting it gives the entries back as they were.
TEST_F(LhaTest, CorpusOfOtherArchiversKeptByteForByte) {
  const auto corpus = test::RegressionFiles("lzh", ".lzh");
  ASSERT_GE(corpus.size(), 10u) << "corpus not found";
  Write("src/new.txt", Text(500));
  for (const test::RegressionFile& file : corpus) {
    SCOPED_TRACE(file.Name);
    const Bytes original = test::ReadFile(file.Path);
    ASSERT_FALSE(original.empty());
    Write("archive.lzh", original);
    errors.Clear();
    if (file.Refused) {
      EXPECT_EQ(Run({"src/new.txt"}), 0);
      EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
      EXPECT_EQ(Read("archive.lzh"), original);
      continue;
    }
    ASSERT_EQ(original.back(), 0) << "no end mark";
    const Bytes added = ExpectAddedAfter(original);

    EXPECT_EQ(Run({"src/new.txt"}), 0);
    EXPECT_EQ(Read("archive.lzh"), added);

    EXPECT_EQ(Run({"new.txt"}, cmFrozen5, [](TLha& l) {
                l.Switch = swDelete;
                l.SetFileSpec({"new.txt"});
              }),
              1);
    EXPECT_TRUE(errors.Empty());
    Bytes left = Read("archive.lzh");
    left.push_back(0);  // the end mark is the program's to add, as for any archive
    EXPECT_EQ(left, original);
  }
}

// Entries as other tools write them, for archives the tests hand-build.
void PutSum(Bytes& h, size_t headerEnd) {
  uint8_t sum = 0;
  for (size_t i = 2; i < headerEnd; ++i) sum = static_cast<uint8_t>(sum + h[i]);
  h[1] = sum;
}

Bytes Level0Entry(const std::string& method, const std::string& name, const Bytes& data) {
  Bytes h(2 + method.size(), 0);
  std::copy(method.begin(), method.end(), h.begin() + 2);
  for (uint32_t v : {static_cast<uint32_t>(data.size()), static_cast<uint32_t>(data.size()),
                     0x50654321u})
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
  h.push_back(0x20);
  h.push_back(0);
  h.push_back(static_cast<uint8_t>(name.size()));
  h.insert(h.end(), name.begin(), name.end());
  const uint16_t crc = Crc16(data);
  h.push_back(static_cast<uint8_t>(crc));
  h.push_back(static_cast<uint8_t>(crc >> 8));
  h[0] = static_cast<uint8_t>(h.size() - 2);
  PutSum(h, h.size());
  h.insert(h.end(), data.begin(), data.end());
  return h;
}

// A folder entry whose name is only in a folder extension ("dir" + 0xFF).
Bytes Level1Folder(const std::string& dir) {
  Bytes h = {0, 0, '-', 'l', 'h', 'd', '-', 0, 0, 0, 0, 0, 0, 0, 0, 0x21, 0x43, 0x65, 0x50,
             0x10, 1, 0, 0, 0, 'U'};
  const uint16_t ext = static_cast<uint16_t>(dir.size() + 4);
  h.push_back(static_cast<uint8_t>(ext));
  h.push_back(0);
  const size_t baseEnd = h.size();
  h.push_back(0x02);
  h.insert(h.end(), dir.begin(), dir.end());
  h.push_back(0xFF);
  h.push_back(0);
  h.push_back(0);
  h[7] = static_cast<uint8_t>(ext);  // the packed size counts the extension
  h[0] = static_cast<uint8_t>(baseEnd - 2);
  PutSum(h, baseEnd);
  return h;
}

Bytes Level2Folder(const std::string& dir) {
  Bytes h = {0, 0, '-', 'l', 'h', 'd', '-', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x60, 0x20, 2,
             0, 0, 'U'};
  const uint16_t ext = static_cast<uint16_t>(dir.size() + 4);
  h.push_back(static_cast<uint8_t>(ext));
  h.push_back(0);
  h.push_back(0x02);
  h.insert(h.end(), dir.begin(), dir.end());
  h.push_back(0xFF);
  h.push_back(0);
  h.push_back(0);
  h[0] = static_cast<uint8_t>(h.size());
  return h;
}

// Fault mended: a kept entry was copied by the length of its name as read
// back, one byte short for every folder entry (the name loses its trailing
// delimiter) and wrong for names the code page does not convert back; every
// later header shifted and the archive became unreadable.
TEST_F(LhaTest, KeptFolderEntriesAndOddNamesAreCopiedWhole) {
  const Bytes data = Text(3000);
  Bytes archive = Level0Entry("-lhd-", "void\\", {});
  for (const Bytes& e : {Level1Folder("one"), Level2Folder("two"),
                         Level0Entry("-lh0-", "odd\x80\xA0\xFD.txt", data),
                         Level0Entry("-lh0-", "last.txt", Text(20))})
    archive.insert(archive.end(), e.begin(), e.end());
  archive.push_back(0);
  Write("src/new.txt", Text(500));

  Bytes after = ExpectAddedAfter(archive);
  after.push_back(0);
  Write("archive.lzh", after);

  EXPECT_EQ(Run({"src/new.txt"}), 0);  // unchanged: nothing to do
  EXPECT_EQ(Read("archive.lzh"), after);

  EXPECT_EQ(Run({"new.txt"}, cmFrozen5, [&](TLha& l) {
              l.Switch = swDelete;
              l.SetFileSpec({"new.txt"});
            }),
            1);
  EXPECT_TRUE(errors.Empty());
  Bytes left = Read("archive.lzh");
  left.push_back(0);
  EXPECT_EQ(left, archive);
}

// Fault mended: a delete that matched nothing rewrote the archive without
// its end mark.
TEST_F(LhaTest, ADeleteThatMatchesNothingLeavesTheArchiveAsItWas) {
  Write("src/a.txt", Text(300));
  ASSERT_EQ(Run({"src/a.txt"}), 1);
  Bytes archive = Read("archive.lzh");
  archive.push_back(0);
  Write("archive.lzh", archive);
  EXPECT_EQ(Run({"x"}, cmFrozen5, [](TLha& l) {
              l.Switch = swDelete;
              l.SetFileSpec({"nothing-like-it.txt"});
            }),
            0);
  EXPECT_TRUE(errors.Empty());
  EXPECT_EQ(Read("archive.lzh"), archive);
}

TEST_F(LhaTest, ReportsEachWrittenEntryWithItsOffset) {
  Write("src/a.txt", Text(100));
  Write("src/b.txt", Text(200));
  std::vector<uint32_t> offsets;
  Run({"src/*"}, cmFrozen5, [&](TLha& l) {
    l.OnRead = [&](TCompBase& s, uint32_t offset, int) {
      offsets.push_back(offset);
      EXPECT_EQ(s.Entry.MethodName, "lh5");
    };
  });
  std::vector<uint32_t> expected;
  for (auto& h : ParseArchive(Read("archive.lzh"))) expected.push_back(static_cast<uint32_t>(h.at));
  EXPECT_EQ(offsets, expected);
}

// A file that shrinks or fails while it is compressed or stored is reported
// and left out; the entries around it stay whole.
TEST_F(LhaTest, AFileThatShrinksOrFailsWhileReadIsLeftOut) {
  Write("src/a.txt", Text(100000));
  Write("src/b.txt", Text(2000));
  for (TCompressMethod method : {cmFrozen6, cmFrozen5, cmStore}) {
    for (bool error : {false, true}) {
      SCOPED_TRACE(std::to_string(method) + (error ? " read error" : " shrank"));
      errors.Clear();
      platform::Current().DeleteFile(Path("archive.lzh"));
      test::FaultPlatform os;
      os.CutReads("a.txt", 20000, error);
      platform::ScopedPlatform use(os);
      EXPECT_EQ(Run({"src/a.txt", "src/b.txt"}, method), 1);
      ASSERT_EQ(errors.Reports.size(), 1u);
      EXPECT_EQ(errors.Reports[0].Code, kErrOpen);
      const auto entries = ParseArchive(Read("archive.lzh"));
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].name, "b.txt");
    }
  }
}

// A full disk while the engine writes ends the run with a report that
// names the file written and the system's reason; no archive is left, and
// the engine's failed write is not taken for an abandoned stream (which
// would store the file instead).
TEST_F(LhaTest, AFullDiskWhileCompressingEndsTheRun) {
  Write("src/a.txt", Text(300000));
  test::FaultPlatform os;
  os.DiskFullAfter(20000);
  platform::ScopedPlatform use(os);
  EXPECT_THROW(Run({"src/a.txt"}, cmFrozen5), E_RAISE);
  ASSERT_EQ(errors.Reports.size(), 1u);
  EXPECT_EQ(errors.Reports[0].Code, kErrWrite);
  EXPECT_NE(errors.Messages()[0].find("Simulated fault"), std::string::npos) << errors.Messages()[0];
  EXPECT_NE(errors.Messages()[0].find("a.txt"), std::string::npos) << errors.Messages()[0];
  EXPECT_FALSE(std::filesystem::exists(Path("archive.lzh")));
}

}  // namespace
}  // namespace vix
