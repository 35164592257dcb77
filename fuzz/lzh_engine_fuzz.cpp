// The LZH compressor on arbitrary input: the first byte picks the method and
// how the input is cut into reads; every stream that is not abandoned must
// decode (with the tests' independent decoder) to the input, and no stream
// may grow past the input read.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/engines/lzh_decoder.h"
#include "engines/lzh.h"

namespace {

class Io : public vix::LzhIo {
 public:
  Io(const uint8_t* data, size_t size, uint32_t chunk) : data_(data), size_(size), chunk_(chunk) {}
  uint32_t Read(uint8_t* buffer, uint32_t count) override {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>({count, chunk_, size_ - at_}));
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return n;
  }
  void Write(const uint8_t* buffer, uint32_t count) override {
    out.insert(out.end(), buffer, buffer + count);
  }
  std::vector<uint8_t> out;

 private:
  const uint8_t* data_;
  size_t size_, at_ = 0;
  uint32_t chunk_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool lh6 = data[0] & 1;
  const uint32_t chunk = (data[0] >> 1) ? (data[0] >> 1) * 97u : 1u << 20;
  Io io(data + 1, size - 1, chunk);
  vix::LzhStats stats;
  const bool packed = vix::LzhEncode(lh6 ? vix::kLh6Params : vix::kLh5Params, io, stats);
  if (stats.BytesWritten > stats.BytesRead) std::abort();
  if (!packed) return 0;
  if (stats.BytesRead != size - 1 || io.out.size() != stats.BytesWritten) std::abort();
  vix::testing_lzh::LzhDecoder decoder(io.out.data(), io.out.size(), lh6 ? 14 : 13);
  const std::vector<uint8_t> back = decoder.Decode(size - 1);  // throws on a bad stream
  if (back.size() != size - 1 || !std::equal(back.begin(), back.end(), data + 1)) std::abort();
  return 0;
}
