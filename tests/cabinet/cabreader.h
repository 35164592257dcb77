// A strict cabinet reader for the tests, written apart from the library: its
// own offsets (the published layout), its own checksum and its own inflater.
// It demands what the strictest independent readers demand: reserved fields
// zero, exact sizes and offsets, a real checksum on every block, every block
// of a folder but the last holding 32768 bytes, each MSZIP block one complete
// deflate stream that ends exactly with its payload, history kept only
// inside a folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace vix::test {

// Raw deflate decoder (RFC 1951). `window` holds the history before the
// stream and receives the output.
class TestInflater {
 public:
  TestInflater(const uint8_t* in, size_t size) : in_(in), size_(size) {}

  bool Run(std::vector<uint8_t>& window) {
    for (;;) {
      int final = Bits(1), type = Bits(2);
      if (bad_) return false;
      bool ok = type == 0   ? Stored(window)
                : type == 1 ? Fixed(window)
                : type == 2 ? Dynamic(window)
                            : false;
      if (!ok || bad_) return false;
      if (final) return true;
    }
  }
  // Bytes of input used, counting a partly used last byte.
  size_t Consumed() const { return pos_ + (bit_ ? 1 : 0); }

 private:
  struct Huffman {
    uint16_t count[16] = {};
    std::vector<uint16_t> symbol;
    // Builds the canonical code; false for an over-subscribed set.
    bool Build(const uint8_t* lengths, int n) {
      symbol.assign(n, 0);
      for (int i = 0; i < n; ++i) count[lengths[i]]++;
      count[0] = 0;
      int left = 1;
      for (int len = 1; len < 16; ++len) {
        left = left * 2 - count[len];
        if (left < 0) return false;
      }
      uint16_t offs[16] = {};
      for (int len = 1; len < 15; ++len) offs[len + 1] = offs[len] + count[len];
      for (int i = 0; i < n; ++i)
        if (lengths[i]) symbol[offs[lengths[i]]++] = static_cast<uint16_t>(i);
      return true;
    }
  };

  int Bits(int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= size_) {
        bad_ = true;
        return 0;
      }
      v |= ((in_[pos_] >> bit_) & 1) << i;
      if (++bit_ == 8) {
        bit_ = 0;
        ++pos_;
      }
    }
    return v;
  }
  int Decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
      code |= Bits(1);
      if (bad_) return -1;
      const int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    bad_ = true;
    return -1;
  }
  bool Stored(std::vector<uint8_t>& window) {
    if (bit_) {
      bit_ = 0;
      ++pos_;
    }
    if (pos_ + 4 > size_) return false;
    const unsigned len = in_[pos_] | in_[pos_ + 1] << 8;
    const unsigned nlen = in_[pos_ + 2] | in_[pos_ + 3] << 8;
    pos_ += 4;
    if (len != (~nlen & 0xFFFF) || pos_ + len > size_) return false;
    window.insert(window.end(), in_ + pos_, in_ + pos_ + len);
    pos_ += len;
    return true;
  }
  bool Codes(std::vector<uint8_t>& window, const Huffman& lit, const Huffman& dist) {
    static const uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                          15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                           17,   25,   33,   49,   65,   97,    129,   193,
                                           257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                           4097, 6145, 8193, 12289, 16385, 24577};
    static const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      const int sym = Decode(lit);
      if (sym < 0) return false;
      if (sym < 256) {
        window.push_back(static_cast<uint8_t>(sym));
      } else if (sym == 256) {
        return true;
      } else {
        if (sym > 285) return false;
        const int len = kLenBase[sym - 257] + Bits(kLenExtra[sym - 257]);
        const int ds = Decode(dist);
        if (ds < 0 || ds > 29) return false;
        const size_t d = kDistBase[ds] + Bits(kDistExtra[ds]);
        if (bad_ || d > window.size() || d > 32768) return false;
        for (int i = 0; i < len; ++i) window.push_back(window[window.size() - d]);
      }
    }
  }
  bool Fixed(std::vector<uint8_t>& window) {
    uint8_t lengths[288 + 30];
    int i = 0;
    for (; i < 144; ++i) lengths[i] = 8;
    for (; i < 256; ++i) lengths[i] = 9;
    for (; i < 280; ++i) lengths[i] = 7;
    for (; i < 288; ++i) lengths[i] = 8;
    for (; i < 318; ++i) lengths[i] = 5;
    Huffman lit, dist;
    lit.Build(lengths, 288);
    dist.Build(lengths + 288, 30);
    return Codes(window, lit, dist);
  }
  bool Dynamic(std::vector<uint8_t>& window) {
    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                       11, 4, 12, 3, 13, 2, 14, 1, 15};
    const int nlen = Bits(5) + 257, ndist = Bits(5) + 1, ncode = Bits(4) + 4;
    if (bad_ || nlen > 286 || ndist > 30) return false;
    uint8_t lengths[320] = {};
    for (int i = 0; i < ncode; ++i) lengths[kOrder[i]] = static_cast<uint8_t>(Bits(3));
    Huffman pre;
    if (!pre.Build(lengths, 19)) return false;
    std::memset(lengths, 0, sizeof lengths);
    for (int i = 0; i < nlen + ndist;) {
      int sym = Decode(pre);
      if (sym < 0) return false;
      if (sym < 16) {
        lengths[i++] = static_cast<uint8_t>(sym);
        continue;
      }
      int repeat, value = 0;
      if (sym == 16) {
        if (i == 0) return false;
        value = lengths[i - 1];
        repeat = 3 + Bits(2);
      } else {
        repeat = sym == 17 ? 3 + Bits(3) : 11 + Bits(7);
      }
      if (i + repeat > nlen + ndist) return false;
      while (repeat--) lengths[i++] = static_cast<uint8_t>(value);
    }
    if (lengths[256] == 0) return false;
    Huffman lit, dist;
    if (!lit.Build(lengths, nlen) || !dist.Build(lengths + nlen, ndist)) return false;
    return Codes(window, lit, dist);
  }

  const uint8_t* in_;
  size_t size_;
  size_t pos_ = 0;
  int bit_ = 0;
  bool bad_ = false;
};

