#include "engines/lzx.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vix::lzx {

int PositionSlots(int windowBits) { return SlotOf((1u << windowBits) - 1) + 1; }

int SlotOf(uint32_t formatted) {
  if (formatted < 4) return static_cast<int>(formatted);
  if (formatted >= kSlots.base[36]) return 36 + static_cast<int>((formatted - kSlots.base[36]) >> 17);
  int top = 31 - __builtin_clz(formatted);
  return 2 * top + static_cast<int>((formatted >> (top - 1)) & 1);
}

void BitWriter::Put(uint32_t value, int bits) {
  // Up to 15 pending bits and 24 new ones: the accumulator needs 39.
  acc_ = (acc_ << bits) | (value & ((1u << bits) - 1));
  pending_ += bits;
  bits_ += bits;
  while (pending_ >= 16) {
    pending_ -= 16;
    const auto word = static_cast<uint32_t>(acc_ >> pending_);
    const uint8_t bytes[2] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
    out_.insert(out_.end(), bytes, bytes + 2);
    acc_ &= (uint64_t{1} << pending_) - 1;
  }
}

void BitWriter::AlignWord() {
  if (pending_ != 0) Put(0, 16 - pending_);
}

void BitWriter::PutBytes(const uint8_t* bytes, size_t count) {
  if (pending_ != 0) throw std::logic_error("lzx: raw bytes off a word boundary");
  out_.insert(out_.end(), bytes, bytes + count);
  bits_ += 8 * static_cast<uint64_t>(count);
}

// Huffman lengths from a tree over the used symbols.
void BuildLengths(const uint32_t* freq, int count, int maxLength, uint8_t* lengths) {
  std::fill(lengths, lengths + count, uint8_t{0});
  std::vector<int> used;
  for (int i = 0; i < count; ++i)
    if (freq[i]) used.push_back(i);
  if (used.empty()) return;
  if (used.size() == 1) {
    lengths[used[0]] = 1;
    lengths[used[0] == 0 ? 1 : 0] = 1;
    return;
  }
  std::stable_sort(used.begin(), used.end(),
                   [&](int a, int b) { return freq[a] < freq[b]; });
  const size_t n = used.size();
  // Two-queue construction: leaves in frequency order, internal nodes in
  // creation order (also non-decreasing).
  std::vector<uint64_t> weight(2 * n);
  std::vector<int> parent(2 * n, -1);
  for (size_t i = 0; i < n; ++i) weight[i] = freq[used[i]];
  size_t leaf = 0, node = n, next = n;
  auto take = [&]() {
    if (leaf < n && (node >= next || weight[leaf] <= weight[node])) return leaf++;
    return node++;
  };
  for (; next < 2 * n - 1; ++next) {
    const size_t a = take(), b = take();
    weight[next] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<int>(next);
  }
  std::vector<int> depth(2 * n, 0);
  for (size_t i = 2 * n - 2; i-- > 0;) depth[i] = depth[parent[i]] + 1;
  // Leaves too deep are clamped, then the Kraft sum (in units of
  // 2^-maxLength) is brought back to exactly one: lengthen the rarest of the
  // longest codes below the limit while it is too big, shorten the most
  // frequent code that still fits while it is too small.
  std::vector<int> len(n);
  const int64_t target = int64_t{1} << maxLength;
  int64_t kraft = 0;
  for (size_t i = 0; i < n; ++i) {
    len[i] = std::min(depth[i], maxLength);
    kraft += int64_t{1} << (maxLength - len[i]);
  }
  while (kraft > target) {
    int pick = -1;
    for (size_t i = 0; i < n; ++i)
      if (len[i] < maxLength && (pick < 0 || len[i] > len[pick])) pick = static_cast<int>(i);
    kraft -= int64_t{1} << (maxLength - len[pick] - 1);
    ++len[pick];
  }
  while (kraft < target) {
    int pick = -1;
    for (size_t i = n; i-- > 0;) {
      if (len[i] <= 1 || (int64_t{1} << (maxLength - len[i])) > target - kraft) continue;
      if (pick < 0 || len[i] > len[pick]) pick = static_cast<int>(i);
    }
    kraft += int64_t{1} << (maxLength - len[pick]);
    --len[pick];
  }
  for (size_t i = 0; i < n; ++i) lengths[used[i]] = static_cast<uint8_t>(len[i]);
}

void MakeCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  int blCount[kMaxCodeLength + 2] = {};
  for (int i = 0; i < count; ++i) ++blCount[lengths[i]];
  blCount[0] = 0;
  uint32_t nextCode[kMaxCodeLength + 2] = {};
  uint32_t code = 0;
  for (int bits = 1; bits <= kMaxCodeLength + 1; ++bits) {
    code = (code + blCount[bits - 1]) << 1;
    nextCode[bits] = code;
  }
  for (int i = 0; i < count; ++i)
    codes[i] = lengths[i] ? static_cast<uint16_t>(nextCode[lengths[i]]++) : 0;
}

