// How a compression engine's run over one entry's data ended: the one answer
// every file binding (DeflateFile, LzhEncodeFile) gives its writer.
//
// The result is a plain value that refers to nothing of the run, so a run
// that wrote into memory elsewhere can be handed to the writer as it is,
// together with the bytes; the writer alone decides what to record or report.
#pragma once

#include <cstdint>
#include <string>

namespace vix {

enum class EngineStatus : uint8_t {
  Done,         // the compressed stream is complete in the output
  Fallback,     // compressing did not pay: the entry is stored (see InputInOutput)
  ReadFailed,   // the input could not be read; the output holds what was read
  WriteFailed,  // the output refused bytes; Why says why
  Cancelled,    // the component's cancel was set during the run
};

struct EngineResult {
  EngineStatus Status = EngineStatus::Done;
  uint64_t BytesRead = 0;     // input bytes consumed (fewer than announced: the file shrank)
  uint64_t BytesWritten = 0;  // bytes the output took
  // With Fallback: true when the engine has already put the input into the
  // output as it is, false when it abandoned its stream and the writer must
  // cut the output back and store the input itself.
  bool InputInOutput = false;
  std::string Why;  // the reason of a WriteFailed, as the output gave it

  bool Stored() const { return Status == EngineStatus::Fallback; }
  // Done or Fallback: the entry can be completed.
  bool Completed() const { return Status == EngineStatus::Done || Stored(); }
};

// Where a run away from any component (on a worker thread) takes its input
// and puts its stream. Either may throw to end the run at once; the
// exception passes through the engine.
class EngineSource {
 public:
  virtual ~EngineSource() = default;
  // False once the source knows it has nothing more to give.
  virtual bool More() = 0;
  // Up to `count` bytes; 0 at the end, -1 on a read error (both end input).
  virtual int64_t Read(uint8_t* buffer, uint32_t count) = 0;
};

class EngineSink {
 public:
  virtual ~EngineSink() = default;
  // Takes all `count` bytes (the buffer may be the engine's window).
  virtual void Write(const uint8_t* buffer, uint32_t count) = 0;
};

}  // namespace vix
