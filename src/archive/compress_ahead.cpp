#include "archive/compress_ahead.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "archive/kvtCrc.h"
#include "engines/deflate.h"

namespace vix {

namespace {

// Thrown inside a worker's engine run that is no longer wanted.
struct Abandon {};

// Each record also costs its bookkeeping.
constexpr size_t kRecordCost = 32;
// A worker hands its records over in batches of about this much stream, or
// of kBatchReads reads, whichever comes first.
constexpr size_t kBatchBytes = 64u << 10;
constexpr size_t kBatchReads = 16;

}  // namespace

bool AheadPlan::SameRun(const AheadPlan& o) const {
  if (engine != o.engine || Crc16 != o.Crc16 || Crc32 != o.Crc32) return false;
  if (engine == kDeflate)
    return DeflateLevel == o.DeflateLevel && AllowStoredFallback == o.AllowStoredFallback;
  return Lzh.DicBit == o.Lzh.DicBit && Lzh.DicSiz == o.Lzh.DicSiz && Lzh.NP == o.Lzh.NP &&
         Lzh.PBit == o.Lzh.PBit && Lzh.BufSiz == o.Lzh.BufSiz;
}

struct CompressAhead::Job {
  enum State : uint8_t {
    kClosed,   // the file is not open yet
    kReady,    // open, waiting for a worker
    kRunning,  // a worker runs it
    kOff,      // no worker will run it (claimed by the writer, or not opened)
  };
  Task task;
  platform::FileHandle file;
  uint64_t announced = 0;
  State state = kClosed;
  std::atomic<bool> dropped{false};
  std::atomic<bool> awaited{false};  // the writer waits for its next record
  bool finished = false;
  std::vector<AheadRecord> records;
  size_t held = 0;
  AheadOutcome outcome;
};

// The engine's source and sink on a worker: reads the job's file, keeps the
// checksums and writes down what happened, handing it to the writer in
// batches.
class CompressAhead::Recorder final : public EngineSource, public EngineSink {
 public:
  Recorder(CompressAhead& owner, Job& job)
      : owner_(owner), job_(job), left_(job.announced), plan_(job.task.Plan) {}

  bool More() override { return left_ != 0; }

  int64_t Read(uint8_t* buffer, uint32_t count) override {
    if (owner_.Abandoned(job_)) throw Abandon{};
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(count, left_));
    if (want == 0) return 0;
    const int64_t got = job_.file->Read(buffer, want);
    if (got <= 0) return got < 0 ? -1 : 0;
    const auto n = static_cast<uint32_t>(got);
    if (plan_.Crc16) UpdateCrc16(buffer, n, crc16_);
    if (plan_.Crc32) UpdateCrc32(buffer, n, crc32_);
    left_ -= n;
    AheadRecord record;
    record.Read = n;
    batch_.push_back(std::move(record));
    cost_ += kRecordCost;
    if (++reads_ >= kBatchReads) Flush();
    return got;
  }

  void Write(const uint8_t* buffer, uint32_t count) override {
    if (owner_.Abandoned(job_)) throw Abandon{};
    while (count > 0) {
      if (batch_.empty() || batch_.back().Bytes.empty() ||
          batch_.back().Bytes.size() >= kBatchBytes) {
        batch_.emplace_back();
        cost_ += kRecordCost;
      }
      std::vector<uint8_t>& bytes = batch_.back().Bytes;
      const auto n = static_cast<uint32_t>(std::min<size_t>(count, kBatchBytes - bytes.size()));
      bytes.insert(bytes.end(), buffer, buffer + n);
      cost_ += n;
      buffer += n;
      count -= n;
      if (bytes.size() >= kBatchBytes) Flush();
    }
  }

  void Flush() {
    if (!batch_.empty()) owner_.Append(job_, batch_, cost_);
    batch_.clear();
    cost_ = 0;
    reads_ = 0;
  }

  uint16_t Crc16() const { return static_cast<uint16_t>(crc16_); }
  uint32_t Crc32() const { return crc32_; }

 private:
  CompressAhead& owner_;
  Job& job_;
  uint64_t left_;
  const AheadPlan& plan_;
  uint32_t crc16_ = 0;
  uint32_t crc32_ = 0xFFFFFFFFu;
  std::vector<AheadRecord> batch_;
  size_t cost_ = 0;
  size_t reads_ = 0;
};

CompressAhead::CompressAhead(unsigned workers, std::vector<Task> tasks, Opener open,
                             AheadLimits limits)
    : open_(std::move(open)), limits_(limits) {
  for (Task& task : tasks) {
    jobs_.emplace_back();
    jobs_.back().task = std::move(task);
  }
  OpenMore();
  try {
    for (unsigned i = 0; i < std::max(1u, workers); ++i) threads_.emplace_back([this] { Work(); });
  } catch (...) {
    if (threads_.empty()) throw;  // one worker that did start is enough
  }
}

CompressAhead::~CompressAhead() {
  Stop();
  for (std::thread& t : threads_) t.join();
}

void CompressAhead::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  stopping_ = true;
  workCv_.notify_all();
  readyCv_.notify_all();
}

bool CompressAhead::Abandoned(const Job& job) const {
  return job.dropped.load(std::memory_order_relaxed) || stopping_.load(std::memory_order_relaxed);
}

