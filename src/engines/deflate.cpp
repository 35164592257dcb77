// The deflate compressor's algorithm: hash chains over a 64 KiB window,
// greedy or lazy parsing by level, blocks of up to 32767 items whose type
// (stored, fixed or dynamic codes) is chosen by their cost.
//
// Window and slide. The window holds two halves of 32 KiB; strstart is the
// next position to code and lookahead the bytes read beyond it. Input is
// read so that at least kMinLookahead bytes (a longest match plus the hash
// bytes) stay ahead while any remain. When strstart reaches kSlideAt the
// upper half moves down by 32 KiB, and every position held anywhere
// (strstart, matchStart, blockStart, the chain heads and links) drops by
// the same amount; links that would fall below the window become empty.
// Chains are followed no farther back than kMaxDist, so a match's source
// is always still in the window when it is coded.
//
// Hash. head[h] is the latest position whose next three bytes hash to h,
// links[pos & kWMask] the positions before it with the same hash, nearest
// first (the next four at the lazy levels and two at the greedy ones, so
// the walk waits for memory once per four or two steps); position 0 doubles as "empty", so the window's
// very first byte is never a match source. The rolling hash covers exactly
// the three bytes at the position inserted last (a shift pushes a byte out
// after three steps), so it is primed with two bytes wherever insertion
// restarts.
//
// Parsing. Every position that is coded enters the chains, except inside a
// greedy match longer than the level's insert limit. The lazy parse (levels
// 4 to 9) keeps the previous position's match (prevLength, prevMatch): it
// is taken when the current position finds none longer, else the previous
// byte goes out as a literal; matchAvailable says that byte is still owed.
// A 3-byte match farther than kTooFar is dropped, as literals cost less.
#include "engines/deflate.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "engines/deflate_core.h"

