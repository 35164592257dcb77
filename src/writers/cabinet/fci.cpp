// The built-in cabinet library: the FCI entry points over the caller's
// callbacks.
//
// A context builds one cabinet at a time. The data blocks of every folder of
// the cabinet go to one temporary file as they are made; the folder and file
// records stay in memory. Flushing the cabinet writes the header, the folder
// and file records and then copies the blocks behind them. Folders are never
// split across cabinets: a cabinet that would grow past its size limit makes
// the file being added fail.
//
// MSZIP blocks are independent once each has the 32 KiB of input before it.
// So a full MSZIP block is kept in hand and written only once kBlocksInHand
// newer ones exist (fewer early in a folder, where the status callback must
// still come every other block, and near its threshold), or when its folder
// closes. With more than one thread workers encode the blocks in hand
// meanwhile, across file boundaries (a tree of small files fills a block
// from several of them); with one the calling thread encodes each block as
// it writes it. The lag is the same whatever the thread count, and so are
// the cabinet and the order of the callbacks. Checksums, the data file,
// the callbacks and every error stay on the calling thread. Store and LZX
// (whose window runs through the folder) are written as they are made.
//
// A file's last blocks are thus written while later files are added, and a
// write error or a stop met there fails the call being made. A file that
// fails is taken out whole: the blocks made from its data are dropped and
// the folder is as it was before the call, except that earlier files'
// blocks written meanwhile stay written (a block whose write failed stays in
// hand for a later call). The cabinet size limit and the folder threshold
// count the blocks in hand at their largest, and wait for their encodings
// only when that decides, so that both come out as if each block had been
// written at once.
//
// Memory: at most kBlocksInHand + 1 blocks, in hand or kept for reuse,
// each holding its input, the 32 KiB before it and its encoding (about
// 100 KiB; 1.7 MiB in all), plus about 300 KiB for each worker's encoder
// while it runs, workers being at most kBlocksInHand: under 7 MiB whatever
// the input, about 2.3 MiB with two threads.
#include "writers/cabinet/fci.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engines/lzx.h"
#include "writers/cabinet/cabformat.h"

namespace vix::fci {
namespace {

using namespace vix::cab;

constexpr uint32_t kContextMagic = 0x49434656;  // marks a live context
// Temporary names are asked for again when one cannot be created (the caller
// may hand out a name that exists by then).
constexpr int kTempAttempts = 8;
// Buffer for temporary names: the platform's longest path.
constexpr int kTempNameSize = 260;
constexpr UINT kCopyChunk = 65536;
// MSZIP has no level parameter in the interface. Row 5 of the engine's
// table, with the folder's history, makes the corpus about 6% smaller than
// zlib's level 6 on independent blocks in less time; rows 6 to 9 gain at
// most 2% more for 1.5 to 4.5 times the time (bench/cab_bench).
constexpr int kMszipLevel = 5;
constexpr int kErrInvalid = 22;  // EINVAL: a bad argument

// Full MSZIP blocks kept before the oldest is written: two for each of
// eight workers keeps them busy while the calling thread reads and writes.
// A fixed count, not one per thread, so that the blocks are written, and
// the callbacks made, at the same points whatever the thread count.
constexpr size_t kBlocksInHand = 16;
// More workers than blocks in hand would have nothing to do.
constexpr unsigned kMaxWorkers = kBlocksInHand;
// Blocks the writing thread lets the workers finish before it wakes.
constexpr size_t kAwaitBatch = kBlocksInHand / 2;
// A file that has filled this many blocks is long: its end is far.
constexpr uint32_t kLongFileBlocks = 2;

// One MSZIP block in hand: its input, the folder's input before it, and
// its encoding once made.
struct MszipJob {
  enum State { kIdle, kQueued, kRunning, kDone };
  uint64_t seq = 0;  // the block's place among all the context has made
  std::vector<uint8_t> history, input, encoded;
  // Under the workers' lock while they run; kIdle: no worker will encode it.
  State state = kIdle;
  bool failed = false;  // the worker ran out of memory
};

// Threads that encode MSZIP blocks. The jobs belong to the caller; one given
// to Submit must stay alive until Claim has returned for it, or the workers
// are stopped.
class MszipWorkers {
 public:
  explicit MszipWorkers(unsigned count) {
    try {
      for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { Run(); });
    } catch (...) {
      Stop();
      throw;
    }
  }
  ~MszipWorkers() { Stop(); }
  MszipWorkers(const MszipWorkers&) = delete;
  MszipWorkers& operator=(const MszipWorkers&) = delete;

  void Submit(MszipJob* job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(job);
      job->state = MszipJob::kQueued;
    }
    work_.notify_one();
  }
  // Takes the job back, after which no worker touches it: one no worker has
  // begun leaves the queue (kIdle, for the caller to encode), one being
  // encoded is waited for.
  void Claim(MszipJob* job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (job->state == MszipJob::kQueued) {
      queue_.erase(std::find(queue_.begin(), queue_.end(), job));
      job->state = MszipJob::kIdle;
      return;
    }
    Await(lock, job, [job] { return job->state != MszipJob::kRunning; });
  }
  // Sleeps until a submitted job is encoded. The worker that finishes it
  // wakes the caller; the others finish theirs without waking anybody, so
  // that the caller, waiting on a later job than the next it writes, sleeps
  // through several blocks instead of waking (and taking a core from a
  // worker) at every one.
  void AwaitDone(MszipJob* job) {
    std::unique_lock<std::mutex> lock(mutex_);
    Await(lock, job, [job] { return job->state == MszipJob::kDone || job->state == MszipJob::kIdle; });
  }
  bool Encoded(const MszipJob* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    return job->state == MszipJob::kDone && !job->failed;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      MszipJob* job = queue_.front();
      queue_.pop_front();
      job->state = MszipJob::kRunning;
      lock.unlock();
      bool failed = false;
      try {
        vix::cab::EncodeMszipBlock(job->history.data(), job->history.size(), job->input.data(),
                                   job->input.size(), kMszipLevel, job->encoded);
      } catch (...) {
        failed = true;
      }
      lock.lock();
      job->failed = failed;
      job->state = MszipJob::kDone;
      if (job == awaited_) done_.notify_all();
    }
  }
  template <typename Ready>
  void Await(std::unique_lock<std::mutex>& lock, MszipJob* job, Ready ready) {
    awaited_ = job;
    done_.wait(lock, ready);
    awaited_ = nullptr;
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      for (MszipJob* job : queue_) job->state = MszipJob::kIdle;
      queue_.clear();
    }
    work_.notify_all();
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<MszipJob*> queue_;
  MszipJob* awaited_ = nullptr;  // by the one thread that writes the blocks
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