inline uint32_t Le16(const uint8_t* p) { return p[0] | p[1] << 8; }
inline uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The published checksum: 32-bit little-endian words XORed, a 1-3 byte tail
// taken big-end first.
inline uint32_t TestChecksum(const uint8_t* p, size_t n, uint32_t seed) {
  size_t i = 0;
  for (; n - i >= 4; i += 4) seed ^= Le32(p + i);
  uint32_t tail = 0;
  switch (n - i) {
    case 3: tail = p[i] << 16 | p[i + 1] << 8 | p[i + 2]; break;
    case 2: tail = p[i] << 8 | p[i + 1]; break;
    case 1: tail = p[i]; break;
  }
  return seed ^ tail;
}

struct CabBlock {
  uint32_t offset, checksum, packed, unpacked;
};
struct CabFolder {
  uint32_t dataOffset, blockCount, type;
  std::vector<CabBlock> blocks;
  std::vector<uint8_t> stream;  // decoded
};
struct CabFile {
  uint32_t size, folderOffset, folder, date, time, attribs;
  std::string name;
};
struct Cabinet {
  uint32_t size = 0, filesOffset = 0, flags = 0, setId = 0, index = 0;
  uint32_t reserveHeader = 0, reserveFolder = 0, reserveData = 0;
  std::string prevCab, prevDisk, nextCab, nextDisk;
  std::vector<CabFolder> folders;
  std::vector<CabFile> files;
  // File contents by stored name.
  std::map<std::string, std::vector<uint8_t>> contents;
};

