// The core of the LZH compressor: match finder, lazy parser and block coder.
//
// The dictionary is a Patricia tree over the window whose internal nodes
// carry the latest window position that passed through them. Positions
// "percolate": an insertion only flags the lowest node it touches, and the
// position is carried further up when a node is removed, so that each byte
// costs amortised constant work and the longest match (the most recent one
// among equals) is found without scanning chains.
//
// "Most recent" holds only as far as the percolation has gone: a search that
// starts below the root (after a long match) moves the new position up only
// to the first unflagged ancestor, so a node above it may still carry an
// older position than its newest leaf, and a match ending there takes that
// older one (in 1 to 5% of the searches on our corpus). The lengths are
// exactly the longest. The streams depend on those positions, so another
// finder (hash chains, binary trees) would have to keep this tree's node
// positions to write the same bytes.
//
// Node numbers share one space: 1..dicsiz-1 internal nodes, dicsiz..
// dicsiz+255 the roots (one per first byte), dicsiz..2*dicsiz-1 the leaves
// (a leaf is its window position); roots and leaves overlap in number but
// use disjoint fields (level/position for roots, parent/prev for leaves).
// Children are found through chains of (node, byte) hashes whose heads lie
// at 2*dicsiz and above in the same link array, so that unlinking needs no
// special case for the first node of a chain. A child is told from other
// nodes of its chain only by its parent, so the hash must send the children
// of one node to different chains (checked below at compile time); within
// that, any hash gives the same stream, and this one keeps the chains short.
//
// The work is a walk of dependent loads through arrays that live in the
// second-level cache, so the fields read together sit together: a node's
// chain link with its parent, and an inner node's level with its position.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engines/lzh.h"
#include "engines/lzh_huffman.h"

namespace vix {

namespace {

using lzh::kNC;

constexpr uint32_t kMaxMatch = 256;    // longest match
constexpr uint32_t kThreshold = 3;     // shortest match coded as a match
constexpr int kCBit = 9;               // bits of the character-table count
constexpr int kNT = 19;                // code-length alphabet: 0..16 + 3 run codes
constexpr int kTBit = 5;               // bits of the code-length-table count
constexpr uint32_t kMaxDicBit = 14;
constexpr uint32_t kMaxDicSiz = 1u << kMaxDicBit;
constexpr int kMaxNP = kMaxDicBit + 1;
constexpr int kNPT = kNT > kMaxNP ? kNT : kMaxNP;
constexpr uint16_t kNil = 0;
constexpr uint16_t kPercFlag = 0x8000;
// Chain heads: 2^16 of them keep chains at half a node on average for the
// largest window (2^15 gave one, and a walk along the chain is a cache miss
// per node). Head numbers then pass 16 bits, so the back links are 32-bit.
constexpr uint32_t kHashBits = 16;
constexpr uint32_t kLinkCount = 2 * kMaxDicSiz + (1u << kHashBits);
constexpr uint32_t kHashMultiplier = 0x9E3779B1u;

// Keys of two children of one node differ by d * multiplier (d = 1..255);
// at least one chain's width apart, they can never share a chain.
constexpr bool ChildrenGetDistinctChains() {
  constexpr uint32_t width = 1u << (32 - kHashBits);
  for (uint32_t d = 1; d < 256; ++d) {
    const uint32_t x = d * kHashMultiplier;
    if (x < width || x > 0u - width) return false;
  }
  return true;
}
static_assert(ChildrenGetDistinctChains(), "children of one node need distinct chains");
constexpr uint32_t kOutBufSize = 32768 + 1;
// Slack behind the window for the word-wise byte comparison.
constexpr uint32_t kTextSlack = 16;

static_assert(kNC == 255 + kMaxMatch + 2 - kThreshold, "literals and match lengths");
static_assert((1 << kTBit) > kNT && (1 << kCBit) > kNC, "table counts fit their fields");
static_assert(2 * kMaxDicSiz <= 0x8000, "node numbers and the flag share 16 bits");

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kBigEndian = true;
#else
constexpr bool kBigEndian = false;
#endif

// The compiler's bit scans and prefetch where it has them (GCC and Clang,
// mingw included); plain loops and no prefetch elsewhere.
#if defined(__GNUC__) || defined(__clang__)
// Index of the first differing byte in memory order of two loaded words
// whose exclusive or is `d` (not 0).
inline uint32_t FirstDifferentByte(uint64_t d) {
  return static_cast<uint32_t>(kBigEndian ? __builtin_clzll(d) : __builtin_ctzll(d)) >> 3;
}
inline uint32_t HighZeros32(uint32_t x) { return static_cast<uint32_t>(__builtin_clz(x)); }
inline void Prefetch(const void* p) { __builtin_prefetch(p); }
#else
inline uint32_t FirstDifferentByte(uint64_t d) {
  uint32_t n = 0;
  if (kBigEndian)
    while (!(d >> 56)) d <<= 8, ++n;
  else
    while (!(d & 0xFF)) d >>= 8, ++n;
  return n;
}
inline uint32_t HighZeros32(uint32_t x) {
  uint32_t n = 0;
  while (!(x >> 31)) x <<= 1, ++n;
  return n;
}
inline void Prefetch(const void*) {}
#endif

// Number of equal leading bytes of a and b, at most `limit`. Reads up to 7
// bytes past the limit; the window has slack for that.
inline uint32_t MatchingBytes(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
  while (n < limit) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (const uint64_t d = x ^ y) {
      n += FirstDifferentByte(d);
      return n < limit ? n : limit;
    }
    n += 8;
  }
  return limit;
}

inline uint32_t BitLength(uint32_t p) {
  return p ? 32 - HighZeros32(p) : 0;
}

class Encoder {
 public:
  Encoder(const LzhMethodParams& params, LzhIo& io);
  bool Run(LzhStats& stats);

