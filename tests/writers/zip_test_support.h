// What the ZIP tests check archives with: a parser that follows the
// published record layouts (and shares nothing with the writer), CRC-32 and
// the traditional cipher written out bit by bit, a small writer of foreign
// archives, and a runner that drives TZip over real files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"
#include "writers/kvtZipIT.h"

namespace vix::ziptest {

inline uint32_t Le16(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b.at(at)) | static_cast<uint8_t>(b.at(at + 1)) << 8;
}
inline uint32_t Le32(const std::string& b, size_t at) {
  return Le16(b, at) | Le16(b, at + 2) << 16;
}
inline std::string Bytes16(uint32_t v) { return {char(v), char(v >> 8)}; }
inline std::string Bytes32(uint32_t v) { return Bytes16(v) + Bytes16(v >> 16); }

inline uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// The traditional ZIP cipher of the application note, decrypting.
class Decipher {
 public:
  explicit Decipher(const std::string& password) {
    for (unsigned char c : password) Update(c);
  }
  std::string Run(const std::string& data) {
    std::string out;
    for (unsigned char c : data) {
      const uint32_t t = (k2_ | 2) & 0xFFFF;
      const auto plain = static_cast<unsigned char>(c ^ ((t * (t ^ 1)) >> 8));
      Update(plain);
      out += static_cast<char>(plain);
    }
    return out;
  }

 private:
  static uint32_t Step(uint32_t crc, unsigned char b) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    return crc;
  }
  void Update(unsigned char c) {
    k0_ = Step(k0_, c);
    k1_ = (k1_ + (k0_ & 0xFF)) * 134775813 + 1;
    k2_ = Step(k2_, static_cast<unsigned char>(k1_ >> 24));
  }
  uint32_t k0_ = 0x12345678, k1_ = 0x23456789, k2_ = 0x34567890;
};

// One entry as an independent reader sees it.
struct Entry {
  std::string Name, Local, Central, CentralExtra, Comment;
  std::string Data;  // the stored (compressed, maybe encrypted) bytes
  uint32_t Offset = 0;
  uint32_t Flags() const { return Le16(Central, 8); }
  uint32_t Method() const { return Le16(Central, 10); }
  uint32_t Crc() const { return Le32(Central, 16); }
  uint32_t Packed() const { return Le32(Central, 20); }
  uint32_t Size() const { return Le32(Central, 24); }
  uint32_t External() const { return Le32(Central, 38); }
  // Local header, name, extra field and data: what an update must keep.
  std::string Whole;
};

struct Archive {
  std::vector<Entry> Entries;
  std::string End, Comment;
  const Entry* Find(const std::string& name) const {
    for (const auto& e : Entries)
      if (e.Name == name) return &e;
    return nullptr;
  }
};

// Parses an archive without a spanned or ZIP64 layout; fails the test (and
// returns false) on any inconsistency.
inline bool Parse(const std::string& b, Archive& a) {
  size_t end = std::string::npos;
  for (size_t p = b.size() >= 22 ? b.size() - 22 + 1 : 0; p-- > 0;) {
    if (Le32(b, p) == 0x06054B50 && p + 22 + Le16(b, p + 20) == b.size()) {
      end = p;
      break;
    }
  }
  if (end == std::string::npos) {
    ADD_FAILURE() << "no end record";
    return false;
  }
  a = Archive();
  a.End = b.substr(end, 22);
  a.Comment = b.substr(end + 22);
  size_t c = Le32(b, end + 16);
  EXPECT_EQ(c + Le32(b, end + 12), end) << "directory offset + size";
  EXPECT_EQ(Le16(b, end + 8), Le16(b, end + 10));
  for (uint32_t i = 0; i < Le16(b, end + 10); ++i) {
    if (c + 46 > end || Le32(b, c) != 0x02014B50) {
      ADD_FAILURE() << "central record " << i;
      return false;
    }
    Entry e;
    e.Central = b.substr(c, 46);
    const size_t n = Le16(b, c + 28), x = Le16(b, c + 30), m = Le16(b, c + 32);
    e.Name = b.substr(c + 46, n);
    e.CentralExtra = b.substr(c + 46 + n, x);
    e.Comment = b.substr(c + 46 + n + x, m);
    c += 46 + n + x + m;
    e.Offset = Le32(e.Central, 42);
    if (e.Offset + 30 > b.size() || Le32(b, e.Offset) != 0x04034B50) {
      ADD_FAILURE() << "local header of " << e.Name;
      return false;
    }
    e.Local = b.substr(e.Offset, 30);
    const size_t data = e.Offset + 30 + Le16(e.Local, 26) + Le16(e.Local, 28);
    e.Data = b.substr(data, e.Packed());
    e.Whole = b.substr(e.Offset, data + e.Packed() - e.Offset);
    a.Entries.push_back(e);
  }
  return true;
}

// A foreign archive, built field by field: stored entries with an optional
// local and central extra field, entry comment and data descriptor.
struct ForeignEntry {
  std::string Name, Data, LocalExtra, CentralExtra, Comment;
  bool Descriptor = false;
};
inline std::string BuildForeign(const std::vector<ForeignEntry>& entries,
                                const std::string& comment) {
  std::string out, dir;
  for (const auto& e : entries) {
    const uint32_t crc = Crc32(e.Data), n = static_cast<uint32_t>(e.Data.size());
    const std::string common = Bytes16(e.Descriptor ? 8 : 0) + Bytes16(0) + Bytes32(0x5A215C21);
    const std::string sizes = Bytes32(crc) + Bytes32(n) + Bytes32(n);
    dir += Bytes32(0x02014B50) + Bytes16(0x031E) + Bytes16(10) + common + sizes +
           Bytes16(e.Name.size()) + Bytes16(e.CentralExtra.size()) + Bytes16(e.Comment.size()) +
           Bytes16(0) + Bytes16(0) + Bytes32(0x81A40000) + Bytes32(out.size()) + e.Name +
           e.CentralExtra + e.Comment;
    out += Bytes32(0x04034B50) + Bytes16(10) + common +
           (e.Descriptor ? std::string(12, '\0') : sizes) + Bytes16(e.Name.size()) +
           Bytes16(e.LocalExtra.size()) + e.Name + e.LocalExtra + e.Data;
    if (e.Descriptor) out += Bytes32(0x08074B50) + sizes;
  }
  return out + dir + Bytes32(0x06054B50) + Bytes16(0) + Bytes16(0) +
         Bytes16(entries.size()) + Bytes16(entries.size()) + Bytes32(dir.size()) +
         Bytes32(out.size()) + Bytes16(comment.size()) + comment;
}

// A TZip over a scratch folder, recording every reported error.
struct ZipRun {
  test::TempDir dir;
  TZip zip{nullptr};
  std::vector<int> codes;
  std::vector<std::string> messages;

  ZipRun() {
    zip.OnError = [this](TCompBase&, const std::string& file, const std::string& extended,
                         const std::string&, int code) {
      codes.push_back(code);
      messages.push_back(file + ": " + extended);
    };
  }
  std::string Archive() const { return dir.Join("out.zip"); }
  // Compresses the given lines (relative to the scratch folder) into
  // out.zip; returns the number of files written.
  int Run(const std::vector<std::string>& lines) {
    std::vector<std::string> spec;
    for (const auto& l : lines) spec.push_back(dir.Join(l));
    zip.SetFileSpec(spec);
    zip.SetArchiveFile(Archive());
    return zip.Compress();
  }
  std::string Bytes() const { return dir.ReadFile("out.zip"); }
};

}  // namespace vix::ziptest
