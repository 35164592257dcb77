// DeflateFile: the deflate core fed from a file and writing to the archive,
// all through the component's block operations.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "archive/kvtBase.h"
#include "engines/deflate.h"
#include "engines/deflate_core.h"
#include "platform/platform.h"

namespace vix {
namespace {

constexpr uint32_t kEncryptChunk = 32768;

// Thrown through the core when the output refuses bytes; the core keeps no
// state that outlives the run, so leaving it this way is safe.
struct WriteFailure {
  std::string Why;
};

class ComponentIo : public deflate_core::DeflateIo {
 public:
  ComponentIo(TCompBase& component, platform::Stream* input, platform::Stream* output,
              bool encrypt)
      : c_(component), input_(input), output_(output), encrypt_(encrypt),
        fileTotal_(component.InputLeft) {
    Cancelled = c_.GetCancel();
  }

  bool MoreInput() override { return c_.InputLeft != 0; }

  int64_t Read(uint8_t* buffer, uint32_t count) override {
    const int64_t n = c_.ReadEntryData(input_, buffer, count, ckCrc32, fileTotal_);
    if (n < 0) readFailed_ = true;
    if (n > 0) bytesRead_ += static_cast<uint64_t>(n);
    Cancelled = c_.GetCancel();
    return n;
  }

  void Write(const uint8_t* buffer, uint32_t count) override {
    if (!encrypt_) {
      // Without encryption WriteBlock leaves the bytes as they are.
      Put(const_cast<uint8_t*>(buffer), count, false);
    } else {
      // Encryption works in place; the bytes may be window bytes that later
      // matches still refer to, so a copy is encrypted instead.
      if (scratch_.empty()) scratch_.resize(kEncryptChunk);
      while (count > 0) {
        const uint32_t n = std::min(count, kEncryptChunk);
        std::memcpy(scratch_.data(), buffer, n);
        Put(scratch_.data(), n, true);
        buffer += n;
        count -= n;
      }
    }
    Cancelled = c_.GetCancel();
  }

  void StoredFallback() override { fellBack_ = true; }

  // How the run ended, once the core has returned.
  EngineStatus Status() const {
    if (Cancelled) return EngineStatus::Cancelled;
    if (readFailed_) return EngineStatus::ReadFailed;
    return fellBack_ ? EngineStatus::Fallback : EngineStatus::Done;
  }
  bool FellBack() const { return fellBack_; }
  uint64_t BytesRead() const { return bytesRead_; }
  uint64_t BytesWritten() const { return bytesWritten_; }

  void LengthOutOfRange() override {
    platform::ShowMessage("Length out of range!", platform::ApplicationTitle(),
                          platform::MsgIcon::Stop);
  }

 private:
  TCompBase& c_;
  platform::Stream* input_;
  platform::Stream* output_;
  bool encrypt_;
  uint64_t fileTotal_;
  std::vector<uint8_t> scratch_;
  uint64_t bytesRead_ = 0;
  uint64_t bytesWritten_ = 0;
  bool readFailed_ = false;
  bool fellBack_ = false;

  // WriteBlock raises on a short write; the run ends there.
  void Put(uint8_t* data, uint32_t count, bool encrypt) {
    int64_t n;
    try {
      n = c_.WriteBlock(output_, data, count, true, ckNone, encrypt);
    } catch (const std::exception& e) {
      throw WriteFailure{e.what()};
    }
    c_.PackedBytes += static_cast<uint64_t>(n);
    bytesWritten_ += static_cast<uint64_t>(n);
  }
};

// A worker's source and sink behind the core's interface.
class StreamIo : public deflate_core::DeflateIo {
 public:
  StreamIo(EngineSource& source, EngineSink& sink) : source_(source), sink_(sink) {}
  bool MoreInput() override { return source_.More(); }
  int64_t Read(uint8_t* buffer, uint32_t count) override {
    const int64_t n = source_.Read(buffer, count);
    if (n < 0) readFailed_ = true;
    if (n > 0) bytesRead_ += static_cast<uint64_t>(n);
    return n;
  }
  void Write(const uint8_t* buffer, uint32_t count) override {
    sink_.Write(buffer, count);
    bytesWritten_ += count;
  }
  void StoredFallback() override { fellBack_ = true; }

  EngineResult Result() const {
    EngineResult result;
    result.Status = readFailed_ ? EngineStatus::ReadFailed
                    : fellBack_ ? EngineStatus::Fallback
                                : EngineStatus::Done;
    result.InputInOutput = fellBack_;
    result.BytesRead = bytesRead_;
    result.BytesWritten = bytesWritten_;
    return result;
  }

 private:
  EngineSource& source_;
  EngineSink& sink_;
  uint64_t bytesRead_ = 0;
  uint64_t bytesWritten_ = 0;
  bool readFailed_ = false;
  bool fellBack_ = false;
};

}  // namespace

EngineResult DeflateStream(EngineSource& source, EngineSink& sink, int level,
                           bool allowStoredFallback) {
  StreamIo io(source, sink);
  deflate_core::Options options;
  options.Level = level;
  options.AllowStoredFallback = allowStoredFallback;
  deflate_core::Run(io, options);
  return io.Result();
}

EngineResult DeflateFile(TCompBase& component, platform::Stream* input, platform::Stream* output,
                         bool encrypt, bool allowStoredFallback) {
  ComponentIo io(component, input, output, encrypt);
  AheadPlan plan;
  plan.engine = AheadPlan::kDeflate;
  plan.DeflateLevel = component.DeflateLevel();
  plan.AllowStoredFallback = allowStoredFallback;
  plan.Crc32 = true;
  if (auto ticket = component.TakeAhead(input, plan)) {
    EngineResult result;
    try {
      component.PlayAhead(*ticket, input, ckCrc32,
                          [&io](const uint8_t* bytes, uint32_t count) { io.Write(bytes, count); },
                          result);
    } catch (WriteFailure& failure) {
      result.Status = EngineStatus::WriteFailed;
      result.Why = std::move(failure.Why);
    }
    return result;
  }
  deflate_core::Options options;
  options.Level = component.DeflateLevel();
  options.AllowStoredFallback = allowStoredFallback;
  EngineResult result;
  try {
    deflate_core::Run(io, options);
    result.Status = io.Status();
    result.InputInOutput = io.FellBack();
  } catch (WriteFailure& failure) {
    result.Status = EngineStatus::WriteFailed;
    result.Why = std::move(failure.Why);
  }
  result.BytesRead = io.BytesRead();
  result.BytesWritten = io.BytesWritten();
  return result;
}

}  // namespace vix