namespace {

struct PretreeItem {
  uint8_t symbol;
  uint8_t extraBits;
  uint8_t extra;
  int8_t follow;  // symbol 19 carries a delta symbol after its bit; -1 otherwise
};

uint8_t Delta(uint8_t prev, uint8_t length) {
  return static_cast<uint8_t>((prev + 17 - length) % 17);
}

std::vector<PretreeItem> PretreeItems(const uint8_t* lengths, const uint8_t* prev, int count) {
  std::vector<PretreeItem> items;
  for (int i = 0; i < count;) {
    const uint8_t v = lengths[i];
    int run = 1;
    while (i + run < count && lengths[i + run] == v) ++run;
    if (v == 0 && run >= 4) {
      int left = run;
      while (left >= 20) {
        const int take = std::min(left, 51);
        items.push_back({18, 5, static_cast<uint8_t>(take - 20), -1});
        left -= take;
      }
      if (left >= 4) {
        items.push_back({17, 4, static_cast<uint8_t>(left - 4), -1});
        left = 0;
      }
      for (int k = run - left; k < run; ++k) items.push_back({Delta(prev[i + k], 0), 0, 0, -1});
      i += run;
    } else if (run >= 4) {
      int k = 0;
      for (; run - k >= 4; ) {
        const int take = std::min(run - k, 5);
        items.push_back({19, 1, static_cast<uint8_t>(take - 4),
                         static_cast<int8_t>(Delta(prev[i + k], v))});
        k += take;
      }
      for (; k < run; ++k) items.push_back({Delta(prev[i + k], v), 0, 0, -1});
      i += run;
    } else {
      items.push_back({Delta(prev[i], v), 0, 0, -1});
      ++i;
    }
  }
  return items;
}

}  // namespace

void WriteLengths(BitWriter& bw, const uint8_t* lengths, const uint8_t* prev, int count) {
  const std::vector<PretreeItem> items = PretreeItems(lengths, prev, count);
  uint32_t freq[kPretreeSymbols] = {};
  for (const auto& it : items) {
    ++freq[it.symbol];
    if (it.follow >= 0) ++freq[it.follow];
  }
  uint8_t len[kPretreeSymbols];
  uint16_t code[kPretreeSymbols];
  BuildLengths(freq, kPretreeSymbols, kMaxPretreeLength, len);
  MakeCodes(len, kPretreeSymbols, code);
  for (int i = 0; i < kPretreeSymbols; ++i) bw.Put(len[i], 4);
  for (const auto& it : items) {
    bw.Put(code[it.symbol], len[it.symbol]);
    if (it.extraBits) bw.Put(it.extra, it.extraBits);
    if (it.follow >= 0) bw.Put(code[it.follow], len[it.follow]);
  }
}

void WriteUncompressedBlock(BitWriter& bw, const uint8_t* data, size_t count,
                            const std::array<uint32_t, 3>& reps) {
  bw.Put(kBlockUncompressed, 3);
  bw.Put(static_cast<uint32_t>(count), 24);
  // Readers skip 1 to 16 bits here: on a word boundary a whole zero word.
  if (bw.BitCount() % 16 == 0)
    bw.Put(0, 16);
  else
    bw.AlignWord();
  uint8_t r[12];
  for (int i = 0; i < 3; ++i)
    for (int b = 0; b < 4; ++b) r[4 * i + b] = static_cast<uint8_t>(reps[i] >> (8 * b));
  bw.PutBytes(r, sizeof r);
  bw.PutBytes(data, count);
  if (count & 1) {
    const uint8_t zero = 0;
    bw.PutBytes(&zero, 1);
  }
}

void TranslateE8(uint8_t* frame, size_t length, uint32_t position, uint32_t translationSize,
                 bool encode) {
  if (length <= 10) return;
  const int32_t size = static_cast<int32_t>(translationSize);
  for (size_t i = 0; i < length - 10;) {
    if (frame[i] != 0xE8) {
      ++i;
      continue;
    }
    const int32_t pos = static_cast<int32_t>(position + i);
    uint8_t* p = frame + i + 1;
    const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | uint32_t{p[1]} << 8 |
                                           uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    if (v >= -pos && v < size) {
      int32_t w;
      if (encode)
        w = v < size - pos ? v + pos : v - size;
      else
        w = v >= 0 ? v - pos : v + size;
      const auto u = static_cast<uint32_t>(w);
      p[0] = static_cast<uint8_t>(u);
      p[1] = static_cast<uint8_t>(u >> 8);
      p[2] = static_cast<uint8_t>(u >> 16);
      p[3] = static_cast<uint8_t>(u >> 24);
    }
    i += 5;
  }
}

