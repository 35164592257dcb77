// The GZIP writer: member layout, one output per input, existing outputs,
// the complete member for an empty file, and the TAR-GZIP step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "archive/kvtErrors.h"
#include "archive/kvtNames.h"
#include "engines/deflate_test_inflater.h"
#include "support/fault_platform.h"
#include "support/files.h"
#include "support/reference.h"
#include "support/scoped_env.h"
#include "support/test_data.h"
#include "support/writer_run.h"
#include "writers/kvtGZip.h"
#include "writers/kvtTar.h"

namespace vix {
namespace {

using namespace vix::test;

struct Member {
  uint8_t Flags = 0;
  uint32_t MTime = 0;
  std::string Name;
  Bytes Data;
  uint32_t Crc = 0, Size = 0;
};

// Reads one member as RFC 1952 lays it out; the data through the test inflater.
Member ReadMember(const Bytes& file) {
  Member m;
  EXPECT_GE(file.size(), 18u);
  if (file.size() < 18) return m;
  EXPECT_EQ(file[0], 0x1F);
  EXPECT_EQ(file[1], 0x8B);
  EXPECT_EQ(file[2], 8);
  m.Flags = file[3];
  m.MTime = Le32(file, 4);
  EXPECT_EQ(file[8], 0);
  EXPECT_EQ(file[9], 0);
  size_t pos = 10;
  if (m.Flags & 8) {
    while (pos < file.size() && file[pos] != 0) m.Name.push_back(static_cast<char>(file[pos++]));
    ++pos;
  }
  const Inflated body = TestInflater::Run(file.data() + pos, file.size() - pos);
  m.Data = body.Data;
  pos += body.BytesUsed;
  EXPECT_EQ(file.size(), pos + 8) << "trailer";
  if (file.size() >= pos + 8) {
    m.Crc = Le32(file, pos);
    m.Size = Le32(file, pos + 4);
  }
  return m;
}

class GZipWriter : public test::WriterTest<TGZip> {};

TEST_F(GZipWriter, MemberLayoutAndTrailer) {
  const Bytes data = Repeats<Bytes>(200000, "gzip member ", 5000);
  WriteFile(dir / "in" / "data.txt", data);
  std::filesystem::create_directories(dir / "out");
  ASSERT_EQ(Run({dir / "in" / "data.txt"}, dir / "out" / "x.gz"), 1);
  const Bytes file = ReadFile(dir / "out" / "data.txt.gz");
  const Member m = ReadMember(file);
  EXPECT_EQ(m.Flags, 8);
  EXPECT_EQ(m.Name, "data.txt");  // the stored name (relative to the spec's folder)
  EXPECT_LE(std::llabs(static_cast<long long>(m.MTime) - UnixMTime(dir / "in" / "data.txt")), 2);
  EXPECT_LE(std::llabs(static_cast<long long>(m.MTime) - UnixMTime(dir / "out" / "data.txt.gz")), 1)
      << "the output carries the input's date";
  EXPECT_EQ(m.Data, data);
  EXPECT_EQ(m.Crc, test::ReferenceCrc32(data));
  EXPECT_EQ(m.Size, data.size());
  EXPECT_LT(file.size(), data.size() / 4);
  EXPECT_TRUE(errors.Codes().empty());
}

TEST_F(GZipWriter, EmptyFileIsACompleteMember) {
  WriteFile(dir / "empty.dat", Bytes{});
  ASSERT_EQ(Run({dir / "empty.dat"}, dir / "e.gz"), 1);
  const Bytes file = ReadFile(dir / "empty.dat.gz");
  ASSERT_EQ(file.size(), 20u);
  EXPECT_EQ(file[3], 0);  // no name for an empty input
  EXPECT_EQ(file[10], 0x03);
  EXPECT_EQ(file[11], 0x00);
  for (size_t i = 12; i < 20; ++i) EXPECT_EQ(file[i], 0);
  const Member m = ReadMember(file);
  EXPECT_TRUE(m.Data.empty());
}

TEST_F(GZipWriter, OneOutputPerInputInTheArchivesFolder) {
  WriteFile(dir / "src" / "a.txt", "aaaa");
  WriteFile(dir / "src" / "b.txt", "bbbbbbbb");
  std::filesystem::create_directories(dir / "out");
  std::vector<std::string> begun;
  ASSERT_EQ(Run({dir / "src" / "*.txt"}, dir / "out" / "whatever.gz",
                [&](TGZip& g) {
                  g.OnBegin = [&](TCompBase&, const std::string& name, int, bool&) {
                    begun.push_back(name);
                  };
                }),
            2);
  EXPECT_EQ(ReadMember(ReadFile(dir / "out" / "a.txt.gz")).Data, Bytes({'a', 'a', 'a', 'a'}));
  EXPECT_EQ(ReadMember(ReadFile(dir / "out" / "b.txt.gz")).Name, "b.txt");
  EXPECT_FALSE(Exists(dir / "out" / "whatever.gz"));
  ASSERT_EQ(begun.size(), 2u);
  EXPECT_EQ(ExtractFileName(begun[0]).size(), 8u);  // x.txt.gz
}

TEST_F(GZipWriter, ExistingOutputNeedsOnFileExists) {
  WriteFile(dir / "a.txt", "new content");
  WriteFile(dir / "a.txt.gz", "old");
  EXPECT_EQ(Run({dir / "a.txt"}, dir / "a.gz"), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrEventNotAssigned});
  EXPECT_NE(errors.Messages()[0].find("a.txt.gz: the file exists and no OnFileExists handler"),
            std::string::npos)
      << errors.Messages()[0];
  EXPECT_EQ(ReadFile(dir / "a.txt.gz"), Bytes({'o', 'l', 'd'}));

