// The built-in cabinet library, driven through its five entry points with
// callbacks over an in-memory file system (faults injected there), and its
// cabinets judged by the strict test reader.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cabinet/cabreader.h"
#include "writers/cabinet/cabformat.h"
#include "writers/cabinet/fci.h"

namespace {

using namespace vix::fci;
using vix::test::Cabinet;
using vix::test::ReadCabinet;
using Bytes = std::vector<uint8_t>;

constexpr int kEEXIST = 17, kENOENT = 2, kEIO = 5, kENOSPC = 28;

int gAllocs = 0, gFrees = 0;
bool gAllocFails = false;

// An in-memory file system behind the FCI callbacks, with faults to inject.
struct MemFs {
  struct Handle {
    std::string name;
    size_t pos = 0;
  };
  std::map<std::string, Bytes> files;
  std::map<INT_PTR, Handle> open;
  INT_PTR nextHandle = 100;
  int tempCount = 0;
  std::vector<std::string> tempNames;

  // Faults.
  std::string failOpenInfo;           // open-info fails for this source
  std::string failReadOf;             // reads of this file fail ...
  size_t failReadAfter = 0;           // ... once this many bytes were read
  std::string failWriteOf;            // writes to this file fail
  int tempNameRefusals = 0;           // temp-name callback answers FALSE this often
  int tempNameRepeats = 0;            // temp-name callback hands out an existing name
  int abortAtStatus = -1;             // status callback returns -1 at this call
  int nextCabinetAnswer = 0;          // get-next-cabinet result
  bool noSeekSource = false;          // seeks on sources fail

  // What the callbacks saw.
  std::vector<std::tuple<UINT, ULONG, ULONG>> statuses;
  std::vector<std::pair<std::string, bool>> placed;
  std::vector<std::pair<std::string, int>> opens;  // name, flags
  std::vector<CCAB> nextCabinetCalls;
  std::map<std::string, std::tuple<USHORT, USHORT, USHORT>> stamps;
};

MemFs& Fs(void* pv) { return *static_cast<MemFs*>(pv); }

void* Alloc(ULONG cb) {
  if (gAllocFails) return nullptr;
  ++gAllocs;
  return ::operator new(cb);
}
void Free(void* p) {
  ++gFrees;
  ::operator delete(p);
}
INT_PTR FsOpen(char* name, int flags, int, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  fs.opens.emplace_back(name, flags);
  const bool exists = fs.files.count(name) != 0;
  if ((flags & O_CREAT_) && (flags & O_EXCL_) && exists) {
    *err = kEEXIST;
    return -1;
  }
  if (!(flags & O_CREAT_) && !exists) {
    *err = kENOENT;
    return -1;
  }
  if ((flags & O_TRUNC_) || !exists) fs.files[name].clear();
  fs.open[fs.nextHandle] = {name, 0};
  return fs.nextHandle++;
}
UINT FsRead(INT_PTR hf, void* memory, UINT cb, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  auto it = fs.open.find(hf);
  if (it == fs.open.end()) return *err = kEIO, static_cast<UINT>(-1);
  auto& h = it->second;
  const Bytes& data = fs.files[h.name];
  if (h.name == fs.failReadOf && h.pos + cb > fs.failReadAfter) {
    *err = kEIO;
    return static_cast<UINT>(-1);
  }
  const size_t n = h.pos >= data.size() ? 0 : std::min<size_t>(cb, data.size() - h.pos);
  if (n) std::memcpy(memory, data.data() + h.pos, n);
  h.pos += n;
  return static_cast<UINT>(n);
}
UINT FsWrite(INT_PTR hf, void* memory, UINT cb, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  auto it = fs.open.find(hf);
  if (it == fs.open.end()) return *err = kEIO, static_cast<UINT>(-1);
  auto& h = it->second;
  if (h.name == fs.failWriteOf) {
    *err = kENOSPC;
    return 0;
  }
  Bytes& data = fs.files[h.name];
  if (data.size() < h.pos + cb) data.resize(h.pos + cb);
  std::memcpy(data.data() + h.pos, memory, cb);
  h.pos += cb;
  return cb;
}
int FsClose(INT_PTR hf, int* err, void* pv) {
  if (!Fs(pv).open.erase(hf)) return *err = kEIO, -1;
  return 0;
}
long FsSeek(INT_PTR hf, long dist, int type, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  auto it = fs.open.find(hf);
  if (it == fs.open.end()) return *err = kEIO, -1;
  auto& h = it->second;
  if (fs.noSeekSource && h.name.rfind("src/", 0) == 0) return *err = kEIO, -1;
  const long base = type == SEEK_SET_ ? 0
                    : type == SEEK_CUR_ ? static_cast<long>(h.pos)
                                        : static_cast<long>(fs.files[h.name].size());
  h.pos = static_cast<size_t>(base + dist);
  return static_cast<long>(h.pos);
}
int FsDelete(char* name, int* err, void* pv) {
  if (!Fs(pv).files.erase(name)) return *err = kENOENT, -1;
  return 0;
}
BOOL FsTempName(char* buffer, int size, void* pv) {
  MemFs& fs = Fs(pv);
  if (fs.tempNameRefusals > 0) {
    --fs.tempNameRefusals;
    return 0;
  }
  std::string name;
  if (fs.tempNameRepeats > 0) {
    --fs.tempNameRepeats;
    name = "tmp/existing";
    fs.files[name] = Bytes{1};
  } else {
    name = "tmp/t" + std::to_string(fs.tempCount++);
  }
  if (static_cast<int>(name.size()) >= size) return 0;
  std::strcpy(buffer, name.c_str());
  fs.tempNames.push_back(name);
  return 1;
}
int Placed(PCCAB, char* file, long, BOOL continuation, void* pv) {
  Fs(pv).placed.emplace_back(file, continuation != 0);
  return 0;
}
BOOL NextCabinet(PCCAB pccab, ULONG, void* pv) {
  MemFs& fs = Fs(pv);
  fs.nextCabinetCalls.push_back(*pccab);
  std::snprintf(pccab->szCab, sizeof pccab->szCab, "out%d.cab", pccab->iCab);
  std::snprintf(pccab->szDisk, sizeof pccab->szDisk, "disk %d", pccab->iCab);
  return fs.nextCabinetAnswer;
}
long Status(UINT type, ULONG cb1, ULONG cb2, void* pv) {
  MemFs& fs = Fs(pv);
  fs.statuses.emplace_back(type, cb1, cb2);
  return static_cast<int>(fs.statuses.size()) - 1 == fs.abortAtStatus ? -1 : 0;
}
INT_PTR OpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attribs, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  if (fs.failOpenInfo == name || !fs.files.count(name)) {
    *err = kENOENT;
    return -1;
  }
  auto stamp = fs.stamps.count(name) ? fs.stamps[name] : std::make_tuple<USHORT, USHORT, USHORT>(
                                                             0x5878, 0x6DBD, A_ARCH);
  std::tie(*date, *time, *attribs) = stamp;
  return FsOpen(name, O_RDONLY_ | O_BINARY_, 0, err, pv);
}

