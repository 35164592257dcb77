// Compression ahead of the writer, on its own: what a worker records is what
// the engine run on the writer's thread gives, whatever the limits, and runs
// the writer passes over, refuses or stops end without holding anything up.
#include "archive/compress_ahead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "archive/kvtCrc.h"
#include "engines/deflate.h"
#include "engines/lzh.h"
#include "support/forwarding_file.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vix {
namespace {

using namespace vix::test;

class MemorySource final : public EngineSource {
 public:
  explicit MemorySource(const std::string& data) : data_(data) {}
  bool More() override { return at_ < data_.size(); }
  int64_t Read(uint8_t* buffer, uint32_t count) override {
    const size_t n = std::min<size_t>(count, data_.size() - at_);
    std::copy(data_.begin() + at_, data_.begin() + at_ + n, buffer);
    at_ += n;
    return static_cast<int64_t>(n);
  }

 private:
  const std::string& data_;
  size_t at_ = 0;
};

// A file that says it is larger than it is: one that shrank after its size
// was taken.
class ShrunkFile final : public ForwardingFile {
 public:
  ShrunkFile(platform::FileHandle inner, int64_t size) : ForwardingFile(std::move(inner)), size_(size) {}
  int64_t Size() override { return size_; }

 private:
  int64_t size_;
};

class MemorySink final : public EngineSink {
 public:
  void Write(const uint8_t* buffer, uint32_t count) override {
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
  Bytes bytes;
};

AheadPlan DeflatePlan(int level, bool fallback) {
  AheadPlan plan;
  plan.engine = AheadPlan::kDeflate;
  plan.DeflateLevel = level;
  plan.AllowStoredFallback = fallback;
  plan.Crc32 = true;
  return plan;
}

AheadPlan LzhPlan(const LzhMethodParams& params) {
  AheadPlan plan;
  plan.engine = AheadPlan::kLzh;
  plan.Lzh = params;
  plan.Crc16 = true;
  plan.Crc32 = true;
  return plan;
}

// What the writer's own thread would have made of `data`.
EngineResult Serial(const AheadPlan& plan, const std::string& data, Bytes& out) {
  MemorySource source(data);
  MemorySink sink;
  const EngineResult result =
      plan.engine == AheadPlan::kLzh
          ? LzhEncodeStream(plan.Lzh, source, sink)
          : DeflateStream(source, sink, plan.DeflateLevel, plan.AllowStoredFallback);
  out = sink.bytes;
  return result;
}

struct Played {
  uint64_t read = 0;
  size_t reads = 0;
  Bytes bytes;
};

Played Play(CompressAhead::Ticket& ticket, int pauseEvery = 0) {
  Played played;
  AheadRecord record;
  while (ticket.Next(record)) {
    if (record.Bytes.empty()) {
      EXPECT_GT(record.Read, 0u);
      played.read += record.Read;
      ++played.reads;
    } else {
      played.bytes.insert(played.bytes.end(), record.Bytes.begin(), record.Bytes.end());
    }
    // A slow writer: the workers run into their limits meanwhile.
    if (pauseEvery && played.reads % pauseEvery == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return played;
}

// Waits (however slowly the machine runs) until a worker has begun entry
// `index`: a run not begun yet would be the writer's own.
bool AwaitBegun(CompressAhead& ahead, int index) {
  for (int wait = 0; wait < 4000; ++wait) {
    if (ahead.Begun(index)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

class CompressAheadTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<std::string> data;
  std::vector<CompressAhead::Task> tasks;

  void Add(const std::string& bytes, const AheadPlan& plan) {
    const int index = static_cast<int>(data.size());
    dir.WriteFile("f" + std::to_string(index), bytes);
    data.push_back(bytes);
    tasks.push_back({index, plan});
  }

  CompressAhead::Opener Opener() {
    return [this](int index) {
      return platform::Current().OpenRead(dir.Join("f" + std::to_string(index)),
                                          platform::ShareMode::Read);
    };
  }

  void AddMix() {
    Add(Words(300000, 1), DeflatePlan(7, true));
    Add(Noise(70000, 2), DeflatePlan(9, true));  // falls back to storing
    Add(Words(5000, 3), LzhPlan(kLh5Params));
    Add(Noise(40000, 4), LzhPlan(kLh6Params));   // abandoned as incompressible
    Add(Repeats<std::string>(200000, "abcabd", 777), DeflatePlan(1, false));
    Add("x", DeflatePlan(2, true));
    Add(Words(90000, 6), LzhPlan(kLh6Params));
    for (int i = 0; i < 20; ++i) Add(Words(100 + 997 * i, 10 + i), DeflatePlan(7, true));
  }

  // Every run played back equals the run on one thread, its reads add up to
  // what that run read and its checksums are those of those bytes.
  void ExpectAllAsSerial(CompressAhead& ahead, int pauseEvery = 0) {
    for (size_t i = 0; i < tasks.size(); ++i) {
      SCOPED_TRACE(i);
      ASSERT_TRUE(AwaitBegun(ahead, tasks[i].Index));
      auto ticket = ahead.Take(tasks[i].Index, data[i].size(), tasks[i].Plan);
      ASSERT_NE(ticket, nullptr);
      const Played run = Play(*ticket, pauseEvery);
      Bytes expected;
      const EngineResult serial = Serial(tasks[i].Plan, data[i], expected);
      const AheadOutcome& outcome = ticket->Outcome();
      EXPECT_FALSE(outcome.Failed);
      EXPECT_EQ(outcome.Result.Status, serial.Status);
      EXPECT_EQ(outcome.Result.InputInOutput, serial.InputInOutput);
      EXPECT_EQ(outcome.Result.BytesRead, serial.BytesRead);
      EXPECT_EQ(run.read, serial.BytesRead);
      EXPECT_TRUE(run.bytes == expected);
      uint32_t crc16 = 0, crc32 = 0xFFFFFFFFu;
      UpdateCrc16(data[i].data(), serial.BytesRead, crc16);
      UpdateCrc32(data[i].data(), serial.BytesRead, crc32);
      EXPECT_EQ(outcome.Crc32, crc32);
      if (tasks[i].Plan.Crc16) {
        EXPECT_EQ(outcome.Crc16, crc16);
      }
    }
  }
};

TEST_F(CompressAheadTest, EveryRunIsTheOneThreadRunWhateverTheLimits) {
  AddMix();
  // Tiny limits make every worker wait for the writer again and again; the
  // default ones let them run far ahead.
  const AheadLimits tiny{4096, 1024, 1};
  const AheadLimits defaults;
  for (const auto& limits : {tiny, defaults}) {
    for (unsigned workers : {1u, 2u, 8u}) {
      SCOPED_TRACE(std::to_string(workers) + " workers, budget " + std::to_string(limits.Budget));
      CompressAhead ahead(workers, tasks, Opener(), limits);
      ExpectAllAsSerial(ahead, limits.Budget == tiny.Budget ? 3 : 0);
    }
  }
}

TEST_F(CompressAheadTest, RunsPassedOverRefusedOrNotBegunAreNotPlayed) {
  for (int i = 0; i < 6; ++i) Add(Words(50000, i), DeflatePlan(7, true));
  CompressAhead ahead(2, tasks, Opener(), {1 << 20, 1 << 16, 2});
  ASSERT_TRUE(AwaitBegun(ahead, 1));
  // A run made for another size or plan (the file changed, the writer
  // stores it) is not the writer's.
  EXPECT_EQ(ahead.Take(0, data[0].size() + 1, tasks[0].Plan), nullptr);
  EXPECT_EQ(ahead.Take(1, data[1].size(), DeflatePlan(9, true)), nullptr);
  // The workers go on with entries 2 and 3.
  ASSERT_TRUE(AwaitBegun(ahead, 3));
  // Passing over entry 2 drops it; it cannot be taken afterwards.
  auto third = ahead.Take(3, data[3].size(), tasks[3].Plan);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(Play(*third).read, data[3].size());
  EXPECT_EQ(ahead.Take(2, data[2].size(), tasks[2].Plan), nullptr);
  // An entry no task names.
  EXPECT_EQ(ahead.Take(40, 1, tasks[0].Plan), nullptr);
  third.reset();
  // Entries after the one no task names were passed over too.
  EXPECT_EQ(ahead.Take(5, data[5].size(), tasks[5].Plan), nullptr);
}

TEST_F(CompressAheadTest, AFileThatCannotBeOpenedOrShrankIsLeftToTheWriter) {
  Add(Words(30000, 1), DeflatePlan(7, true));
  Add(Words(30000, 2), DeflatePlan(7, true));
  Add(Words(30000, 3), LzhPlan(kLh5Params));
  auto open = Opener();
  CompressAhead ahead(
      2, tasks,
      [&](int index) -> platform::FileHandle {
        if (index == 0) return nullptr;
        // Entry 2 lost its second half after its size was taken: the worker
        // reads what is there, as the writer itself would have.
        if (index == 2) {
          {
            auto cut = platform::Current().OpenReadWrite(dir.Join("f2"));
            EXPECT_TRUE(cut && cut->Seek(15000, platform::Origin::Begin) && cut->SetEnd());
          }
          return std::make_unique<ShrunkFile>(open(index), 30000);
        }
        return open(index);
      },
      {1 << 20, 1 << 16, 8});
  ASSERT_TRUE(AwaitBegun(ahead, 1));
  ASSERT_TRUE(AwaitBegun(ahead, 2));
  EXPECT_EQ(ahead.Take(0, data[0].size(), tasks[0].Plan), nullptr);
  auto second = ahead.Take(1, data[1].size(), tasks[1].Plan);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Play(*second).read, data[1].size());
  second.reset();
  auto third = ahead.Take(2, data[2].size(), tasks[2].Plan);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(Play(*third).read, 15000u);
  EXPECT_EQ(third->Outcome().Result.BytesRead, 15000u);
  EXPECT_EQ(third->Outcome().Result.Status, EngineStatus::Done);
}

// A file whose reads after the first wait until the test opens the gate.
class GatedFile final : public ForwardingFile {
 public:
  GatedFile(platform::FileHandle inner, std::atomic<bool>& open)
      : ForwardingFile(std::move(inner)), open_(open) {}
  int64_t Read(void* buffer, size_t count) override {
    if (reads_++ > 0) {
      while (!open_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return inner_->Read(buffer, count);
  }

 private:
  std::atomic<bool>& open_;
  int reads_ = 0;
};

// A stop (a cancel) ends the run being played and every other at once, and
// nothing is taken afterwards; the workers leave even when every one of them
// waits for room that the writer will never make.
TEST_F(CompressAheadTest, AStopEndsEveryRunAtOnce) {
  for (int i = 0; i < 8; ++i) Add(Noise(400000, i), DeflatePlan(7, false));
  {
    std::atomic<bool> gate{false};
    auto open = Opener();
    CompressAhead ahead(
        4, tasks,
        [&](int index) -> platform::FileHandle {
          return std::make_unique<GatedFile>(open(index), gate);
        },
        AheadLimits{8192, 4096, 8});
    ASSERT_TRUE(AwaitBegun(ahead, 0));
    auto first = ahead.Take(0, data[0].size(), tasks[0].Plan);
    ASSERT_NE(first, nullptr);
    ahead.Stop();
    gate = true;
    const Played rest = Play(*first);
    EXPECT_TRUE(first->Outcome().Failed);
    EXPECT_LE(rest.read, 2 * 32768u) << "the run went on after the stop";
    EXPECT_EQ(ahead.Take(1, data[1].size(), tasks[1].Plan), nullptr);
  }
  {
    // Never taken: destroyed while the workers wait for room.
    CompressAhead ahead(4, tasks, Opener(), AheadLimits{8192, 4096, 8});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

}  // namespace
}  // namespace vix
