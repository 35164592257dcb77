// LzhEncodeFile: the compressor bound to a component's block operations.
#include "engines/lzh.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "archive/kvtBase.h"

namespace vix {

namespace {

struct ReadFailure {};
struct WriteFailure {
  std::string Why;
};
struct CancelRequest {};

class ComponentIo final : public LzhIo {
 public:
  ComponentIo(TCompBase& comp, Stream* input, Stream* output)
      : comp_(comp), input_(input), output_(output), fileSize_(comp.InputLeft) {}

  uint32_t Read(uint8_t* buffer, uint32_t count) override {
    if (comp_.InputLeft == 0) return 0;
    const int64_t n = comp_.ReadEntryData(input_, buffer, count, ckCrc16, fileSize_);
    if (n < 0) throw ReadFailure{};
    done_ += static_cast<uint64_t>(n);
    if (comp_.GetCancel()) throw CancelRequest{};
    return static_cast<uint32_t>(n);
  }

  void Write(const uint8_t* buffer, uint32_t count) override {
    int64_t written;
    try {
      // WriteBlock changes the bytes only when it encrypts, which it never
      // does for LZH archives.
      written = comp_.WriteBlock(output_, const_cast<uint8_t*>(buffer), count, true, ckNone, false);
    } catch (const std::exception& e) {
      throw WriteFailure{e.what()};
    } catch (...) {
      throw WriteFailure{};
    }
    if (written != count) throw WriteFailure{"the output took fewer bytes than given"};
    comp_.PackedBytes += count;
    written_ += count;
  }

  uint64_t BytesRead() const { return done_; }
  uint64_t BytesWritten() const { return written_; }

 private:
  TCompBase& comp_;
  Stream* input_;
  Stream* output_;
  uint32_t fileSize_;
  uint64_t done_ = 0;
  uint64_t written_ = 0;
};

class StreamIo final : public LzhIo {
 public:
  StreamIo(EngineSource& source, EngineSink& sink) : source_(source), sink_(sink) {}
  uint32_t Read(uint8_t* buffer, uint32_t count) override {
    if (!source_.More()) return 0;
    const int64_t n = source_.Read(buffer, count);
    if (n < 0) throw ReadFailure{};
    done_ += static_cast<uint64_t>(n);
    return static_cast<uint32_t>(n);
  }
  void Write(const uint8_t* buffer, uint32_t count) override {
    sink_.Write(buffer, count);
    written_ += count;
  }
  uint64_t BytesRead() const { return done_; }
  uint64_t BytesWritten() const { return written_; }

 private:
  EngineSource& source_;
  EngineSink& sink_;
  uint64_t done_ = 0;
  uint64_t written_ = 0;
};

}  // namespace

EngineResult LzhEncodeStream(const LzhMethodParams& params, EngineSource& source,
                             EngineSink& sink) {
  StreamIo io(source, sink);
  EngineResult result;
  try {
    LzhStats stats;
    if (!LzhEncode(params, io, stats)) result.Status = EngineStatus::Fallback;
  } catch (const ReadFailure&) {
    result.Status = EngineStatus::ReadFailed;
  }
  result.BytesRead = io.BytesRead();
  result.BytesWritten = io.BytesWritten();
  return result;
}

EngineResult LzhEncodeFile(TCompBase& comp, Stream* input, Stream* output) {
  ComponentIo io(comp, input, output);
  EngineResult result;
  AheadPlan plan;
  plan.engine = AheadPlan::kLzh;
  plan.Lzh = LzhParameters;
  plan.Crc16 = true;
  bool played = false;
  try {
    if (auto ticket = comp.TakeAhead(input, plan)) {
      played = true;
      comp.PlayAhead(*ticket, input, ckCrc16,
                     [&io](const uint8_t* bytes, uint32_t count) { io.Write(bytes, count); },
                     result);
      return result;
    }
    LzhStats stats;
    if (!LzhEncode(LzhParameters, io, stats)) result.Status = EngineStatus::Fallback;
  } catch (const ReadFailure&) {
    result.Status = EngineStatus::ReadFailed;
  } catch (WriteFailure& failure) {
    result.Status = EngineStatus::WriteFailed;
    result.Why = std::move(failure.Why);
  } catch (const CancelRequest&) {
    result.Status = EngineStatus::Cancelled;
  } catch (...) {
    // The engine could not run (out of memory): the file is stored instead.
    result.Status = EngineStatus::Fallback;
  }
  if (!played) {
    result.BytesRead = io.BytesRead();
    result.BytesWritten = io.BytesWritten();
  }
  return result;
}

}  // namespace vix