namespace {

constexpr int kHashBits = 16;
constexpr uint32_t kNoPos = 0xFFFFFFFFu;
constexpr int kLengthSymbolBase = 9;  // match length of length symbol 0
// Costs (bits) of symbols the previous block did not use.
constexpr int kUnusedMainCost = 14;
constexpr int kUnusedLengthCost = 10;

struct Token {
  uint16_t length;  // 0: literal
  uint32_t value;   // the literal byte or the match offset
};

struct Node {
  uint32_t cost;
  uint16_t length;  // of the step that reaches this node; 0 = literal
  uint32_t offset;
  std::array<uint32_t, 3> reps;
};

constexpr int kHash3Bits = 14;
constexpr uint32_t kMissesBeforeSkipping = 256;
constexpr int kMissShift = 7;
constexpr int kUsefulMatch = 4;
// The lazy parse looks one byte further only past a match shorter than this.
constexpr int kLazyLength = 16;
// Lengths a match is weighed at: every short one (each has its own main
// symbol), then only the last few, since a cut in the middle of a long
// match seldom lets a better one start.
constexpr int kAllLengthsUpTo = 9;
constexpr int kTailLengths = 2;
inline int NextLength(int l, int len) {
  return l < kAllLengthsUpTo || l >= len - kTailLengths ? l + 1 : len - kTailLengths;
}

// Each 4-byte hash keeps its latest kWays positions in one cache line, a
// ring newest first: over a 2 MiB window a chain walk misses the cache at
// every link, a bucket once, and the window bytes of all its candidates
// are fetched together. 4-byte hashes mean few candidates that end at 3
// bytes; a table of the latest position per 3-byte hash supplies the short
// matches.
// An entry is the low 24 bits of its position under 8 more bits of its
// hash: a candidate whose tag differs cannot share the 4 bytes, so it is
// passed over without touching the window (on packed data nearly all are).
// 24 bits reach far beyond the largest window; an entry 2^24 positions
// old may pose as a recent one, which the byte comparison sorts out.
constexpr int kWays = 16;
constexpr int kTagBits = 8;
constexpr uint32_t kEntryPosMask = (1u << (32 - kTagBits)) - 1;
static_assert(kEntryPosMask >= (1u << kMaxWindowBits), "entries must reach across the window");
constexpr int kPrefetchAhead = 12;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
// The 4-byte hash: the bucket in its top kHashBits, the tag in the next
// kTagBits.
inline uint32_t Hash4Wide(const uint8_t* p) {
  return (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24) *
         2654435761u;
}
inline uint32_t BucketOf(uint32_t wide) { return wide >> (32 - kHashBits); }
inline uint32_t TagOf(uint32_t wide) {
  return (wide >> (32 - kHashBits - kTagBits)) & ((1u << kTagBits) - 1);
}
// Bytes c and cur have in common, at most cap; both are readable to cap.
inline int MatchLength(const uint8_t* c, const uint8_t* cur, int cap) {
  int len = 0;
  for (; len + 8 <= cap; len += 8) {
    uint64_t a, b;
    std::memcpy(&a, c + len, 8);
    std::memcpy(&b, cur + len, 8);
    if (a != b) {
      const uint64_t x = a ^ b;
      // The first differing byte in memory order.
      const int bit = kLittleEndian ? __builtin_ctzll(x) : __builtin_clzll(x);
      return len + bit / 8;
    }
  }
  while (len < cap && c[len] == cur[len]) ++len;
  return len;
}
inline uint32_t Hash3(const uint8_t* p) {
  return ((uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]) * 2654435761u) >> (32 - kHash3Bits);
}

}  // namespace

struct Encoder::Impl {
  EncoderOptions opt;
  uint32_t windowSize;
  uint32_t maxOffset;
  int slots;
  int mainSymbols;

  // The window: buffer[0] is folder position bufferBase.
  std::vector<uint8_t> buffer;
  uint64_t bufferBase = 0;
  uint64_t inserted = 0;  // positions below this are in the hash chains
  std::vector<uint32_t> buckets, head3;
  std::vector<uint8_t> newest;  // ring index of each bucket's latest entry
  bool chainsValid = true;

  uint32_t frames = 0;
  std::array<uint32_t, 3> reps{1, 1, 1};
  std::vector<uint8_t> prevMain, prevLength;

  // Per-frame work areas.
  std::vector<Node> nodes;
  std::vector<Token> tokens;
  std::vector<uint32_t> mainCost, lengthCost;
  std::vector<uint32_t> litSum;  // the lazy parse's running literal costs
  std::vector<std::pair<uint16_t, uint32_t>> matches;