namespace vix::deflate_core {
namespace {

// ---------------------------------------------------------------------------
// Parameters

constexpr int kWSize = 32768;                  // half the window: the largest distance
constexpr int kWindowSize = 2 * kWSize;
constexpr int kWMask = kWSize - 1;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 258;
constexpr int kMinLookahead = kMaxMatch + kMinMatch + 1;  // a full match plus the hash bytes
constexpr int kMaxDist = kWSize - kMinLookahead;         // 32506
constexpr int kSlideAt = kWSize + kMaxDist;              // 65274
constexpr int kHashBits = 15;
constexpr int kHashSize = 1 << kHashBits;
constexpr int kHashMask = kHashSize - 1;
constexpr int kHashShift = 5;  // three shifts push a byte out of the 15 bits
static_assert(kHashShift * kMinMatch >= kHashBits, "hash must cover exactly a minimum match");
constexpr int kTooFar = 4096;  // a length-3 match farther than this costs more than literals
static_assert(kWindowSize <= 0x10000, "window positions fit 16 bits");
// Matches may read up to a full match past the valid data (the result is
// cut to the lookahead); the slack keeps those reads inside the buffer.
constexpr int kWindowSlack = kMaxMatch + 2 * sizeof(uint64_t);

constexpr int kLitBufSize = 32768;   // items per block (one less is the limit)
constexpr int kDistBufSize = 32768;  // matches per block
constexpr int kOutBufSize = 1024;    // output leaves in chunks of this size

constexpr int kLengthCodes = 29;
constexpr int kLiterals = 256;
constexpr int kEndBlock = 256;
constexpr int kLCodes = kLiterals + 1 + kLengthCodes;  // 286
constexpr int kDCodes = 30;
constexpr int kBlCodes = 19;
constexpr int kHeapSize = 2 * kLCodes + 1;  // 573
constexpr int kMaxBits = 15;
constexpr int kMaxBlBits = 7;  // code-length codes are sent in 3 bits
constexpr int kRep3To6 = 16, kRepZ3To10 = 17, kRepZ11To138 = 18;

enum BlockType { kStored = 0, kFixed = 1, kDynamic = 2 };

// The configuration table is the standard one for the deflate levels 1 to 9.
// One row per level: {good length, lazy limit, nice length, chain limit}.
// Levels up to 3 parse greedily and use the lazy limit as the longest match
// whose positions still enter the hash chains.
struct Config {
  uint8_t GoodLength;
  uint16_t LazyLimit, NiceLength, ChainLimit;
};
constexpr Config kDeflateConfig[10] = {
    {0, 0, 0, 0},        {4, 4, 8, 4},        {4, 5, 16, 8},     {4, 6, 32, 32},
    {4, 4, 16, 16},      {8, 16, 32, 32},     {8, 16, 128, 128}, {8, 32, 128, 256},
    {32, 128, 258, 1024}, {32, 258, 258, 4096},
};

// RFC 1951 3.2.5 and 3.2.7.
constexpr uint8_t kExtraLengthBits[kLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                                                    1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                                                    4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t kExtraDistBits[kDCodes] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kExtraBlBits[kBlCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr uint8_t kBlOrder[kBlCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr uint16_t BitReverse(uint32_t code, int length) {
  uint32_t r = 0;
  for (int i = 0; i < length; ++i, code >>= 1) r = (r << 1) | (code & 1);
  return static_cast<uint16_t>(r);
}

// Canonical codes (bit-reversed for LSB-first output) from code lengths.
template <size_t N>
constexpr void CanonicalCodes(const uint8_t (&lengths)[N], int count, uint16_t (&codes)[N]) {
  uint16_t lengthCount[kMaxBits + 1] = {};
  for (int n = 0; n < count; ++n) lengthCount[lengths[n]]++;
  lengthCount[0] = 0;
  uint16_t next[kMaxBits + 1] = {};
  uint32_t code = 0;
  for (int bits = 1; bits <= kMaxBits; ++bits) {
    code = (code + lengthCount[bits - 1]) << 1;
    next[bits] = static_cast<uint16_t>(code);
  }
  for (int n = 0; n < count; ++n) {
    if (lengths[n] != 0) codes[n] = BitReverse(next[lengths[n]]++, lengths[n]);
  }
}

// The shared tables: computed by the compiler, so "built once" costs nothing.
struct Tables {
  uint8_t LengthCode[256] = {};   // match length - 3 -> length code 0..28
  uint16_t BaseLength[kLengthCodes] = {};
  uint8_t DistCode[512] = {};     // distance - 1: below 256 direct, else 256 + (d - 1) / 128
  uint16_t BaseDist[kDCodes] = {};
  uint8_t StaticLLen[kLCodes + 2] = {};
  uint16_t StaticLCode[kLCodes + 2] = {};
  uint8_t StaticDLen[kDCodes] = {};
  uint16_t StaticDCode[kDCodes] = {};
};

constexpr Tables MakeTables() {
  Tables t;
  int length = 0;
  int code = 0;
  for (code = 0; code < kLengthCodes - 1; ++code) {
    t.BaseLength[code] = static_cast<uint16_t>(length);
    for (int n = 0; n < (1 << kExtraLengthBits[code]); ++n)
      t.LengthCode[length++] = static_cast<uint8_t>(code);
  }
  // Length 258 (255 here) has its own code, 28, instead of 27 with all extra bits set.
  t.LengthCode[length - 1] = static_cast<uint8_t>(code);
  int dist = 0;
  for (code = 0; code < 16; ++code) {
    t.BaseDist[code] = static_cast<uint16_t>(dist);
    for (int n = 0; n < (1 << kExtraDistBits[code]); ++n) t.DistCode[dist++] = static_cast<uint8_t>(code);
  }
  dist >>= 7;
  for (; code < kDCodes; ++code) {
    t.BaseDist[code] = static_cast<uint16_t>(dist << 7);
    for (int n = 0; n < (1 << (kExtraDistBits[code] - 7)); ++n)
      t.DistCode[256 + dist++] = static_cast<uint8_t>(code);
  }
  for (int n = 0; n < kLCodes + 2; ++n)
    t.StaticLLen[n] = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
  CanonicalCodes(t.StaticLLen, kLCodes + 2, t.StaticLCode);
  for (int n = 0; n < kDCodes; ++n) {
    t.StaticDLen[n] = 5;
    t.StaticDCode[n] = BitReverse(n, 5);
  }
  return t;
}
constexpr Tables kTables = MakeTables();
static_assert(kTables.LengthCode[255] == 28 && kTables.LengthCode[0] == 0, "length codes");
static_assert(kTables.BaseDist[29] == 24576 && kTables.DistCode[256 + (32767 >> 7)] == 29,
              "distance codes");
static_assert(kTables.StaticLCode[0] == BitReverse(0x30, 8) &&
                  kTables.StaticLCode[256] == 0 && kTables.StaticLCode[280] == BitReverse(0xC0, 8),
              "fixed literal/length codes (RFC 1951 3.2.6)");

// Distances below and above 257 are about equally common, so the index is
// picked with a mask instead of a branch the processor would often mispredict.
inline unsigned DistanceCode(unsigned distMinus1) {
  const unsigned small = 0u - static_cast<unsigned>(distMinus1 < 256);
  return kTables.DistCode[(distMinus1 & small) | ((256 + (distMinus1 >> 7)) & ~small)];
}

#if defined(__GNUC__)
#define VIX_INLINE inline __attribute__((always_inline))
#define VIX_INLINE_LAMBDA __attribute__((always_inline))
#define VIX_MAY_ALIAS __attribute__((may_alias))
#else
#define VIX_INLINE inline
#define VIX_INLINE_LAMBDA
#define VIX_MAY_ALIAS
#endif

inline void Prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Index of the lowest set bit of a non-zero word.
inline unsigned Ctz64(uint64_t v) {
#if defined(__GNUC__)
  return static_cast<unsigned>(__builtin_ctzll(v));
#else
  unsigned n = 0;
  while ((v & 1) == 0) v >>= 1, ++n;
  return n;
#endif
}

// The rolling hash's value for the three bytes at the low end of v
// (little-endian): each byte shifted up by kHashShift per later byte.
constexpr uint32_t Hash3(uint32_t v) {
  return (((v & 0xFF) << (2 * kHashShift)) ^ (((v >> 8) & 0xFF) << kHashShift) ^
          ((v >> 16) & 0xFF)) &
         kHashMask;
}
constexpr uint32_t RollingHash3(uint8_t a, uint8_t b, uint8_t c) {
  uint32_t h = a;
  h = ((h << kHashShift) ^ b) & kHashMask;
  return ((h << kHashShift) ^ c) & kHashMask;
}
static_assert(Hash3(0x7FC3A1F9u) == RollingHash3(0xF9, 0xA1, 0xC3) &&
                  Hash3(0xFFFFFFFFu) == RollingHash3(0xFF, 0xFF, 0xFF),
              "the hash of one load equals the rolling hash");

// Length of the common prefix of a and b, at most kMaxMatch. Compares a
// machine word at a time; the first differing byte is found from the
// lowest set bit of the difference (little-endian loads).
inline int CommonLength(const uint8_t* a, const uint8_t* b) {
  using Word = size_t;
  int len = 0;
  for (;;) {
    Word x, y;
    std::memcpy(&x, a + len, sizeof x);
    std::memcpy(&y, b + len, sizeof y);
    const Word diff = x ^ y;
    if (diff != 0) {
      int n;
      if constexpr (sizeof(Word) == 8)
        n = len + (__builtin_ctzll(static_cast<unsigned long long>(diff)) >> 3);
      else
        n = len + (__builtin_ctz(static_cast<unsigned>(diff)) >> 3);
      return n < kMaxMatch ? n : kMaxMatch;
    }
    len += sizeof(Word);
    if (len >= kMaxMatch) return kMaxMatch;
  }
}
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the word-wise match and bit output assume a little-endian machine");

// ---------------------------------------------------------------------------
// Huffman trees

struct Tree {
  uint32_t Freq[kHeapSize];
  uint16_t Dad[kHeapSize];
  uint16_t Len[kHeapSize + 1];  // one more for the run-scanning sentinel
  uint16_t Code[kLCodes + 2];
  int MaxCode = -1;
};

struct TreeParams {
  int Elems;
  int MaxLength;
  const uint8_t* Extra;  // extra bits of the symbols from ExtraBase on
  int ExtraBase;
  const uint8_t* StaticLen;  // the fixed tree's lengths, or null
};

// The heap and depth arrays shared by the three trees, and the block costs
// that building them accumulates.
struct TreeBuilder {
  int Heap[kHeapSize];
  int HeapLen = 0;
  int HeapMax = 0;
  uint8_t Depth[kHeapSize];
  uint16_t LengthCount[kMaxBits + 1];
  int64_t DynamicCost = 0;  // bits of the block with dynamic trees
  int64_t StaticCost = 0;   // bits of the block with the fixed trees

  bool Smaller(const Tree& t, int n, int m) const {
    return t.Freq[n] < t.Freq[m] || (t.Freq[n] == t.Freq[m] && Depth[n] <= Depth[m]);
  }

  void DownHeap(const Tree& t, int k) {
    const int v = Heap[k];
    int j = k << 1;
    while (j <= HeapLen) {
      if (j < HeapLen && Smaller(t, Heap[j + 1], Heap[j])) ++j;
      if (Smaller(t, v, Heap[j])) break;
      Heap[k] = Heap[j];
      k = j;
      j <<= 1;
    }
    Heap[k] = v;
  }

  // Code lengths from the finished tree, limited to MaxLength; accumulates
  // the block costs (code and extra bits of every symbol).
  void GenBitLengths(Tree& t, const TreeParams& p) {
    for (auto& c : LengthCount) c = 0;
    t.Len[Heap[HeapMax]] = 0;  // the root
    int overflow = 0;
    int h;
    for (h = HeapMax + 1; h < kHeapSize; ++h) {
      const int n = Heap[h];
      int bits = t.Len[t.Dad[n]] + 1;
      if (bits > p.MaxLength) bits = p.MaxLength, ++overflow;
      t.Len[n] = static_cast<uint16_t>(bits);
      if (n > t.MaxCode) continue;  // an inner node
      LengthCount[bits]++;
      const int xbits = n >= p.ExtraBase ? p.Extra[n - p.ExtraBase] : 0;
      const int64_t f = t.Freq[n];
      DynamicCost += f * (bits + xbits);
      if (p.StaticLen) StaticCost += f * (p.StaticLen[n] + xbits);
    }
    if (overflow == 0) return;
    // Move leaves up from MaxLength: each step frees a slot at MaxLength by
    // pairing an overflowed leaf with one taken from a shorter length.
    do {
      int bits = p.MaxLength - 1;
      while (LengthCount[bits] == 0) --bits;
      LengthCount[bits]--;
      LengthCount[bits + 1] += 2;
      LengthCount[p.MaxLength]--;
      overflow -= 2;
    } while (overflow > 0);
    // Hand the lengths out again, least frequent leaves getting the longest.
    h = kHeapSize;
    for (int bits = p.MaxLength; bits != 0; --bits) {
      int n = LengthCount[bits];
      while (n != 0) {
        const int m = Heap[--h];
        if (m > t.MaxCode) continue;
        if (t.Len[m] != bits) {
          DynamicCost += (static_cast<int64_t>(bits) - t.Len[m]) * t.Freq[m];
          t.Len[m] = static_cast<uint16_t>(bits);
        }
        --n;
      }
    }
  }

  void GenCodes(Tree& t) {
    uint16_t next[kMaxBits + 1];
    uint32_t code = 0;
    for (int bits = 1; bits <= kMaxBits; ++bits) {
      code = (code + LengthCount[bits - 1]) << 1;
      next[bits] = static_cast<uint16_t>(code);
    }
    for (int n = 0; n <= t.MaxCode; ++n) {
      const int len = t.Len[n];
      if (len != 0) t.Code[n] = BitReverse(next[len]++, len);
    }
  }

  void Build(Tree& t, const TreeParams& p) {
    int maxCode = -1;
    HeapLen = 0;
    HeapMax = kHeapSize;
    for (int n = 0; n < p.Elems; ++n) {
      if (t.Freq[n] != 0) {
        Heap[++HeapLen] = maxCode = n;
        Depth[n] = 0;
      } else {
        t.Len[n] = 0;
      }
    }
    // Every tree gets at least two codes (a single code would have length 0).
    while (HeapLen < 2) {
      const int added = Heap[++HeapLen] = maxCode < 2 ? ++maxCode : 0;
      t.Freq[added] = 1;
      Depth[added] = 0;
      DynamicCost--;
      if (p.StaticLen) StaticCost -= p.StaticLen[added];
    }
    t.MaxCode = maxCode;
    for (int n = HeapLen / 2; n >= 1; --n) DownHeap(t, n);
    int node = p.Elems;
    do {
      const int n = Heap[1];
      Heap[1] = Heap[HeapLen--];
      DownHeap(t, 1);
      const int m = Heap[1];
      Heap[--HeapMax] = n;  // keeps the nodes sorted by frequency
      Heap[--HeapMax] = m;
      t.Freq[node] = t.Freq[n] + t.Freq[m];
      Depth[node] = static_cast<uint8_t>(std::max(Depth[n], Depth[m]) + 1);
      t.Dad[n] = t.Dad[m] = static_cast<uint16_t>(node);
      Heap[1] = node++;
      DownHeap(t, 1);
    } while (HeapLen >= 2);
    Heap[--HeapMax] = Heap[1];
    GenBitLengths(t, p);
    GenCodes(t);
  }
};

const TreeParams kLiteralParams{kLCodes, kMaxBits, kExtraLengthBits, kLiterals + 1,
                                kTables.StaticLLen};
const TreeParams kDistanceParams{kDCodes, kMaxBits, kExtraDistBits, 0, kTables.StaticDLen};
const TreeParams kBitLengthParams{kBlCodes, kMaxBlBits, kExtraBlBits, 0, nullptr};

// Puts positions from..end-1, the rest of a match just taken, into the hash
// chains. In a run of one byte each position hashes like the one before and
// links to it; the head and the link word are then carried in registers, so
// that a step does not wait on the last step's stores. The chains come out
// as inserting one position at a time makes them.
template <typename Links>
VIX_INLINE void InsertMatchTail(const uint8_t* window, uint16_t* heads, Links* links, uint32_t from,
                                uint32_t end) {
  uint32_t lastHash = ~uint32_t{0};
  uint32_t lastPos = 0;
  Links lastLinks = 0;
  for (uint32_t p = from; p < end; ++p) {
    const uint32_t h = Hash3(Load32(window + p));
    Links made;
    if (h == lastHash) {
      made = static_cast<Links>((lastLinks << 16) | static_cast<uint16_t>(lastPos));
    } else {
      const uint32_t head = heads[h];
      made = static_cast<Links>((links[head & kWMask] << 16) | head);
    }
    links[p & kWMask] = made;
    heads[h] = static_cast<uint16_t>(p);
    lastHash = h;
    lastPos = p;
    lastLinks = made;
  }
}

// ---------------------------------------------------------------------------
// The compressor state of one call

// Links is the word that holds a position's chain links, 16 bits each: the
// lazy levels walk long chains and keep four; the greedy levels insert far
// more often than they walk and keep two (one made every step of their
// walk wait for memory, four made the inserts dearer than the walk gained).
template <typename Links>
class Deflater {
  static constexpr int kLinks = sizeof(Links) / 2;

 public:
  Deflater(DeflateIo& io, const Options& o)
      : io_(io),
        level_(o.Level < 1 ? 1 : o.Level > 9 ? 9 : o.Level),
        allowStored_(o.AllowStoredFallback),
        cfg_(kDeflateConfig[level_]) {}

  uint64_t Run(const uint8_t* history, size_t historyLength);

 private:
  // --- window and hash chains --------------------------------------------
  uint32_t InsertString(uint32_t pos) { return Insert(hash_, pos); }
  // Enters pos into its chain and returns the chain's previous head.
  VIX_INLINE uint32_t Insert(uint32_t& hash, uint32_t pos) {
    const uint8_t* const window = window_;
    uint16_t* const heads = head_.get();
    Links* const links = links_.get();
    hash = ((hash << kHashShift) ^ window[pos + (kMinMatch - 1)]) & kHashMask;
    const uint32_t head = heads[hash];
    // The head's own links, one step further back, behind it.
    links[pos & kWMask] = static_cast<Links>((links[head & kWMask] << 16) | head);
    heads[hash] = static_cast<uint16_t>(pos);
    return head;
  }
  void PrimeHash(uint32_t pos) {
    hash_ = window_[pos];
    hash_ = ((hash_ << kHashShift) ^ window_[pos + 1]) & kHashMask;
  }
  void RefillWindow();
  void Slide();
  template <int kLevel>
  VIX_INLINE uint32_t FindLongestMatch(uint32_t chainHead, uint32_t pos, uint32_t prevLength,
                                       uint32_t& matchStart) const;
  template <int kLevel>
  void DeflateGreedy();
  template <int kLevel>
  void DeflateLazy();

  // --- items -----------------------------------------------------------------
  bool RecordLiteral(uint8_t c, uint32_t pos) {
    lit_[items_] = c;
    dist_[items_] = 0;
    ltree_.Freq[c]++;
    ++items_;
    return BlockFull(pos);
  }
  bool RecordMatch(uint32_t distance, uint32_t lengthMinus3, uint32_t pos) {
    lit_[items_] = static_cast<uint8_t>(lengthMinus3);
    dist_[items_] = static_cast<uint16_t>(distance);
    ltree_.Freq[kLiterals + 1 + kTables.LengthCode[lengthMinus3]]++;
    dtree_.Freq[DistanceCode(distance - 1)]++;
    ++items_;
    ++matches_;
    return BlockFull(pos);
  }
  // Whether the block should end after the item just recorded at pos.
  bool BlockFull(uint32_t pos) {
    if ((items_ & 0xFFF) == 0 && level_ > 2 && WorthEndingEarly(pos)) return true;
    return items_ == kLitBufSize - 1 || matches_ == kDistBufSize;
  }
  bool WorthEndingEarly(uint32_t pos) const;
  void InitBlock();
  void EmitBlock(bool last);
  int BuildBitLengthTree();
  void ScanTree(Tree& t, int maxCode);
  void SendTree(const Tree& t, int maxCode);
  void SendAllTrees(int lcodes, int dcodes, int blcodes);
  void CompressBlock(const uint16_t* lcode, const uint8_t* llen, const uint16_t* dcode,
                     const uint8_t* dlen);

  // --- bit output ------------------------------------------------------------
  void SendBits(uint32_t value, int length) {
    bitBuf_ |= static_cast<uint64_t>(value) << bitCount_;
    bitCount_ += length;
    if (bitCount_ >= 32) PutBits();
  }
  // Moves the whole bytes of the bit buffer to the output buffer.
  void PutBits() {
    std::memcpy(out_ + outFill_, &bitBuf_, sizeof bitBuf_);
    const int bytes = bitCount_ >> 3;
    outFill_ += bytes;
    bitBuf_ = bytes == 8 ? 0 : bitBuf_ >> (bytes * 8);
    bitCount_ &= 7;
    if (outFill_ >= kOutBufSize) FlushFullBuffer();
  }
  void FlushFullBuffer() {
    io_.Write(out_, kOutBufSize);
    written_ += kOutBufSize;
    outFill_ -= kOutBufSize;
    std::memmove(out_, out_ + kOutBufSize, outFill_);
  }
  void FlushOutput() {
    if (outFill_ > 0) {
      io_.Write(out_, static_cast<uint32_t>(outFill_));
      written_ += outFill_;
      outFill_ = 0;
    }
  }
  void AlignOutput() {
    PutBits();
    if (bitCount_ > 0) {
      out_[outFill_++] = static_cast<uint8_t>(bitBuf_);
      if (outFill_ >= kOutBufSize) FlushFullBuffer();
    }
    bitBuf_ = 0;
    bitCount_ = 0;
    FlushOutput();
  }
  void CopyStoredBlock(const uint8_t* source, uint32_t length, bool withHeader);
  bool NothingOutput() const { return written_ == 0 && outFill_ == 0 && bitCount_ == 0; }

  DeflateIo& io_;
  const int level_;
  const bool allowStored_;
  const Config cfg_;

  std::unique_ptr<uint8_t[]> windowMem_ = std::make_unique<uint8_t[]>(kWindowSize + kWindowSlack);
  uint8_t* const window_ = windowMem_.get();
  std::unique_ptr<uint16_t[]> head_ = std::make_unique<uint16_t[]>(kHashSize);  // 0 = empty
  // Per position the next kLinks positions of its chain, nearest in the
  // low 16 bits.
  std::unique_ptr<Links[]> links_ = std::make_unique<Links[]>(kWSize);
  uint32_t hash_ = 0;
  uint32_t strstart_ = 0;
  int32_t blockStart_ = 0;  // negative once the block's start slid out of the window
  uint32_t lookahead_ = 0;
  uint32_t matchStart_ = 0;
  uint32_t matchLength_ = kMinMatch - 1;
  uint32_t prevLength_ = kMinMatch - 1;
  bool eof_ = false;

  // Items of the current block: the literal byte or length - 3, and the
  // distance (0 for a literal).
  std::unique_ptr<uint8_t[]> lit_ = std::make_unique<uint8_t[]>(kLitBufSize);
  std::unique_ptr<uint16_t[]> dist_ = std::make_unique<uint16_t[]>(kLitBufSize);
  uint32_t items_ = 0;
  uint32_t matches_ = 0;

  std::unique_ptr<Tree> ltree_p_ = std::make_unique<Tree>();
  std::unique_ptr<Tree> dtree_p_ = std::make_unique<Tree>();
  std::unique_ptr<Tree> bltree_p_ = std::make_unique<Tree>();
  Tree& ltree_ = *ltree_p_;
  Tree& dtree_ = *dtree_p_;
  Tree& bltree_ = *bltree_p_;
  std::unique_ptr<TreeBuilder> builder_p_ = std::make_unique<TreeBuilder>();
  TreeBuilder& builder_ = *builder_p_;

  uint64_t bitBuf_ = 0;
  int bitCount_ = 0;
  uint8_t out_[kOutBufSize + 2 * sizeof(uint64_t)];
  int outFill_ = 0;
  uint64_t written_ = 0;
};

template <typename Links>
void Deflater<Links>::InitBlock() {
  for (int n = 0; n < kLCodes; ++n) ltree_.Freq[n] = 0;
  for (int n = 0; n < kDCodes; ++n) dtree_.Freq[n] = 0;
  for (int n = 0; n < kBlCodes; ++n) bltree_.Freq[n] = 0;
  ltree_.Freq[kEndBlock] = 1;
  builder_.DynamicCost = builder_.StaticCost = 0;
  items_ = matches_ = 0;
}

// Above level 2, every 4096 items: a block that holds few matches and
// already shrinks its input to under half ends early (its statistics are
// likely to change).
template <typename Links>
bool Deflater<Links>::WorthEndingEarly(uint32_t pos) const {
  uint64_t outLength = static_cast<uint64_t>(items_) * 8;
  for (int d = 0; d < kDCodes; ++d) outLength += dtree_.Freq[d] * (5u + kExtraDistBits[d]);
  outLength >>= 3;
  const int64_t inLength = static_cast<int64_t>(pos) - blockStart_;
  return matches_ < items_ / 2 && static_cast<int64_t>(outLength) < inLength / 2;
}

template <typename Links>
void Deflater<Links>::Slide() {
  std::memcpy(window_, window_ + kWSize, kWSize);
  matchStart_ -= kWSize;
  strstart_ -= kWSize;
  blockStart_ -= kWSize;
  for (int n = 0; n < kHashSize; ++n) {
    const uint16_t v = head_[n];
    head_[n] = static_cast<uint16_t>(v >= kWSize ? v - kWSize : 0);
  }
  // Every 16-bit field of the link words slides like a head: seen as one
  // array of fields the loop becomes a saturating subtract per lane.
  static_assert(kWSize == 0x8000, "a field's top bit is the upper half");
  typedef uint16_t VIX_MAY_ALIAS Field;
  Field* const fields = reinterpret_cast<Field*>(links_.get());
  for (size_t n = 0; n < kWSize * (sizeof(Links) / sizeof(uint16_t)); ++n) {
    const uint16_t v = fields[n];
    fields[n] = static_cast<uint16_t>(v >= kWSize ? v - kWSize : 0);
  }
}

template <typename Links>
void Deflater<Links>::RefillWindow() {
  while (lookahead_ < kMinLookahead && !eof_) {
    uint32_t free = kWindowSize - lookahead_ - strstart_;
    if (strstart_ >= static_cast<uint32_t>(kSlideAt)) {
      Slide();
      free += kWSize;
    }
    if (!io_.MoreInput()) {
      eof_ = true;
      break;
    }
    const int64_t n = io_.Read(window_ + strstart_ + lookahead_, free);
    if (n <= 0)
      eof_ = true;
    else
      lookahead_ += static_cast<uint32_t>(n);
  }
}

// The longest match for the string at pos among its chain from cur on,
// if longer than prevLength; its start goes to matchStart. The row's
// limits are constants, so the walk's counters need fewer registers.
template <typename Links>
template <int kLevel>
uint32_t Deflater<Links>::FindLongestMatch(uint32_t cur, uint32_t pos, uint32_t prevLength,
                                           uint32_t& matchStart) const {
  constexpr uint32_t nice = kDeflateConfig[kLevel].NiceLength;
  uint32_t chain = kDeflateConfig[kLevel].ChainLimit;
  if (prevLength >= kDeflateConfig[kLevel].GoodLength) chain >>= 2;
  uint32_t best = prevLength;
  const uint8_t* const window = window_;
  const uint8_t* const scan = window + pos;
  const uint32_t limit = pos > static_cast<uint32_t>(kMaxDist) ? pos - kMaxDist : 0;
  const uint16_t scanStart = Load16(scan);
  uint16_t scanEnd = Load16(scan + best - 1);
  const Links* const links = links_.get();
  uint32_t bestStart = matchStart;
  // True when the walk is done: the candidate reached the nice length.
  // Called at every link, it has to be inlined to pay.
  const auto consider = [&](uint32_t candidate) VIX_INLINE_LAMBDA {
    const uint8_t* const match = window + candidate;
    if (((Load16(match + best - 1) ^ scanEnd) | (Load16(match) ^ scanStart)) != 0) return false;
    const uint32_t len = static_cast<uint32_t>(CommonLength(scan, match));
    if (len <= best) return false;
    bestStart = candidate;
    best = len;
    if (len >= nice) return true;
    scanEnd = Load16(scan + best - 1);
    return false;
  };
  // One load yields the next kLinks candidates, so the walk waits for
  // memory once per kLinks steps instead of at every step. A field is only
  // read while every nearer one lies above the limit: those positions have
  // not been reused since they were inserted, so the field equals the link
  // a step-by-step walk would read.
  static_assert(kLinks == 2 || kLinks == 4, "the walk below is unrolled for 2 or 4 links");
  if (!consider(cur)) {
    for (;;) {
      const Links next = links[cur & kWMask];
      // True when the walk ends at the k-th link.
      const auto step = [&](int k) {
        cur = static_cast<uint32_t>(next >> (16 * k)) & 0xFFFF;
        return cur <= limit || --chain == 0 || consider(cur);
      };
      if (step(0) || step(1)) break;
      if constexpr (kLinks == 4) {
        if (step(2) || step(3)) break;
      }
    }
  }
  matchStart = bestStart;
  return best;
}

// Levels 1 to 3: take the longest match at each position. The state the
// loop changes at every byte is kept in locals: stores to the item and
// frequency arrays might alias the members and would force reloads.
//
// It computes what DeflateLazy's helpers would, in a cheaper form: the
// hash comes from the three bytes at the position itself (the same value
// the rolling hash reaches, as those bytes never change between their
// reads), and a candidate is judged by its first eight bytes at once. The
// walk starts at best length 2, below every good length, so the chain
// limit is never cut; the nearest of equally long matches still wins.
template <typename Links>
template <int kLevel>
void Deflater<Links>::DeflateGreedy() {
  // The row's limits as constants: the walk's counters need fewer registers.
  constexpr uint32_t maxInsert = kDeflateConfig[kLevel].LazyLimit;
  constexpr uint32_t chainLimit = kDeflateConfig[kLevel].ChainLimit;
  constexpr uint32_t nice = kDeflateConfig[kLevel].NiceLength;
  constexpr bool earlyEnd = kLevel > 2;
  const uint8_t* const window = window_;
  uint16_t* const heads = head_.get();
  Links* const links = links_.get();
  uint8_t* const lit = lit_.get();
  uint16_t* const dist = dist_.get();
  uint32_t* const lfreq = ltree_.Freq;
  uint32_t* const dfreq = dtree_.Freq;
  uint32_t pos = strstart_;
  uint32_t lookahead = lookahead_;
  uint32_t items = items_;
  uint32_t matches = matches_;
  const auto hashAt = [window](uint32_t p) { return Hash3(Load32(window + p)); };
  const auto insert = [heads, links](uint32_t h, uint32_t p) {
    const uint32_t head = heads[h];
    links[p & kWMask] = static_cast<Links>((links[head & kWMask] << 16) | head);
    heads[h] = static_cast<uint16_t>(p);
    return head;
  };
  // The flag only changes in reads and writes (RefillWindow, EmitBlock).
  bool cancelled = io_.Cancelled;
  // The hash of the position about to be coded; its bytes stay put (or
  // move with a slide) until it is used.
  uint32_t hash = hashAt(pos);
  while (lookahead > 0 && !cancelled) {
    const uint32_t head = insert(hash, pos);
    // Most positions are followed by the next one: its chain head is
    // fetched while this one is searched.
    const uint32_t nextHash = hashAt(pos + 1);
    Prefetch(&heads[nextHash]);
    uint32_t best = kMinMatch - 1;
    uint32_t bestStart = 0;
    if (head != 0 && pos - head <= static_cast<uint32_t>(kMaxDist)) {
      const uint8_t* const scan = window + pos;
      const uint64_t first = Load64(scan);
      const uint32_t limit = pos > static_cast<uint32_t>(kMaxDist) ? pos - kMaxDist : 0;
      uint32_t cur = head;
      uint32_t chain = chainLimit;
      // True when the walk is done: the candidate reached the nice length.
      const auto consider = [&](uint32_t candidate) {
        const uint64_t diff = Load64(window + candidate) ^ first;
        const uint32_t len = diff != 0 ? static_cast<uint32_t>(Ctz64(diff) >> 3)
                                       : static_cast<uint32_t>(CommonLength(scan, window + candidate));
        if (len <= best) return false;
        best = len;
        bestStart = candidate;
        return len >= nice;
      };
      // As in FindLongestMatch, one load gives the next kLinks candidates.
      if (!consider(cur)) {
        for (;;) {
          const Links next = links[cur & kWMask];
          const auto step = [&](int k) {
            cur = static_cast<uint32_t>(next >> (16 * k)) & 0xFFFF;
            return cur <= limit || --chain == 0 || consider(cur);
          };
          if (step(0) || step(1)) break;
          if constexpr (kLinks == 4) {
            if (step(2) || step(3)) break;
          }
        }
      }
      if (best > lookahead) best = lookahead;
    }
    const uint32_t itemPos = pos;
    if (best >= kMinMatch) {
      const uint32_t distance = pos - bestStart;
      lit[items] = static_cast<uint8_t>(best - kMinMatch);
      dist[items] = static_cast<uint16_t>(distance);
      lfreq[kLiterals + 1 + kTables.LengthCode[best - kMinMatch]]++;
      dfreq[DistanceCode(distance - 1)]++;
      ++matches;
      lookahead -= best;
      const uint32_t end = pos + best;
      if (best <= maxInsert) InsertMatchTail(window, heads, links, pos + 1, end);
      pos = end;
      hash = hashAt(pos);
    } else {
      const uint8_t c = window[pos];
      lit[items] = c;
      dist[items] = 0;
      lfreq[c]++;
      --lookahead;
      ++pos;
      hash = nextHash;
    }
    ++items;
    bool flush = items == static_cast<uint32_t>(kLitBufSize - 1);
    if (earlyEnd && (items & 0xFFF) == 0) {
      items_ = items;
      matches_ = matches;
      flush = flush || WorthEndingEarly(itemPos);
    }
    if (flush || lookahead < static_cast<uint32_t>(kMinLookahead)) {
      strstart_ = pos;
      lookahead_ = lookahead;
      items_ = items;
      matches_ = matches;
      if (flush) {
        EmitBlock(false);
        cancelled = io_.Cancelled;
        blockStart_ = static_cast<int32_t>(pos);
      }
      if (lookahead < static_cast<uint32_t>(kMinLookahead)) {
        RefillWindow();
        cancelled = io_.Cancelled;
        // A slide moves every position down.
        pos = strstart_;
        lookahead = lookahead_;
      }
      items = items_;
      matches = matches_;
    }
  }
  strstart_ = pos;
  lookahead_ = lookahead;
  items_ = items;
  matches_ = matches;
  EmitBlock(true);
}

// Levels 4 to 9: a match is only taken when the next position offers no
// longer one; otherwise its first byte goes out as a literal. As in
// DeflateGreedy, the state changed at every byte lives in locals and each
// position's hash comes from one load of its own three bytes.
template <typename Links>
template <int kLevel>
void Deflater<Links>::DeflateLazy() {
  constexpr uint32_t lazyLimit = kDeflateConfig[kLevel].LazyLimit;
  const uint8_t* const window = window_;
  uint16_t* const heads = head_.get();
  Links* const links = links_.get();
  uint8_t* const lit = lit_.get();
  uint16_t* const dist = dist_.get();
  uint32_t* const lfreq = ltree_.Freq;
  uint32_t* const dfreq = dtree_.Freq;
  uint32_t pos = strstart_;
  uint32_t lookahead = lookahead_;
  uint32_t items = items_;
  uint32_t matches = matches_;
  uint32_t matchStart = matchStart_;
  uint32_t matchLength = matchLength_;
  const auto hashAt = [window](uint32_t p) { return Hash3(Load32(window + p)); };
  const auto insert = [heads, links](uint32_t h, uint32_t p) {
    const uint32_t head = heads[h];
    links[p & kWMask] = static_cast<Links>((links[head & kWMask] << 16) | head);
    heads[h] = static_cast<uint16_t>(p);
    return head;
  };
  // The flag only changes in reads and writes (RefillWindow, EmitBlock).
  bool cancelled = io_.Cancelled;
  // Whether the block should end after the item just counted at itemPos.
  const auto blockFull = [&](uint32_t itemPos) {
    if ((items & 0xFFF) == 0) {
      items_ = items;
      matches_ = matches;
      if (WorthEndingEarly(itemPos)) return true;
    }
    return items == static_cast<uint32_t>(kLitBufSize - 1);
  };
  const auto endBlock = [&](uint32_t blockEnd) {
    strstart_ = blockEnd;
    items_ = items;
    matches_ = matches;
    EmitBlock(false);
    blockStart_ = static_cast<int32_t>(blockEnd);
    items = matches = 0;
    cancelled = io_.Cancelled;
  };
  bool matchAvailable = false;
  uint32_t hash = hashAt(pos);
  while (lookahead > 0 && !cancelled) {
    const uint32_t head = insert(hash, pos);
    // Unless a match is taken, the next position is searched next: its
    // chain head is fetched meanwhile.
    hash = hashAt(pos + 1);
    Prefetch(&heads[hash]);
    const uint32_t prevLength = matchLength;
    const uint32_t prevMatch = matchStart;
    matchLength = kMinMatch - 1;
    if (head != 0 && prevLength < lazyLimit && pos - head <= static_cast<uint32_t>(kMaxDist)) {
      matchLength = FindLongestMatch<kLevel>(head, pos, prevLength, matchStart);
      if (matchLength > lookahead) matchLength = lookahead;
      if (matchLength == kMinMatch && pos - matchStart > static_cast<uint32_t>(kTooFar))
        matchLength = kMinMatch - 1;
    }
    if (prevLength >= kMinMatch && matchLength <= prevLength) {
      const uint32_t distance = pos - 1 - prevMatch;
      const uint32_t lengthMinus3 = prevLength - kMinMatch;
      lit[items] = static_cast<uint8_t>(lengthMinus3);
      dist[items] = static_cast<uint16_t>(distance);
      lfreq[kLiterals + 1 + kTables.LengthCode[lengthMinus3]]++;
      dfreq[DistanceCode(distance - 1)]++;
      ++items;
      ++matches;
      const bool flush = blockFull(pos);
      lookahead -= prevLength - 1;
      // The match began at pos - 1; pos is already in the chains.
      const uint32_t end = pos - 1 + prevLength;
      InsertMatchTail(window, heads, links, pos + 1, end);
      pos = end;
      hash = hashAt(pos);
      matchAvailable = false;
      matchLength = kMinMatch - 1;
      if (flush) endBlock(pos);
    } else {
      if (matchAvailable) {
        const uint8_t c = window[pos - 1];
        lit[items] = c;
        dist[items] = 0;
        lfreq[c]++;
        ++items;
        if (blockFull(pos)) endBlock(pos);
      }
      matchAvailable = true;
      ++pos;
      --lookahead;
    }
    if (lookahead < static_cast<uint32_t>(kMinLookahead)) {
      strstart_ = pos;
      lookahead_ = lookahead;
      matchStart_ = matchStart;
      RefillWindow();
      cancelled = io_.Cancelled;
      // A slide moves every position down.
      pos = strstart_;
      lookahead = lookahead_;
      matchStart = matchStart_;
      hash = hashAt(pos);
    }
  }
  strstart_ = pos;
  lookahead_ = lookahead;
  items_ = items;
  matches_ = matches;
  if (matchAvailable) RecordLiteral(window_[strstart_ - 1], strstart_);
  EmitBlock(true);
}

// ---------------------------------------------------------------------------
// Block output

// Counts the code-length sequence of a tree into the bit-length tree's
// frequencies (runs as SendTree will send them).
template <typename Links>
void Deflater<Links>::ScanTree(Tree& t, int maxCode) {
  int prevlen = -1;
  int nextlen = t.Len[0];
  int count = 0;
  int maxCount = 7, minCount = 4;
  if (nextlen == 0) maxCount = 138, minCount = 3;
  t.Len[maxCode + 1] = 0xFFFF;  // sentinel: ends the last run
  for (int n = 0; n <= maxCode; ++n) {
    const int curlen = nextlen;
    nextlen = t.Len[n + 1];
    if (++count < maxCount && curlen == nextlen) continue;
    if (count < minCount) {
      bltree_.Freq[curlen] += count;
    } else if (curlen != 0) {
      if (curlen != prevlen) bltree_.Freq[curlen]++;
      bltree_.Freq[kRep3To6]++;
    } else if (count <= 10) {
      bltree_.Freq[kRepZ3To10]++;
    } else {
      bltree_.Freq[kRepZ11To138]++;
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      maxCount = 138, minCount = 3;
    } else if (curlen == nextlen) {
      maxCount = 6, minCount = 3;
    } else {
      maxCount = 7, minCount = 4;
    }
  }
  t.Len[maxCode + 1] = 0;
}

template <typename Links>
void Deflater<Links>::SendTree(const Tree& t, int maxCode) {
  auto sendCode = [&](int c) {
    const int len = bltree_.Len[c];
    if (len == 0 || len > kMaxBits) {
      io_.LengthOutOfRange();
      return false;
    }
    SendBits(bltree_.Code[c], len);
    return true;
  };
  int prevlen = -1;
  int nextlen = t.Len[0];
  int count = 0;
  int maxCount = 7, minCount = 4;
  if (nextlen == 0) maxCount = 138, minCount = 3;
  for (int n = 0; n <= maxCode; ++n) {
    const int curlen = nextlen;
    nextlen = n + 1 <= maxCode ? t.Len[n + 1] : 0xFFFF;
    if (++count < maxCount && curlen == nextlen) continue;
    if (count < minCount) {
      do {
        if (!sendCode(curlen)) break;
      } while (--count != 0);
    } else if (curlen != 0) {
      bool ok = true;
      if (curlen != prevlen) {
        ok = sendCode(curlen);
        --count;
      }
      if (ok && sendCode(kRep3To6)) SendBits(count - 3, 2);
    } else if (count <= 10) {
      if (sendCode(kRepZ3To10)) SendBits(count - 3, 3);
    } else {
      if (sendCode(kRepZ11To138)) SendBits(count - 11, 7);
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      maxCount = 138, minCount = 3;
    } else if (curlen == nextlen) {
      maxCount = 6, minCount = 3;
    } else {
      maxCount = 7, minCount = 4;
    }
  }
}

template <typename Links>
int Deflater<Links>::BuildBitLengthTree() {
  ScanTree(ltree_, ltree_.MaxCode);
  ScanTree(dtree_, dtree_.MaxCode);
  builder_.Build(bltree_, kBitLengthParams);
  int maxIndex;
  for (maxIndex = kBlCodes - 1; maxIndex >= 3; --maxIndex) {
    if (bltree_.Len[kBlOrder[maxIndex]] != 0) break;
  }
  builder_.DynamicCost += 3 * (maxIndex + 1) + 5 + 5 + 4;
  return maxIndex;
}

template <typename Links>
void Deflater<Links>::SendAllTrees(int lcodes, int dcodes, int blcodes) {
  SendBits(lcodes - 257, 5);
  SendBits(dcodes - 1, 5);
  SendBits(blcodes - 4, 4);
  for (int rank = 0; rank < blcodes; ++rank) SendBits(bltree_.Len[kBlOrder[rank]], 3);
  SendTree(ltree_, lcodes - 1);
  SendTree(dtree_, dcodes - 1);
}

template <typename Links>
void Deflater<Links>::CompressBlock(const uint16_t* lcode, const uint8_t* llen,
                                    const uint16_t* dcode, const uint8_t* dlen) {
  // Per item symbol, literals first and then lengths - 3: its code with the
  // extra bits above it, and the total length. Per distance code: its code
  // and total length; the extra bits come from the distance itself. Unless
  // the block is nearly all literals, every item is coded in the same steps,
  // a literal's distance part masked to no bits, so the mix of literals and
  // matches costs no mispredicted branches.
  uint32_t symBits[2 * 256];
  uint8_t symLen[2 * 256];
  for (int lc = 0; lc < 256; ++lc) {
    symBits[lc] = lcode[lc];
    symLen[lc] = llen[lc];
    const int code = kTables.LengthCode[lc];
    const int extra = kExtraLengthBits[code];
    const int sym = kLiterals + 1 + code;
    // Length 258 (code 28) has no extra bits: nothing may be set above its code.
    const uint32_t extraValue = extra ? static_cast<uint32_t>(lc - kTables.BaseLength[code]) : 0;
    symBits[256 + lc] = lcode[sym] | (extraValue << llen[sym]);
    symLen[256 + lc] = static_cast<uint8_t>(llen[sym] + extra);
  }
  uint8_t distLen[kDCodes];
  for (int code = 0; code < kDCodes; ++code)
    distLen[code] = static_cast<uint8_t>(dlen[code] + kExtraDistBits[code]);
  PutBits();  // leaves at most 7 bits, so that an item of up to 48 bits fits
  const uint8_t* const lit = lit_.get();
  const uint16_t* const dist = dist_.get();
  uint8_t* const out = out_;
  int outFill = outFill_;
  uint64_t bitBuf = bitBuf_;
  unsigned bitCount = static_cast<unsigned>(bitCount_);
  const auto putBytes = [&] {
    // At most 7 bits stay behind and an item adds at most 48: at most 6 whole bytes.
    std::memcpy(out + outFill, &bitBuf, sizeof bitBuf);
    const unsigned bytes = bitCount >> 3;
    outFill += static_cast<int>(bytes);
    bitBuf >>= bytes * 8;
    bitCount &= 7;
    if (outFill >= kOutBufSize) {
      outFill_ = outFill;
      FlushFullBuffer();
      outFill = outFill_;
    }
  };
  const auto putDistance = [&](unsigned d, uint64_t mask) {
    // A literal's 0 becomes 32767, a valid distance - 1 whose bits the mask drops.
    const unsigned dm1 = (d - 1) & kWMask;
    const unsigned code = DistanceCode(dm1);
    const uint64_t distBits =
        dcode[code] | (static_cast<uint64_t>(dm1 - kTables.BaseDist[code]) << dlen[code]);
    bitBuf |= (distBits & mask) << bitCount;
    bitCount += distLen[code] & static_cast<unsigned>(mask);
  };
  const uint32_t items = items_;
  if (matches_ * 8 < items) {
    // Mostly literals (data that hardly compresses): the branch is then
    // predictable and cheaper than coding a masked distance per literal.
    for (uint32_t i = 0; i < items; ++i) {
      const unsigned d = dist[i];
      const unsigned sym = lit[i] | ((d != 0) << 8);
      bitBuf |= static_cast<uint64_t>(symBits[sym]) << bitCount;
      bitCount += symLen[sym];
      if (d != 0) putDistance(d, ~uint64_t{0});
      putBytes();
    }
  } else {
    for (uint32_t i = 0; i < items; ++i) {
      const unsigned d = dist[i];
      const unsigned isMatch = d != 0;
      const unsigned sym = lit[i] | (isMatch << 8);
      bitBuf |= static_cast<uint64_t>(symBits[sym]) << bitCount;
      bitCount += symLen[sym];
      putDistance(d, 0 - static_cast<uint64_t>(isMatch));
      putBytes();
    }
  }
  outFill_ = outFill;
  bitBuf_ = bitBuf;
  bitCount_ = static_cast<int>(bitCount);
  SendBits(lcode[kEndBlock], llen[kEndBlock]);
}

template <typename Links>
void Deflater<Links>::CopyStoredBlock(const uint8_t* source, uint32_t length, bool withHeader) {
  AlignOutput();
  if (withHeader) {
    SendBits(length & 0xFFFF, 16);
    SendBits(~length & 0xFFFF, 16);
    PutBits();
  }
  FlushOutput();
  if (length > 0) {
    io_.Write(source, length);
    written_ += length;
  }
}

template <typename Links>
void Deflater<Links>::EmitBlock(bool last) {
  const uint8_t* source = blockStart_ >= 0 ? window_ + blockStart_ : nullptr;
  const uint32_t storedLength = static_cast<uint32_t>(static_cast<int64_t>(strstart_) - blockStart_);

  builder_.Build(ltree_, kLiteralParams);
  builder_.Build(dtree_, kDistanceParams);
  const int maxBlIndex = BuildBitLengthTree();

  const uint64_t dynamicBytes = static_cast<uint64_t>(builder_.DynamicCost + 3 + 7) >> 3;
  const uint64_t staticBytes = static_cast<uint64_t>(builder_.StaticCost + 3 + 7) >> 3;
  const uint64_t best = std::min(staticBytes, dynamicBytes);

  if (allowStored_ && staticBytes != best && storedLength <= best && last && NothingOutput() &&
      source) {
    // The whole input did not shrink: it goes out as it is, without blocks.
    CopyStoredBlock(source, storedLength, false);
    io_.StoredFallback();
  } else if (storedLength + 4 <= best && source && storedLength <= 0xFFFF) {
    SendBits((kStored << 1) + last, 3);
    CopyStoredBlock(source, storedLength, true);
  } else if (staticBytes == best) {
    SendBits((kFixed << 1) + last, 3);
    CompressBlock(kTables.StaticLCode, kTables.StaticLLen, kTables.StaticDCode,
                  kTables.StaticDLen);
  } else {
    SendBits((kDynamic << 1) + last, 3);
    SendAllTrees(ltree_.MaxCode + 1, dtree_.MaxCode + 1, maxBlIndex + 1);
    uint8_t llen[kLCodes + 2], dlen[kDCodes];
    for (int n = 0; n < kLCodes; ++n) llen[n] = static_cast<uint8_t>(n <= ltree_.MaxCode ? ltree_.Len[n] : 0);
    for (int n = 0; n < kDCodes; ++n) dlen[n] = static_cast<uint8_t>(n <= dtree_.MaxCode ? dtree_.Len[n] : 0);
    CompressBlock(ltree_.Code, llen, dtree_.Code, dlen);
  }
  InitBlock();
  if (last) {
    std::memset(window_, 0, kWindowSize - 1);  // no file content outlives the call
    AlignOutput();
  }
}

template <typename Links>
uint64_t Deflater<Links>::Run(const uint8_t* history, size_t historyLength) {
  InitBlock();
  if (historyLength > static_cast<size_t>(kWSize)) {
    history += historyLength - kWSize;
    historyLength = kWSize;
  }
  if (historyLength > 0) std::memcpy(window_, history, historyLength);
  const uint32_t h = static_cast<uint32_t>(historyLength);

  const int64_t n = io_.Read(window_ + h, kWindowSize - h);
  if (n <= 0) {
    eof_ = true;
    return 0;
  }
  lookahead_ = static_cast<uint32_t>(n);
  strstart_ = h;
  blockStart_ = static_cast<int32_t>(h);
  if (lookahead_ < static_cast<uint32_t>(kMinLookahead)) RefillWindow();

  PrimeHash(0);
  // The history's strings enter the chains so that matches reach back into them.
  for (uint32_t pos = 0; pos < h; ++pos) InsertString(pos);
  matchLength_ = kMinMatch - 1;
  if (level_ == 1)
    DeflateGreedy<1>();
  else if (level_ == 2)
    DeflateGreedy<2>();
  else if (level_ == 3)
    DeflateGreedy<3>();
  else if (level_ == 4)
    DeflateLazy<4>();
  else if (level_ == 5)
    DeflateLazy<5>();
  else if (level_ == 6)
    DeflateLazy<6>();
  else if (level_ == 7)
    DeflateLazy<7>();
  else if (level_ == 8)
    DeflateLazy<8>();
  else
    DeflateLazy<9>();
  return written_;
}

}  // namespace

uint64_t Run(DeflateIo& io, const Options& options) {
  if (options.Level <= 3) {
    auto deflater = std::make_unique<Deflater<uint32_t>>(io, options);
    return deflater->Run(options.History, options.HistoryLength);
  }
  auto deflater = std::make_unique<Deflater<uint64_t>>(io, options);
  return deflater->Run(options.History, options.HistoryLength);
}

std::vector<uint8_t> CodeLengths(const std::vector<uint32_t>& frequencies, int maxBits) {
  auto tree = std::make_unique<Tree>();
  auto builder = std::make_unique<TreeBuilder>();
  const int elems = static_cast<int>(std::min<size_t>(frequencies.size(), kLCodes));
  for (int n = 0; n < elems; ++n) tree->Freq[n] = frequencies[n];
  static const uint8_t kNoExtra[kLCodes] = {};
  const TreeParams params{elems, std::clamp(maxBits, 1, kMaxBits), kNoExtra, 0, nullptr};
  builder->Build(*tree, params);
  std::vector<uint8_t> lengths(elems);
  for (int n = 0; n < elems && n <= tree->MaxCode; ++n) lengths[n] = static_cast<uint8_t>(tree->Len[n]);
  return lengths;
}

}  // namespace vix::deflate_core

namespace vix {
namespace {

// Feeds a block of memory to the core and collects its output.
class MemoryIo : public deflate_core::DeflateIo {
 public:
  MemoryIo(const uint8_t* data, size_t length, std::vector<uint8_t>& out)
      : data_(data), left_(length), out_(out) {}
  bool MoreInput() override { return left_ > 0; }
  int64_t Read(uint8_t* buffer, uint32_t count) override {
    const size_t n = std::min<size_t>(count, left_);
    if (n > 0) std::memcpy(buffer, data_, n);
    data_ += n;
    left_ -= n;
    return static_cast<int64_t>(n);
  }
  void Write(const uint8_t* buffer, uint32_t count) override {
    out_.insert(out_.end(), buffer, buffer + count);
  }

 private:
  const uint8_t* data_;
  size_t left_;
  std::vector<uint8_t>& out_;
};

}  // namespace

void DeflateMemoryBlock(const uint8_t* history, size_t historyLength, const uint8_t* data,
                        size_t length, int level, std::vector<uint8_t>& out) {
  if (length == 0) {
    // An empty block still has to be a complete stream: one final fixed
    // block holding only the end code.
    out.push_back(0x03);
    out.push_back(0x00);
    return;
  }
  MemoryIo io(data, length, out);
  deflate_core::Options options;
  options.Level = level;
  options.History = history;
  options.HistoryLength = history ? historyLength : 0;
  deflate_core::Run(io, options);
}

}  // namespace vix
