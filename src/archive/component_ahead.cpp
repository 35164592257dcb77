// The component's side of compression ahead: which files are compressed
// ahead, and playing a run back as if it happened on the writer's thread.
#include <algorithm>
#include <new>
#include <system_error>
#include <thread>

#include "archive/kvtBase.h"
#include "archive/kvtCrc.h"

namespace vix {

namespace {
// More workers than this only add memory on any machine the program meets.
constexpr unsigned kMaxWorkers = 16;
}  // namespace

unsigned TCompBase::ThreadCount() const {
  const unsigned wanted = Threads ? Threads : std::thread::hardware_concurrency();
  return std::clamp(wanted, 1u, kMaxWorkers);
}

AheadPlan TCompBase::PlanAhead(int) { return {}; }

void TCompBase::StartAhead() {
  Ahead.reset();
  AheadIndex = -1;
  EntriesPlayedAhead = 0;
  const unsigned threads = ThreadCount();
  if (threads < 2 || InputKind != skFile) return;
  std::vector<CompressAhead::Task> tasks;
  for (int i = 0; i < EntryList.Count(); ++i) {
    const TCompBaseHeaderObj& entry = EntryList.Object(i);
    if (entry.Action == TCompBaseHeaderObj::kCopy || entry.Action == TCompBaseHeaderObj::kRename ||
        entry.Action == TCompBaseHeaderObj::kSkip || (entry.Attr & platform::kAttrDirectory) ||
        entry.Size == 0)
      continue;
    AheadPlan plan = PlanAhead(i);
    if (plan.engine == AheadPlan::kNone) continue;
    // The verification tap keeps a CRC-32 of every source.
    if (Verify) plan.Crc32 = true;
    tasks.push_back({i, plan});
  }
  if (tasks.empty()) return;
  try {
    Ahead = std::make_unique<CompressAhead>(threads, std::move(tasks), [this](int index) {
      return platform::Current().OpenRead(EntryList.Line(index), platform::ShareMode::Read);
    });
  } catch (const std::system_error&) {
    // No thread could be started: the writer compresses every entry itself.
    Ahead.reset();
  } catch (const std::bad_alloc&) {
    Ahead.reset();
  }
}

std::unique_ptr<CompressAhead::Ticket> TCompBase::TakeAhead(Stream* input,
                                                            const AheadPlan& plan) {
  if (!Ahead || AheadIndex < 0 || InputKind != skFile || !input || input->Position() != 0)
    return nullptr;
  if ((plan.Crc16 && Crc16Value != 0) || (plan.Crc32 && !plan.Crc16 && Crc32Value != 0xFFFFFFFFu))
    return nullptr;
  AheadPlan wanted = plan;
  if (SourceTap.On && input != SourceTap.Exclude) wanted.Crc32 = true;
  return Ahead->Take(AheadIndex, InputLeft, wanted);
}

void TCompBase::PlayAhead(CompressAhead::Ticket& ticket, Stream* input, TCrcKind kind,
                          const std::function<void(const uint8_t*, uint32_t)>& write,
                          EngineResult& result) {
  const uint64_t fileTotal = InputLeft;
  ++EntriesPlayedAhead;
  AheadRecord record;
  while (ticket.Next(record)) {
    if (record.Bytes.empty()) {
      CountEntryRead(record.Read, fileTotal);
      result.BytesRead += record.Read;
    } else {
      write(record.Bytes.data(), static_cast<uint32_t>(record.Bytes.size()));
      result.BytesWritten += record.Bytes.size();
    }
    if (GetCancel()) {
      // The workers' other runs are of no use any more either.
      if (Ahead) Ahead->Stop();
      result.Status = EngineStatus::Cancelled;
      return;
    }
  }
  const AheadOutcome& outcome = ticket.Outcome();
  if (outcome.Failed) {
    if (GetCancel()) {
      result.Status = EngineStatus::Cancelled;
      return;
    }
    throw std::bad_alloc();  // what the engine would have met here
  }
  result.Status = outcome.Result.Status;
  result.InputInOutput = outcome.Result.InputInOutput;
  if (result.Status == EngineStatus::ReadFailed && input == EntryInput) InputFailed = true;
  if (kind == ckCrc16) Crc16Value = outcome.Crc16;
  if (kind == ckCrc32) Crc32Value = outcome.Crc32;
  if (SourceTap.On && input != SourceTap.Exclude && result.BytesRead > 0) {
    // As the reads from the start of the file would have left it.
    if (SourceTap.Bytes > 0) SourceTap.Start();
    SourceTap.Crc = outcome.Crc32;
    SourceTap.Bytes = result.BytesRead;
  }
}

}  // namespace vix
