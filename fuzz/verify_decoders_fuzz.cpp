// The verifier's stream decoders on arbitrary input: the first byte picks
// inflate, an MSZIP-style run of blocks sharing one window, "-lh5-",
// "-lh6-" or an LZX frame. Any input must decode or be refused, never
// crash, and never give more than it was allowed to.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "verify/inflate.h"
#include "verify/lzh_decoder.h"
#include "verify/lzx_decoder.h"

using namespace vix::verify;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t pick = data[0], limitByte = data[1];
  data += 2;
  size -= 2;
  const uint64_t limit = uint64_t{limitByte} << 10;
  uint64_t seen = 0;
  auto sink = [&](const uint8_t*, size_t n) { seen += n; };
  switch (pick % 5) {
    case 0: {
      MemoryAccess mem(data, size);
      ByteSource in(mem, 0, size);
      OutputWindow out(kDeflateReach, sink);
      Inflater inflater;
      if (inflater.Run(in, out, limit)) {
        out.Flush();
        if (seen > limit || inflater.BytesUsed() > size) std::abort();
      }
      break;
    }
    case 1: {
      // Blocks of up to 256 bytes, each a stream of its own, one window.
      OutputWindow out(kDeflateReach, sink);
      size_t at = 0;
      while (at < size) {
        const size_t n = std::min<size_t>(size - at, 1 + data[at] % 255);
        MemoryAccess mem(data + at, n);
        ByteSource in(mem, 0, n);
        Inflater inflater;
        if (!inflater.Run(in, out, 32768)) break;
        at += n;
      }
      break;
    }
    case 2:
    case 3: {
      MemoryAccess mem(data, size);
      ByteSource in(mem, 0, size);
      const int dicbit = pick % 5 == 2 ? 13 : 15;
      OutputWindow out(LzhDecoder::Reach(dicbit), sink);
      LzhDecoder decoder(dicbit);
      if (decoder.Run(in, out, limit)) {
        out.Flush();
        if (seen != limit) std::abort();
      }
      break;
    }
    default: {
      LzxDecoder decoder(15 + pick / 5 % 7);
      std::vector<uint8_t> out;
      const size_t frame = 1 + limit % 32768;
      if (decoder.DecodeFrame(data, size, frame, out) && out.size() != frame) std::abort();
      break;
    }
  }
  return 0;
}