struct FileRecord {
  uint32_t size = 0;
  uint32_t folderOffset = 0;
  uint16_t folder = 0;
  uint16_t date = 0, time = 0, attribs = 0;
  std::string name;
};

struct FolderRecord {
  uint32_t dataStart = 0;  // offset of its first block in the data file
  uint16_t blocks = 0;
  TCOMP type = tcompTYPE_NONE;
};

// What FCIAddFile restores when the file fails part-way. The block buffers
// are saved only when a block is emitted during the file, and the data
// file's length only when the first block holding the file's data is
// written (earlier blocks written during the file stay).
struct FolderSnapshot {
  bool folderOpen = false;
  TCOMP type = tcompTYPE_NONE;
  uint32_t folderBytes = 0;
  uint64_t firstBlock = 0;  // the first block to hold the file's data
  bool wrote = false;       // a block of the file was written: the fields below hold
  uint32_t folderBlocks = 0;
  uint32_t dataLength = 0;
  size_t pendingLength = 0;
  bool buffersSaved = false;
  std::vector<uint8_t> pending, history;
  bool hadLzx = false;  // the folder's LZX stream had begun
  lzx::Encoder::Snapshot lzx;
};

class Context {
 public:
  Context(PERF perf, PFNFCIFILEPLACED placed, PFNFCIFREE free, PFNFCIOPEN open, PFNFCIREAD read,
          PFNFCIWRITE write, PFNFCICLOSE close, PFNFCISEEK seek, PFNFCIDELETE del,
          PFNFCIGETTEMPFILE tempName, const CCAB& ccab, void* pv)
      : perf_(perf),
        placed_(placed),
        free_(free),
        open_(open),
        read_(read),
        write_(write),
        close_(close),
        seek_(seek),
        delete_(del),
        tempName_(tempName),
        ccab_(ccab),
        pv_(pv) {}

  ~Context() {
    DropJobs();
    DropDataFile();
  }

  uint32_t magic = kContextMagic;
  PFNFCIFREE FreeFunction() const { return free_; }

  void ClearError() {
    perf_->erfOper = FCIERR_NONE;
    perf_->erfType = 0;
    perf_->fError = 0;
  }
  bool Fail(int oper, int type) {
    perf_->erfOper = oper;
    perf_->erfType = type;
    perf_->fError = 1;
    return false;
  }

  bool AddFile(const char* source, const char* name, bool execute, PFNFCIGETNEXTCABINET nextCabinet,
               PFNFCISTATUS status, PFNFCIGETOPENINFO openInfo, TCOMP typeCompress);
  bool FlushFolder(PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status);
  bool FlushCabinet(bool getNextCab, PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status);
  void SetThreads(unsigned threads);

 private:
  bool AddData(INT_PTR source, FileRecord& file, PFNFCIGETNEXTCABINET nextCabinet,
               PFNFCISTATUS status);
  // Writes the block being filled, or with `queue` keeps an MSZIP one in
  // hand and writes it later (WriteJobs).
  bool EmitBlock(PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status, bool queue = false);
  void QueueMszipBlock();
  // Writes the oldest blocks in hand, in order, until `keep` remain.
  bool WriteJobs(size_t keep, PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status);
  // Makes the job's encoding: the worker's, or one made here.
  void Finish(MszipJob& job);
  // The bytes the blocks in hand take in the data file: a bound when that
  // is at most `room`, else exact (every encoding waited for).
  uint64_t QueuedBytes(uint64_t room);
  size_t BlocksToKeep() const;
  bool FolderFull();
  // Drops the blocks in hand from `firstBlock` on.
  void DropJobsFrom(uint64_t firstBlock);
  // Keeps a job done with, its buffers to be used again.
  void Recycle(std::unique_ptr<MszipJob> job);
  void DropJobs();
  // Appends block `seq` to the data file; ReportBlock then tells the
  // status callback.
  bool WriteBlock(uint64_t seq, const uint8_t* payload, size_t payloadSize, size_t uncompressed,
                  PFNFCIGETNEXTCABINET nextCabinet);
  bool ReportBlock(size_t payloadSize, size_t uncompressed, PFNFCISTATUS status);
  uint64_t PendingBlockBound() const;
  bool WriteData(const uint8_t* bytes, size_t count);
  bool EnsureDataFile();
  void DropDataFile();
  void Restore(FolderSnapshot& s);
  // Bytes the cabinet would take with `extraHeader` more in its records.
  uint64_t CabinetBytes(uint64_t extraHeader) const;
  bool CabinetRoom(uint64_t extraHeader, uint64_t extraData, PFNFCIGETNEXTCABINET nextCabinet);
  uint64_t HeaderBytes(bool withNext) const;
  bool WriteCabinet(PFNFCISTATUS status);
  bool CloseSource(INT_PTR hf);

  PERF perf_;
  PFNFCIFILEPLACED placed_;
  PFNFCIFREE free_;
  PFNFCIOPEN open_;
  PFNFCIREAD read_;
  PFNFCIWRITE write_;
  PFNFCICLOSE close_;
  PFNFCISEEK seek_;
  PFNFCIDELETE delete_;
  PFNFCIGETTEMPFILE tempName_;
  CCAB ccab_;
  void* pv_;

  // Set membership: the names written as the neighbours' links.
  uint16_t cabinetIndex_ = 0;
  bool hasPrev_ = false, hasNext_ = false;
  std::string prevCab_, prevDisk_, nextCab_, nextDisk_;

