// DeflateFile: the deflate core fed from a file and writing to the archive,
// all through the component's block operations.
#include <algorithm>
#include <cstring>

#include "archive/kvtBase.h"
#include "engines/deflate.h"
#include "engines/deflate_core.h"
#include "platform/platform.h"

namespace vix {
namespace {

constexpr int kCrc32 = 32;
constexpr int kNoCrc = 0;
constexpr uint32_t kEncryptChunk = 32768;

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
    const int64_t n = c_.ReadEntryData(input_, buffer, count, kCrc32, fileTotal_);
    Cancelled = c_.GetCancel();
    return n;
  }

  void Write(const uint8_t* buffer, uint32_t count) override {
    if (!encrypt_) {
      // Without encryption WriteBlock leaves the bytes as they are.
      c_.PackedBytes += static_cast<uint32_t>(
          c_.WriteBlock(output_, const_cast<uint8_t*>(buffer), count, true, kNoCrc, false));
    } else {
      // Encryption works in place; the bytes may be window bytes that later
      // matches still refer to, so a copy is encrypted instead.
      if (scratch_.empty()) scratch_.resize(kEncryptChunk);
      while (count > 0) {
        const uint32_t n = std::min(count, kEncryptChunk);
        std::memcpy(scratch_.data(), buffer, n);
        c_.PackedBytes +=
            static_cast<uint32_t>(c_.WriteBlock(output_, scratch_.data(), n, true, kNoCrc, true));
        buffer += n;
        count -= n;
      }
    }
    Cancelled = c_.GetCancel();
  }

  void StoredFallback() override { c_.EntryMethod = 0; }

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
};

}  // namespace

uint64_t DeflateFile(TCompBase& component, platform::Stream* input, platform::Stream* output,
                     bool encrypt, bool allowStoredFallback) {
  ComponentIo io(component, input, output, encrypt);
  deflate_core::Options options;
  options.Level = component.DeflateLevel();
  options.AllowStoredFallback = allowStoredFallback;
  return deflate_core::Run(io, options);
}

}  // namespace vix