  explicit Impl(const EncoderOptions& o) : opt(o) {
    if (opt.WindowBits < kMinWindowBits || opt.WindowBits > kMaxWindowBits)
      throw std::invalid_argument("lzx: window bits out of range");
    windowSize = 1u << opt.WindowBits;
    maxOffset = windowSize - 3;
    slots = PositionSlots(opt.WindowBits);
    mainSymbols = kNumChars + 8 * slots;
    buffer.resize(2 * static_cast<size_t>(windowSize) + kFrameSize);
    buckets.assign(size_t{kWays} << kHashBits, kNoPos);
    newest.assign(size_t{1} << kHashBits, 0);
    head3.assign(size_t{1} << kHash3Bits, kNoPos);
    prevMain.assign(mainSymbols, 0);
    prevLength.assign(kNumSecondaryLengths, 0);
    nodes.resize(kFrameSize + 1);
    mainCost.resize(mainSymbols);
    lengthCost.resize(kNumSecondaryLengths);
  }

  const uint8_t* At(uint64_t pos) const { return buffer.data() + (pos - bufferBase); }

  void Insert(uint64_t pos) {
    const uint8_t* p = At(pos);
    const uint32_t wide = Hash4Wide(p), h = BucketOf(wide);
    const uint8_t slot = newest[h] = static_cast<uint8_t>((newest[h] + 1) & (kWays - 1));
    buckets[size_t{h} * kWays + slot] =
        TagOf(wide) << (32 - kTagBits) | (static_cast<uint32_t>(pos) & kEntryPosMask);
    head3[Hash3(p)] = static_cast<uint32_t>(pos);
  }

  // Inserts every position up to `end` whose three hashed bytes are known.
  void InsertUpTo(uint64_t end, uint64_t known) {
    const uint64_t limit = std::min(end, known >= 3 ? known - 3 : 0);
    for (; inserted < limit; ++inserted) {
      if (inserted + kPrefetchAhead + 4 <= known) Prefetch(inserted + kPrefetchAhead);
      Insert(inserted);
    }
  }

  // A bucket is a cache miss of its own: fetched a few positions early.
  void Prefetch(uint64_t pos) const {
    __builtin_prefetch(&buckets[size_t{BucketOf(Hash4Wide(At(pos)))} * kWays]);
  }

  void RebuildChains(uint64_t end) {
    std::fill(buckets.begin(), buckets.end(), kNoPos);
    std::fill(head3.begin(), head3.end(), kNoPos);
    inserted = end > windowSize ? end - windowSize : 0;
    inserted = std::max(inserted, bufferBase);
    InsertUpTo(end, end);
    chainsValid = true;
  }

  // How long a match at this offset may be: one reader copies wrongly when
  // the copy runs into its own source around the window, so offset plus
  // length stays within the window.
  int Reach(uint64_t offset, int limit) const {
    return static_cast<int>(std::min<uint64_t>(limit, windowSize - offset));
  }

  // Matches at pos of increasing length, at most `limit` long, each with the
  // nearest offset that reaches it.
  void FindMatches(uint64_t pos, int limit) {
    matches.clear();
    if (limit < 3) return;
    const uint8_t* cur = At(pos);
    int best = 3;
    if (limit >= 4) FindLonger(pos, cur, limit, best);
    // The 3-byte table is looked at only when no longer match turned up:
    // its candidate is a cache miss of its own.
    if (matches.empty()) FindThree(pos, cur, limit);
  }

  void FindLonger(uint64_t pos, const uint8_t* cur, int limit, int best) {
    const uint32_t wide = Hash4Wide(cur), h = BucketOf(wide);
    const uint32_t* bucket = &buckets[size_t{h} * kWays];
    // Candidates in [lo, pos): inside the window and the buffer, and before
    // pos (a second parse of a frame meets the frame's own later positions,
    // whose distance wraps to nearly 2^24). An empty entry (kNoPos) wraps
    // the same way or carries no matching tag.
    const uint64_t lo = std::max(bufferBase, pos > maxOffset ? pos - maxOffset : 0);
    const auto span = static_cast<uint32_t>(pos - lo);
    const uint32_t tag = TagOf(wide) << (32 - kTagBits);
    const uint32_t here = static_cast<uint32_t>(pos) & kEntryPosMask;
    uint64_t cands[kWays];
    int count = 0;
    for (int k = 0, top = newest[h]; k < kWays; ++k) {
      const uint32_t entry = bucket[(top - k) & (kWays - 1)];
      const uint32_t dist = (here - entry) & kEntryPosMask;
      cands[count] = pos - dist;
      count += (entry & ~kEntryPosMask) == tag && dist - 1 < span;
    }
    count = std::min(count, opt.ChainDepth);
    for (int k = 0; k < count; ++k) __builtin_prefetch(At(cands[k]) + best);
    const uint32_t head = Load32(cur);
    for (int k = 0; k < count; ++k) {
      const uint64_t dist = pos - cands[k];
      const uint8_t* c = At(cands[k]);
      const int cap = Reach(dist, limit);
      if (cap > best && c[best] == cur[best] && Load32(c) == head) {
        const int len = MatchLength(c, cur, cap);
        if (len > best) {
          best = len;
          matches.emplace_back(static_cast<uint16_t>(len), static_cast<uint32_t>(dist));
          if (len >= opt.NiceLength || len == limit) break;
        }
      }
    }
  }