 private:
  // --- match finder ---------------------------------------------------------
  void InitSlide();
  uint32_t Hash(uint32_t node, uint32_t c) const {
    return headBase_ + ((((node << 8) | c) * kHashMultiplier) >> (32 - kHashBits));
  }
  uint32_t Child(uint32_t q, uint32_t c);
  void MakeChild(uint32_t q, uint32_t c, uint32_t r);
  void TakeChainPlace(uint32_t old, uint32_t node);
  void Split(uint32_t old);
  void InsertNode();
  void DeleteNode();
  void GetNextMatch();
  uint32_t ReadInput(uint8_t* buffer, uint32_t count);

  // --- coder ----------------------------------------------------------------
  void Output(uint32_t c, uint32_t p);
  void SendBlock();
  int CLenCount() const;
  template <typename Emit>
  void ForEachCLenSymbol(Emit emit) const;
  void CountTFreq();
  void WritePtLen(int n, int nbit, int special);
  void WriteCLen();
  void PutBits(int n, uint32_t x) {
    bitbuf_ = (bitbuf_ << n) | x;
    bitcount_ += n;
    while (bitcount_ >= 8) {
      bitcount_ -= 8;
      PutByte(static_cast<uint8_t>(bitbuf_ >> bitcount_));
    }
  }
  // A completed byte is kept only while the stream stays smaller than the
  // input read so far; otherwise the stream is abandoned.
  void PutByte(uint8_t b) {
    if (compsize_ < origsize_) {
      out_[outpos_++] = b;
      ++compsize_;
      if (outpos_ == kOutBufSize) {
        io_.Write(out_.get(), kOutBufSize);
        outpos_ = 0;
      }
    } else {
      unpackable_ = true;
    }
  }

  LzhIo& io_;
  const uint32_t dicsiz_, np_, pbit_, bufsiz_;

