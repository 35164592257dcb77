// New ZIP archives: header fields against the record tables, the method
// choice, folders, names, encryption, and inputs that fail or shrink.
#include <gtest/gtest.h>


#include "archive/kvtDiskMan.h"
#include "archive/kvtNames.h"
#include "support/fault_platform.h"
#include "support/test_data.h"
#include "zip_test_support.h"

namespace vix::test {
namespace {

// What every entry of this writer carries, and what the local header and
// the central record must agree on.
void ExpectCommonFields(const Entry& e, const std::string& source) {
  SCOPED_TRACE(e.Name);
  EXPECT_EQ(Le16(e.Local, 4), 20u);
  EXPECT_EQ(Le32(e.Central, 4), 20u | 20u << 16);  // made by 2.0 on MS-DOS, needs 2.0
  EXPECT_EQ(e.Local.substr(6, 20), e.Central.substr(8, 20));  // flags .. sizes
  EXPECT_EQ(Le32(e.Local, 26), e.Name.size());          // and no extra field
  EXPECT_EQ(e.Central.substr(30, 6), std::string(6, 0));  // no extra, comment, disk
  EXPECT_EQ(Le16(e.Central, 36), 1u);
  EXPECT_EQ(e.Size(), source.size());
  EXPECT_EQ(e.Crc(), source.empty() ? 0 : Crc32(source));
  if (e.Method() == 0 && !(e.Flags() & 1)) {
    EXPECT_EQ(e.Data, source);
  }
}

class ZipDeflateTypes : public ::testing::TestWithParam<TDeflateType> {};

TEST_P(ZipDeflateTypes, FieldsFlagsAndMethodOfEachKindOfFile) {
  const uint32_t levelBits = std::vector<uint32_t>{6, 4, 0, 2}[GetParam()];
  ZipRun r;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"text.txt", Words(5000, 1)}, {"noise.bin", Noise(20000, 7)}, {"empty.dat", ""},
      {"inner.ZIP", Words(4000, 1)}, {"prog.exe", Words(4000, 1)}, {"sub/deeper/leaf.txt", Words(70000, 1)}};
  for (const auto& f : files) r.dir.WriteFile(f.first, f.second);
  r.zip.SetDeflateType(GetParam());
  r.zip.RecurseDirs = true;
  std::vector<uint32_t> reported;
  r.zip.OnRead = [&](TCompBase&, uint32_t offset, int) { reported.push_back(offset); };
  ASSERT_EQ(r.Run({"*"}), 6);
  EXPECT_TRUE(r.errors.Codes().empty());

  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  std::vector<uint32_t> offsets;
  for (const auto& f : files) {
    const Entry* e = a.Find(f.first);
    ASSERT_NE(e, nullptr) << f.first;
    ExpectCommonFields(*e, f.second);
    EXPECT_EQ(e->External(), platform::Current().GetAttributes(r.dir.Join(f.first)));
    offsets.push_back(e->Offset);
  }
  for (const char* name : {"text.txt", "prog.exe", "sub/deeper/leaf.txt"})
    EXPECT_EQ(a.Find(name)->Flags() << 16 | a.Find(name)->Method(), levelBits << 16 | 8) << name;
  // Noise does not shrink: the engine stores it and the level bits stay.
  EXPECT_EQ(a.Find("noise.bin")->Flags() << 16 | a.Find("noise.bin")->Method(), levelBits << 16);
  // An already-compressed extension (not .EXE) is stored without deflating.
  EXPECT_EQ(a.Find("inner.ZIP")->Flags() << 16 | a.Find("inner.ZIP")->Method(), 0u);
  EXPECT_EQ(a.Find("empty.dat")->Flags() << 16 | a.Find("empty.dat")->Packed(), 0u);
  // OnRead reports each new entry after the commit, at its local header.
  std::sort(offsets.begin(), offsets.end());
  EXPECT_EQ(reported, offsets);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, ZipDeflateTypes,
                         ::testing::Values(dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX));

TEST(ZipWriter, CompressedExtensionsAreDeflatedWhenAskedTo) {
  ZipRun r;
  r.dir.WriteFile("inner.zip", Words(4000, 1));
  r.zip.StoreAlreadyCompressedFiles = false;
  ASSERT_EQ(r.Run({"*"}), 1);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  EXPECT_EQ(a.Entries.at(0).Method(), 8u);
}

