// Buffered file handles against a memory model, creation modes, sharing,
// and deferred write failures.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vix::platform {
namespace {

std::string ReadAll(Stream& s) {
  std::string out;
  char buffer[4096];
  for (int64_t n; (n = s.Read(buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  return out;
}

// Random writes (small ones that stay in the buffer and large ones that go
// past it), seeks, reads and cuts, done on a file and on a MemoryStream; the
// two must agree at every step and in the end.
TEST(PlatformFile, BufferedFileBehavesLikeMemoryModel) {
  test::TempDir dir;
  const std::string path = dir.Join("model.bin");
  FileHandle file = Current().Create(path, true);
  ASSERT_TRUE(file);
  MemoryStream model;
  std::mt19937 random(12345);
  std::vector<uint8_t> data(200000);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  for (int step = 0; step < 3000; ++step) {
    const int op = static_cast<int>(random() % 100);
    if (op < 55) {
      const size_t n = op < 2 ? 70000 + random() % 100000 : random() % 300;
      const size_t from = random() % (data.size() - n);
      ASSERT_EQ(file->Write(&data[from], n), static_cast<int64_t>(n));
      model.Write(&data[from], n);
    } else if (op < 75) {
      const int64_t size = model.Size();
      const auto origin = static_cast<Origin>(random() % 3);
      const int64_t base = origin == Origin::Begin ? 0 : origin == Origin::Current ? model.Position() : size;
      const int64_t distance = static_cast<int64_t>(random() % (size + 100)) - base;  // may pass the end
      ASSERT_EQ(file->Seek(distance, origin), model.Seek(distance, origin)) << step;
    } else if (op < 92) {
      const size_t n = random() % 5000;
      std::vector<uint8_t> got(n), want(n);
      ASSERT_EQ(file->Read(got.data(), n), model.Read(want.data(), n)) << step;
      ASSERT_EQ(got, want) << step;
    } else if (op < 94) {
      ASSERT_TRUE(file->SetEnd());
      model.SetEnd();
    } else {
      ASSERT_EQ(file->Size(), model.Size()) << step;
    }
    ASSERT_EQ(file->Position(), model.Position()) << step;
  }
  EXPECT_TRUE(file->Close());
  const std::string expected(model.Data().begin(), model.Data().end());
  EXPECT_EQ(dir.ReadFile("model.bin"), expected);
}

TEST(PlatformFile, ReadsSeeBytesStillInTheBuffer) {
  test::TempDir dir;
  FileHandle file = Current().Create(dir.Join("f"), true);
  ASSERT_TRUE(file);
  ASSERT_EQ(file->Write("header-body", 11), 11);
  ASSERT_TRUE(file->Seek(0, Origin::Begin));
  char got[6] = {};
  ASSERT_EQ(file->Read(got, 6), 6);
  EXPECT_EQ(std::string(got, 6), "header");
  // A rewrite in the middle, then the size without an explicit flush.
  ASSERT_EQ(file->Write("_", 1), 1);
  EXPECT_EQ(file->Size(), 11);
  EXPECT_TRUE(file->Close());
  EXPECT_FALSE(file->Seek(0, Origin::Begin));  // closed
  EXPECT_EQ(dir.ReadFile("f"), "header_body");
}

TEST(PlatformFile, CreateNewRefusesExistingFileAndCreateAlwaysTruncates) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("old.txt", "old content");
  EXPECT_FALSE(Current().Create(path, false));
  EXPECT_FALSE(Current().LastErrorText().empty());
  EXPECT_EQ(dir.ReadFile("old.txt"), "old content");
  FileHandle file = Current().Create(path, true);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Size(), 0);
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(dir.ReadFile("old.txt"), "");

  FileHandle fresh = Current().Create(dir.Join("new.txt"), false);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->Write("x", 1), 1);
  EXPECT_TRUE(fresh->Close());
  EXPECT_EQ(dir.ReadFile("new.txt"), "x");
}

TEST(PlatformFile, OpenReadWriteKeepsContentAndOpenFailsForMissingFiles) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("a.bin", "0123456789");
  FileHandle rw = Current().OpenReadWrite(path);
  ASSERT_TRUE(rw);
  EXPECT_EQ(rw->Size(), 10);
  ASSERT_TRUE(rw->Seek(-3, Origin::End));
  ASSERT_EQ(rw->Write("ABCDE", 5), 5);
  EXPECT_TRUE(rw->Close());
  EXPECT_EQ(dir.ReadFile("a.bin"), "0123456ABCDE");

  FileHandle in = Current().OpenRead(path, ShareMode::Read);
  ASSERT_TRUE(in);
  EXPECT_EQ(ReadAll(*in), "0123456ABCDE");
  EXPECT_EQ(in->Write("z", 1), 0);  // opened for reading only
  in.reset();

