// Compresses arbitrary bytes and inflates them with zlib, an independent
// decoder: the stream must be complete and give the input back.
//
// Input: byte 0 picks the entry point and level, byte 1 how much of the rest
// is history (DeflateMemoryBlock's preset window), the rest is the data.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/kvtBase.h"
#include "archive/kvtCrc.h"
#include "engines/deflate.h"
#include "platform/platform.h"

namespace {

class Host : public vix::TCompBase {
 public:
  Host() : vix::TCompBase(nullptr) { fArcType = vix::atZip; }
  void SetArcType(vix::TArcType) override {}
};

std::vector<uint8_t> Inflate(const std::vector<uint8_t>& stream, const uint8_t* dict,
                             size_t dictLength, size_t expected) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) std::abort();
  if (dictLength > 0 && inflateSetDictionary(&z, dict, static_cast<uInt>(dictLength)) != Z_OK)
    std::abort();
  std::vector<uint8_t> out(expected + 1);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  // The stream ends with its final block, exactly at the end of the bytes.
  if (rc != Z_STREAM_END || z.avail_in != 0) std::abort();
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const int kLevels[4] = {1, 2, 7, 9};
  static const vix::TDeflateType kTypes[4] = {vix::dtDeflateS, vix::dtDeflateF,
                                              vix::dtDeflateN, vix::dtDeflateX};
  const int pick = data[0] & 3;
  const bool viaFile = (data[0] & 4) != 0;
  const uint8_t* rest = data + 2;
  const size_t restLength = size - 2;
  const size_t historyLength = viaFile ? 0 : restLength * data[1] / 256;
  const uint8_t* input = rest + historyLength;
  const size_t length = restLength - historyLength;

  if (viaFile) {
    Host host;
    host.SetDeflateType(kTypes[pick]);
    vix::platform::MemoryStream in(std::vector<uint8_t>(input, input + length)), out;
    host.InputLeft = static_cast<uint32_t>(length);
    vix::Crc32Value = 0xFFFFFFFFu;
    const vix::EngineResult result =
        vix::DeflateFile(host, &in, &out, false, (data[0] & 8) != 0);
    const uint64_t written = result.BytesWritten;
    if (written != out.Data().size() || host.PackedBytes != written) std::abort();
    if (result.BytesRead != length) std::abort();
    if ((vix::Crc32Value ^ 0xFFFFFFFFu) != crc32(0, input, static_cast<uInt>(length))) std::abort();
    if (length == 0) {
      if (written != 0) std::abort();
    } else if (result.Stored()) {
      if (out.Data() != std::vector<uint8_t>(input, input + length)) std::abort();
    } else if (Inflate(out.Data(), nullptr, 0, length) != std::vector<uint8_t>(input, input + length)) {
      std::abort();
    }
    return 0;
  }

  std::vector<uint8_t> stream;
  vix::DeflateMemoryBlock(rest, historyLength, input, length, kLevels[pick], stream);
  const size_t dict = historyLength > 32768 ? 32768 : historyLength;
  if (Inflate(stream, rest + historyLength - dict, dict, length) !=
      std::vector<uint8_t>(input, input + length))
    std::abort();
  return 0;
}
