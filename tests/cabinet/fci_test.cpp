// The built-in cabinet library, driven through its five entry points with
// callbacks over an in-memory file system (faults injected there), and its
// cabinets judged by the strict test reader.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cabinet/cabreader.h"
#include "cabinet/fci_doubles.h"
#include "support/test_data.h"
#include "writers/cabinet/cabformat.h"
#include "writers/cabinet/fci.h"

namespace {

using namespace vix::fci;
using namespace vix::test::fcidoubles;
using vix::test::Cabinet;
using vix::test::Le16;
using vix::test::Le32;
using vix::test::Bytes;
using vix::test::Noise;
using vix::test::Words;

TEST(CabinetChecksum, MatchesValuesOfOtherWriters) {
  // Stored blocks written by gcab (the three tail lengths) and the LZX block
  // of the published worked example.
  for (auto [data, sum] : {std::pair<std::string, uint32_t>{"abcde", 0x64666201},
                           {"abcdef", 0x64650701},
                           {"abcdefg", 0x64010401}}) {
    uint8_t header[8] = {0, 0, 0, 0, uint8_t(data.size()), 0, uint8_t(data.size()), 0};
    EXPECT_EQ(vix::cab::DataBlockChecksum(header, 0, reinterpret_cast<const uint8_t*>(data.data()),
                                          data.size()),
              sum)
        << data;
  }
  const Bytes lzx = {0x00, 0x10, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00,
                     0x07, 0x21, 0xA7, 0xFA, 0x7D, 0xDF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x01, 0x01, 0x9F, 0x0C, 0xFF, 0xFF, 0x00, 0x80, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0xFF, 0x07, 0xFE, 0xFF, 0x00, 0xF6};
  uint8_t header[8] = {0, 0, 0, 0, 48, 0, 10, 0};
  EXPECT_EQ(vix::cab::DataBlockChecksum(header, 0, lzx.data(), lzx.size()), 0xF52C9F29u);
}

TEST_F(FciTest, StoredCabinetHasTheExactLayout) {
  Source("a.txt", Words<Bytes>(100, 1));
  Source("empty", {});
  fs.stamps["src/a.txt"] = {0x1234, 0x5678, A_ARCH | A_RDONLY};
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a.txt", tcompTYPE_NONE));
  ASSERT_TRUE(Add("empty", tcompTYPE_NONE, true));
  ASSERT_TRUE(Flush());
  const Bytes& b = fs.files["cabs/out.cab"];
  // Header 36, one folder 8, files at 44 (16 + "a.txt\0", 16 + "empty\0"),
  // data at 88: one CFDATA of 8 + 100.
  ASSERT_EQ(b.size(), 196u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "MSCF");
  const std::vector<std::tuple<size_t, int, uint32_t, const char*>> fields = {
      {8, 4, 196, "cbCabinet"},
      {16, 4, 44, "coffFiles"},
      {24, 2, 0x0103, "version"},
      {26, 2, 1, "cFolders"},
      {28, 2, 2, "cFiles"},
      {30, 2, 0, "flags"},
      {34, 2, 0, "iCabinet"},
      {36, 4, 88, "coffCabStart"},
      {40, 2, 1, "cCFData"},
      {42, 2, 0, "typeCompress"},
      {44, 4, 100, "a: cbFile"},
      {48, 4, 0, "a: uoff"},
      {52, 2, 0, "a: iFolder"},
      {54, 2, 0x1234, "a: date"},
      {56, 2, 0x5678, "a: time"},
      {58, 2, A_ARCH | A_RDONLY, "a: attribs"},
      {66, 4, 0, "empty: cbFile"},
      {70, 4, 100, "empty: uoff"},
      {80, 2, A_ARCH | A_EXEC, "empty: attribs"},
      {92, 2, 100, "cbData"},
      {94, 2, 100, "cbUncomp"}};
  for (auto [at, width, value, what] : fields)
    EXPECT_EQ(width == 4 ? Le32(&b[at]) : Le16(&b[at]), value) << what;
  EXPECT_STREQ(reinterpret_cast<const char*>(&b[60]), "a.txt");
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.at("a.txt"), fs.files["src/a.txt"]);
  // Created, truncating, under szCabPath + szCab.
  EXPECT_EQ(fs.opens.back(), std::make_pair(std::string("cabs/out.cab"),
                                            int(O_RDWR_ | O_CREAT_ | O_TRUNC_ | O_BINARY_)));
}

