// Files and archives of 4 GiB and more, on the sparse platform: no large
// file is written to disk; the archives' headers are read back from memory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "archive/kvtErrors.h"
#include "support/error_log.h"
#include "support/sparse_platform.h"
#include "support/temp_dir.h"
#include "writers/kvtLha.h"
#include "writers/kvtMakeCab.h"
#include "writers/kvtTar.h"
#include "writers/kvtZipIT.h"
#include "writers/cabinet/cabformat.h"

namespace vix {
namespace {

using test::kGiB;
using test::ErrorLog;

constexpr uint64_t k4GiB = 4 * kGiB;

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return GetLE16(b.data() + at); }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) { return GetLE32(b.data() + at); }
uint64_t Le64(const std::vector<uint8_t>& b, size_t at) { return GetLE64(b.data() + at); }

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
  ASSERT_EQ(Run(tar, {dir.Join("*.*")}, archive), 3) << ::testing::PrintToString(errors.Messages());
  EXPECT_TRUE(errors.Codes().empty());

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
  ASSERT_EQ(Run(again, {dir.Join("d.txt")}, archive), 1) << ::testing::PrintToString(errors.Messages());
  EXPECT_TRUE(errors.Codes().empty());
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

// What a reader finds in a ZIP archive held by the sparse platform: the
// Zip64 end record through its locator, then each central record with its
// Zip64 values.
struct ZipEntry {
  std::string Name;
  uint16_t Version = 0;
  uint64_t Size = 0, Packed = 0, Offset = 0;
  uint32_t Crc = 0;
};
std::vector<ZipEntry> ReadZip64(const test::SparseData& zip) {
  const uint64_t end = zip.Size() - 22;
  const auto tail = zip.Bytes(end - 20, 42);
  EXPECT_EQ(Le32(tail, 20), 0x06054B50u);
  EXPECT_EQ(Le32(tail, 0), 0x07064B50u) << "a Zip64 end locator before the end record";
  const uint64_t recordAt = Le64(tail, 8);
  const auto record = zip.Bytes(recordAt, 56);
  EXPECT_EQ(Le32(record, 0), 0x06064B50u);
  EXPECT_EQ(recordAt, end - 20 - 56);
  const uint64_t count = Le64(record, 32), dirSize = Le64(record, 40), dirAt = Le64(record, 48);
  EXPECT_EQ(dirAt + dirSize, recordAt);
  EXPECT_EQ(Le32(tail, 20 + 16), dirAt >= 0xFFFFFFFF ? 0xFFFFFFFFu : dirAt);
  const auto dir = zip.Bytes(dirAt, static_cast<size_t>(dirSize));
  std::vector<ZipEntry> out;
  for (size_t at = 0; out.size() < count && at + 46 <= dir.size();) {
    EXPECT_EQ(Le32(dir, at), 0x02014B50u);
    ZipEntry e;
    const size_t name = Le16(dir, at + 28), extra = Le16(dir, at + 30);
    e.Name.assign(reinterpret_cast<const char*>(dir.data() + at + 46), name);
    e.Version = Le16(dir, at + 6);
    e.Crc = Le32(dir, at + 16);
    e.Packed = Le32(dir, at + 20);
    e.Size = Le32(dir, at + 24);
    e.Offset = Le32(dir, at + 42);
    for (size_t x = at + 46 + name; x + 4 <= at + 46 + name + extra;) {
      const size_t length = Le16(dir, x + 2);
      if (Le16(dir, x) == 1) {
        size_t v = x + 4;
        for (uint64_t* value : {&e.Size, &e.Packed, &e.Offset})
          if (*value == 0xFFFFFFFF) *value = Le64(dir, v), v += 8;
        EXPECT_EQ(v, x + 4 + length) << e.Name << ": the Zip64 field holds what is all ones";
      }
      x += 4 + length;
    }
    out.push_back(e);
    at += 46 + name + extra + Le16(dir, at + 32);
  }
  EXPECT_EQ(out.size(), count);
  return out;
}

