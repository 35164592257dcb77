// The LZX compressor on arbitrary input, decoded frame by frame by the
// tests' own decoder: every frame must decode to its bytes, end on a word
// boundary and stay within the readers' size limit.
//
// Byte 0: window bits (15 + value % 7), the optimal parse (bit 2), E8
// translation (bit 3), and how many times the rest is repeated (bits 4-7:
// 1 to 16 copies, so that short inputs also make streams of several frames
// with far matches). Byte 1: chain depth
// and nice length of the match finder.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "verify/lzx_decoder.h"
#include "engines/lzx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  vix::lzx::EncoderOptions options;
  options.WindowBits = vix::lzx::kMinWindowBits + data[0] % 7;
  options.E8 = (data[0] & 8) != 0;
  options.Optimal = (data[0] & 4) != 0;
  options.ChainDepth = 1 + (data[1] & 31);
  options.NiceLength = 3 + (data[1] >> 3) * 8;
  options.SkipLength = 3 + (data[1] & 7) * 4;
  const int copies = 1 + (data[0] >> 4);
  std::vector<uint8_t> input;
  for (int i = 0; i < copies; ++i) input.insert(input.end(), data + 2, data + size);

  vix::lzx::Encoder encoder(options);
  vix::verify::LzxDecoder decoder(options.WindowBits);
  std::vector<uint8_t> frame, out;
  for (size_t at = 0; at < input.size(); at += vix::lzx::kFrameSize) {
    const size_t n = std::min<size_t>(vix::lzx::kFrameSize, input.size() - at);
    encoder.EncodeFrame(input.data() + at, n, frame);
    if (frame.size() % 2 != 0 || frame.size() > n + 24) std::abort();
    if (!decoder.DecodeFrame(frame.data(), frame.size(), n, out)) std::abort();
  }
  if (out != input) std::abort();
  return 0;
}