TEST_F(FciTest, BlocksAre32KiBAcrossFilesAndDecodeBack) {
  for (TCOMP type : {tcompTYPE_NONE, tcompTYPE_MSZIP}) {
    SCOPED_TRACE(type);
    fs = MemFs();
    Source("one", Words<Bytes>(40000, 2));
    Source("two", Noise<Bytes>(30000, 3));  // incompressible: stored deflate blocks
    Source("three", Words<Bytes>(32768, 4));
    ASSERT_TRUE(Create());
    for (const char* name : {"one", "two", "three"}) ASSERT_TRUE(Add(name, type));
    ASSERT_TRUE(Flush());
    const Cabinet cab = Read();
    ASSERT_EQ(cab.folders.size(), 1u);
    ASSERT_EQ(cab.folders[0].blocks.size(), 4u);  // 102768 bytes
    for (const char* name : {"one", "two", "three"})
      EXPECT_EQ(cab.contents.at(name), fs.files[std::string("src/") + name]) << name;
    EXPECT_EQ(cab.files[2].folderOffset, 70000u);
    int blocks = 0;  // statusFile once per block, with its sizes
    for (auto& [kind, packed, unpacked] : fs.statuses) {
      if (kind != statusFile) continue;
      const auto& blk = cab.folders[0].blocks[blocks++];
      EXPECT_EQ(packed, blk.packed);
      EXPECT_EQ(unpacked, blk.unpacked);
      EXPECT_LE(packed, unpacked + vix::cab::kMszipStoredOverhead);
    }
    EXPECT_EQ(blocks, 4);
    Destroy();
  }
}

// Random data repeated: the second block is small only if it refers back
// into the first; the reader gives each folder a fresh window, so a match
// into the previous folder would not decode.
TEST_F(FciTest, MszipHistoryReachesBackWithinAFolderOnly) {
  const Bytes noise = Noise<Bytes>(30000, 5);
  Bytes twice = noise;
  twice.insert(twice.end(), noise.begin(), noise.end());  // repeats at distance 30000
  Source("twice", twice);
  Source("again", noise);
  ccab.cbFolderThresh = 50000;  // "again" starts a new folder
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("twice"));
  ASSERT_TRUE(Add("again"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  ASSERT_EQ(cab.folders.size(), 2u);
  EXPECT_LT(cab.folders[0].blocks.at(1).packed, 1000u);
  EXPECT_GT(cab.folders[1].blocks.at(0).packed, 30000u);
  EXPECT_EQ(cab.contents.at("twice"), twice);
  EXPECT_EQ(cab.contents.at("again"), noise);
}

TEST_F(FciTest, FoldersCloseAtTheThresholdAndOnATypeChange) {
  ccab.cbFolderThresh = 50000;
  Source("a", Noise<Bytes>(60000, 1));  // fills folder 0
  Source("b", Words<Bytes>(1000, 2));
  Source("c", Words<Bytes>(2000, 3));  // NONE: new folder
  Source("d", {});
  ASSERT_TRUE(Create());
  for (auto [name, type] : {std::pair<const char*, TCOMP>{"a", tcompTYPE_MSZIP},
                            {"b", tcompTYPE_MSZIP},
                            {"c", tcompTYPE_NONE},
                            {"d", tcompTYPE_NONE}})
    ASSERT_TRUE(Add(name, type)) << name;
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  ASSERT_EQ(cab.folders.size(), 3u);
  EXPECT_EQ(cab.folders[2].type, tcompTYPE_NONE);
  const unsigned folder[] = {0, 1, 2, 2}, offset[] = {0, 0, 0, 2000};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(cab.files[i].folder, folder[i]) << i;
    EXPECT_EQ(cab.files[i].folderOffset, offset[i]) << i;
  }
  EXPECT_EQ(cab.contents.at("c"), fs.files["src/c"]);
  EXPECT_EQ(fs.placed, (std::vector<std::string>{"a", "b", "c", "d"}));
}

