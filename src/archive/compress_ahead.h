// Compression ahead of the writer: worker threads run the engines over the
// files a run will add, in the order it adds them, while the writer is still
// busy with earlier entries.
//
// A worker writes nothing. It records what its engine did, in order: each
// read (its size) and each piece of the stream. When the writer reaches the
// entry it plays the record back on its own thread: a read is counted and
// reported as progress as if it had happened then, a piece of the stream goes
// out through the writer's usual block operations (encryption, spanned disks,
// failures and cancel included). So the archive, the events and their order
// are those of a run on one thread; the workers only did the engine's work
// sooner.
//
// The writer's thread opens every file a few entries before it needs it and
// hands the handle to a worker, which reads and closes it. What the workers hold is bounded: the records waiting for the
// writer count against kAheadBudget, the entry the writer is playing back
// against kHeadHold, whatever the files' sizes; a worker waits when its
// record would not fit. Each worker also holds its engine (under 1 MiB) and
// the open handles their buffers (kOpenAhead of 64 KiB).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/engine_result.h"
#include "engines/lzh.h"
#include "platform/platform.h"

namespace vix {

inline constexpr size_t kAheadBudget = 24u << 20;
inline constexpr size_t kHeadHold = 2u << 20;
inline constexpr size_t kOpenAhead = 32;

// How an entry's data is compressed, as its writer will ask for it.
struct AheadPlan {
  enum Engine : uint8_t { kNone, kDeflate, kLzh };
  Engine engine = kNone;
  int DeflateLevel = 0;
  bool AllowStoredFallback = false;
  LzhMethodParams Lzh{};
  bool Crc16 = false;  // the writer keeps a CRC-16 of the input (LZH)
  bool Crc32 = false;  // ... a CRC-32 (ZIP, GZIP, or a verification tap)

  bool SameRun(const AheadPlan& other) const;
};

// One step of a run: `Read` bytes taken from the input, or else `Bytes` of
// the stream.
struct AheadRecord {
  uint32_t Read = 0;
  std::vector<uint8_t> Bytes;
};

// How a run ended, once its last record is taken.
struct AheadOutcome {
  EngineResult Result;
  uint16_t Crc16 = 0;            // of the bytes read, from 0
  uint32_t Crc32 = 0xFFFFFFFFu;  // of the bytes read, from all ones, not inverted
  // The worker could not finish (out of memory); the records so far are valid.
  bool Failed = false;
};

struct AheadLimits {
  size_t Budget = kAheadBudget;
  size_t HeadHold = kHeadHold;
  size_t OpenAhead = kOpenAhead;
};

class CompressAhead {
  struct Job;

 public:
  struct Task {
    int Index = 0;  // the entry's place in the run
    AheadPlan Plan;
  };
  // Opens the file of entry `index` for reading, reporting nothing.
  using Opener = std::function<platform::FileHandle(int index)>;

  // The writer's hold on the run of one entry, taken in order of the records.
  class Ticket {
   public:
    Ticket(CompressAhead& owner, Job& job) : owner_(owner), job_(job) {}
    ~Ticket();
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    // Waits for the next record; false once there is none (see Outcome).
    bool Next(AheadRecord& record);
    const AheadOutcome& Outcome() const;

   private:
    CompressAhead& owner_;
    Job& job_;
    std::vector<AheadRecord> taken_;
    size_t next_ = 0;
  };

  // Starts `workers` threads over `tasks` (in increasing Index). Throws
  // when no thread can be started.
  CompressAhead(unsigned workers, std::vector<Task> tasks, Opener open,
                AheadLimits limits = AheadLimits());
  ~CompressAhead();
  CompressAhead(const CompressAhead&) = delete;
  CompressAhead& operator=(const CompressAhead&) = delete;

  // The run of entry `index` as the writer is about to compress it: `size`
  // bytes announced, compressed as `plan` says. Null when there is none, it
  // was made for another size or plan, or no worker has begun it yet (the
  // writer then does it itself). Runs of earlier entries are dropped.
  std::unique_ptr<Ticket> Take(int index, uint64_t size, const AheadPlan& plan);
  // Ends every run at once (a cancel); Take gives nothing from here on.
  void Stop();
  // Whether a worker has begun the run of entry `index`.
  bool Begun(int index);

 private:
  class Recorder;

  void Work();
  void Run(Job& job);
  void OpenMore();
  void Drop(Job& job);     // with the lock held
  void Release(Job& job);  // with the lock held
  bool Abandoned(const Job& job) const;
  // Records for `job`, once the budget has room.
  void Append(Job& job, std::vector<AheadRecord>& records, size_t cost);

  Opener open_;
  const AheadLimits limits_;
  std::deque<Job> jobs_;
  std::mutex mutex_;
  std::condition_variable workCv_;  // workers: a job to begin, or room
  std::condition_variable readyCv_;  // the writer: a record or an end
  size_t next_ = 0;    // the next job a worker begins
  size_t opened_ = 0;  // jobs whose file the writer has opened
  size_t taken_ = 0;   // jobs the writer has passed
  const Job* head_ = nullptr;  // the job the writer plays back
  size_t held_ = 0;    // bytes of records waiting, all jobs
  bool stop_ = false;
  std::atomic<bool> stopping_{false};  // stop_, for a worker's engine to see unlocked
  std::vector<std::thread> threads_;
};

}  // namespace vix