  int asked = 0;
  EXPECT_EQ(Run({dir / "a.txt"}, dir / "a.gz", [&](TGZip& g) {
              g.OnFileExists = [&](TCompBase&, const std::string&, TDateTime, int& mode) {
                ++asked;
                mode = 1;  // keep it
              };
            }),
            0);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(ReadFile(dir / "a.txt.gz").size(), 3u);

  EXPECT_EQ(Run({dir / "a.txt"}, dir / "a.gz", [&](TGZip& g) {
              g.OnFileExists = [&](TCompBase&, const std::string&, TDateTime, int& mode) { mode = 0; };
            }),
            1);
  EXPECT_EQ(ReadMember(ReadFile(dir / "a.txt.gz")).Data.size(), 11u);
}

// A cancel mid-file keeps nothing of the member: no partial output, the old
// output untouched, and under swMove the source stays.
TEST_F(GZipWriter, CancelMidFileLeavesOutputAndSourceAsTheyWere) {
  Bytes big(3 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  WriteFile(dir / "big.bin", big);
  WriteFile(dir / "big.bin.gz", "old");
  EXPECT_EQ(Run({dir / "big.bin"}, dir / "x.gz", [&](TGZip& g) {
              g.Switch = swMove;
              g.OnFileExists = [](TCompBase&, const std::string&, TDateTime, int& mode) {
                mode = 0;
              };
              g.OnProgress = [](TCompBase& s, uint8_t byFile, uint8_t) {
                if (byFile >= 30) s.SetCancel(true);
              };
            }),
            0);
  EXPECT_EQ(ReadFile(dir / "big.bin.gz"), Bytes({'o', 'l', 'd'}));
  EXPECT_EQ(ReadFile(dir / "big.bin"), big);
  std::vector<std::string> left;
  auto search = platform::Current().FindFirst(dir.Path(), "kvt*");
  for (platform::FindData d; search && search->Next(d);) left.push_back(d.Name);
  EXPECT_TRUE(left.empty());
}

// A source whose read fails part-way is reported and leaves nothing: the
// old output and, under swMove, the source stay. A source that ends early
// gets a member of what was read, trailer included.
TEST_F(GZipWriter, ReadFaultsLeaveNothingOrRecordWhatWasRead) {
  Bytes data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>("gzip text "[i % 10]);
  WriteFile(dir / "b.txt", data);
  WriteFile(dir / "b.txt.gz", "old");
  auto overwrite = [](TGZip& g) {
    g.Switch = swMove;
    g.DeleteOptions = doFinal;
    g.OnFileExists = [](TCompBase&, const std::string&, TDateTime, int& mode) { mode = 0; };
  };
  {
    test::FaultPlatform os;
    os.CutReads("b.txt", 40000, true);
    platform::ScopedPlatform use(os);
    EXPECT_EQ(Run({dir / "b.txt"}, dir / "x.gz", overwrite), 0);
  }
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrOpen});
  EXPECT_EQ(ReadFile(dir / "b.txt.gz"), Bytes({'o', 'l', 'd'}));
  EXPECT_EQ(ReadFile(dir / "b.txt"), data);