// Closing a full folder can fail (here: no temporary file for its block).
// That failure belongs to the call that closes it, never to a file already
// accepted: every file FCIAddFile accepted is in the cabinet, no refused one.
TEST_F(FciTest, AFolderThatCannotBeClosedFailsTheNextFileOnly) {
  ccab.cbFolderThresh = 50;
  for (const char* name : {"a", "b", "c"}) Source(name, Words<Bytes>(100, name[0]));
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));  // the folder is full; its block still waits in memory
  fs.tempRefusals = 100;
  EXPECT_FALSE(Add("b"));
  ExpectError(FCIERR_TEMP_FILE);
  fs.tempRefusals = 0;
  ASSERT_TRUE(Add("c"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.size(), 2u);
  EXPECT_EQ(cab.contents.at("a"), fs.files["src/a"]);
  EXPECT_EQ(cab.contents.at("c"), fs.files["src/c"]);
}

// A file that fails part-way leaves no trace: the cabinet equals one written
// without it, also when the failure comes after blocks were made.
TEST_F(FciTest, AFailedFileIsRolledBack) {
  // LZX too: its stream (window, offsets, code lengths) goes back as well.
  for (TCOMP type : {TCOMP(tcompTYPE_MSZIP), TCOMPfromLZXWindow(21)})
  for (size_t failAfter : {1000, 70000}) {
    SCOPED_TRACE(failAfter);
    SCOPED_TRACE(type);
    Bytes expected;
    for (int run = 0; run < 2; ++run) {
      fs = MemFs();
      Source("before", Words<Bytes>(20000, 1));
      Source("bad", Words<Bytes>(100000, 2));
      Source("after", Words<Bytes>(50000, 3));
      fs.failReadOf = "src/bad";
      fs.failReadAfter = failAfter;
      ASSERT_TRUE(Create());
      ASSERT_TRUE(Add("before", type));
      if (run == 1) {
        EXPECT_FALSE(Add("bad", type));
        ExpectError(FCIERR_READ_SRC, kEIO);
      }
      ASSERT_TRUE(Add("after", type));
      ASSERT_TRUE(Flush());
      Destroy();
      if (run == 0) expected = fs.files["cabs/out.cab"];
      EXPECT_EQ(fs.files["cabs/out.cab"], expected);
      EXPECT_TRUE(fs.open.empty()) << "a handle was left open";
    }
  }
}

TEST_F(FciTest, ProblemsOfOneFileAreReportedAndTheOthersKept) {
  const std::string longName(256, 'n'), longest(255, 'm');
  for (const std::string& name : {std::string("ok"), longName, longest}) Source(name, Words<Bytes>(10, 1));
  ASSERT_TRUE(Create());
  EXPECT_FALSE(Add("missing"));
  ExpectError(FCIERR_OPEN_SRC, kENOENT);
  EXPECT_FALSE(Add(longName));
  ExpectError(FCIERR_CAB_FORMAT_LIMIT);
  // Quantum, LZX windows out of range and parameter bits a type does not
  // use fail before the source is opened.
  for (TCOMP type : {TCOMPfromLZXWindow(14), TCOMPfromLZXWindow(22),
                     TCOMPfromTypeLevelMemory(tcompTYPE_LZX, 7, 21),
                     TCOMPfromTypeLevelMemory(tcompTYPE_MSZIP, 7, 21),
                     TCOMPfromTypeLevelMemory(2, 7, 21), TCOMP(tcompBAD),
                     TCOMP(tcompTYPE_MSZIP | 0x8000)}) {
    fs.opens.clear();
    EXPECT_FALSE(Add("ok", type)) << type;
    ExpectError(FCIERR_BAD_COMPR_TYPE);
    EXPECT_TRUE(fs.opens.empty());
  }
  // A file bigger than a folder holds is refused on the size seeking gives.
  fs.seekEndAnswer = 0x7FFF8001L;
  EXPECT_FALSE(Add("ok"));
  ExpectError(FCIERR_CAB_FORMAT_LIMIT);
  fs.seekEndAnswer = -1;
  EXPECT_TRUE(Add(longest));
  EXPECT_TRUE(Add("ok"));
  EXPECT_FALSE(erf.fError);  // each call starts with a clean record
  ASSERT_TRUE(Flush());
  EXPECT_EQ(Read().contents.size(), 2u);
  for (auto& [handle, file] : fs.open) EXPECT_NE(file.first.rfind("src/", 0), 0u) << file.first;
}

