// ZIP, LZH and GZIP runs on several threads: the archives, the events the
// caller sees and their order are those of a run on one thread; a cancel at
// any moment keeps the old archive; verification still compares every entry
// with its source.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/kvtErrors.h"
#include "support/files.h"
#include "support/test_data.h"
#include "support/writer_run.h"
#include "writers/kvtGZip.h"
#include "writers/kvtLha.h"
#include "writers/kvtZipIT.h"

namespace vix {
namespace {

using namespace vix::test;

// Small files around the block and window sizes, text and noise, an empty
// one, one stored for its extension, and a few large enough that the
// workers run into their limits.
void MakeTree(const TempDir& dir) {
  const size_t sizes[] = {1, 100, 511, 4097, 8191, 8193, 16385, 32767, 32769, 65537};
  int n = 0;
  for (int round = 0; round < 4; ++round) {
    for (size_t size : sizes) {
      const std::string name = "src/f" + std::to_string(n++);
      dir.WriteFile(name + ".txt", Words(size + round, n));
      if (n % 3 == 0) dir.WriteFile(name + ".bin", Noise(size, n));
    }
  }
  dir.WriteFile("src/empty.txt", "");
  dir.WriteFile("src/tool.exe", Words(20000, 99));
  dir.WriteFile("src/sub/big1.txt", Words(700000, 1));
  dir.WriteFile("src/sub/big2.bin", Noise(300000, 2));
  dir.WriteFile("src/sub/big3.txt", Repeats<std::string>(900000, "abcdefgh", 5000));
}

// Everything a caller is told, in order.
struct EventLog {
  std::vector<std::string> lines;
  void Attach(TCompBase& c) {
    c.OnBegin = [this](TCompBase&, const std::string& name, int number, bool&) {
      lines.push_back("begin " + name + " " + std::to_string(number));
    };
    c.OnEnd = [this](TCompBase&, const std::string& name, bool crc) {
      lines.push_back("end " + name + (crc ? " ok" : " bad"));
    };
    c.OnProgress = [this](TCompBase&, uint8_t byFile, uint8_t byArchive) {
      lines.push_back("progress " + std::to_string(byFile) + " " + std::to_string(byArchive));
    };
  }
};

struct Outcome {
  int count = 0;
  std::vector<std::string> files;  // the written outputs' bytes, by name
  std::vector<std::string> events;
  std::vector<int> errors;
  uint32_t played = 0;
};

template <class W>
class ThreadsTest : public ::testing::Test, public WriterRun<W> {
 protected:
  using WriterRun<W>::dir;
  using WriterRun<W>::errors;

  ThreadsTest() { MakeTree(dir); }

  // One run with `threads` into out/, whose files are then read.
  Outcome Write(unsigned threads, const std::string& archive,
                const std::function<void(W&)>& setup) {
    EventLog log;
    Outcome out;
    errors.Clear();
    out.count = WriterRun<W>::Run({dir / "src" / "*"}, dir / "out" / archive, [&](W& w) {
      w.RecurseDirs = true;
      w.Threads = threads;
      setup(w);
      log.Attach(w);
      // On a loaded machine the workers might not be scheduled before the
      // writer has done every entry itself: the first entry waits until one
      // has begun a run (the events are the same either way).
      if (threads > 1)
        w.OnBegin = [inner = w.OnBegin, waited = false](TCompBase& c, const std::string& name,
                                                       int number, bool& skip) mutable {
          for (int i = 0; !waited && c.Ahead && i < 2000; ++i) {
            for (int entry = 0; entry < c.EntryList.Count() && !waited; ++entry)
              waited = c.Ahead->Begun(entry);
            if (!waited) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          waited = true;
          inner(c, name, number, skip);
        };
      // Counted before the run object goes.
      w.OnEnd = [&, inner = w.OnEnd](TCompBase& c, const std::string& name, bool crc) {
        out.played = c.EntriesPlayedAhead;
        inner(c, name, crc);
      };
    });
    for (const auto& entry : std::filesystem::directory_iterator(dir / "out"))
      out.files.push_back(entry.path().filename().string() + "=" +
                          dir.ReadFile("out/" + entry.path().filename().string()));
    std::sort(out.files.begin(), out.files.end());
    out.events = log.lines;
    out.errors = errors.Codes();
    return out;
  }

  void ExpectSameOnEveryThreadCount(const std::string& archive,
                                    const std::function<void(W&)>& setup) {
    std::filesystem::remove_all(dir / "out");
    dir.MakeDir("out");
    const Outcome one = Write(1, archive, setup);
    ASSERT_GT(one.count, 40);
    EXPECT_EQ(one.played, 0u);
    EXPECT_TRUE(one.errors.empty());
    for (unsigned threads : {2u, 8u}) {
      SCOPED_TRACE(threads);
      std::filesystem::remove_all(dir / "out");
      dir.MakeDir("out");
      const Outcome many = Write(threads, archive, setup);
      EXPECT_EQ(many.count, one.count);
      EXPECT_GT(many.played, 0u) << "no entry was compressed ahead";
      EXPECT_TRUE(many.files == one.files) << "the archive differs";
      EXPECT_EQ(many.events, one.events);
      EXPECT_EQ(many.errors, one.errors);
    }
  }

  // Cancels at the k-th progress event for several k: the old archive stays
  // byte for byte and no temporary file is left in its folder.
  void ExpectCancelKeepsOldArchive(const std::string& archive,
                                   const std::function<void(W&)>& setup) {
    std::filesystem::remove_all(dir / "out");
    dir.MakeDir("out");
    ASSERT_GT(Write(1, archive, setup).count, 0);
    const std::string old = dir.ReadFile("out/" + archive);
    std::mt19937 random(7);
    for (unsigned threads : {2u, 8u}) {
      for (int round = 0; round < 4; ++round) {
        const int at = 1 + static_cast<int>(random() % 60);
        SCOPED_TRACE(std::to_string(threads) + " threads, cancel at progress " + std::to_string(at));
        int progress = 0;
        errors.Clear();
        const int count = WriterRun<W>::Run({dir / "src" / "*"}, dir / "out" / archive, [&](W& w) {
          w.RecurseDirs = true;
          w.Threads = threads;
          setup(w);
          w.OnProgress = [&](TCompBase& c, uint8_t, uint8_t) {
            if (++progress == at) c.SetCancel(true);
          };
        });
        EXPECT_EQ(count, 0);
        EXPECT_TRUE(dir.ReadFile("out/" + archive) == old);
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "out"))
          left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{archive});
      }
    }
  }
};

