// Updating archives other tools made, built here record by record: names
// marked UTF-8, data descriptors of every form, a self-extractor's program
// before the entries, attributes of other hosts, encrypted entries, and
// Zip64 archives. Kept entries must come out byte for byte.
#include <gtest/gtest.h>

#include "archive/kvtNames.h"
#include "zip_test_support.h"

namespace vix::test {
namespace {

std::string Le(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

// One stored entry as another tool writes it.
struct Made {
  Made(std::string name, std::string data) : Name(std::move(name)), Data(std::move(data)) {}
  std::string Name, Data;
  uint16_t Flags = 0;
  uint16_t MadeBy = 20;  // upper byte: host
  uint32_t External = 0x20;
  uint32_t Date = 0x5A215C00;
  // The descriptor's form: "" none (flag clear), "12", "16", "20", "24" (its
  // length), "absent" (flag set, none written), "unknown" (16 other bytes).
  std::string Descriptor;
  std::string CentralExtra;
};

// A stored-method archive after `prefix`, offsets counted from the file's
// start (as a self-extractor's are once adjusted).
std::string MakeArchive(const std::vector<Made>& entries, const std::string& prefix = "",
                        const std::string& tail = "") {
  std::string out = prefix, dir;
  for (const Made& m : entries) {
    const uint32_t crc = Crc32(m.Data), size = static_cast<uint32_t>(m.Data.size());
    const bool descriptor = !m.Descriptor.empty();
    const uint16_t flags = m.Flags | (descriptor ? 8 : 0);
    const std::string sizes = Le(crc, 4) + Le(size, 4) + Le(size, 4);
    const std::string common = Le(20, 2) + Le(flags, 2) + Le(0, 2) + Le(m.Date, 4);
    const uint32_t offset = static_cast<uint32_t>(out.size());
    out += Le(0x04034B50, 4) + common + (descriptor ? std::string(12, '\0') : sizes) +
           Le(m.Name.size(), 2) + Le(0, 2) + m.Name + m.Data;
    if (m.Descriptor == "12") out += sizes;
    if (m.Descriptor == "16") out += Le(0x08074B50, 4) + sizes;
    if (m.Descriptor == "20") out += Le(crc, 4) + Le(size, 8) + Le(size, 8);
    if (m.Descriptor == "24") out += Le(0x08074B50, 4) + Le(crc, 4) + Le(size, 8) + Le(size, 8);
    if (m.Descriptor == "unknown") out += std::string(16, 'u');
    dir += Le(0x02014B50, 4) + Le(m.MadeBy, 2) + common + sizes + Le(m.Name.size(), 2) +
           Le(m.CentralExtra.size(), 2) + Le(0, 6) + Le(m.External, 4) + Le(offset, 4) +
           m.Name + m.CentralExtra;
  }
  return out + dir + Le(0x06054B50, 4) + Le(0, 4) + Le(entries.size(), 2) +
         Le(entries.size(), 2) + Le(dir.size(), 4) + Le(out.size(), 4) + Le(0, 2) + tail;
}

// Sets a file's time and returns the DOS stamp the search finds for it.
uint32_t Stamp(ZipRun& r, const std::string& name, int64_t unixSeconds) {
  auto& os = platform::Current();
  EXPECT_TRUE(os.SetLastWriteTime(r.dir.Join(name), unixSeconds));
  platform::FindData data;
  auto search = os.FindFirst(r.dir.Join(""), name);
  EXPECT_TRUE(search && search->Next(data));
  return data.Time;
}

TEST(ZipNames, OutsideTheOemPageStoredInUtf8MarkedAndRecognisedOnTheNextRun) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  const std::vector<std::string> utf8 = {u8"한국어.txt", u8"\U0001F600.txt", u8"café.txt"};
  const std::vector<std::string> oem = {u8"表.txt", u8"ソ.txt", u8"能.txt", "plain.txt"};
  for (const bool translate : {true, false}) {
    SCOPED_TRACE(translate);
    ZipRun r;
    for (const auto& n : utf8) r.dir.WriteFile(n, "u:" + n);
    for (const auto& n : oem) r.dir.WriteFile(n, "o:" + n);
    r.zip.TranslateOemChar = translate;
    r.zip.SetCompressMethod(cmStore);
    r.dir.WriteFile(u8"폴더/x.txt", "");
    r.zip.RecurseDirs = true;
    ASSERT_EQ(r.Run({"*.txt"}), 8);
    Archive a;
    ASSERT_TRUE(Parse(r.Bytes(), a));
    for (const auto& n : utf8) {
      const Entry* e = a.Find(n);
      ASSERT_NE(e, nullptr) << n;
      EXPECT_EQ(e->Flags() & 0x800, 0x800u);
      EXPECT_EQ(Le16(e->Local, 6) & 0x800, 0x800u);
      EXPECT_EQ(Le16(e->Central, 4), 0x0A14u);  // NTFS: unzip reads FAT names as OEM
      EXPECT_EQ(e->Data, "u:" + n);
    }
    const Entry* folderFile = a.Find(u8"폴더/x.txt");
    ASSERT_NE(folderFile, nullptr);
    EXPECT_EQ(folderFile->Flags(), 0x800u);  // empty: no other flag, the name's stays
    for (const auto& n : oem) {
      const std::string stored = translate ? platform::Utf8ToOem(n) : n;
      const Entry* e = a.Find(stored);
      ASSERT_NE(e, nullptr) << n;
      EXPECT_EQ(e->Flags() & 0x800, (translate || n == "plain.txt") ? 0u : 0x800u) << n;
      if (translate) {
        EXPECT_EQ(e->Central.substr(4, 2), std::string("\x14\0", 2));
      }
    }
    // The same run again finds every entry it wrote: nothing added.
    const std::string first = r.Bytes();
    EXPECT_EQ(r.Run({"*.txt"}), 0);
    EXPECT_EQ(r.Bytes(), first);
    EXPECT_TRUE(r.errors.Codes().empty()) << r.errors.Messages().at(0);
    // Delete by the real name.
    r.zip.Switch = swDelete;
    r.zip.SetFileSpec({u8"한국어.txt", u8"表.txt"});
    EXPECT_EQ(r.zip.Compress(), 2);
    ASSERT_TRUE(Parse(r.Bytes(), a));
    EXPECT_EQ(a.Entries.size(), 6u);
    EXPECT_EQ(a.Find(u8"한국어.txt"), nullptr);
  }
}

// Info-ZIP marks a name it stores in the local code page with a Unicode Path
// field; its CRC ties it to the stored name, so a field left behind by a
// rename is ignored.
TEST(ZipNames, UnicodePathFieldNamesTheEntryWhenItMatchesTheStoredName) {
  const std::string real = u8"한.txt", stored = "_.txt";
  auto field = [](const std::string& forName, const std::string& utf8) {
    const std::string body = std::string(1, '\1') + Le(Crc32(forName), 4) + utf8;
    return Le(0x7075, 2) + Le(body.size(), 2) + body;
  };
  Made marked{stored, "data one"};
  marked.CentralExtra = Le(0x5455, 2) + Le(1, 2) + "\3" + field(stored, real);
  Made stale{"b.txt", "data two"};
  stale.CentralExtra = field("old.txt", u8"다른.txt");
  Made flagged{u8"é.txt", "data three"};
  flagged.Flags = 0x800;
  ZipRun r;
  r.dir.WriteFile("out.zip", MakeArchive({marked, stale, flagged}));
  r.zip.Switch = swDelete;
  r.zip.SetFileSpec({real, "b.txt", u8"é.txt"});
  r.zip.SetArchiveFile(r.Archive());
  // All three found by their real names: the archive goes with them.
  EXPECT_EQ(r.zip.Compress(), 3);
  EXPECT_FALSE(r.dir.Exists("out.zip"));
}

// Every form a data descriptor takes, after every kind of entry before and
// after it: an update keeps each whole, and the offsets follow.
TEST(ZipForeign, DataDescriptorsOfEveryFormKeptWhole) {
  std::vector<Made> made;
  for (const std::string form : {"12", "16", "absent", "20", "24", ""}) {
    made.push_back({"d" + form + ".txt", std::string(50, 'd') + form});
    made.back().Descriptor = form;
  }
  ZipRun r;
  const std::string before = MakeArchive(made);
  r.dir.WriteFile("out.zip", before);
  r.dir.WriteFile("new.txt", "new");
  r.zip.SetCompressMethod(cmStore);
  ASSERT_EQ(r.Run({"new.txt"}), 1);
  EXPECT_TRUE(r.errors.Codes().empty());
  const std::string after = r.Bytes();
  Archive old, now;
  ASSERT_TRUE(Parse(before, old));
  ASSERT_TRUE(Parse(after, now));
  ASSERT_EQ(now.Entries.size(), 7u);
  // Everything before the new entry is the old entries, descriptors and all.
  EXPECT_EQ(after.substr(0, now.Entries[6].Offset), before.substr(0, old.Entries[5].Offset +
                                                                       old.Entries[5].Whole.size()));
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(now.Entries[i].Offset, old.Entries[i].Offset);

  // A descriptor of no known form is not dropped: the archive is refused.
  made.insert(made.begin() + 1, Made{"odd.txt", "odd"});
  made[1].Descriptor = "unknown";
  ZipRun u;
  const std::string odd = MakeArchive(made);
  u.dir.WriteFile("out.zip", odd);
  u.dir.WriteFile("new.txt", "new");
  EXPECT_EQ(u.Run({"new.txt"}), 0);
  EXPECT_EQ(u.Bytes(), odd);
  ASSERT_EQ(u.errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_NE(u.errors.Messages()[0].find("data descriptor"), std::string::npos) << u.errors.Messages()[0];
}

// A self-extractor: a program, then the archive with offsets counted from
// the start of the file. Adding and deleting keep the program.
TEST(ZipForeign, SelfExtractorProgramKeptOnAddAndDelete) {
  const std::string program = "MZ" + std::string(1000, '\x90') + "PK\x03\x04 not an entry";
  ZipRun r;
  const std::string before = MakeArchive({{"a.txt", "alpha"}, {"b.txt", "beta"}}, program);
  r.dir.WriteFile("out.zip", before);
  r.dir.WriteFile("c.txt", "gamma");
  r.zip.SetCompressMethod(cmStore);
  ASSERT_EQ(r.Run({"c.txt"}), 1);
  Archive a;
  ASSERT_TRUE(Parse(r.Bytes(), a));
  EXPECT_EQ(r.Bytes().substr(0, program.size()), program);
  ASSERT_EQ(a.Entries.size(), 3u);
  EXPECT_EQ(a.Entries[0].Offset, program.size());
  EXPECT_EQ(a.Entries[2].Data, "gamma");

  r.zip.Switch = swDelete;
  r.zip.SetFileSpec({"a.txt"});
  EXPECT_EQ(r.zip.Compress(), 1);
  ASSERT_TRUE(Parse(r.Bytes(), a));
  EXPECT_EQ(r.Bytes().substr(0, program.size()), program);
  ASSERT_EQ(a.Entries.size(), 2u);
  EXPECT_EQ(a.Entries[0].Offset, program.size());
  EXPECT_EQ(a.Entries[0].Data, "beta");
  EXPECT_TRUE(r.errors.Codes().empty());

  // Offsets not adjusted (the program only put in front): refused, saying so.
  ZipRun u;
  const std::string unadjusted = program + MakeArchive({{"a.txt", "alpha"}});
  u.dir.WriteFile("out.zip", unadjusted);
  u.dir.WriteFile("c.txt", "gamma");
  EXPECT_EQ(u.Run({"c.txt"}), 0);
  EXPECT_EQ(u.Bytes(), unadjusted);
  ASSERT_EQ(u.errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_NE(u.errors.Messages()[0].find("offsets were not adjusted"), std::string::npos);
}

// Entries of Unix hosts carry a mode in the high half of their attributes;
// an unchanged file is not rewritten for it. A Windows host's attributes
// count, but only those a Windows file has.
TEST(ZipForeign, UnchangedFilesOfOtherHostsAreNotRewritten) {
  ZipRun r;
  r.dir.WriteFile("unix.txt", "unix data");
  r.dir.WriteFile("win.txt", "windows data");
  r.dir.WriteFile("ro.txt", "was read-only");
  // 41 seconds past the minute: the search finds 40, a tool that rounds up
  // stored 42.
  const int64_t odd = 1600000001;
  Made unix{"unix.txt", "unix data"};
  unix.MadeBy = 0x031E;
  unix.External = 0x81ED0000;
  unix.Date = Stamp(r, "unix.txt", odd) + 1;
  Made win{"win.txt", "windows data"};
  win.MadeBy = 0x0A3F;
  win.External = 0x0020;
  win.Date = Stamp(r, "win.txt", odd - 1);
  Made readOnly{"ro.txt", "was read-only"};
  readOnly.MadeBy = 0x0014;
  readOnly.External = 0x21;
  readOnly.Date = Stamp(r, "ro.txt", odd - 1);
  const std::string before = MakeArchive({unix, win, readOnly});
  r.dir.WriteFile("out.zip", before);
  AnswerReplace(r.zip, true);
  EXPECT_EQ(r.Run({"*.txt"}), 1);  // only the one whose read-only bit went
  Archive old, now;
  ASSERT_TRUE(Parse(before, old));
  ASSERT_TRUE(Parse(r.Bytes(), now));
  EXPECT_EQ(now.Find("unix.txt")->Whole, old.Find("unix.txt")->Whole);
  EXPECT_EQ(now.Find("win.txt")->Whole, old.Find("win.txt")->Whole);
  EXPECT_EQ(now.Find("ro.txt")->External(), 0x20u);
  EXPECT_TRUE(r.errors.Codes().empty());
}

// A changed file whose entry is encrypted is not stored in plaintext by a
// run without a password: reported, the entry kept. With one it is replaced.
TEST(ZipForeign, EncryptedEntryIsNotReplacedByPlaintext) {
  ZipRun r;
  r.dir.WriteFile("secret.txt", "new plain content");
  Made secret{"secret.txt", std::string(12, 'h') + "ciphertext"};
  secret.Flags = 1;
  const std::string before = MakeArchive({secret});
  r.dir.WriteFile("out.zip", before);
  AnswerReplace(r.zip, true);
  EXPECT_EQ(r.Run({"secret.txt"}), 0);
  EXPECT_EQ(r.Bytes(), before);
  ASSERT_EQ(r.errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_NE(r.errors.Messages()[0].find("secret.txt"), std::string::npos);
  EXPECT_NE(r.errors.Messages()[0].find("encrypted"), std::string::npos);

  r.errors.Clear();
  r.zip.Password = "pw";
  EXPECT_EQ(r.Run({"secret.txt"}), 1);
  Archive now;
  ASSERT_TRUE(Parse(r.Bytes(), now));
  EXPECT_EQ(now.Find("secret.txt")->Size(), 17u);
  EXPECT_EQ(now.Find("secret.txt")->Flags() & 1, 1u);
  EXPECT_TRUE(r.errors.Codes().empty());
}

// A Zip64 end record holds 0xFFFF... where the counts and offsets would be;
// an update reads the directory from the Zip64 end record. One whose
// locator points at no Zip64 end record is refused, and stays as it was.
TEST(ZipForeign, Zip64ArchiveIsUpdatedAndABrokenLocatorRefused) {
  const std::string plain = MakeArchive({{"a.txt", "alpha"}});
  const size_t end = plain.size() - 22;
  const uint32_t dirSize = Le32(plain, end + 12), dirOffset = Le32(plain, end + 16);
  const std::string zip64End = Le(0x06064B50, 4) + Le(44, 8) + Le(45, 2) + Le(45, 2) +
                               Le(0, 8) + Le(1, 8) + Le(1, 8) + Le(dirSize, 8) +
                               Le(dirOffset, 8);
  auto withLocatorAt = [&](uint64_t at) {
    const std::string locator = Le(0x07064B50, 4) + Le(0, 4) + Le(at, 8) + Le(1, 4);
    return plain.substr(0, end) + zip64End + locator + Le(0x06054B50, 4) + Le(0, 4) +
           Le(0xFFFF, 2) + Le(0xFFFF, 2) + Le(0xFFFFFFFF, 4) + Le(0xFFFFFFFF, 4) + Le(0, 2);
  };
  ZipRun r;
  r.dir.WriteFile("out.zip", withLocatorAt(end));
  r.dir.WriteFile("b.txt", "beta");
  EXPECT_EQ(r.Run({"b.txt"}), 1);
  EXPECT_TRUE(r.errors.Empty()) << ::testing::PrintToString(r.errors.Messages());
  Archive updated;
  ASSERT_TRUE(Parse(r.Bytes(), updated));
  ASSERT_NE(updated.Find("a.txt"), nullptr);
  ASSERT_NE(updated.Find("b.txt"), nullptr);
  EXPECT_EQ(updated.Find("a.txt")->Size(), 5u);

  const std::string broken = withLocatorAt(end - 4);
  r.dir.WriteFile("out.zip", broken);
  r.errors.Clear();
  EXPECT_EQ(r.Run({"b.txt"}), 0);
  EXPECT_EQ(r.Bytes(), broken);
  ASSERT_EQ(r.errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_NE(r.errors.Messages()[0].find("Zip64 end record"), std::string::npos) << r.errors.Messages()[0];
}

}  // namespace
}  // namespace vix::test