  // The cabinet being built.
  std::vector<FolderRecord> folders_;
  std::vector<FileRecord> files_;
  uint64_t fileRecordBytes_ = 0;
  INT_PTR dataFile_ = -1;
  std::string dataName_;
  uint32_t dataLength_ = 0;  // bytes of the data file that count
  bool dataAtEnd_ = true;    // the data file's position is dataLength_

  // The folder being filled.
  bool folderOpen_ = false;
  bool folderFull_ = false;  // reached the threshold: closed before the next file
  TCOMP folderType_ = tcompTYPE_NONE;
  uint32_t folderStart_ = 0;  // offset of its first block in the data file
  uint32_t folderBytes_ = 0;  // uncompressed bytes so far
  uint32_t folderBlocks_ = 0;
  std::vector<FileRecord> folderFiles_;
  std::vector<uint8_t> pending_;  // the block being filled
  std::vector<uint8_t> history_;  // the previous block of the folder
  std::vector<uint8_t> encoded_;
  std::unique_ptr<lzx::Encoder> lzx_;  // the folder's LZX stream, from its first block
  FolderSnapshot* snapshot_ = nullptr;

  // MSZIP blocks in hand: the thread count asked for, the workers (made at
  // the first block that can use them) and the blocks, oldest first.
  unsigned threads_ = 0;
  std::unique_ptr<MszipWorkers> workers_;
  std::deque<std::unique_ptr<MszipJob>> jobs_;
  std::vector<std::unique_ptr<MszipJob>> spareJobs_;
  uint64_t blocksMade_ = 0;  // blocks made so far, numbering them
  uint64_t cabinetFirstBlock_ = 0;  // blocksMade_ when the cabinet began
  uint32_t fileBlocks_ = 0;  // blocks made while the file being added is read
};

uint32_t CabinetLimit(const CCAB& ccab) {
  return ccab.cb == 0 || ccab.cb > CB_MAX_DISK ? CB_MAX_DISK : ccab.cb;
}

size_t BoundedLength(const char* s, size_t bufferSize) {
  const void* nul = std::memchr(s, 0, bufferSize);
  return nul ? static_cast<const char*>(nul) - s : bufferSize;
}

bool Context::CloseSource(INT_PTR hf) {
  int err = 0;
  return close_(hf, &err, pv_) == 0;
}

bool Context::EnsureDataFile() {
  if (dataFile_ != -1) return true;
  int err = 0;
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    char name[kTempNameSize] = {};
    if (!tempName_(name, kTempNameSize, pv_)) return Fail(FCIERR_TEMP_FILE, 0);
    name[kTempNameSize - 1] = '\0';
    err = 0;
    const INT_PTR hf =
        open_(name, O_RDWR_ | O_CREAT_ | O_EXCL_ | O_BINARY_, S_IREAD_ | S_IWRITE_, &err, pv_);
    if (hf != -1) {
      dataFile_ = hf;
      dataName_ = name;
      dataAtEnd_ = dataLength_ == 0;
      return true;
    }
  }
  return Fail(FCIERR_TEMP_FILE, err);
}

void Context::DropDataFile() {
  if (dataFile_ == -1) return;
  int err = 0;
  close_(dataFile_, &err, pv_);
  delete_(dataName_.data(), &err, pv_);
  dataFile_ = -1;
  dataName_.clear();
}

bool Context::WriteData(const uint8_t* bytes, size_t count) {
  if (!EnsureDataFile()) return false;
  int err = 0;
  if (!dataAtEnd_) {
    if (seek_(dataFile_, static_cast<long>(dataLength_), SEEK_SET_, &err, pv_) !=
        static_cast<long>(dataLength_))
      return Fail(FCIERR_TEMP_FILE, err);
    dataAtEnd_ = true;
  }
  const UINT n =
      write_(dataFile_, const_cast<uint8_t*>(bytes), static_cast<UINT>(count), &err, pv_);
  if (n != count) {
    dataAtEnd_ = false;
    return Fail(FCIERR_TEMP_FILE, err);
  }
  dataLength_ += static_cast<uint32_t>(count);
  return true;
}

uint64_t Context::HeaderBytes(bool withNext) const {
  const bool reserve = ccab_.cbReserveCFHeader || ccab_.cbReserveCFFolder || ccab_.cbReserveCFData;
  uint64_t n = kHdrSize;
  if (reserve) n += kHdrReserveFieldsSize + ccab_.cbReserveCFHeader;
  if (hasPrev_) n += prevCab_.size() + 1 + prevDisk_.size() + 1;
  if (withNext) n += nextCab_.size() + 1 + nextDisk_.size() + 1;
  return n;
}

// Checks that the cabinet still fits its limit after growing by the given
// bytes, counting the longest links to a next cabinet. Folders are not split
// across cabinets, so running out of room fails the file: the caller is
// told through the next-cabinet callback, whose answer cannot help.
uint64_t Context::CabinetBytes(uint64_t extraHeader) const {
  const uint64_t folderRecords =
      (folders_.size() + (folderOpen_ ? 1 : 0)) * (kFolderSize + ccab_.cbReserveCFFolder);
  return HeaderBytes(false) + CB_MAX_CABINET_NAME + CB_MAX_DISK_NAME + folderRecords +
         fileRecordBytes_ + extraHeader + dataLength_;
}

bool Context::CabinetRoom(uint64_t extraHeader, uint64_t extraData,
                          PFNFCIGETNEXTCABINET nextCabinet) {
  const uint64_t size = CabinetBytes(extraHeader) + extraData;
  if (size <= CabinetLimit(ccab_)) return true;
  if (nextCabinet) {
    CCAB next = ccab_;
    ++next.iCab;
    if (!nextCabinet(&next, static_cast<ULONG>(size), pv_)) return Fail(FCIERR_USER_ABORT, 0);
  }
  return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
}

uint64_t Context::PendingBlockBound() const {
  if (pending_.empty()) return 0;
  const TCOMP type = folderType_ & tcompMASK_TYPE;
  const uint64_t payload =
      pending_.size() + (type == tcompTYPE_MSZIP  ? kMszipStoredOverhead
                         : type == tcompTYPE_LZX ? kLzxStoredOverhead
                                                 : 0);
  return kDataFixedSize + ccab_.cbReserveCFData + payload;
}