  void FindThree(uint64_t pos, const uint8_t* cur, int limit) {
    const uint32_t near = head3[Hash3(cur)];
    if (near != kNoPos && near < pos && pos - near <= maxOffset && near >= bufferBase) {
      const uint8_t* c = At(near);
      const int cap = Reach(pos - near, limit);
      const int len = MatchLength(c, cur, cap);
      if (len >= 3) matches.emplace_back(static_cast<uint16_t>(len), static_cast<uint32_t>(pos - near));
    }
  }

  void SetCosts(const uint8_t* mainLens, const uint8_t* lengthLens) {
    for (int i = 0; i < mainSymbols; ++i) mainCost[i] = mainLens[i] ? mainLens[i] : kUnusedMainCost;
    for (int i = 0; i < kNumSecondaryLengths; ++i)
      lengthCost[i] = lengthLens[i] ? lengthLens[i] : kUnusedLengthCost;
  }

  uint32_t MatchCost(int slot, int length) const {
    const int h = std::min(length - 2, kNumPrimaryLengths);
    uint32_t c = mainCost[kNumChars + 8 * slot + h] + kSlots.extra[slot];
    if (h == kNumPrimaryLengths) c += lengthCost[length - kLengthSymbolBase];
    return c;
  }

  // Forward optimal parse of the frame [start, start + n) into `tokens`.
  void Parse(uint64_t start, uint32_t n) {
    for (uint32_t i = 0; i <= n; ++i) nodes[i].cost = 0xFFFFFFFFu;
    nodes[0].cost = 0;
    nodes[0].reps = reps;
    const uint64_t end = start + n;
    uint32_t i = 0, searchFrom = 0, misses = 0;
    while (i < n) {
      const uint64_t pos = start + i;
      InsertUpTo(pos, end);
      const Node& from = nodes[i];
      const uint8_t* cur = At(pos);
      const int limit = static_cast<int>(std::min<uint32_t>(kMaxMatch, n - i));
      auto relax = [&](uint32_t to, uint32_t cost, uint16_t len, uint32_t off,
                       const std::array<uint32_t, 3>& r) {
        if (cost < nodes[to].cost) {
          nodes[to].cost = cost;
          nodes[to].length = len;
          nodes[to].offset = off;
          nodes[to].reps = r;
        }
      };
      relax(i + 1, from.cost + mainCost[cur[0]], 0, cur[0], from.reps);

      int longest = 0;
      for (int r = 0; r < 3; ++r) {
        const uint32_t off = from.reps[r];
        if (off > pos || (r > 0 && off == from.reps[0]) || (r == 2 && off == from.reps[1]))
          continue;
        const uint8_t* c = cur - off;
        const int cap = Reach(off, limit);
        if (c[0] != cur[0] || cap < 2 || c[1] != cur[1]) continue;
        const int len = MatchLength(c, cur, cap);
        std::array<uint32_t, 3> nr = from.reps;
        std::swap(nr[0], nr[r]);
        for (int l = 2; l <= len; l = NextLength(l, len))
          relax(i + l, from.cost + MatchCost(r, l), static_cast<uint16_t>(l), off, nr);
        longest = std::max(longest, len);
      }

      // Inside a long match found earlier the search is skipped (the
      // literal and repeat steps are still weighed there).
      // Long stretches without a match (packed data) are searched ever
      // more sparsely.
      if (i >= searchFrom) {
        FindMatches(pos, limit);
        if (!matches.empty() && matches.back().first >= opt.SkipLength)
          searchFrom = i + matches.back().first - 1;
        // Packed data still meets chance 3-byte matches now and then.
        misses = matches.empty() || matches.back().first < kUsefulMatch ? misses + 1 : 0;
        if (misses > kMissesBeforeSkipping) searchFrom = i + (misses >> kMissShift);
      } else {
        matches.clear();
      }
      int prevLen = 2;
      for (const auto& [len, off] : matches) {
        if (off == from.reps[0] || off == from.reps[1] || off == from.reps[2]) {
          prevLen = len;
          continue;
        }
        const int slot = SlotOf(off + 2);
        const std::array<uint32_t, 3> nr{off, from.reps[0], from.reps[1]};
        for (int l = prevLen + 1; l <= len; l = NextLength(l, len))
          relax(i + l, from.cost + MatchCost(slot, l), static_cast<uint16_t>(l), off, nr);
        prevLen = len;
        longest = std::max(longest, static_cast<int>(len));
      }

      if (longest >= opt.NiceLength) {
        // Taken as it is: the positions it covers are neither searched nor
        // expanded.
        i += longest;
        continue;
      }
      ++i;
    }
    InsertUpTo(end, end);

    tokens.clear();
    for (uint32_t at = n; at > 0;) {
      const Node& nd = nodes[at];
      if (nd.length == 0) {
        tokens.push_back({0, At(start + at - 1)[0]});
        at -= 1;
      } else {
        tokens.push_back({nd.length, nd.offset});
        at -= nd.length;
      }
    }
    std::reverse(tokens.begin(), tokens.end());
  }

