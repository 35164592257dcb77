// New ZIP archives: header fields against the record tables, the method
// choice, encryption, and inputs that change or fail while being read.
#include <gtest/gtest.h>

#include <random>

#include "archive/kvtCrc.h"
#include "archive/kvtDiskMan.h"
#include "archive/kvtNames.h"
#include "support/fault_platform.h"
#include "writers/kvtZipCrypt.h"
#include "zip_test_support.h"

namespace vix::ziptest {
namespace {

std::string Text(size_t size) {
  std::string s;
  while (s.size() < size) s += "the entry header of the archive " + std::to_string(s.size());
  return s.substr(0, size);
}
std::string Random(size_t size, unsigned seed) {
  std::mt19937 r(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(r());
  return s;
}

// Fields every entry of this writer carries, and what the local header and
// the central record must agree on.
void ExpectCommonFields(const Entry& e, const std::string& source) {
  SCOPED_TRACE(e.Name);
  EXPECT_EQ(Le16(e.Local, 4), 20u);
  EXPECT_EQ(Le16(e.Central, 4), 20u);  // made by: version 2.0, MS-DOS
  EXPECT_EQ(Le16(e.Central, 6), 20u);
  EXPECT_EQ(e.Local.substr(6, 20), e.Central.substr(8, 20));  // flags .. sizes
  EXPECT_EQ(Le16(e.Local, 26), e.Name.size());
  EXPECT_EQ(Le16(e.Local, 28), 0u);
  EXPECT_EQ(Le16(e.Central, 30), 0u);
  EXPECT_EQ(Le16(e.Central, 34), 0u);
  EXPECT_EQ(Le16(e.Central, 36), 1u);
  EXPECT_EQ(e.Size(), source.size());
  EXPECT_EQ(e.Crc(), source.empty() ? 0 : Crc32(source));
  if (e.Method() == 0 && !(e.Flags() & 1)) {
    EXPECT_EQ(e.Data, source);
  }
}

class ZipDeflateTypes : public ::testing::TestWithParam<TDeflateType> {};

TEST_P(ZipDeflateTypes, FieldsFlagsAndMethodOfEachKindOfFile) {
  static constexpr uint32_t kLevelBits[] = {6, 4, 0, 2};
  const uint32_t bits = kLevelBits[GetParam()];
  ZipRun r;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"text.txt", Text(5000)},        {"noise.bin", Random(20000, 1)},
      {"empty.dat", ""},               {"inner.ZIP", Text(4000)},
      {"prog.exe", Text(4000)},        {"sub/deeper/leaf.txt", Text(70000)}};
  for (const auto& f : files) r.dir.WriteFile(f.first, f.second);
  r.zip.SetDeflateType(GetParam());
  r.zip.RecurseDirs = true;
  std::vector<uint32_t> reported;
  r.zip.OnRead = [&](TCompBase&, uint32_t offset, int) { reported.push_back(offset); };
  ASSERT_EQ(r.Run({"*"}), 6);
  EXPECT_TRUE(r.codes.empty());

  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  ASSERT_EQ(a.Entries.size(), 6u);
  EXPECT_EQ(a.End.substr(4, 4), std::string(4, '\0'));  // disk numbers
  EXPECT_TRUE(a.Comment.empty());
  for (const auto& f : files) {
    const Entry* e = a.Find(f.first);
    ASSERT_NE(e, nullptr) << f.first;
    ExpectCommonFields(*e, f.second);
    EXPECT_EQ(e->External(), platform::Current().GetAttributes(r.dir.Join(f.first)));
  }
  // Deflated, with the level's bits.
  for (const char* name : {"text.txt", "prog.exe", "sub/deeper/leaf.txt"}) {
    EXPECT_EQ(a.Find(name)->Method(), 8u) << name;
    EXPECT_EQ(a.Find(name)->Flags(), bits) << name;
  }
  // Noise does not shrink: stored by the engine, the level bits kept.
  EXPECT_EQ(a.Find("noise.bin")->Method(), 0u);
  EXPECT_EQ(a.Find("noise.bin")->Flags(), bits);
  // An already-compressed extension is stored without ever deflating.
  EXPECT_EQ(a.Find("inner.ZIP")->Method(), 0u);
  EXPECT_EQ(a.Find("inner.ZIP")->Flags(), 0u);
  EXPECT_EQ(a.Find("empty.dat")->Method(), 0u);
  EXPECT_EQ(a.Find("empty.dat")->Flags(), 0u);
  EXPECT_EQ(a.Find("empty.dat")->Packed(), 0u);
  // OnRead reports each new entry after the commit, at its local header.
  std::vector<uint32_t> offsets;
  for (const auto& e : a.Entries) offsets.push_back(e.Offset);
  EXPECT_EQ(reported, offsets);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, ZipDeflateTypes,
                         ::testing::Values(dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX));

TEST(ZipWriter, StoreMethodAndCompressedExtensionsSwitch) {
  ZipRun r;
  r.dir.WriteFile("inner.zip", Text(4000));
  r.dir.WriteFile("plain.txt", Text(4000));
  r.zip.StoreAlreadyCompressedFiles = false;
  ASSERT_EQ(r.Run({"*"}), 2);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  EXPECT_EQ(a.Find("inner.zip")->Method(), 8u);

  ZipRun s;
  s.dir.WriteFile("plain.txt", Text(4000));
  s.zip.SetCompressMethod(cmStore);
  ASSERT_EQ(s.Run({"*"}), 1);
  ASSERT_TRUE(Parse(s.Bytes(), a));
  EXPECT_EQ(a.Entries[0].Method(), 0u);
  EXPECT_EQ(a.Entries[0].Flags(), 0u);
  ExpectCommonFields(a.Entries[0], Text(4000));
}

TEST(ZipWriter, EmptyFoldersGetSlashEntriesAndFullFoldersNone) {
  ZipRun r;
  r.dir.WriteFile("tree/full/x.txt", "x");
  r.dir.MakeDir("tree/void");
  r.zip.StoreEmptySubDirs = true;
  r.zip.FileAttribute().SetftDirectory(true);
  r.zip.RecurseDirs = true;
  r.zip.StoredDirNames = sdRelativeStoreStart;
  ASSERT_EQ(r.Run({"tree/*"}), 2);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  ASSERT_EQ(a.Entries.size(), 2u);
  ASSERT_NE(a.Find("tree/full/x.txt"), nullptr);
  const Entry* v = a.Find("tree/void/");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->External(), 0x30u);
  EXPECT_EQ(v->Method(), 0u);
  ExpectCommonFields(*v, "");
}