TEST(ZipWriter, EmptyFoldersGetSlashEntriesAndFullFoldersNone) {
  ZipRun r;
  r.dir.WriteFile("tree/full/x.txt", "x");
  r.dir.MakeDir("tree/void");
  r.zip.StoreEmptySubDirs = r.zip.RecurseDirs = true;
  r.zip.FileAttribute().SetftDirectory(true);
  r.zip.StoredDirNames = sdRelativeStoreStart;
  ASSERT_EQ(r.Run({"tree/*"}), 2);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  ASSERT_EQ(a.Entries.size(), 2u);
  ASSERT_NE(a.Find("tree/full/x.txt"), nullptr);
  ASSERT_NE(a.Find("tree/void/"), nullptr);
  EXPECT_EQ(a.Find("tree/void/")->External(), 0x30u);
  ExpectCommonFields(*a.Find("tree/void/"), "");
}

// A folder that carries more than the folder bit (read-only and archive
// here, as Windows folders may) is still a folder entry, and an update finds
// it again instead of adding it once more. Each folder has its own line, as
// the compress job gives them.
TEST(ZipWriter, FoldersWithMoreAttributesAreFolderEntriesOnce) {
  FaultPlatform os;
  os.MarkFolders(platform::kAttrReadOnly | platform::kAttrArchive);
  platform::ScopedPlatform use(os);
  ZipRun r;
  r.dir.WriteFile("tree/full/x.txt", "x");
  r.dir.MakeDir("tree/void");
  r.zip.StoreEmptySubDirs = true;
  r.zip.FileAttribute().SetftDirectory(true);
  r.zip.StoredDirNames = sdRelativeStoreStart;  // each line's folder leads its names
  ASSERT_EQ(r.Run({"tree/*", "tree/full/*", "tree/void/*"}), 2);
  EXPECT_TRUE(r.errors.Codes().empty());
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  ASSERT_EQ(a.Entries.size(), 2u);
  ASSERT_NE(a.Find("tree/void/"), nullptr);
  EXPECT_EQ(a.Find("tree/void/")->External(), 0x30u);
  ASSERT_NE(a.Find("full/x.txt"), nullptr);
  const std::string before = r.Bytes();
  EXPECT_EQ(r.Run({"tree/*", "tree/full/*", "tree/void/*"}), 0);
  EXPECT_TRUE(r.errors.Codes().empty());
  EXPECT_EQ(r.Bytes(), before);
}

// The end record counts entries in 16 bits: an archive of more entries
// gets a Zip64 end record and locator, which hold the count in 64 bits.
TEST(ZipWriter, MoreThan65535EntriesGetAZip64EndRecord) {
#ifdef _WIN32
  GTEST_SKIP() << "65536 files take minutes under Wine";
#endif
  ZipRun r;
  for (int i = 0; i < 65536; ++i) r.dir.WriteFile("many/" + std::to_string(i), "");
  EXPECT_EQ(r.Run({"many/*"}), 65536);
  EXPECT_TRUE(r.errors.Empty());
  const std::string zip = r.Bytes();
  ASSERT_GT(zip.size(), 22u + 20u + 56u);
  const size_t end = zip.size() - 22, locator = end - 20, record = locator - 56;
  EXPECT_EQ(Le32(zip, end), 0x06054B50u);
  EXPECT_EQ(Le32(zip, end + 8), 0xFFFFFFFFu);  // both 16-bit counts all ones
  EXPECT_EQ(Le32(zip, locator), 0x07064B50u);
  EXPECT_EQ(Le32(zip, locator + 8), record);
  EXPECT_EQ(Le32(zip, record), 0x06064B50u);
  EXPECT_EQ(Le32(zip, record + 32), 65536u);  // entries in total
  const uint32_t dirOffset = Le32(zip, record + 48);
  EXPECT_EQ(Le32(zip, dirOffset), 0x02014B50u);
  EXPECT_EQ(Le32(zip, end + 16), dirOffset) << "an offset that fits stays in the end record";
}

TEST(ZipWriter, NamesAreStoredInCodePage932) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  ZipRun r;
  r.dir.WriteFile(u8"日本/データ.txt", "data");
  r.zip.RecurseDirs = true;
  ASSERT_EQ(r.Run({"*"}), 1);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  EXPECT_EQ(a.Entries.at(0).Name, "\x93\xFA\x96\x7B/\x83\x66\x81\x5B\x83\x5E.txt");
}