  // The best step at pos by its saving over coding the bytes as literals
  // (litSum holds the frame's running literal costs); length 0 when no
  // match saves anything.
  struct Choice {
    int length = 0;
    uint32_t offset = 0;
    int32_t gain = 0;
  };
  Choice BestAt(uint32_t i, uint64_t pos, int limit, bool search) {
    Choice best;
    const uint8_t* cur = At(pos);
    auto weigh = [&](int len, uint32_t off, int slot) {
      const int32_t gain = static_cast<int32_t>(litSum[i + len] - litSum[i]) -
                           static_cast<int32_t>(MatchCost(slot, len));
      if (gain > best.gain) best = {len, off, gain};
    };
    for (int r = 0; r < 3; ++r) {
      const uint32_t off = reps[r];
      if (off > pos || (r > 0 && off == reps[0]) || (r == 2 && off == reps[1])) continue;
      const uint8_t* c = cur - off;
      const int cap = Reach(off, limit);
      if (cap < 2 || c[0] != cur[0] || c[1] != cur[1]) continue;
      weigh(MatchLength(c, cur, cap), off, r);
    }
    if (!search) {
      matches.clear();
      return best;
    }
    FindMatches(pos, limit);
    for (const auto& [len, off] : matches) {
      if (off == reps[0] || off == reps[1] || off == reps[2]) continue;
      weigh(len, off, SlotOf(off + 2));
    }
    return best;
  }

  // Lazy parse of the frame [start, start + n) into `tokens`: a match is
  // put off by one byte when the match at the next byte saves more.
  // Tracks the real offset queue in `reps`, which the caller restores.
  void ParseLazy(uint64_t start, uint32_t n) {
    litSum.resize(n + 1);
    litSum[0] = 0;
    for (uint32_t k = 0; k < n; ++k) litSum[k + 1] = litSum[k] + mainCost[At(start + k)[0]];
    tokens.clear();
    const uint64_t end = start + n;
    uint32_t i = 0, misses = 0, searchFrom = 0;
    bool haveNext = false;
    Choice here;
    while (i < n) {
      const uint64_t pos = start + i;
      const int limit = static_cast<int>(std::min<uint32_t>(kMaxMatch, n - i));
      if (!haveNext) {
        InsertUpTo(pos, end);
        here = BestAt(i, pos, limit, i >= searchFrom);
        if (i >= searchFrom) {
          // Packed data is searched ever more sparsely.
          misses = here.length < kUsefulMatch ? misses + 1 : 0;
          if (misses > kMissesBeforeSkipping) searchFrom = i + (misses >> kMissShift);
        }
      }
      haveNext = false;
      if (here.length == 0) {
        tokens.push_back({0, At(pos)[0]});
        ++i;
        continue;
      }
      if (here.length < kLazyLength && i + 1 < n) {
        InsertUpTo(pos + 1, end);
        const int nextLimit = static_cast<int>(std::min<uint32_t>(kMaxMatch, n - i - 1));
        const Choice next = BestAt(i + 1, pos + 1, nextLimit, i + 1 >= searchFrom);
        if (next.gain > here.gain) {
          tokens.push_back({0, At(pos)[0]});
          ++i;
          here = next;
          haveNext = true;
          continue;
        }
      }
      tokens.push_back({static_cast<uint16_t>(here.length), here.offset});
      if (here.offset == reps[1]) {
        std::swap(reps[0], reps[1]);
      } else if (here.offset == reps[2]) {
        std::swap(reps[0], reps[2]);
      } else if (here.offset != reps[0]) {
        reps[2] = reps[1];
        reps[1] = reps[0];
        reps[0] = here.offset;
      }
      i += here.length;
    }
    InsertUpTo(end, end);
  }

  struct Coded {
    uint16_t main;
    int16_t length;    // length symbol or -1
    uint8_t footerBits;
    uint32_t footer;
  };

