// LzhEncodeFile: the compressor bound to a component's block operations.
#include "engines/lzh.h"

#include <algorithm>
#include <new>

#include "archive/kvtBase.h"

namespace vix {

namespace {

struct ReadFailure {};
struct WriteFailure {};
struct CancelRequest {};

class ComponentIo final : public LzhIo {
 public:
  ComponentIo(TCompBase& comp, Stream* input, Stream* output)
      : comp_(comp), input_(input), output_(output), fileSize_(comp.InputLeft) {}

  uint32_t Read(uint8_t* buffer, uint32_t count) override {
    if (comp_.InputLeft == 0) return 0;
    const int64_t n = comp_.ReadEntryData(input_, buffer, count, 16, fileSize_);
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
      written = comp_.WriteBlock(output_, const_cast<uint8_t*>(buffer), count, true, 0, false);
    } catch (...) {
      throw WriteFailure{};
    }
    if (written != count) throw WriteFailure{};
    comp_.PackedBytes += count;
  }

  uint64_t BytesRead() const { return done_; }

 private:
  TCompBase& comp_;
  Stream* input_;
  Stream* output_;
  uint32_t fileSize_;
  uint64_t done_ = 0;
};

}  // namespace

LzhResult LzhEncodeFile(TCompBase& comp, Stream* input, Stream* output, uint64_t* bytesRead) {
  ComponentIo io(comp, input, output);
  LzhResult result;
  try {
    LzhStats stats;
    result = LzhEncode(LzhParameters, io, stats) ? LzhResult::Done : LzhResult::Incompressible;
  } catch (const ReadFailure&) {
    result = LzhResult::ReadFailed;
  } catch (const WriteFailure&) {
    result = LzhResult::WriteFailed;
  } catch (const CancelRequest&) {
    result = LzhResult::Cancelled;
  } catch (...) {
    result = LzhResult::Failed;
  }
  if (result == LzhResult::Incompressible) comp.Incompressible = true;
  if (bytesRead) *bytesRead = io.BytesRead();
  return result;
}

}  // namespace vix
