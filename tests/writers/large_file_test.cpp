// Files and archives of 4 GiB and more, on the sparse platform: no large
// file is written to disk; the archives' headers are read back from memory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "archive/kvtErrors.h"
#include "support/sparse_platform.h"
#include "support/temp_dir.h"
#include "writers/kvtLha.h"
#include "writers/kvtMakeCab.h"
#include "writers/kvtTar.h"
#include "writers/cabinet/cabformat.h"
#include "writers/tar_gzip_test_util.h"

namespace vix {
namespace {

using test::kGiB;
using vix::testing::ErrorLog;

constexpr uint64_t k4GiB = 4 * kGiB;

std::string Text(const std::vector<uint8_t>& b, size_t off, size_t len) {
  return std::string(reinterpret_cast<const char*>(b.data() + off), len);
}

class LargeFiles : public ::testing::Test {
 protected:
  test::TempDir dir;
  test::SparsePlatform sparse;
  platform::ScopedPlatform use{sparse};
  ErrorLog errors;

  template <class Writer>
  int Run(Writer& w, const std::vector<std::string>& specs, const std::string& archive) {
    errors.Attach(w);
    w.OnReplaceFile = [](TCompBase&, const std::string&, const std::string&, TDateTime,
                         TDateTime, uint64_t, uint64_t, int, int, bool& replace) { replace = true; };
    w.SetFileSpec(specs);
    w.SetArchiveFile(archive);
    return w.Compress();
  }
};

TEST(SparseData, HolesReadAsZerosAndOverwritesLand) {
  test::SparseData d;
  const uint8_t head[] = {1, 2, 3};
  d.Write(0, head, 3);
  std::vector<uint8_t> zeros(3 * test::SparseData::kPage, 0);
  d.Write(3, zeros.data(), zeros.size());  // a hole: nothing stored
  EXPECT_EQ(d.StoredBytes(), test::SparseData::kPage);
  const uint8_t tail[] = {9, 9};
  d.Write(5 * kGiB, tail, 2);
  EXPECT_EQ(d.Size(), 5 * kGiB + 2);
  EXPECT_EQ(d.Bytes(5 * kGiB - 1, 4), (std::vector<uint8_t>{0, 9, 9}));
  d.Write(1, zeros.data(), 1);  // zeros over stored bytes replace them
  EXPECT_EQ(d.Bytes(0, 3), (std::vector<uint8_t>{1, 0, 3}));
  d.Resize(2);
  d.Resize(10);
  EXPECT_EQ(d.Bytes(0, 10), (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// A file of more than 4 GiB between two small ones: its size in octal, the
// next header and the data tails where the sizes put them; then an update
// that keeps the large entry (read back through positions past 4 GiB).
TEST_F(LargeFiles, TarHoldsAFileOfMoreThan4GiBInOctalAndKeepsItOnUpdate) {
  const uint64_t big = k4GiB + 1000;
  dir.WriteFile("a.txt", "first");
  sparse.AddFile(dir.Join("b.bin"), big, "TAIL");
  dir.WriteFile("c.txt", "third");
  const std::string archive = dir.Join("out.tar");
  TTar tar(nullptr);
  ASSERT_EQ(Run(tar, {dir.Join("*.*")}, archive), 3) << ::testing::PrintToString(errors.Messages);
  EXPECT_TRUE(errors.Codes.empty());

  const test::SparseData& out = sparse.Recorded(archive);
  const uint64_t bAt = 512 + 512;  // a.txt: header and one data block
  auto header = out.Bytes(bAt, 512);
  EXPECT_EQ(Text(header, 0, 6), std::string("b.bin\0", 6));
  EXPECT_EQ(Text(header, 124, 12), std::string("40000001750\0", 12));  // 4 GiB + 1000
  EXPECT_EQ(tar::NumberField(header.data(), tar::kSizeOff, tar::kSizeLen), big);
  EXPECT_EQ(Text(out.Bytes(bAt + 512 + big - 4, 4), 0, 4), "TAIL");
  const uint64_t cAt = bAt + 512 + (big + 511) / 512 * 512;
  header = out.Bytes(cAt, 512);
  EXPECT_EQ(Text(header, 0, 6), std::string("c.txt\0", 6));
  EXPECT_EQ(Text(out.Bytes(cAt + 512, 5), 0, 5), "third");
  EXPECT_EQ(out.Size() % 10240, 0u);
  EXPECT_LT(out.StoredBytes(), 64u * 1024);

  // Adding one file keeps the others, the large one past 4 GiB included.
  dir.WriteFile("d.txt", "fourth");
  TTar again(nullptr);
  ASSERT_EQ(Run(again, {dir.Join("d.txt")}, archive), 1) << ::testing::PrintToString(errors.Messages);
  EXPECT_TRUE(errors.Codes.empty());
  const test::SparseData& updated = sparse.Recorded(archive);
  EXPECT_EQ(Text(updated.Bytes(cAt, 6), 0, 6), std::string("c.txt\0", 6));
  EXPECT_EQ(Text(updated.Bytes(bAt + 512 + big - 4, 4), 0, 4), "TAIL");
  EXPECT_EQ(Text(updated.Bytes(cAt + 1024, 6), 0, 6), std::string("d.txt\0", 6));
}

// Beyond 8 GiB - 1 octal digits run out: the size goes in base-256.
TEST(TarNumber, OctalUpTo8GiBAndBase256Beyond) {
  uint8_t h[tar::kBlock] = {};
  const uint64_t largestOctal = 8 * kGiB - 1;
  tar::PutNumber(h, tar::kSizeOff, tar::kSizeLen, largestOctal);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h + tar::kSizeOff), 12),
            std::string("77777777777\0", 12));
  tar::PutNumber(h, tar::kSizeOff, tar::kSizeLen, 8 * kGiB);
  const uint8_t base256[12] = {0x80, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(h + tar::kSizeOff, base256, 12), 0);
  const uint64_t huge = 0x0123456789ABCDEFull;
  tar::PutNumber(h, tar::kSizeOff, tar::kSizeLen, huge);
  EXPECT_EQ(tar::NumberField(h, tar::kSizeOff, tar::kSizeLen), huge);
}

// LZH and CAB cannot hold such files: they are left out, reported with the
// reason, and the rest is stored.
TEST_F(LargeFiles, LzhAndCabLeaveOutWhatTheirFieldsCannotHoldAndSayWhy) {
  dir.WriteFile("small.txt", "small");
  sparse.AddFile(dir.Join("huge.bin"), k4GiB);
  TLha lha(nullptr);
  const std::vector<std::string> both = {dir.Join("small.txt"), dir.Join("huge.bin")};
  EXPECT_EQ(Run(lha, both, dir.Join("out.lzh")), 1);
  ASSERT_EQ(errors.Codes.size(), 1u);
  EXPECT_NE(errors.Messages[0].find("huge.bin"), std::string::npos);
  EXPECT_NE(errors.Messages[0].find("LZH headers hold a file's sizes in 32 bits"), std::string::npos)
      << errors.Messages[0];

  if (!CabinetAvailable) GTEST_SKIP() << "no cabinet library";
  errors = ErrorLog();
  // Below 4 GiB, but more than a cabinet folder holds.
  sparse.AddFile(dir.Join("huge.bin"), cab::kMaxFolderBytes + uint64_t{1});
  TMakeCab cab(nullptr);
  EXPECT_EQ(Run(cab, both, dir.Join("out.cab")), 1);
  ASSERT_EQ(errors.Codes.size(), 1u);
  EXPECT_NE(errors.Messages[0].find("a cabinet folder holds at most"), std::string::npos)
      << errors.Messages[0];
}

}  // namespace
}  // namespace vix