  // Turns tokens into symbols with the real offset queue; updates `r`.
  void Code(std::vector<Coded>& out, std::array<uint32_t, 3>& r) const {
    out.clear();
    out.reserve(tokens.size());
    for (const Token& t : tokens) {
      if (t.length == 0) {
        out.push_back({static_cast<uint16_t>(t.value), -1, 0, 0});
        continue;
      }
      int slot;
      uint32_t footer = 0;
      if (t.value == r[0]) {
        slot = 0;
      } else if (t.value == r[1]) {
        slot = 1;
        std::swap(r[0], r[1]);
      } else if (t.value == r[2]) {
        slot = 2;
        std::swap(r[0], r[2]);
      } else {
        const uint32_t formatted = t.value + 2;
        slot = SlotOf(formatted);
        footer = formatted - kSlots.base[slot];
        r[2] = r[1];
        r[1] = r[0];
        r[0] = t.value;
      }
      const int h = std::min(t.length - 2, kNumPrimaryLengths);
      out.push_back({static_cast<uint16_t>(kNumChars + 8 * slot + h),
                     static_cast<int16_t>(h == kNumPrimaryLengths ? t.length - kLengthSymbolBase : -1),
                     kSlots.extra[slot], footer});
    }
  }

  // Bits of the block in each form, as WriteBlock would send it from a
  // word boundary.
  struct BlockBits {
    uint64_t verbatim, aligned;
  };
  BlockBits CountBlock(const std::vector<Coded>& coded, const uint8_t* mainLens,
                       const uint8_t* lengthLens, const uint8_t* alignedLens) const {
    std::vector<uint8_t> scratch;
    BitWriter trees(scratch);
    WriteLengths(trees, mainLens, prevMain.data(), kNumChars);
    WriteLengths(trees, mainLens + kNumChars, prevMain.data() + kNumChars, mainSymbols - kNumChars);
    WriteLengths(trees, lengthLens, prevLength.data(), kNumSecondaryLengths);
    uint64_t common = 3 + 24 + trees.BitCount(), verbatimFooters = 0, alignedFooters = 0;
    for (const Coded& c : coded) {
      common += mainLens[c.main];
      if (c.length >= 0) common += lengthLens[c.length];
      verbatimFooters += c.footerBits;
      alignedFooters += c.footerBits >= 3 ? c.footerBits - 3 + alignedLens[c.footer & 7]
                                          : c.footerBits;
    }
    return {common + verbatimFooters, common + 3 * kAlignedSymbols + alignedFooters};
  }

  void WriteBlock(BitWriter& bw, bool aligned, uint32_t size, const std::vector<Coded>& coded,
                  const uint8_t* mainLens, const uint8_t* lengthLens, const uint8_t* alignedLens) {
    uint16_t mainCodes[kMaxMainSymbols], lengthCodes[kNumSecondaryLengths], alignedCodes[8];
    MakeCodes(mainLens, mainSymbols, mainCodes);
    MakeCodes(lengthLens, kNumSecondaryLengths, lengthCodes);
    bw.Put(aligned ? kBlockAligned : kBlockVerbatim, 3);
    bw.Put(size, 24);
    if (aligned) {
      MakeCodes(alignedLens, kAlignedSymbols, alignedCodes);
      for (int i = 0; i < kAlignedSymbols; ++i) bw.Put(alignedLens[i], 3);
    }
    WriteLengths(bw, mainLens, prevMain.data(), kNumChars);
    WriteLengths(bw, mainLens + kNumChars, prevMain.data() + kNumChars, mainSymbols - kNumChars);
    WriteLengths(bw, lengthLens, prevLength.data(), kNumSecondaryLengths);
    for (const Coded& c : coded) {
      bw.Put(mainCodes[c.main], mainLens[c.main]);
      if (c.length >= 0) bw.Put(lengthCodes[c.length], lengthLens[c.length]);
      if (aligned && c.footerBits >= 3) {
        if (c.footerBits > 3) bw.Put(c.footer >> 3, c.footerBits - 3);
        bw.Put(alignedCodes[c.footer & 7], alignedLens[c.footer & 7]);
      } else if (c.footerBits) {
        bw.Put(c.footer, c.footerBits);
      }
    }
  }
};

Encoder::Encoder(const EncoderOptions& options) : impl_(std::make_unique<Impl>(options)) {}
Encoder::~Encoder() = default;