Bytes Text(size_t n, unsigned seed) {
  static const char* kWords[] = {"cabinet ", "folder ", "block ", "deflate ", "history ",
                                 "window ",  "the ",    "of ",    "\n",       "32768 "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const char* w = kWords[rng() % 10];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}
Bytes Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

class FciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gAllocs = gFrees = 0;
    gAllocFails = false;
    std::memset(&ccab, 0, sizeof ccab);
    ccab.cbFolderThresh = 900000;
    std::strcpy(ccab.szCab, "out.cab");
    std::strcpy(ccab.szCabPath, "cabs/");
  }
  void TearDown() override {
    if (hfci) {
      EXPECT_TRUE(FCIDestroy(hfci));
    }
  }
  HFCI Create() {
    hfci = FCICreate(&erf, Placed, Alloc, Free, FsOpen, FsRead, FsWrite, FsClose, FsSeek, FsDelete, FsTempName,
                     &ccab, &fs);
    return hfci;
  }
  void Source(const std::string& name, Bytes data) { fs.files["src/" + name] = std::move(data); }
  bool Add(const std::string& name, TCOMP type = tcompTYPE_MSZIP, bool exec = false) {
    std::string src = "src/" + name, stored = name;
    return FCIAddFile(hfci, src.data(), stored.data(), exec, NextCabinet, Status, OpenInfo, type);
  }
  bool Flush() { return FCIFlushCabinet(hfci, 0, NextCabinet, Status); }
  // Reads back a cabinet with the strict reader.
  Cabinet Read(const std::string& name = "cabs/out.cab") {
    Cabinet cab;
    std::string why;
    EXPECT_TRUE(fs.files.count(name)) << name << " not written";
    EXPECT_TRUE(ReadCabinet(fs.files[name], cab, why)) << why;
    return cab;
  }
  void ExpectError(int oper, int type = -1) {
    EXPECT_TRUE(erf.fError);
    EXPECT_EQ(erf.erfOper, oper);
    if (type >= 0) {
      EXPECT_EQ(erf.erfType, type);
    }
  }

  MemFs fs;
  CCAB ccab;
  ERF erf{};
  HFCI hfci = nullptr;
};