void CompressAhead::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    workCv_.wait(lock, [this] { return stop_ || next_ < opened_; });
    if (stop_) return;
    Job& job = jobs_[next_++];
    if (job.state != Job::kReady) continue;
    job.state = Job::kRunning;
    lock.unlock();
    Run(job);
    lock.lock();
    job.finished = true;
    if (job.dropped) Release(job);
    readyCv_.notify_all();
  }
}

void CompressAhead::Run(Job& job) {
  Recorder recorder(*this, job);
  AheadOutcome outcome;
  try {
    const AheadPlan& plan = job.task.Plan;
    outcome.Result = plan.engine == AheadPlan::kLzh
                         ? LzhEncodeStream(plan.Lzh, recorder, recorder)
                         : DeflateStream(recorder, recorder, plan.DeflateLevel,
                                         plan.AllowStoredFallback);
    recorder.Flush();
  } catch (...) {
    // Abandoned, or out of memory: what was recorded stays valid.
    outcome.Failed = true;
  }
  outcome.Crc16 = recorder.Crc16();
  outcome.Crc32 = recorder.Crc32();
  job.file.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  job.outcome = std::move(outcome);
}

void CompressAhead::Append(Job& job, std::vector<AheadRecord>& records, size_t cost) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The entry being played back is bounded on its own, so that the writer
  // is never kept waiting by runs further ahead; one batch always fits an
  // empty store.
  workCv_.wait(lock, [&] {
    if (Abandoned(job)) return true;
    if (&job == head_) return job.held == 0 || job.held + cost <= limits_.HeadHold;
    return held_ == 0 || held_ + cost <= limits_.Budget;
  });
  if (Abandoned(job)) throw Abandon{};
  for (AheadRecord& record : records) job.records.push_back(std::move(record));
  job.held += cost;
  held_ += cost;
  if (job.awaited) readyCv_.notify_all();
}

void CompressAhead::OpenMore() {
  for (;;) {
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_ || opened_ >= jobs_.size() || opened_ >= taken_ + limits_.OpenAhead) return;
      index = opened_;
    }
    platform::FileHandle file = open_(jobs_[index].task.Index);
    const int64_t size = file ? file->Size() : -1;
    std::lock_guard<std::mutex> lock(mutex_);
    Job& job = jobs_[index];
    if (job.state == Job::kClosed && size > 0) {
      job.file = std::move(file);
      job.announced = static_cast<uint64_t>(size);
      job.state = Job::kReady;
    } else if (job.state == Job::kClosed) {
      job.state = Job::kOff;
    }
    ++opened_;
    workCv_.notify_all();
  }
}

void CompressAhead::Release(Job& job) {
  held_ -= job.held;
  job.held = 0;
  std::vector<AheadRecord>().swap(job.records);
  workCv_.notify_all();
}

void CompressAhead::Drop(Job& job) {
  job.dropped = true;
  if (job.state == Job::kClosed || job.state == Job::kReady) {
    job.state = Job::kOff;
    // Closed on the writer's thread, where it was opened.
    job.file.reset();
  }
  if (job.finished) Release(job);
  workCv_.notify_all();
}

std::unique_ptr<CompressAhead::Ticket> CompressAhead::Take(int index, uint64_t size,
                                                           const AheadPlan& plan) {
  std::unique_ptr<Ticket> ticket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return nullptr;
    size_t at = taken_;
    while (at < jobs_.size() && jobs_[at].task.Index < index) Drop(jobs_[at++]);
    taken_ = at;
    if (at < jobs_.size() && jobs_[at].task.Index == index) {
      Job& job = jobs_[at];
      taken_ = at + 1;
      // A run that could not finish (out of memory) is done again by the writer.
      const bool usable = job.state == Job::kRunning && !(job.finished && job.outcome.Failed);
      if (usable && job.announced == size && plan.SameRun(job.task.Plan)) {
        head_ = &job;
        ticket = std::make_unique<Ticket>(*this, job);
      } else {
        Drop(job);
      }
      workCv_.notify_all();
    }
  }
  OpenMore();
  return ticket;
}

bool CompressAhead::Begun(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Job& job : jobs_)
    if (job.task.Index == index) return job.state == Job::kRunning;
  return false;
}

CompressAhead::Ticket::~Ticket() {
  std::lock_guard<std::mutex> lock(owner_.mutex_);
  owner_.Drop(job_);
  owner_.head_ = nullptr;
}

bool CompressAhead::Ticket::Next(AheadRecord& record) {
  if (next_ == taken_.size()) {
    taken_.clear();
    next_ = 0;
    std::unique_lock<std::mutex> lock(owner_.mutex_);
    job_.awaited = true;
    owner_.readyCv_.wait(lock, [this] { return !job_.records.empty() || job_.finished; });
    job_.awaited = false;
    taken_.swap(job_.records);
    owner_.held_ -= job_.held;
    job_.held = 0;
    owner_.workCv_.notify_all();
    if (taken_.empty()) return false;
  }
  record = std::move(taken_[next_++]);
  return true;
}

const AheadOutcome& CompressAhead::Ticket::Outcome() const { return job_.outcome; }

}  // namespace vix