// The blocks in hand stay: stopping the workers leaves each one encoded or
// for the calling thread (or the next workers) to encode.
void Context::SetThreads(unsigned threads) {
  workers_.reset();
  threads_ = threads;
}

void Context::DropJobs() {
  workers_.reset();
  jobs_.clear();
}

void Context::DropJobsFrom(uint64_t firstBlock) {
  while (!jobs_.empty() && jobs_.back()->seq >= firstBlock) {
    if (workers_) workers_->Claim(jobs_.back().get());
    std::unique_ptr<MszipJob> job = std::move(jobs_.back());
    jobs_.pop_back();
    Recycle(std::move(job));
  }
}

// Without it every block would allocate its buffers anew, and the heap
// grow and shrink around them.
void Context::Recycle(std::unique_ptr<MszipJob> job) {
  if (spareJobs_.size() == spareJobs_.capacity()) return;  // reserved: never allocates
  job->state = MszipJob::kIdle;
  job->failed = false;
  spareJobs_.push_back(std::move(job));
}

bool Context::WriteBlock(uint64_t seq, const uint8_t* payload, size_t payloadSize,
                         size_t uncompressed, PFNFCIGETNEXTCABINET nextCabinet) {
  const size_t reserve = ccab_.cbReserveCFData;
  if (!CabinetRoom(0, kDataFixedSize + reserve + payloadSize, nextCabinet)) return false;

  uint8_t header[kDataFixedSize + kMaxReserveData] = {};
  PutLE16(header + kDataCompressedSize, static_cast<uint16_t>(payloadSize));
  PutLE16(header + kDataUncompressedSize, static_cast<uint16_t>(uncompressed));
  PutLE32(header + kDataChecksum, DataBlockChecksum(header, reserve, payload, payloadSize));
  if (snapshot_ && !snapshot_->wrote && seq >= snapshot_->firstBlock) {
    snapshot_->wrote = true;
    snapshot_->dataLength = dataLength_;
    snapshot_->folderBlocks = folderBlocks_;
  }
  // A block cut short does not count: it is written again whole, or
  // dropped with its file.
  const uint32_t start = dataLength_;
  if (!WriteData(header, kDataFixedSize + reserve) || !WriteData(payload, payloadSize)) {
    dataLength_ = start;
    dataAtEnd_ = false;
    return false;
  }
  ++folderBlocks_;
  return true;
}

bool Context::ReportBlock(size_t payloadSize, size_t uncompressed, PFNFCISTATUS status) {
  if (status && status(statusFile, static_cast<ULONG>(payloadSize),
                       static_cast<ULONG>(uncompressed), pv_) == -1)
    return Fail(FCIERR_USER_ABORT, 0);
  return true;
}

// Keeps the full block in hand, and hands it to the workers (started at
// the first one) unless there is one thread.
void Context::QueueMszipBlock() {
  if (!workers_ && threads_ != 1) {
    const unsigned count =
        std::min(kMaxWorkers, threads_ ? threads_ : std::thread::hardware_concurrency());
    try {
      if (count >= 2) workers_ = std::make_unique<MszipWorkers>(count);
    } catch (const std::system_error&) {
    }
    if (!workers_) threads_ = 1;  // one core, or no threads to be had
  }
  spareJobs_.reserve(kBlocksInHand + 1);
  std::unique_ptr<MszipJob> job;
  if (spareJobs_.empty()) {
    job = std::make_unique<MszipJob>();
  } else {
    job = std::move(spareJobs_.back());
    spareJobs_.pop_back();
  }
  job->seq = blocksMade_;
  job->input.assign(pending_.begin(), pending_.end());
  // In jobs_ before a worker can see it, where DropJobs finds it; nothing
  // of the folder changes until it is there.
  jobs_.push_back(std::move(job));
  MszipJob& kept = *jobs_.back();
  kept.history.swap(history_);
  history_.swap(pending_);
  pending_.clear();
  ++blocksMade_;
  if (workers_) workers_->Submit(&kept);
}

void Context::Finish(MszipJob& job) {
  if (workers_) workers_->Claim(&job);
  if (job.state == MszipJob::kDone && !job.failed) return;
  // Not begun by a worker, or one ran out of memory on it.
  EncodeMszipBlock(job.history.data(), job.history.size(), job.input.data(), job.input.size(),
                   kMszipLevel, job.encoded);
  job.state = MszipJob::kDone;
  job.failed = false;
}

bool Context::WriteJobs(size_t keep, PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status) {
  while (jobs_.size() > keep) {
    MszipJob& job = *jobs_.front();
    // The workers take blocks oldest first, so once a later block is done
    // the ones before it nearly always are: one wait covers a batch.
    if (workers_ && !workers_->Encoded(&job))
      workers_->AwaitDone(jobs_[std::min(jobs_.size(), kAwaitBatch) - 1].get());
    Finish(job);
    const size_t payloadSize = job.encoded.size(), uncompressed = job.input.size();
    if (payloadSize > kMaxMszipBlock) return Fail(FCIERR_MCI_FAIL, 0);
    if (!WriteBlock(job.seq, job.encoded.data(), payloadSize, uncompressed, nextCabinet))
      return false;
    std::unique_ptr<MszipJob> written = std::move(jobs_.front());
    jobs_.pop_front();
    Recycle(std::move(written));
    // The block is in the folder even when the status callback then stops.
    if (!ReportBlock(payloadSize, uncompressed, status)) return false;
  }
  return true;
}

uint64_t Context::QueuedBytes(uint64_t room) {
  const uint64_t fixed = kDataFixedSize + ccab_.cbReserveCFData;
  std::vector<uint64_t> counted;
  counted.reserve(jobs_.size());
  uint64_t total = 0;
  for (const auto& job : jobs_) {
    const bool encoded =
        workers_ ? workers_->Encoded(job.get()) : job->state == MszipJob::kDone && !job->failed;
    // An encoding longer than kMaxMszipBlock fails the block when written.
    counted.push_back(fixed + (encoded ? job->encoded.size() : kMaxMszipBlock));
    total += counted.back();
  }
  // Oldest first: the blocks the workers are most likely done with.
  for (size_t i = 0; i < jobs_.size() && total > room; ++i) {
    Finish(*jobs_[i]);
    total = total - counted[i] + fixed + jobs_[i]->encoded.size();
  }
  return total;
}