TEST(CabinetChecksum, MatchesValuesOfOtherWriters) {
  // Blocks written by gcab (stored "abcde", "abcdef", "abcdefg": the three
  // tail lengths) and the LZX block of the published worked example.
  struct Case {
    std::string data;
    uint32_t sum;
  };
  for (const Case& c : {Case{"abcde", 0x64666201}, Case{"abcdef", 0x64650701},
                        Case{"abcdefg", 0x64010401}}) {
    uint8_t header[8] = {};
    vix::cab::PutLE16(header + 4, static_cast<uint16_t>(c.data.size()));
    vix::cab::PutLE16(header + 6, static_cast<uint16_t>(c.data.size()));
    EXPECT_EQ(vix::cab::DataBlockChecksum(
                  header, 0, reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size()),
              c.sum)
        << c.data;
  }
  const Bytes lzx = {0x00, 0x10, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00,
                     0x07, 0x21, 0xA7, 0xFA, 0x7D, 0xDF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x01, 0x01, 0x9F, 0x0C, 0xFF, 0xFF, 0x00, 0x80, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0xFF, 0x07, 0xFE, 0xFF, 0x00, 0xF6};
  uint8_t header[8] = {0, 0, 0, 0, 48, 0, 10, 0};
  EXPECT_EQ(vix::cab::DataBlockChecksum(header, 0, lzx.data(), lzx.size()), 0xF52C9F29u);
}

TEST_F(FciTest, StoredCabinetHasTheExactLayout) {
  Source("a.txt", Text(100, 1));
  Source("empty", {});
  fs.stamps["src/a.txt"] = {0x1234, 0x5678, A_ARCH | A_RDONLY};
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a.txt", tcompTYPE_NONE));
  ASSERT_TRUE(Add("empty", tcompTYPE_NONE, true));
  ASSERT_TRUE(Flush());
  const Bytes& b = fs.files["cabs/out.cab"];
  // Header: 36 bytes, one folder (8), files at 44: 16+6 and 16+6, data at 88.
  ASSERT_EQ(b.size(), 88u + 8 + 100);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "MSCF");
  EXPECT_EQ(vix::test::Le32(&b[8]), b.size());
  EXPECT_EQ(vix::test::Le32(&b[16]), 44u);
  EXPECT_EQ(b[24], 3);
  EXPECT_EQ(b[25], 1);
  EXPECT_EQ(vix::test::Le16(&b[26]), 1u);  // folders
  EXPECT_EQ(vix::test::Le16(&b[28]), 2u);  // files
  EXPECT_EQ(vix::test::Le16(&b[30]), 0u);  // flags
  EXPECT_EQ(vix::test::Le16(&b[34]), 0u);  // first cabinet of its set
  EXPECT_EQ(vix::test::Le32(&b[36]), 88u); // folder data
  EXPECT_EQ(vix::test::Le16(&b[40]), 1u);  // one block
  EXPECT_EQ(vix::test::Le16(&b[42]), 0u);  // type NONE
  EXPECT_EQ(vix::test::Le32(&b[44]), 100u);
  EXPECT_EQ(vix::test::Le32(&b[48]), 0u);
  EXPECT_EQ(vix::test::Le16(&b[52]), 0u);
  EXPECT_EQ(vix::test::Le16(&b[54]), 0x1234u);
  EXPECT_EQ(vix::test::Le16(&b[56]), 0x5678u);
  EXPECT_EQ(vix::test::Le16(&b[58]), unsigned(A_ARCH | A_RDONLY));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[60])), "a.txt");
  EXPECT_EQ(vix::test::Le32(&b[66]), 0u);     // empty file: size 0 ...
  EXPECT_EQ(vix::test::Le32(&b[70]), 100u);   // ... at the running offset
  EXPECT_EQ(vix::test::Le16(&b[80]), unsigned(A_ARCH | A_EXEC));
  EXPECT_EQ(vix::test::Le16(&b[92]), 100u);   // cbData
  EXPECT_EQ(vix::test::Le16(&b[94]), 100u);   // cbUncomp
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.at("a.txt"), fs.files["src/a.txt"]);
  EXPECT_TRUE(cab.contents.at("empty").empty());
  // The cabinet was created, truncating, under szCabPath + szCab.
  bool created = false;
  for (auto& [name, flags] : fs.opens) {
    if (name == "cabs/out.cab") created = flags == (O_RDWR_ | O_CREAT_ | O_TRUNC_ | O_BINARY_);
  }
  EXPECT_TRUE(created);
}