void Encoder::EncodeFrame(const uint8_t* data, size_t length, std::vector<uint8_t>& out) {
  Impl& m = *impl_;
  if (length == 0 || length > kFrameSize) throw std::invalid_argument("lzx: bad frame length");
  out.clear();
  // Slide the window so that the frame fits behind the history it may use.
  const uint64_t end = position_ + length;
  if (end - m.bufferBase > m.buffer.size()) {
    const uint64_t newBase = position_ - std::min<uint64_t>(position_, m.windowSize);
    std::memmove(m.buffer.data(), m.At(newBase), position_ - newBase);
    m.bufferBase = newBase;
  }
  if (!m.chainsValid) m.RebuildChains(position_);
  uint8_t* frame = m.buffer.data() + (position_ - m.bufferBase);
  std::memcpy(frame, data, length);
  if (m.opt.E8 && m.frames < kE8Frames)
    TranslateE8(frame, length, static_cast<uint32_t>(position_), kE8TranslationSize, true);

  BitWriter bw(out);
  if (m.frames == 0) {
    bw.Put(m.opt.E8 ? 1 : 0, 1);
    if (m.opt.E8) {
      bw.Put(kE8TranslationSize >> 16, 16);
      bw.Put(kE8TranslationSize & 0xFFFF, 16);
    }
  }
  const auto n = static_cast<uint32_t>(length);

  // Costs from the previous block; the first block of a folder is parsed
  // twice, the second time with the codes of the first.
  std::vector<uint8_t> mainLens(m.mainSymbols), lengthLens(kNumSecondaryLengths);
  uint8_t alignedLens[kAlignedSymbols];
  std::vector<Impl::Coded> coded;
  std::array<uint32_t, 3> reps;
  const int passes = m.frames == 0 ? 2 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    if (pass == 0 && m.frames == 0) {
      std::vector<uint8_t> seed(m.mainSymbols, 0), seedLen(kNumSecondaryLengths, 6);
      for (int i = 0; i < kNumChars; ++i) seed[i] = 8;
      for (int s = 0; s < m.slots; ++s)
        for (int h = 0; h < 8; ++h) seed[kNumChars + 8 * s + h] = static_cast<uint8_t>(std::min(6 + s / 2 + h / 2, 16));
      m.SetCosts(seed.data(), seedLen.data());
    } else if (pass == 0) {
      m.SetCosts(m.prevMain.data(), m.prevLength.data());
    } else {
      m.SetCosts(mainLens.data(), lengthLens.data());
    }
    reps = m.reps;
    if (m.opt.Optimal) {
      m.Parse(position_, n);
    } else {
      m.ParseLazy(position_, n);
      m.reps = reps;
    }
    m.Code(coded, reps);
    uint32_t mainFreq[kMaxMainSymbols] = {}, lengthFreq[kNumSecondaryLengths] = {};
    for (const auto& c : coded) {
      ++mainFreq[c.main];
      if (c.length >= 0) ++lengthFreq[c.length];
    }
    BuildLengths(mainFreq, m.mainSymbols, kMaxCodeLength, mainLens.data());
    BuildLengths(lengthFreq, kNumSecondaryLengths, kMaxCodeLength, lengthLens.data());
  }

  uint32_t alignedFreq[kAlignedSymbols] = {};
  bool anyAligned = false;
  for (const auto& c : coded)
    if (c.footerBits >= 3) {
      ++alignedFreq[c.footer & 7];
      anyAligned = true;
    }
  BuildLengths(alignedFreq, kAlignedSymbols, kMaxAlignedLength, alignedLens);

  // The block forms differ only in the aligned tree and how footers are
  // sent, so their sizes are counted rather than written on the side.
  const Impl::BlockBits bits = m.CountBlock(coded, mainLens.data(), lengthLens.data(), alignedLens);
  const bool useAligned = anyAligned && bits.aligned < bits.verbatim;
  const uint64_t best = useAligned ? bits.aligned : bits.verbatim;
  const uint64_t storedBits = 27 + 16 + 96 + 8 * uint64_t{(n + 1) & ~1u};
  if (storedBits < best) {
    WriteUncompressedBlock(bw, frame, n, m.reps);
  } else {
    m.WriteBlock(bw, useAligned, n, coded, mainLens.data(), lengthLens.data(), alignedLens);
    m.prevMain = mainLens;
    m.prevLength = lengthLens;
    m.reps = reps;
  }
  bw.AlignWord();
  position_ = end;
  ++m.frames;
}

Encoder::Snapshot Encoder::Save() const {
  const Impl& m = *impl_;
  Snapshot s;
  s.position = position_;
  s.frames = m.frames;
  s.reps = m.reps;
  s.mainLengths = m.prevMain;
  s.lengthLengths = m.prevLength;
  const uint64_t keep = std::min<uint64_t>(position_, m.windowSize);
  s.history.assign(m.At(position_ - keep), m.At(position_));
  return s;
}

void Encoder::Restore(const Snapshot& s) {
  Impl& m = *impl_;
  position_ = s.position;
  m.frames = s.frames;
  m.reps = s.reps;
  m.prevMain = s.mainLengths;
  m.prevLength = s.lengthLengths;
  m.bufferBase = position_ - s.history.size();
  std::copy(s.history.begin(), s.history.end(), m.buffer.begin());
  m.chainsValid = false;
}

}  // namespace vix::lzx