// Half the cabinet's blocks at most are kept, so that a stop asked for in
// the status callback is seen within two blocks from its start too, not
// only once kBlocksInHand are in hand. The cabinet's, not the folder's:
// starting over at every folder left the workers half idle there. In a
// short file below the folder threshold fewer: few enough that, counted at
// their largest, they leave the file's end clear of the threshold, which is
// then decided without waiting for their encodings (a tree of small files
// would wait at every file's end; a long file waits once, at its end, and
// keeps every worker busy before).
size_t Context::BlocksToKeep() const {
  const uint64_t made =
      blocksMade_ > cabinetFirstBlock_ ? blocksMade_ - cabinetFirstBlock_ : 0;
  const size_t keep = static_cast<size_t>(std::min<uint64_t>(kBlocksInHand, made / 2));
  const uint64_t threshold = ccab_.cbFolderThresh;
  const uint64_t written = dataLength_ - folderStart_;
  if (fileBlocks_ >= kLongFileBlocks || written >= threshold) return keep;
  const uint64_t used = written + kBlockSize;  // and the block being filled, full
  const uint64_t room = used < threshold ? threshold - 1 - used : 0;
  const uint64_t bound = kDataFixedSize + ccab_.cbReserveCFData + kMaxMszipBlock;
  return static_cast<size_t>(std::min<uint64_t>(keep, room / bound));
}

// Whether the folder holds the threshold's bytes, its blocks in hand
// counted as written.
bool Context::FolderFull() {
  const uint64_t threshold = ccab_.cbFolderThresh;
  const uint64_t size = dataLength_ - folderStart_ + pending_.size();
  return size >= threshold || size + QueuedBytes(threshold - size - 1) >= threshold;
}

bool Context::EmitBlock(PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status, bool queue) {
  if (snapshot_ && !snapshot_->buffersSaved) {
    snapshot_->pending.assign(pending_.begin(), pending_.begin() + snapshot_->pendingLength);
    snapshot_->history = history_;
    snapshot_->hadLzx = lzx_ != nullptr;
    if (lzx_) snapshot_->lzx = lzx_->Save();
    snapshot_->buffersSaved = true;
  }
  if (queue && folderType_ == tcompTYPE_MSZIP) {
    QueueMszipBlock();
    ++fileBlocks_;
    while (jobs_.size() > BlocksToKeep())
      if (!WriteJobs(jobs_.size() - 1, nextCabinet, status)) return false;
    return true;
  }
  const uint8_t* payload = pending_.data();
  size_t payloadSize = pending_.size();
  if (folderType_ == tcompTYPE_MSZIP) {
    EncodeMszipBlock(history_.data(), history_.size(), pending_.data(), pending_.size(),
                     kMszipLevel, encoded_);
    if (encoded_.size() > kMaxMszipBlock) return Fail(FCIERR_MCI_FAIL, 0);
    payload = encoded_.data();
    payloadSize = encoded_.size();
  } else if ((folderType_ & tcompMASK_TYPE) == tcompTYPE_LZX) {
    if (!lzx_) {
      lzx::EncoderOptions options;
      options.WindowBits = (folderType_ & tcompMASK_LZX_WINDOW) >> tcompSHIFT_LZX_WINDOW;
      lzx_ = std::make_unique<lzx::Encoder>(options);
    }
    lzx_->EncodeFrame(pending_.data(), pending_.size(), encoded_);
    if (encoded_.size() > pending_.size() + kLzxStoredOverhead) return Fail(FCIERR_MCI_FAIL, 0);
    payload = encoded_.data();
    payloadSize = encoded_.size();
  }
  const size_t uncompressed = pending_.size();
  if (!WriteBlock(blocksMade_, payload, payloadSize, uncompressed, nextCabinet)) return false;
  ++blocksMade_;
  // The block is in the folder even when the status callback then stops.
  history_.swap(pending_);
  pending_.clear();
  return ReportBlock(payloadSize, uncompressed, status);
}

// Reads the source to its end into the folder, emitting every full block.
bool Context::AddData(INT_PTR source, FileRecord& file, PFNFCIGETNEXTCABINET nextCabinet,
                      PFNFCISTATUS status) {
  uint64_t total = 0;
  for (;;) {
    if (pending_.size() == kBlockSize && !EmitBlock(nextCabinet, status, true)) return false;
    const size_t at = pending_.size();
    pending_.resize(kBlockSize);
    int err = 0;
    const UINT n =
        read_(source, pending_.data() + at, static_cast<UINT>(kBlockSize - at), &err, pv_);
    if (n == static_cast<UINT>(-1) || n > kBlockSize - at) {
      pending_.resize(at);
      return Fail(FCIERR_READ_SRC, err);
    }
    pending_.resize(at + n);
    if (n == 0) break;
    total += n;
    if (folderBytes_ + total > kMaxFolderBytes) return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
  }
  file.size = static_cast<uint32_t>(total);
  folderBytes_ += file.size;
  return true;
}

void Context::Restore(FolderSnapshot& s) {
  DropJobsFrom(s.firstBlock);
  blocksMade_ = s.firstBlock;
  folderOpen_ = s.folderOpen;
  folderType_ = s.type;
  folderBytes_ = s.folderBytes;
  if (s.wrote) {
    folderBlocks_ = s.folderBlocks;
    if (dataLength_ != s.dataLength) dataAtEnd_ = false;
    dataLength_ = s.dataLength;
  }
  if (s.buffersSaved) {
    pending_.swap(s.pending);
    history_.swap(s.history);
    if (!s.hadLzx)
      lzx_.reset();
    else
      lzx_->Restore(s.lzx);
  } else {
    pending_.resize(s.pendingLength);
  }
}