TEST_F(FciTest, TemporaryFilesAreCreatedExclusivelyAndRemoved) {
  Source("a", Words<Bytes>(70000, 1));
  fs.tempRepeats = 2;  // the first two names exist already
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(Flush());
  Destroy();
  for (auto& [name, flags] : fs.opens) {
    if (name.rfind("tmp/", 0) != 0) continue;
    EXPECT_EQ(flags, O_RDWR_ | O_CREAT_ | O_EXCL_ | O_BINARY_);
  }
  for (auto& [name, data] : fs.files) EXPECT_NE(name.rfind("tmp/t", 0), 0u) << name << " left";
  EXPECT_EQ(gAllocs, gFrees);
  Read();
}

TEST_F(FciTest, FailuresOfTheCabinetItself) {
  Source("a", Words<Bytes>(5000, 1));
  ASSERT_TRUE(Create());
  EXPECT_TRUE(Flush());  // nothing added: no cabinet, no temporary file
  EXPECT_FALSE(fs.files.count("cabs/out.cab"));
  EXPECT_EQ(fs.tempCount, 0);

  fs.tempRefusals = 100;
  ASSERT_TRUE(Add("a"));  // its block waits in memory until the flush
  EXPECT_FALSE(Flush());
  ExpectError(FCIERR_TEMP_FILE);

  fs.tempRefusals = 0;
  fs.failWriteOf = "cabs/out.cab";
  ASSERT_TRUE(Add("a"));
  EXPECT_FALSE(Flush());
  ExpectError(FCIERR_CAB_FILE, kENOSPC);
  EXPECT_FALSE(fs.files.count("cabs/out.cab")) << "a cabinet cut short was left";

  fs.failWriteOf.clear();
  fs.abortAtStatus = int(fs.statuses.size()) + 1;  // at the second block
  Source("big", Words<Bytes>(100000, 2));
  EXPECT_FALSE(Add("big"));
  ExpectError(FCIERR_USER_ABORT);
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();
  EXPECT_EQ(cab.contents.size(), 1u);
  EXPECT_EQ(fs.statuses.back(),
            std::make_tuple(UINT(statusCabinet), ULONG(cab.size), ULONG(cab.size)));
}

TEST_F(FciTest, ACabinetFullAsksForTheNextAndFailsTheFile) {
  ccab.cb = 20000;
  Source("small", Words<Bytes>(3000, 1));
  Source("big", Noise<Bytes>(30000, 2));
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
  Source("a", Words<Bytes>(5000, 1));
  Source("b", Words<Bytes>(6000, 2));
  fs.nextCabinetAnswer = 1;
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(Flush(1));
  ASSERT_TRUE(Add("b"));
  ASSERT_TRUE(Flush());
  const Cabinet first = Read("cabs/out.cab"), second = Read("cabs/out1.cab");
  EXPECT_EQ(std::make_tuple(first.flags, first.nextCab, first.nextDisk, first.index, first.setId),
            std::make_tuple(2u, std::string("out1.cab"), std::string("disk 1"), 0u, 0x4242u));
  EXPECT_EQ(
      std::make_tuple(second.flags, second.prevCab, second.prevDisk, second.index, second.setId),
      std::make_tuple(1u, std::string("out.cab"), std::string("disk 0"), 1u, 0x4242u));
  EXPECT_EQ(second.contents.at("b"), fs.files["src/b"]);
}

TEST_F(FciTest, ReserveAreasAreAnnouncedAndZero) {
  ccab.cbReserveCFHeader = 10;
  ccab.cbReserveCFFolder = 3;
  ccab.cbReserveCFData = 5;
  Source("a", Words<Bytes>(40000, 1));
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add("a"));
  ASSERT_TRUE(Flush());
  const Cabinet cab = Read();  // the checksums cover the zero reserve bytes
  EXPECT_EQ(std::make_tuple(cab.flags, cab.reserveHeader, cab.reserveFolder, cab.reserveData),
            std::make_tuple(4u, 10u, 3u, 5u));
  const Bytes& b = fs.files["cabs/out.cab"];
  EXPECT_EQ(Bytes(b.begin() + 40, b.begin() + 50), Bytes(10, 0));
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
}

}  // namespace

#endif  // _WIN32