// A stored file of more than 4 GiB between two small ones: Zip64 sizes in
// its local and central records, a Zip64 offset for the file after it and
// a Zip64 end record; small entries keep plain records. An update then
// keeps them all, read back through the Zip64 records.
TEST_F(LargeFiles, ZipWritesZip64RecordsOnlyWhereNeededAndUpdatesThem) {
  const uint64_t big = k4GiB + 1000;
  dir.WriteFile("a.txt", "first");
  sparse.AddFile(dir.Join("b.bin"), big, "TAIL");
  dir.WriteFile("c.txt", "third");
  const std::string archive = dir.Join("out.zip");
  TZip zip(nullptr);
  zip.SetCompressMethod(cmStore);
  ASSERT_EQ(Run(zip, {dir.Join("*.*")}, archive), 3) << ::testing::PrintToString(errors.Messages());
  EXPECT_TRUE(errors.Codes().empty());

  const test::SparseData& out = sparse.Recorded(archive);
  auto entries = ReadZip64(out);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Name, "a.txt");
  EXPECT_EQ(entries[0].Version, 20u);
  EXPECT_EQ(entries[1].Name, "b.bin");
  EXPECT_EQ(entries[1].Version, 45u);
  EXPECT_EQ(entries[1].Size, big);
  EXPECT_EQ(entries[1].Packed, big);
  EXPECT_EQ(entries[2].Name, "c.txt");
  EXPECT_EQ(entries[2].Version, 45u) << "its offset is past 4 GiB";
  EXPECT_GT(entries[2].Offset, k4GiB);

  // b.bin's local header: all ones in its sizes, both in its Zip64 field.
  const auto local = out.Bytes(entries[1].Offset, 30 + 5 + 20);
  EXPECT_EQ(Le32(local, 0), 0x04034B50u);
  EXPECT_EQ(Le16(local, 4), 45u);
  EXPECT_EQ(Le32(local, 18), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(local, 22), 0xFFFFFFFFu);
  EXPECT_EQ(Le16(local, 28), 20u);
  EXPECT_EQ(Le16(local, 35), 1u);
  EXPECT_EQ(Le64(local, 39), big);
  EXPECT_EQ(Le64(local, 47), big);
  const uint64_t dataAt = entries[1].Offset + local.size();
  EXPECT_EQ(Text(out.Bytes(dataAt + big - 4, 4), 0, 4), "TAIL");
  EXPECT_EQ(entries[2].Offset, dataAt + big);
  EXPECT_EQ(Le32(out.Bytes(entries[2].Offset, 4), 0), 0x04034B50u);
  EXPECT_LT(out.StoredBytes(), 64u * 1024);

  // An update reads the Zip64 records and keeps every entry where it was.
  dir.WriteFile("d.txt", "fourth");
  TZip again(nullptr);
  again.SetCompressMethod(cmStore);
  ASSERT_EQ(Run(again, {dir.Join("d.txt")}, archive), 1) << ::testing::PrintToString(errors.Messages());
  EXPECT_TRUE(errors.Codes().empty());
  const auto updated = ReadZip64(sparse.Recorded(archive));
  ASSERT_EQ(updated.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(updated[i].Name, entries[i].Name);
    EXPECT_EQ(updated[i].Offset, entries[i].Offset);
    EXPECT_EQ(updated[i].Size, entries[i].Size);
    EXPECT_EQ(updated[i].Crc, entries[i].Crc);
  }
  EXPECT_EQ(updated[3].Name, "d.txt");
  EXPECT_GT(updated[3].Offset, entries[2].Offset);

  // Split segments keep 32-bit offsets: such an archive is refused, with
  // the reason, and stays as it was.
  const uint64_t before = sparse.Recorded(archive).Size();
  dir.WriteFile("e.txt", "fifth");
  TZip split(nullptr);
  split.SplitSize = 1u << 30;
  EXPECT_EQ(Run(split, {dir.Join("e.txt")}, archive), 0);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  EXPECT_NE(errors.Messages()[0].find("Zip64"), std::string::npos) << errors.Messages()[0];
  EXPECT_EQ(sparse.Recorded(archive).Size(), before);
  EXPECT_EQ(ReadZip64(sparse.Recorded(archive)).size(), 4u);
}