bool Context::AddFile(const char* source, const char* name, bool execute,
                      PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status,
                      PFNFCIGETOPENINFO openInfo, TCOMP typeCompress) {
  if (!source || !name || !openInfo) return Fail(FCIERR_NONE, kErrInvalid);
  const size_t nameLength = BoundedLength(name, kMaxName + 1);
  if (nameLength == 0 || nameLength > kMaxName) return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
  // The folder's type word: the type and, for LZX, the window. Parameter
  // bits that the type does not use (a Quantum level or memory beside
  // NONE or MSZIP) are refused rather than dropped.
  const TCOMP type = typeCompress & (tcompMASK_TYPE | tcompMASK_LZX_WINDOW);
  const int window = (typeCompress & tcompMASK_LZX_WINDOW) >> tcompSHIFT_LZX_WINDOW;
  const TCOMP kind = typeCompress & tcompMASK_TYPE;
  const bool known = kind == tcompTYPE_LZX
                         ? window >= lzx::kMinWindowBits && window <= lzx::kMaxWindowBits
                         : (kind == tcompTYPE_NONE || kind == tcompTYPE_MSZIP) && window == 0;
  if (!known || (typeCompress & (tcompMASK_RESERVED | tcompMASK_QUANTUM_LEVEL)))
    return Fail(FCIERR_BAD_COMPR_TYPE, 0);
  if (files_.size() + folderFiles_.size() >= kMaxFiles) return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);

  FileRecord file;
  file.name.assign(name, nameLength);
  int err = 0;
  std::vector<char> sourceName(source, source + std::strlen(source) + 1);
  const INT_PTR hf = openInfo(sourceName.data(), &file.date, &file.time, &file.attribs, &err, pv_);
  if (hf == -1) return Fail(FCIERR_OPEN_SRC, err);
  if (execute) file.attribs |= A_EXEC;

  // A folder holds at most kMaxFolderBytes: start a new one when the file
  // (its size as it stands now) would not fit beside what it holds.
  err = 0;
  const long size = seek_(hf, 0, SEEK_END_, &err, pv_);
  if (size >= 0 && seek_(hf, 0, SEEK_SET_, &err, pv_) != 0) {
    CloseSource(hf);
    return Fail(FCIERR_READ_SRC, err);
  }
  if (size >= 0 && static_cast<uint64_t>(size) > kMaxFolderBytes) {
    CloseSource(hf);
    return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
  }
  const bool newFolder =
      folderOpen_ && (folderFull_ || folderType_ != type ||
                      (size >= 0 && folderBytes_ + static_cast<uint64_t>(size) > kMaxFolderBytes));
  if ((newFolder && !FlushFolder(nextCabinet, status)) ||
      (!folderOpen_ && folders_.size() >= kMaxFolders && !Fail(FCIERR_CAB_FORMAT_LIMIT, 0))) {
    CloseSource(hf);
    return false;
  }

  FolderSnapshot snapshot;
  snapshot.folderOpen = folderOpen_;
  snapshot.type = folderType_;
  snapshot.folderBytes = folderBytes_;
  snapshot.firstBlock = blocksMade_;
  snapshot.pendingLength = pending_.size();
  if (!folderOpen_) {
    folderOpen_ = true;
    folderType_ = type;
    folderStart_ = dataLength_;
  }
  file.folderOffset = folderBytes_;
  snapshot_ = &snapshot;
  fileBlocks_ = 0;
  // The room check counts the file's record, the blocks in hand and the
  // block still being filled at their largest (or the blocks in hand as
  // encoded, when that decides), so that writing them later cannot fail
  // for want of room.
  const uint64_t record = kFileFixedSize + nameLength + 1;
  bool ok = false, full = false;
  try {
    ok = AddData(hf, file, nextCabinet, status);
    if (ok) {
      const uint64_t limit = CabinetLimit(ccab_);
      const uint64_t used = CabinetBytes(record) + PendingBlockBound();
      ok = CabinetRoom(record, PendingBlockBound() + QueuedBytes(used < limit ? limit - used : 0),
                       nextCabinet);
    }
    // A folder that reached the threshold is closed before the next file
    // or at the flush, so that this call's result stays the file's alone.
    if (ok) full = FolderFull();
    folderFiles_.reserve(folderFiles_.size() + 1);
  } catch (...) {
    snapshot_ = nullptr;
    CloseSource(hf);
    Restore(snapshot);
    throw;
  }
  snapshot_ = nullptr;
  err = 0;
  if (close_(hf, &err, pv_) != 0 && ok) ok = Fail(FCIERR_READ_SRC, err);
  if (!ok) {
    Restore(snapshot);
    return false;
  }
  fileRecordBytes_ += record;
  folderFiles_.push_back(std::move(file));
  folderFull_ = full;
  return true;
}

bool Context::FlushFolder(PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status) {
  if (!folderOpen_) return true;
  if (!WriteJobs(0, nextCabinet, status) || (!pending_.empty() && !EmitBlock(nextCabinet, status)))
    return false;
  FolderRecord folder;
  folder.dataStart = folderStart_;
  folder.blocks = static_cast<uint16_t>(folderBlocks_);
  folder.type = folderType_;
  folders_.push_back(folder);
  const auto index = static_cast<uint16_t>(folders_.size() - 1);
  folderOpen_ = false;
  folderFull_ = false;
  folderBytes_ = 0;
  folderBlocks_ = 0;
  folderStart_ = dataLength_;
  history_.clear();
  pending_.clear();
  lzx_.reset();
  std::vector<FileRecord> placed;
  placed.swap(folderFiles_);
  bool ok = true;
  for (auto& file : placed) {
    file.folder = index;
    files_.push_back(file);
    if (ok && placed_ &&
        placed_(&ccab_, file.name.data(), static_cast<long>(file.size), 0, pv_) == -1)
      ok = Fail(FCIERR_USER_ABORT, 0);
  }
  return ok;
}