TEST_F(FciTest, BlocksAre32KiBAcrossFileBoundariesAndDecodeBack) {
  for (TCOMP type : {tcompTYPE_NONE, tcompTYPE_MSZIP}) {
    SCOPED_TRACE(type);
    fs = MemFs();
    Source("one", Text(40000, 2));
    Source("two", Noise(30000, 3));
    Source("three", Text(32768, 4));
    ASSERT_TRUE(Create());
      for (const char* name : {"one", "two", "three"}) ASSERT_TRUE(Add(name, type));
    ASSERT_TRUE(Flush());
    const Cabinet cab = Read();
    ASSERT_EQ(cab.folders.size(), 1u);
    ASSERT_EQ(cab.folders[0].blocks.size(), 4u);  // 102768 bytes
    EXPECT_EQ(cab.folders[0].blocks[3].unpacked, 102768u - 3 * 32768);
    for (const char* name : {"one", "two", "three"})
      EXPECT_EQ(cab.contents.at(name), fs.files[std::string("src/") + name]) << name;
    EXPECT_EQ(cab.files[2].folderOffset, 70000u);
    // statusFile once per block, with its sizes.
    int blocks = 0;
    for (auto& [kind, packed, unpacked] : fs.statuses)
      if (kind == statusFile) {
        EXPECT_EQ(packed, cab.folders[0].blocks[blocks].packed);
        EXPECT_EQ(unpacked, cab.folders[0].blocks[blocks].unpacked);
        ++blocks;
      }
    EXPECT_EQ(blocks, 4);
    ASSERT_TRUE(FCIDestroy(hfci));
    hfci = nullptr;
  }
}

TEST_F(FciTest, IncompressibleMszipBlocksStayWithinTheFormatLimit) {
  Source("noise", Noise(3 * 32768 + 5, 9));
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("noise"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  for (const auto& blk : cab.folders[0].blocks)
    EXPECT_LE(blk.packed, blk.unpacked + vix::cab::kMszipStoredOverhead);
  EXPECT_EQ(cab.contents.at("noise"), fs.files["src/noise"]);
}

// Random data repeated: the second block is small only if it refers back
// into the first; the strict reader gives each folder a fresh window, so a
// match into the previous folder would fail to decode.
TEST_F(FciTest, MszipHistoryReachesBackWithinAFolderOnly) {
  const Bytes noise = Noise(30000, 5);
  Bytes twice = noise;
  twice.insert(twice.end(), noise.begin(), noise.end());  // block 2 repeats at distance 30000
  Source("twice", twice);
  Source("again", noise);
  ccab.cbFolderThresh = 50000;  // "again" starts a new folder
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("twice"));
  ASSERT_TRUE(Add("again"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  ASSERT_EQ(cab.folders.size(), 2u);
  ASSERT_EQ(cab.folders[0].blocks.size(), 2u);
  EXPECT_LT(cab.folders[0].blocks[1].packed, 1000u);
  EXPECT_GT(cab.folders[1].blocks[0].packed, 30000u);
  EXPECT_EQ(cab.contents.at("twice"), twice);
  EXPECT_EQ(cab.contents.at("again"), noise);
}

TEST_F(FciTest, FoldersCloseAtTheThresholdAndOnATypeChange) {
  ccab.cbFolderThresh = 50000;
  Source("a", Noise(60000, 1));  // closes folder 0 after it
  Source("b", Text(1000, 2));
  Source("c", Text(2000, 3));    // NONE: new folder
  Source("d", {});
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(Add("b"));
  ASSERT_TRUE(Add("c", tcompTYPE_NONE));
  ASSERT_TRUE(Add("d", tcompTYPE_NONE));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  ASSERT_EQ(cab.folders.size(), 3u);
  EXPECT_EQ(cab.folders[0].type, tcompTYPE_MSZIP);
  EXPECT_EQ(cab.folders[1].type, tcompTYPE_MSZIP);
  EXPECT_EQ(cab.folders[2].type, tcompTYPE_NONE);
  const unsigned expectedFolder[] = {0, 1, 2, 2};
  const unsigned expectedOffset[] = {0, 0, 0, 2000};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(cab.files[i].folder, expectedFolder[i]) << i;
    EXPECT_EQ(cab.files[i].folderOffset, expectedOffset[i]) << i;
  }
  for (const char* name : {"a", "b", "c"})
    EXPECT_EQ(cab.contents.at(name), fs.files[std::string("src/") + name]) << name;
  // file placed: each file once, when its folder was closed.
  ASSERT_EQ(fs.placed.size(), 4u);
  EXPECT_EQ(fs.placed[3].first, "d");
}

// Closing a full folder can fail (here: no temporary file for its block).
// That failure belongs to the call that closes it, never to a file already
// accepted: every file FCIAddFile accepted is in the cabinet, no refused one.
TEST_F(FciTest, AFolderThatCannotBeClosedFailsTheNextFileOnly) {
  ccab.cbFolderThresh = 50;
  Source("a", Text(100, 1));
  Source("b", Text(100, 2));
  Source("c", Text(100, 3));
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));  // the folder is full; its block still waits in memory
  fs.tempNameRefusals = 100;
  EXPECT_FALSE(Add("b"));
  ExpectError(FCIERR_TEMP_FILE);
  fs.tempNameRefusals = 0;
  ASSERT_TRUE(Add("c"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.size(), 2u);
  EXPECT_EQ(cab.contents.at("a"), fs.files["src/a"]);
  EXPECT_EQ(cab.contents.at("c"), fs.files["src/c"]);
  EXPECT_EQ(cab.folders.size(), 2u);
}

