// The LZX compressor for cabinet folders.
//
// A folder is one LZX stream: its window, repeated offsets and the previous
// block's code lengths carry from frame to frame. The caller hands the
// folder's bytes in frames of kFrameSize (the last may be shorter) and gets
// each frame's compressed bytes, which end on a 16-bit boundary and hold no
// match that runs past the frame's end. Each frame is coded as one block:
// verbatim or aligned-offset, whichever is smaller, or uncompressed when
// that is smaller still. Tokens come from a lazy parse (or, at the higher
// effort, a forward optimal parse over the frame) whose costs are the code
// lengths of the previous block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vix::lzx {

inline constexpr int kMinWindowBits = 15;
inline constexpr int kMaxWindowBits = 21;
inline constexpr uint32_t kFrameSize = 32768;
// The translation size written in the stream header and the frames it
// covers (the first GiB of the folder).
inline constexpr uint32_t kE8TranslationSize = 12000000;
inline constexpr uint32_t kE8Frames = 32768;

inline constexpr int kNumChars = 256;
inline constexpr int kNumPrimaryLengths = 7;
inline constexpr int kNumSecondaryLengths = 249;
inline constexpr int kMinMatch = 2;
inline constexpr int kMaxMatch = 257;
inline constexpr int kPretreeSymbols = 20;
inline constexpr int kAlignedSymbols = 8;
inline constexpr int kMaxSlots = 50;
inline constexpr int kMaxMainSymbols = kNumChars + 8 * kMaxSlots;
inline constexpr int kMaxCodeLength = 16;     // main and length trees
inline constexpr int kMaxPretreeLength = 15;  // a 4-bit field
inline constexpr int kMaxAlignedLength = 7;   // a 3-bit field

enum BlockType : int { kBlockVerbatim = 1, kBlockAligned = 2, kBlockUncompressed = 3 };

// Position slots: footer bits and base of each formatted offset slot.
struct SlotTables {
  std::array<uint8_t, kMaxSlots> extra{};
  std::array<uint32_t, kMaxSlots> base{};
};
constexpr SlotTables MakeSlotTables() {
  SlotTables t;
  uint32_t base = 0;
  for (int i = 0; i < kMaxSlots; ++i) {
    t.extra[i] = static_cast<uint8_t>(i < 4 ? 0 : i < 36 ? i / 2 - 1 : 17);
    t.base[i] = base;
    base += 1u << t.extra[i];
  }
  return t;
}
inline constexpr SlotTables kSlots = MakeSlotTables();
static_assert(kSlots.base[36] == 262144 && kSlots.base[49] == 655360 + 10 * 131072);

// Slots a window of 2^bits needs: those up to the one holding formatted
// offset 2^bits - 1 (30 for 15 bits ... 50 for 21 bits).
int PositionSlots(int windowBits);
// The slot of a formatted offset (offset + 2) of at least 3.
int SlotOf(uint32_t formatted);

// 16-bit little-endian words, each filled from its most significant bit.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint32_t value, int bits);  // bits <= 24
  // Zero bits up to the next 16-bit boundary (none when already there).
  void AlignWord();
  // Bytes as they are; only on a 16-bit boundary.
  void PutBytes(const uint8_t* bytes, size_t count);
  uint64_t BitCount() const { return bits_; }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;  // pending bits (fewer than 16), right-aligned
  int pending_ = 0;
  uint64_t bits_ = 0;
};

// Code lengths for the frequencies, limited to maxLength, forming a
// complete code: one used symbol gets a partner of length 1; none leaves
// all lengths 0.
void BuildLengths(const uint32_t* freq, int count, int maxLength, uint8_t* lengths);
// Canonical codes (by length, then symbol) sent most significant bit first.
void MakeCodes(const uint8_t* lengths, int count, uint16_t* codes);

// Sends lengths[0..count) as differences from prev[0..count) through a
// pretree of its own.
void WriteLengths(BitWriter& bw, const uint8_t* lengths, const uint8_t* prev, int count);

// An uncompressed block: the header, 1 to 16 zero bits to the next word,
// the repeated offsets, the bytes and a zero byte after an odd count.
void WriteUncompressedBlock(BitWriter& bw, const uint8_t* data, size_t count,
                            const std::array<uint32_t, 3>& reps);

// The E8 (x86 call) translation of one frame that starts at `position` in
// the folder, in place. `encode` picks the direction.
void TranslateE8(uint8_t* frame, size_t length, uint32_t position, uint32_t translationSize,
                 bool encode);

struct EncoderOptions {
  int WindowBits = kMaxWindowBits;
  bool E8 = true;           // translation on for the whole folder
  bool Optimal = false;     // the optimal parse: a little smaller, several times slower
  int ChainDepth = 16;      // match candidates looked at per position (at most 16)
  // A match this long is taken without further search (the lazy parse
  // gains from 32, the optimal parse is best near 16).
  int NiceLength = 32;
  int SkipLength = 16;      // the optimal parse searches no match this long inside
};

class Encoder {
 public:
  explicit Encoder(const EncoderOptions& options);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Compresses the folder's next frame (1..kFrameSize bytes; only the last
  // of a folder may be shorter) and replaces `out` with its bytes.
  void EncodeFrame(const uint8_t* data, size_t length, std::vector<uint8_t>& out);

  // What a caller keeps to undo frames: the stream state and the window.
  struct Snapshot {
    uint64_t position = 0;
    uint32_t frames = 0;
    std::array<uint32_t, 3> reps{};
    std::vector<uint8_t> mainLengths, lengthLengths, history;
  };
  Snapshot Save() const;
  void Restore(const Snapshot& snapshot);

  uint64_t Position() const { return position_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint64_t position_ = 0;
};

}  // namespace vix::lzx