bool Context::WriteCabinet(PFNFCISTATUS status) {
  const bool reserve = ccab_.cbReserveCFHeader || ccab_.cbReserveCFFolder || ccab_.cbReserveCFData;
  const uint64_t headerBytes = HeaderBytes(hasNext_);
  const uint64_t folderBytes = folders_.size() * (kFolderSize + ccab_.cbReserveCFFolder);
  const uint64_t dataStart = headerBytes + folderBytes + fileRecordBytes_;
  const uint64_t total = dataStart + dataLength_;
  if (total > CabinetLimit(ccab_)) return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);

  std::vector<uint8_t> head(static_cast<size_t>(dataStart), 0);
  uint8_t* p = head.data();
  std::memcpy(p + kHdrSignature, "MSCF", 4);
  PutLE32(p + kHdrCabinetSize, static_cast<uint32_t>(total));
  PutLE32(p + kHdrFilesOffset, static_cast<uint32_t>(headerBytes + folderBytes));
  p[kHdrVersionMinor] = kVersionMinor;
  p[kHdrVersionMajor] = kVersionMajor;
  PutLE16(p + kHdrFolderCount, static_cast<uint16_t>(folders_.size()));
  PutLE16(p + kHdrFileCount, static_cast<uint16_t>(files_.size()));
  PutLE16(p + kHdrFlags, static_cast<uint16_t>((hasPrev_ ? kFlagPrevCabinet : 0) |
                                               (hasNext_ ? kFlagNextCabinet : 0) |
                                               (reserve ? kFlagReservePresent : 0)));
  PutLE16(p + kHdrSetId, ccab_.setID);
  PutLE16(p + kHdrCabinetIndex, cabinetIndex_);
  size_t at = kHdrSize;
  if (reserve) {
    PutLE16(p + kHdrReserveHeaderSize, static_cast<uint16_t>(ccab_.cbReserveCFHeader));
    p[kHdrReserveFolderSize] = static_cast<uint8_t>(ccab_.cbReserveCFFolder);
    p[kHdrReserveDataSize] = static_cast<uint8_t>(ccab_.cbReserveCFData);
    at += kHdrReserveFieldsSize + ccab_.cbReserveCFHeader;  // reserve bytes stay zero
  }
  auto putString = [&](const std::string& s) {
    std::memcpy(p + at, s.data(), s.size());
    at += s.size() + 1;
  };
  if (hasPrev_) {
    putString(prevCab_);
    putString(prevDisk_);
  }
  if (hasNext_) {
    putString(nextCab_);
    putString(nextDisk_);
  }
  for (const auto& folder : folders_) {
    PutLE32(p + at + kFolderDataOffset, static_cast<uint32_t>(dataStart + folder.dataStart));
    PutLE16(p + at + kFolderBlockCount, folder.blocks);
    PutLE16(p + at + kFolderCompression, folder.type);
    at += kFolderSize + ccab_.cbReserveCFFolder;
  }
  for (const auto& file : files_) {
    PutLE32(p + at + kFileSize, file.size);
    PutLE32(p + at + kFileFolderOffset, file.folderOffset);
    PutLE16(p + at + kFileFolderIndex, file.folder);
    PutLE16(p + at + kFileDate, file.date);
    PutLE16(p + at + kFileTime, file.time);
    PutLE16(p + at + kFileAttribs, file.attribs);
    at += kFileFixedSize;
    putString(file.name);
  }

  std::string path(ccab_.szCabPath, BoundedLength(ccab_.szCabPath, CB_MAX_CAB_PATH));
  path.append(ccab_.szCab, BoundedLength(ccab_.szCab, CB_MAX_CABINET_NAME));
  int err = 0;
  const INT_PTR cab = open_(path.data(), O_RDWR_ | O_CREAT_ | O_TRUNC_ | O_BINARY_,
                            S_IREAD_ | S_IWRITE_, &err, pv_);
  if (cab == -1) return Fail(FCIERR_CAB_FILE, err);
  bool ok = write_(cab, head.data(), static_cast<UINT>(head.size()), &err, pv_) == head.size() ||
            Fail(FCIERR_CAB_FILE, err);
  if (ok && dataLength_ > 0) {
    dataAtEnd_ = false;
    ok = seek_(dataFile_, 0, SEEK_SET_, &err, pv_) == 0 || Fail(FCIERR_TEMP_FILE, err);
    std::vector<uint8_t> chunk(kCopyChunk);
    for (uint32_t copied = 0; ok && copied < dataLength_;) {
      const UINT want = static_cast<UINT>(std::min<uint32_t>(kCopyChunk, dataLength_ - copied));
      const UINT got = read_(dataFile_, chunk.data(), want, &err, pv_);
      if (got != want) {
        ok = Fail(FCIERR_TEMP_FILE, err);
      } else if (write_(cab, chunk.data(), want, &err, pv_) != want) {
        ok = Fail(FCIERR_CAB_FILE, err);
      } else {
        copied += want;
        if (status && status(statusFolder, copied, dataLength_, pv_) == -1)
          ok = Fail(FCIERR_USER_ABORT, 0);
      }
    }
  }
  if (close_(cab, &err, pv_) != 0 && ok) ok = Fail(FCIERR_CAB_FILE, err);
  if (!ok) {
    // A cabinet cut short is no cabinet: do not leave it behind.
    int ignored = 0;
    delete_(path.data(), &ignored, pv_);
    return false;
  }
  if (status &&
      status(statusCabinet, static_cast<ULONG>(total), static_cast<ULONG>(total), pv_) == -1)
    return Fail(FCIERR_USER_ABORT, 0);
  return true;
}