  // Window and tree (allocated for the largest window whatever the method).
  struct Link {
    uint16_t next;    // next node of the hash chain (a head: its first node)
    uint16_t parent;  // kNil for a node not in the tree
  };
  struct Inner {
    uint16_t level;     // bytes matched down to this node
    uint16_t position;  // latest window position through it, maybe flagged
  };
  std::unique_ptr<uint8_t[]> textStore_;
  std::unique_ptr<Link[]> links_;
  std::unique_ptr<uint32_t[]> prev_;  // the node or head before a node
  std::unique_ptr<Inner[]> inner_;
  // Per node: how many children, and the exclusive or of their numbers,
  // which names the last child when only one is left.
  struct Kids {
    uint16_t xorOf;
    uint16_t count;
  };
  std::unique_ptr<Kids[]> kids_;
  uint8_t* text_;
  const uint32_t headBase_;

  uint32_t pos_ = 0, matchlen_ = 0, matchpos_ = 0, avail_ = 1;
  int64_t remainder_ = 0;

  // Code buffer: a flag byte ahead of every eight codes, then per code a
  // literal byte, or a length byte and a 16-bit position (high byte first).
  std::unique_ptr<uint8_t[]> codeBuf_;
  uint32_t codePos_ = 0, flagPos_ = 0, outputMask_ = 0;

  uint32_t cFreq_[2 * kNC - 1] = {};
  uint32_t pFreq_[2 * kMaxNP - 1] = {};
  uint32_t tFreq_[2 * kNT - 1] = {};
  uint8_t cLen_[kNC] = {};
  uint16_t cCode_[kNC] = {};
  uint8_t ptLen_[kNPT] = {};
  uint16_t ptCode_[kNPT] = {};