TEST(ZipWriter, NamesAreStoredInCodePage932) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  ZipRun r;
  r.dir.WriteFile(u8"日本/データ.txt", "data");
  r.zip.RecurseDirs = true;
  ASSERT_EQ(r.Run({"*"}), 1);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  // Shift-JIS of 日本 and データ.
  EXPECT_EQ(a.Entries.at(0).Name, "\x93\xFA\x96\x7B/\x83\x66\x81\x5B\x83\x5E.txt");
}

TEST(ZipEncryption, EntriesDecryptWithThePasswordAndCarryTheCheckBytes) {
  ZipRun r;
  const std::string stored = Text(40000), deflated = Text(9000);
  r.dir.WriteFile("a.lzh", stored);
  r.dir.WriteFile("b.txt", deflated);
  r.dir.WriteFile("c.txt", deflated);
  r.dir.WriteFile("empty.txt", "");
  r.zip.Password = "Secret";
  ASSERT_EQ(r.Run({"*"}), 4);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));

  const Entry& s = *a.Find("a.lzh");
  EXPECT_EQ(s.Flags(), 1u);
  EXPECT_EQ(s.Packed(), stored.size() + 12);
  const std::string plain = Decipher("Secret").Run(s.Data);
  EXPECT_EQ(static_cast<uint8_t>(plain[10]), (Crc32(stored) >> 16) & 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(plain[11]), Crc32(stored) >> 24);
  EXPECT_EQ(plain.substr(12), stored);

  const Entry& b = *a.Find("b.txt");
  EXPECT_EQ(b.Flags(), 1u);  // dtDeflateN adds no level bits
  EXPECT_EQ(b.Method(), 8u);
  EXPECT_EQ(static_cast<uint8_t>(Decipher("Secret").Run(b.Data.substr(0, 12))[11]),
            Crc32(deflated) >> 24);
  // Same data, fresh random header bytes: the ciphertexts differ.
  EXPECT_NE(b.Data.substr(0, 10), a.Find("c.txt")->Data.substr(0, 10));

  const Entry& e = *a.Find("empty.txt");
  EXPECT_EQ(e.Flags(), 0u);
  EXPECT_EQ(e.Packed(), 0u);
}

TEST(ZipEncryption, HeaderDecryptsToTheCheckBytesAndLeavesTheKeysForTheData) {
  const EncryptionHeader h = MakeEncryptionHeader("pw", 0xA1B2C3D4);
  std::string bytes(h.begin(), h.end());
  bytes += static_cast<char>(EncryptByte('Z'));
  const std::string plain = Decipher("pw").Run(bytes);
  EXPECT_EQ(plain.substr(10), "\xB2\xA1Z");
}

// Reads of one file fail when they reach past a number of bytes, or stop
// there as if the file ended, once a given pass over it (each pass starting
// at offset 0) has begun.
class ShrinkingReads : public test::FaultPlatform {
 public:
  std::string Name;
  int64_t After = 0;
  bool Error = false;
  int FromPass = 1;

  platform::FileHandle OpenRead(const std::string& path, platform::ShareMode share) override {
    auto file = FaultPlatform::OpenRead(path, share);
    if (!file || ExtractFileName(path) != Name) return file;
    return std::make_unique<Faulty>(std::move(file), *this);
  }

