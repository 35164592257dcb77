// The LZH "-lh5-" and "-lh6-" compressor: a Patricia-tree match finder with
// lazy evaluation feeding block-wise static Huffman codes.
//
// The core (LzhEncode) reads and writes through a small block interface so
// that it can run on its own; LzhEncodeFile binds it to a component's block
// operations, which keep the running CRC-16 and the progress.
#pragma once

#include <cstdint>

#include "engines/engine_result.h"
#include "platform/platform.h"

namespace vix {

class TCompBase;

// The method parameters of one stream.
struct LzhMethodParams {
  uint32_t DicBit;  // log2 of the window
  uint32_t DicSiz;  // window size
  uint32_t NP;      // position alphabet: DicBit + 1 codes
  uint32_t PBit;    // bits of the position-table count
  uint32_t BufSiz;  // code buffer of one block
};

// "-lh6-" keeps a 16 KiB window (15 position codes) so that every distance
// stays below 16384, and a 5-bit count so that it reads as method 6.
inline constexpr LzhMethodParams kLh5Params{13, 1u << 13, 14, 4, 32768};
inline constexpr LzhMethodParams kLh6Params{14, 1u << 14, 15, 5, 32768};

// The process-wide parameters that the LZH writer sets before each file.
extern LzhMethodParams LzhParameters;

// Where the core's bytes come from and go to, a block at a time.
class LzhIo {
 public:
  virtual ~LzhIo() = default;
  // Up to `count` bytes; fewer only at the end of the input. To stop the
  // run (read error, cancel) an implementation throws.
  virtual uint32_t Read(uint8_t* buffer, uint32_t count) = 0;
  // Writes all `count` bytes or throws.
  virtual void Write(const uint8_t* buffer, uint32_t count) = 0;
};

struct LzhStats {
  uint64_t BytesRead = 0;     // input bytes read (origsize)
  uint64_t BytesWritten = 0;  // stream bytes produced (compsize)
};

// Compresses everything `io` delivers. Returns false when the stream was
// abandoned as incompressible; what was written until then stays written.
// Exceptions thrown by `io` pass through.
bool LzhEncode(const LzhMethodParams& params, LzhIo& io, LzhStats& stats);

// Compresses the next InputLeft bytes of `input` (the rest of the file as
// it was when opened) into `output` with LzhParameters. Reads go through the
// component's ReadEntryData with CRC kind 16 and lower InputLeft and
// BytesLeft; writes go through WriteBlock and add to PackedBytes. Nothing is
// thrown: a stream abandoned as incompressible, or an engine that could not
// run, gives Fallback with InputInOutput clear (the writer cuts the output
// back and stores the file); a read error, a failed write or a cancel ends
// the run at once. BytesRead fewer than InputLeft held means the file shrank.
EngineResult LzhEncodeFile(TCompBase& comp, platform::Stream* input, platform::Stream* output);

// The stream LzhEncodeFile would write for the same input, from `source` to
// `sink`: Done, Fallback (abandoned as incompressible: the caller stores the
// input itself) or ReadFailed. Other exceptions of the source, the sink or
// the engine (out of memory) pass through.
EngineResult LzhEncodeStream(const LzhMethodParams& params, EngineSource& source,
                             EngineSink& sink);

}  // namespace vix