TEST_F(FciTest, UnsupportedTypesFailWithoutTouchingTheSource) {
  Source("a", Text(5000, 1));
  ASSERT_TRUE(Create());
  const TCOMP rejected[] = {TCOMPfromLZXWindow(21), TCOMPfromTypeLevelMemory(2, 7, 21),
                            tcompBAD, static_cast<TCOMP>(tcompTYPE_MSZIP | 0x8000)};
  for (TCOMP type : rejected) {
    EXPECT_FALSE(Add("a", type)) << type;
    ExpectError(FCIERR_BAD_COMPR_TYPE);
  }
  EXPECT_TRUE(fs.opens.empty());
  ASSERT_TRUE(Add("a"));
  EXPECT_FALSE(erf.fError);  // each call starts with a clean record
  ASSERT_TRUE(Flush());
  EXPECT_EQ(Read().contents.size(), 1u);
}

// A file that fails part-way must leave no trace: the cabinet equals one
// written without it, also when the failure comes after a block was made.
TEST_F(FciTest, AFailedFileIsRolledBack) {
  struct Case {
    const char* what;
    size_t failAfter;
  };
  for (const Case& c : {Case{"inside the first block", 1000}, Case{"after two blocks", 70000}}) {
    SCOPED_TRACE(c.what);
    Bytes expected;
    for (int run = 0; run < 2; ++run) {
      fs = MemFs();
      Source("before", Text(20000, 1));
      Source("bad", Text(100000, 2));
      Source("after", Text(50000, 3));
      fs.failReadOf = "src/bad";
      fs.failReadAfter = c.failAfter;
      ASSERT_TRUE(Create());
      ASSERT_TRUE(Add("before"));
      if (run == 1) {
        EXPECT_FALSE(Add("bad"));
        ExpectError(FCIERR_READ_SRC, kEIO);
      }
      ASSERT_TRUE(Add("after"));
      ASSERT_TRUE(Flush());
      ASSERT_TRUE(FCIDestroy(hfci));
      hfci = nullptr;
      if (run == 0) {
        expected = fs.files["cabs/out.cab"];
      } else {
        EXPECT_EQ(fs.files["cabs/out.cab"], expected);
      }
      EXPECT_TRUE(fs.open.empty()) << "a handle was left open";
    }
  }
}