bool Context::FlushCabinet(bool getNextCab, PFNFCIGETNEXTCABINET nextCabinet, PFNFCISTATUS status) {
  if (!FlushFolder(nextCabinet, status)) return false;
  // Nothing was added: a cabinet without files is one that readers refuse.
  if (files_.empty()) return true;
  CCAB next = ccab_;
  if (getNextCab) {
    ++next.iCab;
    const uint64_t estimate = HeaderBytes(false) + fileRecordBytes_ + dataLength_ +
                              folders_.size() * (kFolderSize + ccab_.cbReserveCFFolder);
    if (!nextCabinet || !nextCabinet(&next, static_cast<ULONG>(estimate), pv_))
      return Fail(FCIERR_USER_ABORT, 0);
    hasNext_ = true;
    nextCab_.assign(next.szCab, BoundedLength(next.szCab, CB_MAX_CABINET_NAME));
    nextDisk_.assign(next.szDisk, BoundedLength(next.szDisk, CB_MAX_DISK_NAME));
    if (nextCab_.empty() || nextCab_.size() > kMaxName || nextDisk_.size() > kMaxName)
      return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
  }
  const bool ok = WriteCabinet(status);
  // The next cabinet starts empty whether or not this one was written.
  folders_.clear();
  files_.clear();
  fileRecordBytes_ = 0;
  dataLength_ = 0;
  folderStart_ = 0;
  dataAtEnd_ = false;
  cabinetFirstBlock_ = blocksMade_;
  if (!ok) {
    hasNext_ = false;
    return false;
  }
  if (getNextCab) {
    hasPrev_ = true;
    prevCab_.assign(ccab_.szCab, BoundedLength(ccab_.szCab, CB_MAX_CABINET_NAME));
    prevDisk_.assign(ccab_.szDisk, BoundedLength(ccab_.szDisk, CB_MAX_DISK_NAME));
    hasNext_ = false;
    ccab_ = next;
  }
  ++cabinetIndex_;
  return true;
}

Context* Live(HFCI hfci) {
  auto* context = static_cast<Context*>(hfci);
  return context && context->magic == kContextMagic ? context : nullptr;
}

// Runs one entry point: the error record is cleared first, and nothing
// thrown inside (the C++ heap running out) crosses the C interface.
template <typename F>
BOOL Guarded(Context* context, F&& body) {
  if (!context) return 0;
  context->ClearError();
  try {
    return body() ? 1 : 0;
  } catch (const std::bad_alloc&) {
    // The blocks in hand belong to files already added: they stay.
    return context->Fail(FCIERR_ALLOC_FAIL, 0);
  } catch (...) {
    return context->Fail(FCIERR_MCI_FAIL, 0);
  }
}

}  // namespace

HFCI FCICreate(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
               PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
               PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab,
               void* pv) {
  if (!perf) return nullptr;
  auto fail = [perf](int oper, int type) -> HFCI {
    perf->erfOper = oper;
    perf->erfType = type;
    perf->fError = 1;
    return nullptr;
  };
  if (!pfna || !pfnf || !pfnopen || !pfnread || !pfnwrite || !pfnclose || !pfnseek || !pfndelete ||
      !pfnfcigtf || !pccab)
    return fail(FCIERR_NONE, kErrInvalid);
  if (pccab->cbReserveCFHeader > kMaxReserveHeader ||
      pccab->cbReserveCFFolder > kMaxReserveFolder || pccab->cbReserveCFData > kMaxReserveData)
    return fail(FCIERR_CAB_FORMAT_LIMIT, 0);
  const size_t cabLength = BoundedLength(pccab->szCab, CB_MAX_CABINET_NAME);
  if (cabLength == 0 || cabLength > kMaxName ||
      BoundedLength(pccab->szCabPath, CB_MAX_CAB_PATH) > kMaxName ||
      BoundedLength(pccab->szDisk, CB_MAX_DISK_NAME) > kMaxName)
    return fail(FCIERR_NONE, kErrInvalid);
  void* memory = pfna(sizeof(Context));
  if (!memory) return fail(FCIERR_ALLOC_FAIL, 0);
  try {
    // The context lives in the caller's memory; its buffers come from the
    // C++ heap (a failure there is FCIERR_ALLOC_FAIL too).
    auto* context = new (memory) Context(perf, pfnfcifp, pfnf, pfnopen, pfnread, pfnwrite, pfnclose,
                                         pfnseek, pfndelete, pfnfcigtf, *pccab, pv);
    context->ClearError();
    return context;
  } catch (const std::bad_alloc&) {
    pfnf(memory);
    return fail(FCIERR_ALLOC_FAIL, 0);
  }
}

BOOL FCIAddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, BOOL fExecute,
                PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                TCOMP typeCompress) {
  Context* context = Live(hfci);
  return Guarded(context, [&] {
    return context->AddFile(pszSourceFile, pszFileName, fExecute != 0, pfnfcignc, pfnfcis,
                            pfnfcigoi, typeCompress);
  });
}

BOOL FCIFlushCabinet(HFCI hfci, BOOL fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                     PFNFCISTATUS pfnfcis) {
  Context* context = Live(hfci);
  return Guarded(context,
                 [&] { return context->FlushCabinet(fGetNextCab != 0, pfnfcignc, pfnfcis); });
}

BOOL FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis) {
  Context* context = Live(hfci);
  return Guarded(context, [&] { return context->FlushFolder(pfnfcignc, pfnfcis); });
}

BOOL FCIDestroy(HFCI hfci) {
  Context* context = Live(hfci);
  if (!context) return 0;
  PFNFCIFREE free = context->FreeFunction();
  context->magic = 0;
  context->~Context();
  free(context);
  return 1;
}

BOOL SetBuiltinThreads(HFCI hfci, unsigned threads) {
  Context* context = Live(hfci);
  if (!context) return 0;
  context->SetThreads(threads);
  return 1;
}

void* BuiltinProcAddress(const char* name) {
  struct Export {
    const char* name;
    void* address;
  };
  static const Export kExports[] = {
      {"FCICreate", reinterpret_cast<void*>(&FCICreate)},
      {"FCIAddFile", reinterpret_cast<void*>(&FCIAddFile)},
      {"FCIFlushCabinet", reinterpret_cast<void*>(&FCIFlushCabinet)},
      {"FCIFlushFolder", reinterpret_cast<void*>(&FCIFlushFolder)},
      {"FCIDestroy", reinterpret_cast<void*>(&FCIDestroy)},
  };
  if (!name) return nullptr;
  for (const auto& e : kExports)
    if (std::strcmp(e.name, name) == 0) return e.address;
  return nullptr;
}

}  // namespace vix::fci