  errors.Clear();
  {
    test::FaultPlatform os;
    os.CutReads("b.txt", 40000, false);
    platform::ScopedPlatform use(os);
    EXPECT_EQ(Run({dir / "b.txt"}, dir / "x.gz", overwrite), 1);
  }
  EXPECT_TRUE(errors.Codes().empty());
  const Bytes read(data.begin(), data.begin() + 40000);
  const Member m = ReadMember(ReadFile(dir / "b.txt.gz"));
  EXPECT_EQ(m.Data, read);
  EXPECT_EQ(m.Size, 40000u);
  EXPECT_EQ(m.Crc, test::ReferenceCrc32(read));
}

// A full disk ends the run; OnError hears of it and no output is left.
TEST_F(GZipWriter, AFullDiskIsReported) {
  const Bytes data = Noise<Bytes>(300000, 7);  // stays 300000 bytes packed
  WriteFile(dir / "c.bin", data);
  {
    test::FaultPlatform os;
    os.DiskFullAfter(50000);
    platform::ScopedPlatform use(os);
    EXPECT_EQ(Run({dir / "c.bin"}, dir / "x.gz"), 0);
  }
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  ASSERT_EQ(errors.Messages().size(), 1u);
  // The output being written and why, not the input with no reason.
  const std::string message = errors.Messages()[0];
  EXPECT_EQ(message.rfind(dir / "c.bin.gz: Error writing to file: ", 0), 0u) << message;
  EXPECT_NE(message.find(dir / "kvt"), std::string::npos) << message;
  EXPECT_GT(message.size(), message.rfind(".tmp: ") + 6) << "a reason: " << message;
  EXPECT_FALSE(Exists(dir / "c.bin.gz"));
  EXPECT_EQ(ReadFile(dir / "c.bin"), data);
}

// The TAR writer hands its finished archive to the GZIP writer: x.tgz
// becomes x.tgz.gz holding the TAR bytes, and the TAR file goes for good
// (not into the trash).
TEST(TarGzipStep, CommittedTarBecomesAGzipFile) {
  test::TempDir dir;
#ifndef _WIN32
  const std::string trash = dir / "trash";
  test::ScopedEnv data("XDG_DATA_HOME", trash.c_str());
#endif
  WriteFile(dir / "src" / "a.txt", "alpha alpha alpha");
  WriteFile(dir / "src" / "b.bin", Bytes(100000, 0x42));
  TTar tar(nullptr);
  ErrorLog errors;
  errors.Attach(tar);
  tar.SetCompressMethod(cmGzipTar);
  tar.SetFileSpec({dir / "src" / "*"});
  tar.SetArchiveFile(dir / "x.tgz");
  int ends = 0;
  tar.OnEnd = [&](TCompBase&, const std::string&, bool pass) { ends += pass; };
  EXPECT_EQ(tar.Compress(), 2);
  EXPECT_TRUE(errors.Codes().empty());
  EXPECT_FALSE(Exists(dir / "x.tgz"));
  ASSERT_TRUE(Exists(dir / "x.tgz.gz"));
  EXPECT_EQ(ends, 3);  // two TAR entries and the GZIP member
  const Member m = ReadMember(ReadFile(dir / "x.tgz.gz"));
  EXPECT_EQ(m.Name, "x.tgz");
  ASSERT_EQ(m.Data.size() % 10240, 0u);
  const std::string first(reinterpret_cast<const char*>(m.Data.data()));
  EXPECT_EQ(ExtractFileName(first, platform::kPosixStyle).size(), 5u);
  EXPECT_EQ(m.Data[257], 'u');
#ifndef _WIN32
  EXPECT_FALSE(Exists(dir / "trash" / "Trash" / "files" / "x.tgz"));
#endif
}