// The Zip64 field of a central record: only the values that need it, in
// their order, beside the record's other extra fields; gone again once a
// kept entry moves back below 4 GiB; a field that a value is left to and
// that is missing makes the record unreadable.
TEST(ZipCentralValues, OnlyWhatNeedsZip64AndOtherExtraFieldsKept) {
  std::vector<uint8_t> h(zip::kCentralSize, 0);
  PutLE32(h.data(), zip::kCentralSignature);
  PutLE16(h.data() + zip::kCenVersion, 20);
  PutLE16(h.data() + zip::kCenNameLength, 1);
  PutLE32(h.data() + zip::kCenSize, 100);
  PutLE32(h.data() + zip::kCenPacked, 50);
  PutLE32(h.data() + zip::kCenOffset, 200);
  h.push_back('n');
  const std::vector<uint8_t> other = {0x55, 0x54, 1, 0, 7};  // a foreign field, kept
  h.insert(h.end(), other.begin(), other.end());
  PutLE16(h.data() + zip::kCenExtraLength, 5);
  h.push_back('c');  // a byte past the extra field stays after it
  const std::vector<uint8_t> plain = h;

  zip::PutCentralValues(h, {100, 50, 200});
  EXPECT_EQ(h, plain) << "nothing needs Zip64: the record stays as it was";

  zip::PutCentralValues(h, {100, 50, k4GiB + 7});
  ASSERT_EQ(h.size(), plain.size() + 12);
  EXPECT_EQ(Le16(h, zip::kCenVersion), 45u);
  EXPECT_EQ(Le32(h, zip::kCenSize), 100u);
  EXPECT_EQ(Le32(h, zip::kCenOffset), 0xFFFFFFFFu);
  EXPECT_EQ(Le16(h, zip::kCenExtraLength), 5u + 12u);
  EXPECT_EQ(Le16(h, 47), 1u);  // the Zip64 field first
  EXPECT_EQ(Le16(h, 49), 8u);
  EXPECT_EQ(Le64(h, 51), k4GiB + 7);
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 59, h.begin() + 64), other);
  EXPECT_EQ(h.back(), 'c');
  zip::CentralValues read;
  ASSERT_TRUE(zip::ReadCentralValues(h, read));
  EXPECT_EQ(read.Offset, k4GiB + 7);
  EXPECT_EQ(read.Size, 100u);

  zip::PutCentralValues(h, {100, 50, 300});
  EXPECT_EQ(Le16(h, zip::kCenExtraLength), 5u);
  EXPECT_EQ(Le32(h, zip::kCenOffset), 300u);
  EXPECT_EQ(h.size(), plain.size());

  // Bytes that form no field are kept as they are, whatever else changes.
  std::vector<uint8_t> odd = plain;
  odd.insert(odd.begin() + 52, {0x99, 0x99, 0x40});  // a field header claiming 0x4099 bytes
  PutLE16(odd.data() + zip::kCenExtraLength, 8);
  std::vector<uint8_t> same = odd;
  zip::PutCentralValues(same, {100, 50, 200});
  EXPECT_EQ(same, odd);
  zip::PutCentralValues(same, {100, 50, k4GiB});
  EXPECT_EQ(Le16(same, 47), 1u);
  EXPECT_EQ(std::vector<uint8_t>(same.begin() + 59, same.begin() + 67),
            std::vector<uint8_t>(odd.begin() + 47, odd.begin() + 55));
  EXPECT_EQ(Le16(same, zip::kCenExtraLength), 8u + 12u);

  PutLE32(h.data() + zip::kCenSize, 0xFFFFFFFF);  // left to a field that is not there
  EXPECT_FALSE(zip::ReadCentralValues(h, read));
}

// LZH and CAB cannot hold such files: they are left out, reported with the
// reason, and the rest is stored.
TEST_F(LargeFiles, LzhAndCabLeaveOutWhatTheirFieldsCannotHoldAndSayWhy) {
  dir.WriteFile("small.txt", "small");
  sparse.AddFile(dir.Join("huge.bin"), k4GiB);
  TLha lha(nullptr);
  const std::vector<std::string> both = {dir.Join("small.txt"), dir.Join("huge.bin")};
  EXPECT_EQ(Run(lha, both, dir.Join("out.lzh")), 1);
  ASSERT_EQ(errors.Codes().size(), 1u);
  EXPECT_NE(errors.Messages()[0].find("huge.bin"), std::string::npos);
  EXPECT_NE(errors.Messages()[0].find("LZH headers hold a file's sizes in 32 bits"), std::string::npos)
      << errors.Messages()[0];

  if (!CabinetAvailable) GTEST_SKIP() << "no cabinet library";
  errors = ErrorLog();
  // Below 4 GiB, but more than a cabinet folder holds.
  sparse.AddFile(dir.Join("huge.bin"), cab::kMaxFolderBytes + uint64_t{1});
  TMakeCab cab(nullptr);
  EXPECT_EQ(Run(cab, both, dir.Join("out.cab")), 1);
  ASSERT_EQ(errors.Codes().size(), 1u);
  EXPECT_NE(errors.Messages()[0].find("a cabinet folder holds at most"), std::string::npos)
      << errors.Messages()[0];
}

}  // namespace
}  // namespace vix