 private:
  class Faulty : public platform::File {
   public:
    Faulty(platform::FileHandle f, const ShrinkingReads& o) : f_(std::move(f)), o_(o) {}
    int64_t Read(void* buffer, size_t count) override {
      const int64_t at = f_->Position();
      if (at == 0) ++pass_;
      if (pass_ >= o_.FromPass && at + static_cast<int64_t>(count) > o_.After) {
        if (o_.Error) return -1;
        count = at < o_.After ? static_cast<size_t>(o_.After - at) : 0;
      }
      return f_->Read(buffer, count);
    }
    int64_t Write(const void* b, size_t n) override { return f_->Write(b, n); }
    bool Seek(int64_t d, platform::Origin o) override { return f_->Seek(d, o); }
    int64_t Position() override { return f_->Position(); }
    int64_t Size() override { return f_->Size(); }
    bool SetEnd() override { return f_->SetEnd(); }
    bool Flush() override { return f_->Flush(); }
    bool Close() override { return f_->Close(); }
    uint32_t DosTime(int which) override { return f_->DosTime(which); }

   private:
    platform::FileHandle f_;
    const ShrinkingReads& o_;
    int pass_ = 0;
  };
};

struct ReadFault {
  const char* what;
  bool encrypt, error, deflate;
  int fromPass;
  bool kept;  // the entry is written, with the bytes that could be read
};

class ZipReadFaults : public ::testing::TestWithParam<ReadFault> {};

TEST_P(ZipReadFaults, EntryIsReportedAndLeftOutOrRecordsWhatWasRead) {
  const ReadFault& f = GetParam();
  ZipRun r;
  const std::string data = Text(100000);
  r.dir.WriteFile("a.txt", "before");
  r.dir.WriteFile("b.txt", data);
  r.dir.WriteFile("c.txt", "after");
  ShrinkingReads reads;
  reads.Name = "b.txt";
  reads.After = 40000;
  reads.Error = f.error;
  reads.FromPass = f.fromPass;
  platform::ScopedPlatform use(reads);
  if (f.encrypt) r.zip.Password = "pw";
  if (!f.deflate) r.zip.SetCompressMethod(cmStore);
  EXPECT_EQ(r.Run({"*.txt"}), f.kept ? 3 : 2);

  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  ASSERT_NE(a.Find("a.txt"), nullptr);
  ASSERT_NE(a.Find("c.txt"), nullptr);
  if (f.kept) {
    EXPECT_TRUE(r.codes.empty());
    ExpectCommonFields(*a.Find("b.txt"), data.substr(0, 40000));
  } else {
    EXPECT_EQ(a.Find("b.txt"), nullptr);
    EXPECT_EQ(r.codes, std::vector<int>{kErrOpen});
    // Nothing of the dropped entry stays between its neighbours.
    EXPECT_EQ(a.Find("c.txt")->Offset, a.Find("a.txt")->Whole.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZipReadFaults,
    ::testing::Values(ReadFault{"ReadErrorStored", false, true, false, 1, false},
                      ReadFault{"ReadErrorDeflated", false, true, true, 1, false},
                      ReadFault{"ShrankStored", false, false, false, 1, true},
                      ReadFault{"ShrankDeflated", false, false, true, 1, true},
                      ReadFault{"EncryptedShortForCrc", true, false, true, 1, false},
                      ReadFault{"EncryptedChangedAfterCrc", true, false, false, 2, false}),
    [](const auto& info) { return std::string(info.param.what); });

// A removable disk too small for the archive asks for spanned output, which
// without a handler is reported; a large one whose 32-bit byte count wraps
// still takes the archive whole.
TEST(ZipWriter, RemovableDiskWithoutRoomAsksForOnInsertDisk) {
  for (const bool roomy : {false, true}) {
    ZipRun r;
    r.dir.WriteFile("a.bin", Random(20000, 3));
    test::FaultPlatform disks;
    test::FaultPlatform::Volume stick;
    stick.Type = platform::kDriveRemovable;
    // 4 GiB + 4 KiB free (wraps to 4 KiB in 32 bits), or 4 KiB.
    stick.Clusters = {8, 512, roomy ? 0x100001u : 1u, 0x200000u};
    disks.SimulateVolume(AppendBackslash(TDiskManager::DriveOfName(r.Archive())), stick);
    platform::ScopedPlatform use(disks);
    r.Run({"a.bin"});
    if (roomy) {
      EXPECT_TRUE(r.codes.empty());
      Archive a;
      EXPECT_TRUE(Parse(r.Bytes(), a));
    } else {
      EXPECT_EQ(r.codes, std::vector<int>{kErrEventNotAssigned});
      EXPECT_NE(r.messages.at(0).find("OnInsertDisk"), std::string::npos);
      EXPECT_FALSE(r.dir.Exists("out.zip"));
    }
  }
}

}  // namespace
}  // namespace vix::ziptest