// Files of the run ("kvt...") left in a folder.
std::vector<std::string> RunFilesLeft(const std::string& folder) {
  std::vector<std::string> left;
  auto search = platform::Current().FindFirst(folder, "kvt*");
  for (platform::FindData d; search && search->Next(d);) left.push_back(d.Name);
  return left;
}

class TarGzip : public test::WriterTest<TTar> {
 protected:
  void SetUp() override {
    WriteFile(dir / "src" / "a.txt", "alpha alpha alpha");
    WriteFile(dir / "src" / "b.bin", Bytes(100000, 0x42));
    Prepare = [](TTar& t) { t.SetCompressMethod(cmGzipTar); };
  }
  int Run(const std::string& archive, const std::function<void(TTar&)>& setup = nullptr) {
    return WriterTest::Run({dir / "src" / "*"}, archive, setup);
  }
};

// The TAR data never goes under a name of the user's: an x.tgz of theirs (a
// TAR archive, so its entries are kept) stays as it was, and nothing but
// x.tgz.gz is left.
TEST_F(TarGzip, AUsersFileUnderTheTarNameStays) {
  WriteFile(dir / "old" / "kept.txt", "kept");
  {
    TTar tar(nullptr);
    tar.SetFileSpec({dir / "old" / "kept.txt"});
    tar.SetArchiveFile(dir / "x.tgz");
    ASSERT_EQ(tar.Compress(), 1);
  }
  const Bytes users = ReadFile(dir / "x.tgz");
  EXPECT_EQ(Run(dir / "x.tgz"), 2);
  EXPECT_TRUE(errors.Codes().empty());
  EXPECT_EQ(ReadFile(dir / "x.tgz"), users);
  const Member m = ReadMember(ReadFile(dir / "x.tgz.gz"));
  EXPECT_EQ(m.Name, "x.tgz");
  ASSERT_GE(m.Data.size(), 3u * 512);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Data.data())), "kept.txt");
  EXPECT_TRUE(RunFilesLeft(dir.Path()).empty());
}

// A cancel in the GZIP step or a failure there leaves no file behind and an
// old x.tgz.gz byte for byte.
TEST_F(TarGzip, CancelOrFailureInTheGzipStepLeavesNothing) {
  WriteFile(dir / "x.tgz.gz", "old");
  const Bytes noise = Noise<Bytes>(400000, 3);
  WriteFile(dir / "src" / "c.bin", noise);
  auto replace = [](TTar& t) {
    t.OnFileExists = [](TCompBase&, const std::string&, TDateTime, int& mode) { mode = 0; };
  };
  int gzipProgress = 0;
  EXPECT_EQ(Run(dir / "x.tgz",
                [&](TTar& t) {
                  replace(t);
                  t.OnProgress = [&](TCompBase& s, uint8_t, uint8_t) {
                    if (dynamic_cast<TGZip*>(&s) && ++gzipProgress == 2) s.SetCancel(true);
                  };
                }),
            0);
  EXPECT_GE(gzipProgress, 2);
  EXPECT_FALSE(Exists(dir / "x.tgz"));
  EXPECT_EQ(ReadFile(dir / "x.tgz.gz"), Bytes({'o', 'l', 'd'}));
  EXPECT_TRUE(RunFilesLeft(dir.Path()).empty());

  {
    test::FaultPlatform os;
    os.DiskFullAfter(600000);  // the TAR data fits; its GZIP file does not
    platform::ScopedPlatform use(os);
    EXPECT_EQ(Run(dir / "x.tgz", replace), 0);
  }
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  EXPECT_EQ(errors.Messages()[0].rfind(dir / "x.tgz.gz: Error writing to file", 0), 0u)
      << errors.Messages()[0];
  EXPECT_FALSE(Exists(dir / "x.tgz"));
  EXPECT_EQ(ReadFile(dir / "x.tgz.gz"), Bytes({'o', 'l', 'd'}));
  EXPECT_TRUE(RunFilesLeft(dir.Path()).empty());
}