  EXPECT_FALSE(Current().OpenRead(dir.Join("missing"), ShareMode::Read));
  EXPECT_FALSE(Current().LastErrorText().empty());
  EXPECT_FALSE(Current().OpenReadWrite(dir.Join("missing")));
  EXPECT_FALSE(Current().OpenRead(dir.Path(), ShareMode::Read));  // a folder
}

// The stamps of a file agree with the search record and with the clock.
TEST(PlatformFile, DosTimeIsTheLocalStampOfTheLastWrite) {
  test::TempDir dir;
  const uint32_t before = Current().NowDosStamp();
  const std::string path = dir.WriteFile("t.txt", "t");
  FileHandle file = Current().OpenRead(path, ShareMode::Read);
  ASSERT_TRUE(file);
  const uint32_t written = file->DosTime(1);
  auto search = Current().FindFirst(dir.Path(), "t.txt");
  ASSERT_TRUE(search);
  FindData found;
  ASSERT_TRUE(search->Next(found));
  EXPECT_EQ(written, found.Time);
  // Within a few seconds of the clock (DOS stamps count in 2 s steps).
  const uint32_t after = Current().NowDosStamp();
  EXPECT_GE(written + 4, before);
  EXPECT_LE(written, after + 4);
  EXPECT_NE(file->DosTime(0), 0u);
  EXPECT_NE(file->DosTime(2), 0u);
}

#ifdef _WIN32
// Windows enforces the share modes: an exclusive writer keeps readers out,
// and a shared reader lets another reader in.
TEST(PlatformFile, ExclusiveCreateBlocksSharedRead) {
  test::TempDir dir;
  const std::string path = dir.Join("locked.bin");
  FileHandle writer = Current().Create(path, true);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(Current().OpenRead(path, ShareMode::Read));
  EXPECT_TRUE(writer->Close());
  writer.reset();
  FileHandle first = Current().OpenRead(path, ShareMode::Read);
  ASSERT_TRUE(first);
  EXPECT_TRUE(Current().OpenRead(path, ShareMode::Read));
  EXPECT_FALSE(Current().OpenReadWrite(path));  // a reader denies writers
  first.reset();
  FileHandle exclusive = Current().OpenRead(path, ShareMode::None);
  ASSERT_TRUE(exclusive);
  EXPECT_FALSE(Current().OpenRead(path, ShareMode::Read));
}
#else
// /dev/full accepts the open and fails every write: the buffered bytes are
// lost at the flush, and Close must say so.
TEST(PlatformFile, CloseReportsFailedDeferredWrite) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  FileHandle full = Current().Create("/dev/full", true);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->Write("abc", 3), 3);  // buffered
  EXPECT_FALSE(full->Close());
  EXPECT_FALSE(Current().LastErrorText().empty());

  FileHandle again = Current().Create("/dev/full", true);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Write("abc", 3), 3);
  EXPECT_FALSE(again->Flush());
  // The failure sticks: nothing that flushes may succeed afterwards.
  EXPECT_FALSE(again->Seek(0, Origin::Begin));
  EXPECT_EQ(again->Write("d", 1), 0);
  EXPECT_FALSE(again->Close());
}

TEST(PlatformFile, FifoIsNeverOpenedForReading) {
  test::TempDir dir;
  const std::string fifo = dir.Join("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(Current().OpenRead(fifo, ShareMode::Read));  // returns at once, no writer needed
  EXPECT_FALSE(Current().OpenReadWrite(fifo));
}

TEST(PlatformFile, CreatedFilesFollowTheUmask) {
  test::TempDir dir;
  const mode_t old = umask(022);
  FileHandle file = Current().Create(dir.Join("m"), true);
  umask(old);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->Close());
  struct stat st;
  ASSERT_EQ(stat(dir.Join("m").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}
#endif

TEST(MemoryStream, ReadsWritesAndCutsLikeAFile) {
  MemoryStream s;
  EXPECT_EQ(s.Write("abc", 3), 3);
  EXPECT_TRUE(s.Seek(5, Origin::Begin));
  EXPECT_EQ(s.Write("z", 1), 1);  // past the end: the gap is zeros
  EXPECT_EQ(s.Data(), (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 'z'}));
  EXPECT_FALSE(s.Seek(-7, Origin::End));
  EXPECT_EQ(s.Position(), 6);
  EXPECT_TRUE(s.Seek(-4, Origin::Current));
  EXPECT_TRUE(s.SetEnd());
  EXPECT_EQ(s.Size(), 2);
  char c;
  EXPECT_EQ(s.Read(&c, 1), 0);
  EXPECT_TRUE(s.Seek(10, Origin::Begin));
  EXPECT_EQ(s.Read(&c, 1), 0);
}

}  // namespace
}  // namespace vix::platform