TEST_F(FciTest, SourceAndNameProblemsAreReportedPerFile) {
  Source("ok", Text(10, 1));
  Source("locked", Text(10, 2));
  fs.failOpenInfo = "src/locked";
  ASSERT_TRUE(Create());
  EXPECT_FALSE(Add("missing"));
  ExpectError(FCIERR_OPEN_SRC, kENOENT);
  EXPECT_FALSE(Add("locked"));
  ExpectError(FCIERR_OPEN_SRC);
  const std::string longName(256, 'n'), longest(255, 'm');
  Source(longName, Text(10, 3));
  Source(longest, Text(10, 4));
  EXPECT_FALSE(Add(longName));
  ExpectError(FCIERR_CAB_FORMAT_LIMIT);
  EXPECT_TRUE(Add(longest));
  EXPECT_TRUE(Add("ok"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.size(), 2u);
  EXPECT_TRUE(cab.contents.count(longest));
}

TEST_F(FciTest, AFileBeyondTheFolderLimitIsRefusedBeforeReading) {
  // The size is learnt by seeking; the source is never read.
  Source("huge", {});
  fs.files["src/huge"].reserve(1);
  ASSERT_TRUE(Create());
  // Grow the file past 0x7FFF8000 bytes only in what seek reports.
  struct HugeSeek {
    static long Seek(INT_PTR hf, long dist, int type, int* err, void* pv) {
      if (type == SEEK_END_) return 0x7FFF8001L;
      return FsSeek(hf, dist, type, err, pv);
    }
  };
  FCIDestroy(hfci);
  hfci = FCICreate(&erf, Placed, Alloc, Free, FsOpen, FsRead, FsWrite, FsClose, HugeSeek::Seek,
                   FsDelete, FsTempName, &ccab, &fs);
  ASSERT_TRUE(hfci);
  EXPECT_FALSE(Add("huge"));
  ExpectError(FCIERR_CAB_FORMAT_LIMIT);
  EXPECT_TRUE(fs.open.empty());
}

TEST_F(FciTest, TemporaryFilesAreCreatedExclusivelyAndRemoved) {
  Source("a", Text(70000, 1));
  fs.tempNameRepeats = 2;  // the first two names exist already
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(Flush());
  ASSERT_TRUE(FCIDestroy(hfci));
  hfci = nullptr;
  for (auto& [name, flags] : fs.opens) {
    if (name.rfind("tmp/", 0) == 0) {
      EXPECT_EQ(flags, O_RDWR_ | O_CREAT_ | O_EXCL_ | O_BINARY_);
    }
  }
  for (auto& [name, data] : fs.files) EXPECT_NE(name.rfind("tmp/t", 0), 0u) << name << " left";
  EXPECT_TRUE(fs.open.empty());
  EXPECT_EQ(gAllocs, gFrees);
  Read();

  fs = MemFs();
  Source("a", Text(10, 1));
  fs.tempNameRefusals = 100;
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));  // the data waits in memory until the block is made
  EXPECT_FALSE(Flush());
  ExpectError(FCIERR_TEMP_FILE);
  EXPECT_FALSE(fs.files.count("cabs/out.cab"));
}

TEST_F(FciTest, ACabinetThatCannotBeWrittenIsNotLeftBehind) {
  Source("a", Text(5000, 1));
  fs.failWriteOf = "cabs/out.cab";
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  EXPECT_FALSE(Flush());
  ExpectError(FCIERR_CAB_FILE, kENOSPC);
  EXPECT_FALSE(fs.files.count("cabs/out.cab"));
}

TEST_F(FciTest, StatusCallbackCanAbort) {
  Source("a", Text(100000, 1));
  fs.abortAtStatus = 1;  // at the second block
  ASSERT_TRUE(Create());
  EXPECT_FALSE(Add("a"));
  ExpectError(FCIERR_USER_ABORT);
  Source("b", Text(100, 2));
  fs.abortAtStatus = -1;
  ASSERT_TRUE(Add("b"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.size(), 1u);
  // The cabinet's status comes last, with the real size.
  ASSERT_FALSE(fs.statuses.empty());
  EXPECT_EQ(std::get<0>(fs.statuses.back()), statusCabinet);
  EXPECT_EQ(std::get<2>(fs.statuses.back()), cab.size);
}

TEST_F(FciTest, NothingAddedWritesNoCabinet) {
  ASSERT_TRUE(Create());
  EXPECT_TRUE(Flush());
  EXPECT_FALSE(fs.files.count("cabs/out.cab"));
  EXPECT_TRUE(fs.tempNames.empty());
}

TEST_F(FciTest, ACabinetFullAsksForTheNextAndFailsTheFile) {
  ccab.cb = 20000;
  Source("small", Text(3000, 1));
  Source("big", Noise(30000, 2));
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("small"));
  EXPECT_FALSE(Add("big"));
  ExpectError(FCIERR_USER_ABORT);
  ASSERT_EQ(fs.nextCabinetCalls.size(), 1u);
  EXPECT_EQ(fs.nextCabinetCalls[0].iCab, 1);
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.size(), 1u);
  EXPECT_LE(cab.size, 20000u);
}