// A second run finds the x.tgz.gz of the first. Without a handler, or with
// one that keeps it, it stays, nothing else is left, the sources of a move
// stay and the report says why; a handler that answers 0 gets it replaced.
TEST_F(TarGzip, AnExistingGzipFileIsReplacedOnlyWhenAllowed) {
  ASSERT_EQ(Run(dir / "x.tgz"), 2);
  const Bytes first = ReadFile(dir / "x.tgz.gz");
  WriteFile(dir / "src" / "c.txt", "gamma");

  EXPECT_EQ(Run(dir / "x.tgz", [](TTar& t) { t.Switch = swMove; }), 0);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrEventNotAssigned});
  EXPECT_NE(errors.Messages()[0].find("x.tgz.gz: the file exists and no OnFileExists handler "
                                    "allowed replacing it"),
            std::string::npos)
      << errors.Messages()[0];
  EXPECT_FALSE(Exists(dir / "x.tgz"));
  EXPECT_EQ(ReadFile(dir / "x.tgz.gz"), first);
  EXPECT_TRUE(Exists(dir / "src" / "c.txt"));
  EXPECT_TRUE(RunFilesLeft(dir.Path()).empty());

  errors.Clear();
  std::string asked;
  EXPECT_EQ(Run(dir / "x.tgz",
                [&](TTar& t) {
                  t.Switch = swMove;
                  t.OnFileExists = [&](TCompBase&, const std::string& name, TDateTime, int& mode) {
                    asked = name;
                    mode = 1;
                  };
                }),
            0);
  EXPECT_EQ(asked, dir / "x.tgz.gz");
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  EXPECT_NE(errors.Messages()[0].find("did not allow replacing it; nothing was written"),
            std::string::npos)
      << errors.Messages()[0];
  EXPECT_FALSE(Exists(dir / "x.tgz"));
  EXPECT_EQ(ReadFile(dir / "x.tgz.gz"), first);
  EXPECT_TRUE(Exists(dir / "src" / "c.txt"));

  errors.Clear();
  EXPECT_EQ(Run(dir / "x.tgz",
                [](TTar& t) {
                  t.OnFileExists = [](TCompBase&, const std::string&, TDateTime, int& mode) {
                    mode = 0;
                  };
                }),
            3);
  EXPECT_TRUE(errors.Codes().empty());
  EXPECT_FALSE(Exists(dir / "x.tgz"));
  const Member m = ReadMember(ReadFile(dir / "x.tgz.gz"));
  EXPECT_EQ(m.Name, "x.tgz");
  std::vector<std::string> names;
  for (size_t at = 0; at + 512 <= m.Data.size() && m.Data[at] != 0;) {
    names.emplace_back(reinterpret_cast<const char*>(&m.Data[at]));
    const size_t size = std::strtoul(reinterpret_cast<const char*>(&m.Data[at + 124]), nullptr, 8);
    at += 512 + (size + 511) / 512 * 512;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.bin", "c.txt"}));
  EXPECT_TRUE(RunFilesLeft(dir.Path()).empty());
}

}  // namespace
}  // namespace vix