  uint32_t bitbuf_ = 0;
  int bitcount_ = 0;
  std::unique_ptr<uint8_t[]> out_;
  uint32_t outpos_ = 0;
  uint64_t compsize_ = 0, origsize_ = 0;
  bool unpackable_ = false;
};

Encoder::Encoder(const LzhMethodParams& params, LzhIo& io)
    : io_(io),
      dicsiz_(params.DicSiz),
      np_(params.NP),
      pbit_(params.PBit),
      bufsiz_(params.BufSiz),
      headBase_(2 * params.DicSiz) {
  textStore_ = std::make_unique<uint8_t[]>(2 * kMaxDicSiz + kMaxMatch + 1 + kTextSlack);
  links_ = std::make_unique<Link[]>(kLinkCount);
  prev_ = std::make_unique<uint32_t[]>(2 * kMaxDicSiz);
  inner_ = std::make_unique<Inner[]>(kMaxDicSiz + 256);
  kids_ = std::make_unique<Kids[]>(kMaxDicSiz + 256);
  codeBuf_ = std::make_unique<uint8_t[]>(bufsiz_ + 1);
  out_ = std::make_unique<uint8_t[]>(kOutBufSize);
  text_ = textStore_.get();
}

void Encoder::InitSlide() {
  for (uint32_t i = dicsiz_; i <= dicsiz_ + 255; ++i) inner_[i] = {1, kNil};
  for (uint32_t i = dicsiz_; i < 2 * dicsiz_; ++i) links_[i].parent = kNil;
  avail_ = 1;
  for (uint32_t i = 1; i < dicsiz_ - 1; ++i) links_[i].next = static_cast<uint16_t>(i + 1);
  links_[dicsiz_ - 1].next = kNil;
  for (uint32_t i = headBase_; i < headBase_ + (1u << kHashBits); ++i) links_[i].next = kNil;
}

uint32_t Encoder::Child(uint32_t q, uint32_t c) {
  Link* const links = links_.get();
  uint32_t r = links[Hash(q, c)].next;
  links[kNil].parent = static_cast<uint16_t>(q);  // sentinel ends the chain
  while (links[r].parent != q) r = links[r].next;
  return r;
}

void Encoder::MakeChild(uint32_t q, uint32_t c, uint32_t r) {
  Link* const links = links_.get();
  const uint32_t h = Hash(q, c);
  const uint32_t t = links[h].next;
  links[h].next = static_cast<uint16_t>(r);
  links[r].next = static_cast<uint16_t>(t);
  prev_[t] = r;
  prev_[r] = h;
  links[r].parent = static_cast<uint16_t>(q);
  Kids& kids = kids_[q];
  kids.xorOf = static_cast<uint16_t>(kids.xorOf ^ r);
  ++kids.count;
}

// `node` takes the place of `old` in its hash chain (not under its parent).
inline void Encoder::TakeChainPlace(uint32_t old, uint32_t node) {
  Link* const links = links_.get();
  uint32_t* const prev = prev_.get();
  const uint32_t before = prev[old], after = links[old].next;
  prev[node] = before;
  links[before].next = static_cast<uint16_t>(node);
  links[node].next = static_cast<uint16_t>(after);
  prev[after] = node;
}

// Puts a new internal node of level matchlen_ above `old`, with `old` and
// the leaf pos_ as its children.
void Encoder::Split(uint32_t old) {
  Link* const links = links_.get();
  const uint32_t node = avail_;
  avail_ = links[node].next;
  kids_[node] = {0, 0};
  TakeChainPlace(old, node);
  const uint32_t parent = links[old].parent;
  links[node].parent = static_cast<uint16_t>(parent);
  kids_[parent].xorOf = static_cast<uint16_t>(kids_[parent].xorOf ^ old ^ node);
  inner_[node] = {static_cast<uint16_t>(matchlen_), static_cast<uint16_t>(pos_)};
  MakeChild(node, text_[matchpos_ + matchlen_], old);
  MakeChild(node, text_[pos_ + matchlen_], pos_);
}

// Inserts the leaf pos_ and leaves the longest match in matchlen_/matchpos_.
void Encoder::InsertNode() {
  Link* const links = links_.get();
  Inner* const inner = inner_.get();
  const uint8_t* const text = text_;
  const uint32_t pos = pos_, dicsiz = dicsiz_;
  uint32_t matchlen = matchlen_, matchpos = matchpos_;
  uint32_t q, r;
  if (matchlen >= 4) {
    // The previous match, one byte shorter, is a prefix of this one: start
    // below the node where it ended instead of at the root.
    --matchlen;
    r = (matchpos + 1) | dicsiz;
    while ((q = links[r].parent) == kNil) r = links[r].next;  // a replaced leaf points on
    while (inner[q].level >= matchlen) {
      r = q;
      q = links[q].parent;
    }
    uint32_t t = q;
    while (inner[t].position & kPercFlag) {
      inner[t].position = static_cast<uint16_t>(pos);
      t = links[t].parent;
    }
    if (t < dicsiz) inner[t].position = static_cast<uint16_t>(pos | kPercFlag);
  } else {
    q = text[pos] + dicsiz;
    const uint32_t c = text[pos + 1];
    if ((r = Child(q, c)) == kNil) {
      MakeChild(q, c, pos);
      matchlen_ = 1;
      return;
    }
    matchlen = 2;
  }
  for (;;) {
    uint32_t j;
    if (r >= dicsiz) {
      j = kMaxMatch;
      matchpos = r;
    } else {
      j = inner[r].level;
      matchpos = inner[r].position & ~kPercFlag;
    }
    if (matchpos >= pos) matchpos -= dicsiz;
    // Fetch the chain of the child we look up next while the edge is compared.
    if (j < kMaxMatch) Prefetch(&links[Hash(r, text[pos + j])]);
    if (matchlen < j) {
      matchlen += MatchingBytes(text + pos + matchlen, text + matchpos + matchlen, j - matchlen);
      if (matchlen < j) {
        matchlen_ = matchlen;
        matchpos_ = matchpos;
        Split(r);
        return;
      }
    }
    if (matchlen >= kMaxMatch) break;
    inner[r].position = static_cast<uint16_t>(pos);
    q = r;
    const uint32_t c = text[pos + matchlen];
    if ((r = Child(q, c)) == kNil) {
      matchlen_ = matchlen;
      matchpos_ = matchpos;
      MakeChild(q, c, pos);
      return;
    }
    ++matchlen;
  }
  matchlen_ = matchlen;
  matchpos_ = matchpos;
  // A full-length match: the new leaf takes the old one's place, and the old
  // leaf's link points at its successor so that a later search that starts
  // from it is led on.
  TakeChainPlace(r, pos);
  links[pos].parent = static_cast<uint16_t>(q);
  kids_[q].xorOf = static_cast<uint16_t>(kids_[q].xorOf ^ r ^ pos);
  links[r].parent = kNil;
  links[r].next = static_cast<uint16_t>(pos);
}

// Removes the leaf that leaves the window (its number is pos_). A parent
// left with one child is removed, and its latest position is carried up to
// the flagged ancestors.
void Encoder::DeleteNode() {
  Link* const links = links_.get();
  uint32_t* const prev = prev_.get();
  Inner* const inner = inner_.get();
  const uint32_t pos = pos_, dicsiz = dicsiz_;
  if (links[pos].parent == kNil) return;
  uint32_t r = prev[pos];
  uint32_t s = links[pos].next;
  links[r].next = static_cast<uint16_t>(s);
  prev[s] = r;
  r = links[pos].parent;
  links[pos].parent = kNil;
  Kids& kids = kids_[r];
  kids.xorOf = static_cast<uint16_t>(kids.xorOf ^ pos);
  if (r >= dicsiz || --kids.count > 1) return;
  uint32_t t = inner[r].position & ~kPercFlag;
  if (t >= pos) t -= dicsiz;
  s = t;
  uint32_t q = links[r].parent;
  uint32_t u;
  while ((u = inner[q].position) & kPercFlag) {
    u &= ~kPercFlag;
    if (u >= pos) u -= dicsiz;
    if (u > s) s = u;
    inner[q].position = static_cast<uint16_t>(s | dicsiz);
    q = links[q].parent;
  }
  if (q < dicsiz) {
    if (u >= pos) u -= dicsiz;
    if (u > s) s = u;
    inner[q].position = static_cast<uint16_t>(s | dicsiz | kPercFlag);
  }
  s = kids.xorOf;
  t = prev[s];
  u = links[s].next;
  links[t].next = static_cast<uint16_t>(u);
  prev[u] = t;
  TakeChainPlace(r, s);
  const uint32_t parent = links[r].parent;
  links[s].parent = static_cast<uint16_t>(parent);
  kids_[parent].xorOf = static_cast<uint16_t>(kids_[parent].xorOf ^ r ^ s);
  links[r].parent = kNil;
  links[r].next = static_cast<uint16_t>(avail_);
  avail_ = r;
}

uint32_t Encoder::ReadInput(uint8_t* buffer, uint32_t count) {
  uint32_t total = 0;
  while (total < count) {
    const uint32_t n = io_.Read(buffer + total, count - total);
    if (n == 0) break;
    total += n;
  }
  origsize_ += total;
  return total;
}

void Encoder::GetNextMatch() {
  // Start the loads of the coming steps early; the tree's arrays live in
  // the second-level cache, and the walk is a chain of dependent loads.
  // After a long match the search starts at the leaf after it, and a match
  // usually goes on, so the leaf of the step after this one is fetched now,
  // and the parent of this step's leaf (fetched by the step before). After
  // a short one, the root child it will look up. Always: the neighbours of
  // the leaf deleted after this one.
  if (matchlen_ >= 4) {
    Prefetch(&links_[(matchpos_ + 2) | dicsiz_]);
    const uint32_t parent = links_[(matchpos_ + 1) | dicsiz_].parent;
    Prefetch(&inner_[parent]);
    Prefetch(&links_[parent]);
  } else
    Prefetch(&links_[Hash(text_[pos_ + 1] + dicsiz_, text_[pos_ + 2])]);
  if (pos_ + 2 < 2 * dicsiz_) {
    const Link& leaf = links_[pos_ + 2];
    Prefetch(&kids_[leaf.parent]);
    Prefetch(&inner_[leaf.parent]);
    Prefetch(&links_[prev_[pos_ + 2]]);
  }
  --remainder_;
  if (++pos_ == 2 * dicsiz_) {
    std::memmove(text_, text_ + dicsiz_, dicsiz_ + kMaxMatch);
    remainder_ += ReadInput(text_ + dicsiz_ + kMaxMatch, dicsiz_);
    pos_ = dicsiz_;
  }
  DeleteNode();
  InsertNode();
}

void Encoder::Output(uint32_t c, uint32_t p) {
  if ((outputMask_ >>= 1) == 0) {
    outputMask_ = 0x80;
    if (codePos_ >= bufsiz_ - 3 * 8) {
      SendBlock();
      if (unpackable_) return;
      codePos_ = 0;
    }
    flagPos_ = codePos_++;
    codeBuf_[flagPos_] = 0;
  }
  codeBuf_[codePos_++] = static_cast<uint8_t>(c);
  ++cFreq_[c];
  if (c >= 256) {
    codeBuf_[flagPos_] |= static_cast<uint8_t>(outputMask_);
    codeBuf_[codePos_++] = static_cast<uint8_t>(p >> 8);
    codeBuf_[codePos_++] = static_cast<uint8_t>(p);
    ++pFreq_[BitLength(p)];
  }
}

// Character lengths sent: trailing zeros are dropped.
int Encoder::CLenCount() const {
  int n = kNC;
  while (n > 0 && cLen_[n - 1] == 0) --n;
  return n;
}

// Hands `emit` each code-length symbol of the character lengths with its
// extra bits (count, value), runs of zeros coded as they are sent. Counting
// and writing share this walk, so the frequencies always match the codes.
template <typename Emit>
void Encoder::ForEachCLenSymbol(Emit emit) const {
  const int n = CLenCount();
  int i = 0;
  while (i < n) {
    const int k = cLen_[i++];
    if (k != 0) {
      emit(k + 2, 0, 0u);
      continue;
    }
    int count = 1;
    while (i < n && cLen_[i] == 0) {
      ++i;
      ++count;
    }
    if (count <= 2) {
      for (int m = 0; m < count; ++m) emit(0, 0, 0u);
    } else if (count <= 18) {
      emit(1, 4, static_cast<uint32_t>(count - 3));
    } else if (count == 19) {
      emit(0, 0, 0u);
      emit(1, 4, 15u);
    } else {
      emit(2, kCBit, static_cast<uint32_t>(count - 20));
    }
  }
}

void Encoder::CountTFreq() {
  std::fill(tFreq_, tFreq_ + kNT, 0u);
  ForEachCLenSymbol([this](int symbol, int, uint32_t) { ++tFreq_[symbol]; });
}

// Lengths of the code-length or position table. After the entry `special`
// (the third code-length entry) a 2-bit field skips up to three zeros.
void Encoder::WritePtLen(int n, int nbit, int special) {
  while (n > 0 && ptLen_[n - 1] == 0) --n;
  PutBits(nbit, static_cast<uint32_t>(n));
  int i = 0;
  while (i < n) {
    const int k = ptLen_[i++];
    if (k <= 6)
      PutBits(3, static_cast<uint32_t>(k));
    else
      PutBits(k - 3, (1u << (k - 3)) - 2);
    if (i == special) {
      while (i < 6 && ptLen_[i] == 0) ++i;
      PutBits(2, static_cast<uint32_t>(i - 3) & 3);
    }
  }
}

void Encoder::WriteCLen() {
  PutBits(kCBit, static_cast<uint32_t>(CLenCount()));
  ForEachCLenSymbol([this](int symbol, int extraBits, uint32_t extra) {
    PutBits(ptLen_[symbol], ptCode_[symbol]);
    if (extraBits) PutBits(extraBits, extra);
  });
}

void Encoder::SendBlock() {
  int root = lzh::MakeTree(kNC, cFreq_, cLen_, cCode_);
  const uint32_t size = cFreq_[root];
  PutBits(16, size);
  if (root >= kNC) {
    CountTFreq();
    root = lzh::MakeTree(kNT, tFreq_, ptLen_, ptCode_);
    if (root >= kNT) {
      WritePtLen(kNT, kTBit, 3);
    } else {
      PutBits(kTBit, 0);
      PutBits(kTBit, static_cast<uint32_t>(root));
    }
    WriteCLen();
  } else {
    PutBits(kTBit, 0);
    PutBits(kTBit, 0);
    PutBits(kCBit, 0);
    PutBits(kCBit, static_cast<uint32_t>(root));
  }
  const int npi = static_cast<int>(np_);
  root = lzh::MakeTree(npi, pFreq_, ptLen_, ptCode_);
  if (root >= npi) {
    WritePtLen(npi, static_cast<int>(pbit_), -1);
  } else {
    PutBits(static_cast<int>(pbit_), 0);
    PutBits(static_cast<int>(pbit_), static_cast<uint32_t>(root));
  }

  const uint8_t* buf = codeBuf_.get();
  uint32_t pos = 0, flags = 0;
  for (uint32_t i = 0; i < size; ++i) {
    if (i % 8 == 0)
      flags = buf[pos++];
    else
      flags <<= 1;
    if (flags & 0x80) {
      const uint32_t c = buf[pos++] + 256u;
      PutBits(cLen_[c], cCode_[c]);
      const uint32_t p = (static_cast<uint32_t>(buf[pos]) << 8) | buf[pos + 1];
      pos += 2;
      const uint32_t k = BitLength(p);
      PutBits(ptLen_[k], ptCode_[k]);
      if (k > 1) PutBits(static_cast<int>(k - 1), p & (0xFFFFu >> (17 - k)));
    } else {
      const uint32_t c = buf[pos++];
      PutBits(cLen_[c], cCode_[c]);
    }
    if (unpackable_) return;
  }
  std::fill(cFreq_, cFreq_ + kNC, 0u);
  std::fill(pFreq_, pFreq_ + np_, 0u);
}

bool Encoder::Run(LzhStats& stats) {
  InitSlide();

  remainder_ = ReadInput(text_ + dicsiz_, dicsiz_ + kMaxMatch);
  matchlen_ = 0;
  pos_ = dicsiz_;
  InsertNode();
  if (matchlen_ > remainder_) matchlen_ = static_cast<uint32_t>(remainder_);
  while (remainder_ > 0 && !unpackable_) {
    uint32_t lastlen = matchlen_;
    const uint32_t lastpos = matchpos_;
    GetNextMatch();
    if (matchlen_ > remainder_) matchlen_ = static_cast<uint32_t>(remainder_);
    if (matchlen_ > lastlen || lastlen < kThreshold) {
      Output(text_[pos_ - 1], 0);
      if (codePos_ > origsize_) unpackable_ = true;
    } else {
      Output(lastlen + (256 - kThreshold), (pos_ - lastpos - 2) & (dicsiz_ - 1));
      while (--lastlen > 0) {
        GetNextMatch();
        if (codePos_ > origsize_) {
          unpackable_ = true;
          break;
        }
      }
      if (matchlen_ > remainder_) matchlen_ = static_cast<uint32_t>(remainder_);
    }
  }
  if (!unpackable_) {
    SendBlock();
    PutBits(7, 0);  // completes the last partial byte
  }
  if (!unpackable_ && outpos_ > 0) io_.Write(out_.get(), outpos_);
  stats.BytesRead = origsize_;
  stats.BytesWritten = compsize_;
  return !unpackable_;
}

}  // namespace

LzhMethodParams LzhParameters = kLh5Params;

bool LzhEncode(const LzhMethodParams& params, LzhIo& io, LzhStats& stats) {
  Encoder encoder(params, io);
  return encoder.Run(stats);
}

}  // namespace vix