TEST_F(FciTest, FlushWithNextCabinetLinksASet) {
  ccab.setID = 0x4242;
  std::strcpy(ccab.szDisk, "disk 0");
  Source("a", Text(5000, 1));
  Source("b", Text(6000, 2));
  fs.nextCabinetAnswer = 1;
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(FCIFlushCabinet(hfci, 1, NextCabinet, Status));
  ASSERT_TRUE(Add("b"));
  ASSERT_TRUE(Flush());
  const Cabinet first = Read("cabs/out.cab");
  const Cabinet second = Read("cabs/out1.cab");
  EXPECT_EQ(first.flags, 2u);
  EXPECT_EQ(first.nextCab, "out1.cab");
  EXPECT_EQ(first.nextDisk, "disk 1");
  EXPECT_EQ(second.flags, 1u);
  EXPECT_EQ(second.prevCab, "out.cab");
  EXPECT_EQ(second.prevDisk, "disk 0");
  EXPECT_EQ(first.index, 0u);
  EXPECT_EQ(second.index, 1u);
  EXPECT_EQ(first.setId, 0x4242u);
  EXPECT_EQ(second.setId, 0x4242u);
  EXPECT_EQ(second.contents.at("b"), fs.files["src/b"]);
}

TEST_F(FciTest, ReserveAreasAreAnnouncedAndZero) {
  ccab.cbReserveCFHeader = 10;
  ccab.cbReserveCFFolder = 3;
  ccab.cbReserveCFData = 5;
  Source("a", Text(40000, 1));
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();  // checksums cover the zero reserve bytes
  EXPECT_EQ(cab.flags, 4u);
  EXPECT_EQ(cab.reserveHeader, 10u);
  EXPECT_EQ(cab.reserveFolder, 3u);
  EXPECT_EQ(cab.reserveData, 5u);
  const Bytes& b = fs.files["cabs/out.cab"];
  for (size_t i = 40; i < 50; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(cab.contents.at("a"), fs.files["src/a"]);
}

TEST_F(FciTest, CreateChecksItsArguments) {
  ccab.cbReserveCFData = 256;
  EXPECT_FALSE(Create());
  ExpectError(FCIERR_CAB_FORMAT_LIMIT);
  ccab.cbReserveCFData = 0;
  gAllocFails = true;
  EXPECT_FALSE(Create());
  ExpectError(FCIERR_ALLOC_FAIL);
  gAllocFails = false;
  ccab.szCab[0] = '\0';
  EXPECT_FALSE(Create());
  EXPECT_TRUE(erf.fError);
  EXPECT_FALSE(FCIAddFile(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0));
  EXPECT_FALSE(FCIDestroy(nullptr));
}

TEST(CabinetExports, TheFiveEntryPointsAreFoundByName) {
  EXPECT_EQ(BuiltinProcAddress("FCICreate"), reinterpret_cast<void*>(&FCICreate));
  EXPECT_EQ(BuiltinProcAddress("FCIAddFile"), reinterpret_cast<void*>(&FCIAddFile));
  EXPECT_EQ(BuiltinProcAddress("FCIFlushCabinet"), reinterpret_cast<void*>(&FCIFlushCabinet));
  EXPECT_EQ(BuiltinProcAddress("FCIFlushFolder"), reinterpret_cast<void*>(&FCIFlushFolder));
  EXPECT_EQ(BuiltinProcAddress("FCIDestroy"), reinterpret_cast<void*>(&FCIDestroy));
  EXPECT_EQ(BuiltinProcAddress("FDICreate"), nullptr);
  EXPECT_EQ(BuiltinProcAddress(nullptr), nullptr);
}

}  // namespace

#endif  // _WIN32
