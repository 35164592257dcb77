// The deflate compressor: raw deflate streams (RFC 1951) for ZIP entries,
// GZIP members and MSZIP cabinet blocks.
//
// One algorithm core serves two entry points: DeflateFile reads a file and
// writes the stream through a component's block operations; DeflateMemoryBlock
// compresses a block held in memory, with the bytes that precede it as history.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engines/engine_result.h"
#include "platform/platform.h"

namespace vix {

class TCompBase;

// Compresses the next InputLeft bytes of `input` into one raw deflate
// stream written to `output` at the component's DeflateLevel (1, 2, 7 or
// 9). Every read is the component's ReadEntryData with CRC-32 kind, every
// write its WriteBlock (data, no checksum, `encrypt` passed on); InputLeft,
// BytesLeft and PackedBytes are kept and progress is reported after each
// read. With `allowStoredFallback` an input that would not shrink is copied
// without any block structure: the result is then Fallback with
// InputInOutput set. A read error or a cancel ends the input; the stream is
// still closed with a final block. A write that fails ends the run at once
// (WriteFailed, with the output's reason). An empty input writes nothing.
// Other exceptions (out of memory) pass through.
EngineResult DeflateFile(TCompBase& component, platform::Stream* input, platform::Stream* output,
                         bool encrypt, bool allowStoredFallback);

// The stream DeflateFile would write for the same input, from `source` to
// `sink` at `level`; the result says Done, Fallback (the input copied as it
// is) or ReadFailed. Exceptions of the source or the sink pass through.
EngineResult DeflateStream(EngineSource& source, EngineSink& sink, int level,
                           bool allowStoredFallback);

// For MSZIP cabinets: compresses data[0..length) as one complete raw deflate
// stream (its last block flagged final) whose window starts with `history`
// (the up to 32768 bytes that precede data in the folder; matches may reach
// back into them), at any row 1..9 of the configuration table (the writers
// select 1, 2, 7 and 9; the cabinet library uses 5); appends to `out`.
void DeflateMemoryBlock(const uint8_t* history, size_t historyLength, const uint8_t* data,
                        size_t length, int level, std::vector<uint8_t>& out);

}  // namespace vix