TEST(ZipEncryption, EntriesCarryCheckBytesAndDecryptWithThePassword) {
  ZipRun r;
  const std::string stored = Words(40000, 1), deflated = Words(9000, 1);
  r.dir.WriteFile("a.lzh", stored);
  r.dir.WriteFile("b.txt", deflated);
  r.dir.WriteFile("c.txt", deflated);
  r.dir.WriteFile("empty.txt", "");
  r.zip.Password = "Secret";
  ASSERT_EQ(r.Run({"*"}), 4);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  auto decrypt = [](const std::string& data) {
    InitCipherKeys("Secret");
    std::string plain;
    for (unsigned char c : data) plain += static_cast<char>(DecryptByte(c));
    return plain;
  };
  const Entry& s = *a.Find("a.lzh");
  EXPECT_EQ(s.Flags(), 1u);
  EXPECT_EQ(s.Packed(), stored.size() + 12);
  const std::string plain = decrypt(s.Data);
  EXPECT_EQ(Le16(plain, 10), Crc32(stored) >> 16);
  EXPECT_EQ(plain.substr(12), stored);

  const Entry& b = *a.Find("b.txt");
  EXPECT_EQ(b.Flags() << 16 | b.Method(), 1u << 16 | 8);  // dtDeflateN adds no level bits
  EXPECT_EQ(Le16(decrypt(b.Data.substr(0, 12)), 10), Crc32(deflated) >> 16);
  // Same data, fresh random header bytes: the ciphertexts differ.
  EXPECT_NE(b.Data.substr(0, 10), a.Find("c.txt")->Data.substr(0, 10));
  EXPECT_EQ(a.Find("empty.txt")->Flags() << 16 | a.Find("empty.txt")->Packed(), 0u);
}

struct ReadFault {
  const char* what;
  bool encrypt, error, deflate;
  int fromPass;
  bool kept;  // written whole
};

class ZipReadFaults : public ::testing::TestWithParam<ReadFault> {};

TEST_P(ZipReadFaults, EntryIsReportedAndLeftOutUnlessReadWhole) {
  const ReadFault& f = GetParam();
  ZipRun r;
  const std::string data = Words(100000, 1);
  r.dir.WriteFile("a.txt", "before");
  r.dir.WriteFile("b.txt", data);
  r.dir.WriteFile("c.txt", "after");
  FaultPlatform reads;
  reads.CutReads("b.txt", 40000, f.error, f.fromPass);
  platform::ScopedPlatform use(reads);
  if (f.encrypt) r.zip.Password = "pw";
  r.zip.SetCompressMethod(f.deflate ? cmDeflate : cmStore);
  EXPECT_EQ(r.Run({"*.txt"}), f.kept ? 3 : 2);

  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  ASSERT_NE(a.Find("a.txt"), nullptr);
  ASSERT_NE(a.Find("c.txt"), nullptr);
  if (f.kept) {
    EXPECT_TRUE(r.errors.Codes().empty());
    ExpectCommonFields(*a.Find("b.txt"), data);
  } else {
    EXPECT_EQ(a.Find("b.txt"), nullptr);
    EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrOpen});
    EXPECT_NE(r.errors.Messages().at(0).find("b.txt"), std::string::npos) << r.errors.Messages()[0];
    // Nothing of the dropped entry stays between its neighbours.
    EXPECT_EQ(a.Find("c.txt")->Offset, a.Find("a.txt")->Whole.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZipReadFaults,
    ::testing::Values(ReadFault{"ReadErrorStored", false, true, false, 1, false},
                      ReadFault{"ReadErrorDeflated", false, true, true, 1, false},
                      // A file that shrank while it was read would be stored torn.
                      ReadFault{"ShrankStored", false, false, false, 1, false},
                      ReadFault{"ShrankDeflated", false, false, true, 1, false},
                      ReadFault{"ShrankEncryptedStored", true, false, false, 2, false},
                      ReadFault{"UnencryptedIsReadOnce", false, false, true, 2, true},
                      ReadFault{"EncryptedShortForCrc", true, false, true, 1, false},
                      ReadFault{"EncryptedChangedAfterCrc", true, false, false, 2, false}),
    [](const auto& info) { return std::string(info.param.what); });