using ZipThreads = ThreadsTest<TZip>;
using LhaThreads = ThreadsTest<TLha>;
using GZipThreads = ThreadsTest<TGZip>;

TEST_F(ZipThreads, EveryLevelGivesTheOneThreadArchiveAndEvents) {
  for (TDeflateType type : {dtDeflateS, dtDeflateN, dtDeflateX}) {
    SCOPED_TRACE(static_cast<int>(type));
    ExpectSameOnEveryThreadCount("a.zip", [type](TZip& z) {
      z.SetCompressMethod(cmDeflate);
      z.SetDeflateType(type);
    });
  }
}

TEST_F(LhaThreads, Lh5AndLh6GiveTheOneThreadArchiveAndEvents) {
  for (TCompressMethod method : {cmFrozen5, cmFrozen6}) {
    SCOPED_TRACE(static_cast<int>(method));
    ExpectSameOnEveryThreadCount("a.lzh", [method](TLha& l) { l.SetCompressMethod(method); });
  }
}

TEST_F(GZipThreads, EveryMemberIsTheOneThreadMember) {
  ExpectSameOnEveryThreadCount("x.gz", [](TGZip& g) { g.SetDeflateType(dtDeflateN); });
}

// An update keeps the old entries and compresses the new ones ahead.
TEST_F(ZipThreads, AnUpdateGivesTheOneThreadArchive) {
  std::vector<std::string> results;
  for (unsigned threads : {1u, 2u, 8u}) {
    std::filesystem::remove_all(dir / "out");
    dir.MakeDir("out");
    ASSERT_GT(WriterRun<TZip>::Run({dir / "src" / "f1*"}, dir / "out" / "u.zip",
                                   [](TZip& z) { z.SetCompressMethod(cmDeflate); }),
              4);
    const int count = WriterRun<TZip>::Run({dir / "src" / "*"}, dir / "out" / "u.zip", [&](TZip& z) {
      z.SetCompressMethod(cmDeflate);
      z.RecurseDirs = true;
      z.Threads = threads;
      AnswerReplace(z, false);
    });
    EXPECT_GT(count, 40);
    results.push_back(dir.ReadFile("out/u.zip"));
  }
  EXPECT_TRUE(results[1] == results[0]);
  EXPECT_TRUE(results[2] == results[0]);
}

TEST_F(ZipThreads, ACancelAtAnyMomentKeepsTheOldArchive) {
  ExpectCancelKeepsOldArchive("c.zip", [](TZip& z) { z.SetCompressMethod(cmDeflate); });
}

TEST_F(LhaThreads, ACancelAtAnyMomentKeepsTheOldArchive) {
  ExpectCancelKeepsOldArchive("c.lzh", [](TLha& l) { l.SetCompressMethod(cmFrozen5); });
}

// Verification compares each entry with the bytes the workers read, and an
// encrypted archive's entries are encrypted on the writer's thread.
TEST_F(ZipThreads, VerifiedAndEncryptedRunsPassTheirCheck) {
  for (const bool encrypt : {false, true}) {
    SCOPED_TRACE(encrypt);
    std::filesystem::remove_all(dir / "out");
    dir.MakeDir("out");
    const Outcome out = Write(2, "v.zip", [encrypt](TZip& z) {
      z.SetCompressMethod(cmDeflate);
      z.Verify = true;
      if (encrypt) z.Password = "secret";
    });
    EXPECT_GT(out.count, 40);
    EXPECT_GT(out.played, 0u);
    EXPECT_TRUE(out.errors.empty()) << "first error: " << (out.errors.empty() ? 0 : out.errors[0]);
  }
}

TEST_F(LhaThreads, VerifiedRunPassesItsCheck) {
  dir.MakeDir("out");
  const Outcome out = Write(2, "v.lzh", [](TLha& l) {
    l.SetCompressMethod(cmFrozen6);
    l.Verify = true;
  });
  EXPECT_GT(out.count, 40);
  EXPECT_GT(out.played, 0u);
  EXPECT_TRUE(out.errors.empty());
}

}  // namespace
}  // namespace vix