// Parses and decodes a whole cabinet; on failure `why` says what is wrong.
inline bool ReadCabinet(const std::vector<uint8_t>& b, Cabinet& cab, std::string& why) {
  auto fail = [&](const std::string& text) {
    why = text;
    return false;
  };
  if (b.size() < 36 || std::memcmp(b.data(), "MSCF", 4) != 0) return fail("no signature");
  if (Le32(&b[4]) || Le32(&b[12]) || Le32(&b[20])) return fail("reserved field not zero");
  cab.size = Le32(&b[8]);
  if (cab.size != b.size()) return fail("cbCabinet differs from the file size");
  cab.filesOffset = Le32(&b[16]);
  if (b[24] != 3 || b[25] != 1) return fail("version not 1.3");
  const uint32_t nFolders = Le16(&b[26]), nFiles = Le16(&b[28]);
  cab.flags = Le16(&b[30]);
  cab.setId = Le16(&b[32]);
  cab.index = Le16(&b[34]);
  if (cab.flags > 7) return fail("unknown header flags");
  size_t at = 36;
  auto need = [&](size_t n) { return at + n <= b.size(); };
  if (cab.flags & 4) {
    if (!need(4)) return fail("truncated reserve sizes");
    cab.reserveHeader = Le16(&b[36]);
    cab.reserveFolder = b[38];
    cab.reserveData = b[39];
    at = 40 + cab.reserveHeader;
  }
  auto str = [&](std::string& s) {
    const void* nul = at < b.size() ? std::memchr(&b[at], 0, b.size() - at) : nullptr;
    if (!nul) return false;
    s.assign(reinterpret_cast<const char*>(&b[at]), static_cast<const uint8_t*>(nul) - &b[at]);
    at += s.size() + 1;
    return true;
  };
  if ((cab.flags & 1) && !(str(cab.prevCab) && str(cab.prevDisk))) return fail("bad prev");
  if ((cab.flags & 2) && !(str(cab.nextCab) && str(cab.nextDisk))) return fail("bad next");
  for (uint32_t i = 0; i < nFolders; ++i) {
    if (!need(8 + cab.reserveFolder)) return fail("truncated folder");
    cab.folders.push_back({Le32(&b[at]), Le16(&b[at + 4]), Le16(&b[at + 6]), {}, {}});
    at += 8 + cab.reserveFolder;
  }
  if (at != cab.filesOffset) return fail("coffFiles is not right after the folders");
  for (uint32_t i = 0; i < nFiles; ++i) {
    if (!need(16)) return fail("truncated file record");
    CabFile f{Le32(&b[at]), Le32(&b[at + 4]), Le16(&b[at + 8]), Le16(&b[at + 10]),
              Le16(&b[at + 12]), Le16(&b[at + 14]), {}};
    at += 16;
    if (!str(f.name)) return fail("unterminated name");
    if (f.name.empty() || f.name.size() > 255) return fail("bad name length");
    cab.files.push_back(f);
  }
  size_t dataPos = at;
  for (auto& folder : cab.folders) {
    if (folder.dataOffset != dataPos) return fail("folder data not contiguous");
    std::vector<uint8_t> window;
    for (uint32_t k = 0; k < folder.blockCount; ++k) {
      if (dataPos + 8 + cab.reserveData > b.size()) return fail("truncated block");
      CabBlock blk{static_cast<uint32_t>(dataPos), Le32(&b[dataPos]), Le16(&b[dataPos + 4]),
                   Le16(&b[dataPos + 6])};
      const size_t payload = dataPos + 8 + cab.reserveData;
      if (payload + blk.packed > b.size()) return fail("block beyond the file");
      const uint32_t sum = TestChecksum(&b[dataPos + 4], 4 + cab.reserveData,
                                        TestChecksum(&b[payload], blk.packed, 0));
      if (blk.checksum != sum) return fail("checksum mismatch");
      if (blk.unpacked == 0 || blk.unpacked > 32768) return fail("bad cbUncomp");
      if (k + 1 < folder.blockCount && blk.unpacked != 32768) return fail("short block in middle");
      const size_t before = folder.stream.size();
      if ((folder.type & 0xF) == 0) {
        if (blk.packed != blk.unpacked) return fail("stored block sizes differ");
        folder.stream.insert(folder.stream.end(), &b[payload], &b[payload] + blk.packed);
      } else if ((folder.type & 0xF) == 1) {
        if (blk.packed < 2 || b[payload] != 'C' || b[payload + 1] != 'K')
          return fail("MSZIP block without CK");
        if (blk.packed > 32768 + 12) return fail("MSZIP block too large");
        // History: only what the folder produced so far, at most 32 KiB.
        std::vector<uint8_t> out(window);
        TestInflater inf(&b[payload + 2], blk.packed - 2);
        if (!inf.Run(out)) return fail("deflate data error");
        if (inf.Consumed() != blk.packed - 2) return fail("MSZIP block has extra bytes");
        if (out.size() - window.size() != blk.unpacked) return fail("MSZIP size mismatch");
        folder.stream.insert(folder.stream.end(), out.begin() + window.size(), out.end());
        window.assign(out.end() - std::min<size_t>(out.size(), 32768), out.end());
      } else {
        return fail("unsupported type in test reader");
      }
      if (folder.stream.size() - before != blk.unpacked) return fail("block size mismatch");
      folder.blocks.push_back(blk);
      dataPos = payload + blk.packed;
    }
  }
  if (dataPos != b.size()) return fail("bytes after the last block");
  for (const auto& f : cab.files) {
    if (f.folder >= cab.folders.size()) return fail("file in a missing folder");
    const auto& s = cab.folders[f.folder].stream;
    if (static_cast<uint64_t>(f.folderOffset) + f.size > s.size()) return fail("file beyond its folder");
    cab.contents[f.name].assign(s.begin() + f.folderOffset, s.begin() + f.folderOffset + f.size);
  }
  return true;
}

}  // namespace vix::test