// A file changed by someone else while it is being read, for every method:
// one that shrinks is reported by name and left out (an entry would hold a
// torn file); one that grows is stored with the size it had when opened.
TEST(ZipWriter, FileChangedWhileReadShrunkLeftOutGrownStoredAsOpened) {
#ifdef _WIN32
  GTEST_SKIP() << "an input is opened without write sharing: nobody can change it meanwhile";
#endif
  const std::string data = Words(300000, 1);
  for (const bool grow : {false, true}) {
    for (const int kind : {0, 1, 2}) {  // store, deflate, store with a password
      SCOPED_TRACE(std::string(grow ? "grows" : "shrinks") + " " + std::to_string(kind));
      ZipRun r;
      r.dir.WriteFile("a.txt", "before");
      r.dir.WriteFile("b.txt", data);
      r.dir.WriteFile("c.txt", "after");
      r.zip.SetCompressMethod(kind == 1 ? cmDeflate : cmStore);
      if (kind == 2) r.zip.Password = "pw";
      // The change has to land while the writer's own thread reads: workers
      // may have read the whole file before the progress that changes it.
      r.zip.Threads = 1;
      bool changed = false;
      r.zip.OnProgress = [&](TCompBase& z, uint8_t byFile, uint8_t) {
        if (changed || z.CurrentFileName != "b.txt" || byFile == 0 || byFile == 100) return;
        changed = true;
        r.dir.WriteFile("b.txt", grow ? data + Words(5000, 1) : data.substr(0, 1000));
      };
      EXPECT_EQ(r.Run({"*.txt"}), grow ? 3 : 2);
      EXPECT_TRUE(changed);
      Archive a;
      ASSERT_TRUE(Parse(r.Bytes(), a));
      if (grow) {
        ASSERT_NE(a.Find("b.txt"), nullptr);
        ExpectCommonFields(*a.Find("b.txt"), data);
        EXPECT_TRUE(r.errors.Codes().empty());
      } else {
        EXPECT_EQ(a.Find("b.txt"), nullptr);
        ASSERT_EQ(r.errors.Codes(), std::vector<int>{kErrOpen});
        EXPECT_NE(r.errors.Messages()[0].find("b.txt"), std::string::npos);
        EXPECT_EQ(a.Find("c.txt")->Offset, a.Find("a.txt")->Whole.size());
      }
    }
  }
}

// The deflate engine's other endings reach the archive as they should: a
// full disk while an entry is deflated or stored is reported with the
// system's reason and leaves no archive, and neither does a cancel
// part-way through an entry.
TEST(ZipWriter, FullDiskOrCancelWhileWritingDataLeavesNoArchive) {
  for (const bool deflate : {true, false}) {
    SCOPED_TRACE(deflate ? "deflated" : "stored");
    ZipRun r;
    r.dir.WriteFile("a.txt", "before");
    r.dir.WriteFile("b.bin", Noise(300000, 1));
    test::FaultPlatform disk;
    disk.DiskFullAfter(100000);
    platform::ScopedPlatform use(disk);
    r.zip.SetCompressMethod(deflate ? cmDeflate : cmStore);
    try {
      r.Run({"*"});
    } catch (const E_RAISE&) {
    }
    ASSERT_FALSE(r.errors.Codes().empty());
    EXPECT_EQ(r.errors.Codes()[0], kErrWrite);
    // First the entry, with the reason the output gave; the run then ends
    // on the archive itself.
    EXPECT_EQ(r.errors.Messages()[0].rfind("b.bin: " + MessageText(kErrWrite) + ": ", 0), 0u)
        << r.errors.Messages()[0];
    EXPECT_NE(r.errors.Messages()[0].find("Simulated fault"), std::string::npos) << r.errors.Messages()[0];
    EXPECT_FALSE(r.dir.Exists("out.zip"));
  }
  {
    ZipRun r;
    r.dir.WriteFile("b.txt", Words(3000000, 1));
    int reports = 0;
    r.zip.OnProgress = [&](TCompBase& z, uint8_t byFile, uint8_t) {
      if (byFile > 0 && ++reports == 2) z.SetCancel(true);
    };
    r.Run({"*"});
    EXPECT_EQ(reports, 2) << "the entry went on after the cancel";
    EXPECT_FALSE(r.dir.Exists("out.zip"));
  }
}

// A removable disk too small for the archive asks for spanned output, which
// without a handler is reported; a large one whose 32-bit byte count wraps
// to a small number still takes the archive whole.
TEST(ZipWriter, RemovableDiskWithoutRoomAsksForOnInsertDisk) {
  for (const uint32_t freeClusters : {1u, 0x100001u}) {  // 4 KiB; 4 GiB + 4 KiB
    ZipRun r;
    r.dir.WriteFile("a.bin", Noise(20000, 7));
    FaultPlatform disks;
    FaultPlatform::Volume stick;
    stick.Type = platform::kDriveRemovable;
    stick.Clusters = {8, 512, freeClusters, 0x200000u};
    disks.SimulateVolume(AppendBackslash(TDiskManager::DriveOfName(r.Archive())), stick);
    platform::ScopedPlatform use(disks);
    r.Run({"a.bin"});
    if (freeClusters > 1) {
      EXPECT_TRUE(r.errors.Codes().empty());
      EXPECT_TRUE(r.dir.Exists("out.zip"));
    } else {
      EXPECT_EQ(r.errors.Codes(), std::vector<int>{kErrEventNotAssigned});
      EXPECT_NE(r.errors.Messages().at(0).find("OnInsertDisk"), std::string::npos);
      EXPECT_FALSE(r.dir.Exists("out.zip"));
    }
  }
}

}  // namespace
}  // namespace vix::test
