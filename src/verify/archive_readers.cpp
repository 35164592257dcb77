#include "verify/archive_readers.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/kvtCrc.h"
#include "verify/inflate.h"
#include "verify/lzh_decoder.h"
#include "verify/lzx_decoder.h"

namespace vix::verify {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | uint64_t{Le32(p + 4)} << 32; }

// The reading state shared by the formats: the result, and the entry that
// a failure names.
struct Reader {
  RandomAccess& file;
  ReadResult result;
  explicit Reader(RandomAccess& f) : file(f) {}
  bool Fail(const std::string& entry, const std::string& why) {
    if (result.Error.empty()) {
      result.FailedEntry = entry;
      result.Error = why;
    }
    return false;
  }
  bool Read(uint64_t at, void* buffer, size_t size) { return file.ReadAt(at, buffer, size); }
};

// Copies `size` bytes of `in` into `out` (stored data).
bool CopyStored(ByteSource& in, OutputWindow& out, uint64_t size) {
  uint8_t chunk[16384];
  while (size > 0) {
    const size_t n = in.Read(chunk, static_cast<size_t>(std::min<uint64_t>(size, sizeof chunk)));
    if (n == 0) return false;
    out.Append(chunk, n);
    size -= n;
  }
  return true;
}

// ---------------------------------------------------------------------------
// ZIP

constexpr uint32_t kLocalSig = 0x04034b50, kCentralSig = 0x02014b50, kEndSig = 0x06054b50;
constexpr uint32_t kEnd64Sig = 0x06064b50, kLocator64Sig = 0x07064b50;

bool FindZipEnd(Reader& r, uint64_t& cdOffset, uint64_t& cdCount, uint64_t& cdSize) {
  const uint64_t size = r.file.Size();
  if (size < 22) return r.Fail("", "too short for a ZIP archive");
  const size_t tail = static_cast<size_t>(std::min<uint64_t>(size, 22 + 65535));
  std::vector<uint8_t> b(tail);
  if (!r.Read(size - tail, b.data(), tail)) return r.Fail("", "the archive cannot be read");
  for (size_t i = tail - 22 + 1; i-- > 0;) {
    const uint8_t* e = b.data() + i;
    if (Le32(e) != kEndSig || i + 22 + Le16(e + 20) != tail) continue;
    cdCount = Le16(e + 10);
    cdSize = Le32(e + 12);
    cdOffset = Le32(e + 16);
    const uint64_t endAt = size - tail + i;
    if ((cdCount == 0xFFFF || cdOffset == 0xFFFFFFFF || cdSize == 0xFFFFFFFF) && endAt >= 20) {
      uint8_t loc[20], e64[56];
      if (r.Read(endAt - 20, loc, 20) && Le32(loc) == kLocator64Sig &&
          r.Read(Le64(loc + 8), e64, 56) && Le32(e64) == kEnd64Sig) {
        cdCount = Le64(e64 + 32);
        cdSize = Le64(e64 + 40);
        cdOffset = Le64(e64 + 48);
      }
    }
    if (cdOffset > size || cdSize > size - cdOffset) return r.Fail("", "the central directory lies outside the archive");
    return true;
  }
  return r.Fail("", "no end of central directory record");
}

bool ReadZipEntry(Reader& r, const uint8_t* c, const std::vector<uint8_t>& cd, size_t& at,
                  const std::string& password) {
  const uint16_t flags = Le16(c + 8), method = Le16(c + 10);
  const uint32_t crc = Le32(c + 16);
  uint64_t packed = Le32(c + 20), size = Le32(c + 24), offset = Le32(c + 42);
  const size_t nameLen = Le16(c + 28), extraLen = Le16(c + 30), commentLen = Le16(c + 32);
  if (cd.size() - at < 46 + nameLen + extraLen + commentLen)
    return r.Fail("", "a central directory record runs past the directory");
  StoredEntry entry;
  entry.Name.assign(reinterpret_cast<const char*>(c + 46), nameLen);
  // Zip64: the fields that hold all ones come from the extra field, in order.
  const uint8_t* x = c + 46 + nameLen;
  for (size_t i = 0; i + 4 <= extraLen;) {
    const uint16_t id = Le16(x + i), len = Le16(x + i + 2);
    if (i + 4 + len > extraLen) break;
    if (id == 1) {
      const uint8_t* v = x + i + 4;
      size_t left = len;
      auto take = [&](uint64_t& field) {
        if (field != 0xFFFFFFFF) return;
        if (left >= 8) {
          field = Le64(v);
          v += 8;
          left -= 8;
        }
      };
      take(size);
      take(packed);
      take(offset);
    }
    i += 4 + len;
  }
  at += 46 + nameLen + extraLen + commentLen;
  const std::string& name = entry.Name;
  uint8_t local[30];
  if (!r.Read(offset, local, 30) || Le32(local) != kLocalSig)
    return r.Fail(name, "no local header where the central directory points");
  if (Le16(local + 8) != method || Le16(local + 26) != nameLen ||
      (nameLen && [&] {
        std::vector<uint8_t> n(nameLen);
        return !r.Read(offset + 30, n.data(), nameLen) || std::memcmp(n.data(), c + 46, nameLen) != 0;
      }()))
    return r.Fail(name, "the local header differs from the central directory");
  uint64_t dataAt = offset + 30 + nameLen + Le16(local + 28);
  entry.HasData = !(nameLen && name.back() == '/');
  ByteSource in(r.file, dataAt, packed);
  std::unique_ptr<ZipDecrypter> crypt;
  if (flags & 1) {
    if (password.empty()) return r.Fail(name, "the entry is encrypted and no password was given");
    if (packed < 12) return r.Fail(name, "the encryption header is missing");
    crypt = std::make_unique<ZipDecrypter>(password);
    // Every piece is decrypted as it is read, the 12-byte header first.
    in.Transform = [&crypt](uint8_t* d, size_t n) { crypt->Decrypt(d, n); };
    uint8_t head[12];
    if (in.Read(head, 12) != 12) return r.Fail(name, "the data cannot be read");
    const uint8_t check = (flags & 8) ? static_cast<uint8_t>(Le16(c + 12) >> 8)
                                      : static_cast<uint8_t>(crc >> 24);
    if (head[11] != check) return r.Fail(name, "the password check byte does not match");
    packed -= 12;
  }
  CrcCounter crc32;
  OutputWindow out(kDeflateReach, [&](const uint8_t* d, size_t n) { crc32.Add(d, n); });
  if (method == 0) {
    if (packed != size) return r.Fail(name, "a stored entry's sizes differ");
    if (!CopyStored(in, out, size)) return r.Fail(name, "the data ends early");
  } else if (method == 8) {
    Inflater inflater;
    if (!inflater.Run(in, out, size)) return r.Fail(name, "deflate data: " + inflater.Error());
    if (inflater.BytesUsed() != packed)
      return r.Fail(name, "the compressed size differs from the data");
  } else {
    return r.Fail(name, "compression method " + std::to_string(method) + " is not checked");
  }
  out.Flush();
  entry.Size = crc32.Bytes;
  entry.Crc32 = crc32.Value();
  if (entry.Size != size) return r.Fail(name, "the data decodes to another size than recorded");
  if (entry.Crc32 != crc) return r.Fail(name, "the data's CRC differs from the recorded CRC");
  r.result.Entries.push_back(std::move(entry));
  return true;
}

// ---------------------------------------------------------------------------
// LZH

bool ReadLzhEntry(Reader& r, uint64_t& at) {
  uint8_t base[26];
  const uint64_t fileSize = r.file.Size();
  if (at >= fileSize) return r.Fail("", "the archive has no end mark");
  if (!r.Read(at, base, 1)) return r.Fail("", "the archive cannot be read");
  if (base[0] == 0) {
    at = fileSize;  // the end mark
    return true;
  }
  if (!r.Read(at, base, 22)) return r.Fail("", "a header runs past the archive");
  const int level = base[20];
  std::string method(reinterpret_cast<const char*>(base + 2), 5);
  uint64_t packed = Le32(base + 7);
  const uint32_t size = Le32(base + 11);
  StoredEntry entry;
  uint16_t crc = 0;
  bool hasCrc = true;
  uint64_t dataAt = 0;
  if (level == 0 || level == 1) {
    const size_t h = base[0];
    std::vector<uint8_t> hdr(h + 2);
    if (h < 20 || !r.Read(at, hdr.data(), hdr.size())) return r.Fail("", "a header runs past the archive");
    uint8_t sum = 0;
    for (size_t i = 2; i < hdr.size(); ++i) sum = static_cast<uint8_t>(sum + hdr[i]);
    const size_t n = hdr[21];
    if (22 + n > hdr.size()) return r.Fail("", "a header's name runs past it");
    entry.Name.assign(reinterpret_cast<const char*>(hdr.data() + 22), n);
    if (sum != hdr[1]) return r.Fail(entry.Name, "the header's check sum is wrong");
    if (22 + n + 2 <= hdr.size()) crc = Le16(hdr.data() + 22 + n);
    else hasCrc = false;
    dataAt = at + hdr.size();
    if (level == 1) {
      // Extended headers follow; the packed size counts them.
      uint64_t ext = at + hdr.size();
      uint16_t next = hdr.size() >= 2 ? Le16(hdr.data() + hdr.size() - 2) : 0;
      while (next) {
        if (next < 3 || packed < next) return r.Fail(entry.Name, "a bad extended header");
        std::vector<uint8_t> e(next);
        if (!r.Read(ext, e.data(), next)) return r.Fail(entry.Name, "an extended header runs past the archive");
        if (e[0] == 1) entry.Name.assign(reinterpret_cast<const char*>(e.data() + 1), next - 3);
        packed -= next;
        ext += next;
        next = Le16(e.data() + next - 2);
      }
      dataAt = ext;
    }
  } else if (level == 2) {
    const size_t total = Le16(base);
    std::vector<uint8_t> hdr(total);
    if (total < 26 || !r.Read(at, hdr.data(), total)) return r.Fail("", "a header runs past the archive");
    crc = Le16(hdr.data() + 21);
    size_t ext = 24;
    std::string dir, file;
    for (uint16_t next = Le16(hdr.data() + 24); next;) {
      if (next < 3 || ext + 2 + next > total) return r.Fail("", "a bad extended header");
      const uint8_t* e = hdr.data() + ext + 2;
      if (e[0] == 1) file.assign(reinterpret_cast<const char*>(e + 1), next - 3);
      if (e[0] == 2) dir.assign(reinterpret_cast<const char*>(e + 1), next - 3);
      if (e[0] == 0 && next >= 5) {
        uint8_t copy[2] = {e[1], e[2]};
        hdr[ext + 3] = hdr[ext + 4] = 0;
        uint32_t hc = 0;
        UpdateCrc16(hdr.data(), total, hc);
        if (hc != Le16(copy)) return r.Fail(dir + file, "the header's CRC is wrong");
        hdr[ext + 3] = copy[0];
        hdr[ext + 4] = copy[1];
      }
      ext += next;
      next = Le16(hdr.data() + ext);
    }
    for (char& ch : dir)
      if (static_cast<uint8_t>(ch) == 0xFF) ch = '\\';
    entry.Name = dir + file;
    dataAt = at + total;
  } else {
    return r.Fail("", "header level " + std::to_string(level) + " is not known");
  }
  const std::string& name = entry.Name;
  if (dataAt > fileSize || packed > fileSize - dataAt) return r.Fail(name, "the data runs past the archive");
  CrcCounter crc32;
  uint32_t crc16 = 0;
  int dicbit = 0;
  if (method == "-lh5-") dicbit = 13;
  else if (method == "-lh6-") dicbit = 15;
  else if (method == "-lh7-") dicbit = 16;
  else if (method != "-lh0-" && method != "-lhd-")
    return r.Fail(name, "method " + method + " is not checked");
  OutputWindow out(dicbit ? LzhDecoder::Reach(dicbit) : 0, [&](const uint8_t* d, size_t n) {
    crc32.Add(d, n);
    UpdateCrc16(d, n, crc16);
  });
  ByteSource in(r.file, dataAt, packed);
  if (method == "-lhd-") {
    entry.HasData = false;
    if (size != 0) return r.Fail(name, "a folder entry with data");
  } else if (dicbit == 0) {
    if (packed != size) return r.Fail(name, "a stored entry's sizes differ");
    if (!CopyStored(in, out, size)) return r.Fail(name, "the data ends early");
  } else {
    LzhDecoder decoder(dicbit);
    if (size > 0 && !decoder.Run(in, out, size)) return r.Fail(name, "compressed data: " + decoder.Error());
  }
  out.Flush();
  entry.Size = crc32.Bytes;
  entry.Crc32 = crc32.Value();
  if (entry.Size != size) return r.Fail(name, "the data decodes to another size than recorded");
  if (hasCrc && crc16 != crc) return r.Fail(name, "the data's CRC differs from the recorded CRC");
  at = dataAt + packed;
  r.result.Entries.push_back(std::move(entry));
  return true;
}

// ---------------------------------------------------------------------------
// CAB

uint32_t CabChecksum(const uint8_t* p, size_t n, uint32_t seed) {
  size_t i = 0;
  for (; n - i >= 4; i += 4) seed ^= Le32(p + i);
  uint32_t tail = 0;
  for (; i < n; ++i) tail = tail << 8 | p[i];
  return seed ^ tail;
}

struct CabFile {
  uint32_t size, offset, folder;
  std::string name;
  CrcCounter crc;
};

bool ReadCabFolder(Reader& r, std::vector<CabFile>& files, uint32_t folder, uint64_t dataAt,
                   uint32_t blocks, uint32_t type, uint32_t reserveData) {
  // The files of this folder by their offset in its stream.
  std::vector<CabFile*> mine;
  for (auto& f : files)
    if (f.folder == folder) mine.push_back(&f);
  std::stable_sort(mine.begin(), mine.end(),
                   [](const CabFile* a, const CabFile* b) { return a->offset < b->offset; });
  uint64_t pos = 0;
  size_t first = 0;
  auto sink = [&](const uint8_t* d, size_t n) {
    const uint64_t end = pos + n;
    while (first < mine.size() && uint64_t{mine[first]->offset} + mine[first]->size <= pos) ++first;
    for (size_t k = first; k < mine.size() && mine[k]->offset < end; ++k) {
      const uint64_t from = std::max<uint64_t>(pos, mine[k]->offset);
      const uint64_t to = std::min<uint64_t>(end, uint64_t{mine[k]->offset} + mine[k]->size);
      if (from < to) mine[k]->crc.Add(d + (from - pos), static_cast<size_t>(to - from));
    }
    pos = end;
  };
  // A failure names the file whose data was being decoded.
  uint64_t reached = 0;  // bytes of the folder decoded before the current block
  auto fail = [&](const std::string& why) {
    for (const CabFile* f : mine)
      if (uint64_t{f->offset} + f->size > reached) return r.Fail(f->name, why);
    return r.Fail(mine.empty() ? std::string() : mine.back()->name, why);
  };
  const uint32_t kind = type & 0xF;
  const int windowBits = static_cast<int>((type >> 8) & 0x1F);
  if (kind > 1 && !(kind == 3 && windowBits >= 15 && windowBits <= 21))
    return fail("compression type " + std::to_string(type) + " is not checked");
  OutputWindow out(kind == 1 ? kDeflateReach : 0, sink);
  std::unique_ptr<LzxDecoder> lzx;
  if (kind == 3) lzx = std::make_unique<LzxDecoder>(windowBits);
  std::vector<uint8_t> block, frame;
  uint64_t at = dataAt;
  for (uint32_t k = 0; k < blocks; ++k) {
    reached = out.Total();
    uint8_t h[8];
    if (!r.Read(at, h, 8)) return fail("a data block runs past the cabinet");
    const uint32_t packed = Le16(h + 4), unpacked = Le16(h + 6);
    std::vector<uint8_t> reserve(reserveData);
    block.resize(packed);
    if ((reserveData && !r.Read(at + 8, reserve.data(), reserveData)) ||
        (packed && !r.Read(at + 8 + reserveData, block.data(), packed)))
      return fail("a data block runs past the cabinet");
    uint8_t tail[4] = {h[4], h[5], h[6], h[7]};
    uint32_t sum = CabChecksum(block.data(), packed, 0);
    std::vector<uint8_t> covered(tail, tail + 4);
    covered.insert(covered.end(), reserve.begin(), reserve.end());
    sum = CabChecksum(covered.data(), covered.size(), sum);
    if (Le32(h) != 0 && Le32(h) != sum) return fail("a data block's checksum is wrong");
    if (unpacked == 0 || unpacked > 32768) return fail("a data block's size is wrong");
    const uint64_t before = out.Total();
    if (kind == 0) {
      if (packed != unpacked) return fail("a stored block's sizes differ");
      out.Append(block.data(), packed);
    } else if (kind == 1) {
      if (packed < 2 || block[0] != 'C' || block[1] != 'K') return fail("an MSZIP block without its mark");
      MemoryAccess mem(block.data() + 2, packed - 2);
      ByteSource in(mem, 0, packed - 2);
      Inflater inflater;
      if (!inflater.Run(in, out, unpacked)) return fail("MSZIP data: " + inflater.Error());
      if (inflater.BytesUsed() != packed - 2u) return fail("bytes after an MSZIP block's data");
    } else {
      frame.clear();
      if (!lzx->DecodeFrame(block.data(), packed, unpacked, frame))
        return fail("LZX data: " + lzx->error);
      out.Append(frame.data(), frame.size());
    }
    if (out.Total() - before != unpacked) return fail("a data block decodes to another size");
    at += 8 + reserveData + packed;
  }
  out.Flush();
  for (const CabFile* f : mine)
    if (f->crc.Bytes != f->size) return r.Fail(f->name, "the folder's data ends before the file's");
  return true;
}

// ---------------------------------------------------------------------------
// TAR

uint64_t TarNumber(const uint8_t* p, size_t n, bool& ok) {
  if (n && (p[0] & 0x80)) {  // base-256
    uint64_t v = p[0] & 0x7F;
    for (size_t i = 1; i < n; ++i) {
      if (v >> 56) ok = false;
      v = v << 8 | p[i];
    }
    return v;
  }
  uint64_t v = 0;
  size_t i = 0;
  while (i < n && p[i] == ' ') ++i;
  for (; i < n && p[i] >= '0' && p[i] <= '7'; ++i) v = v * 8 + (p[i] - '0');
  for (; i < n; ++i)
    if (p[i] != ' ' && p[i] != 0) ok = false;
  return v;
}

std::string TarString(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len]) ++len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

// Reads `size` bytes of an extension record (pax or GNU long name).
bool TarRecord(Reader& r, uint64_t at, uint64_t size, std::string& out) {
  if (size > (1u << 20)) return r.Fail("", "an extended header is too long");
  out.resize(static_cast<size_t>(size));
  return size == 0 || r.Read(at, &out[0], out.size()) || r.Fail("", "an extended header runs past the archive");
}

}  // namespace

ZipDecrypter::ZipDecrypter(const std::string& password) {
  for (char c : password) Update(static_cast<uint8_t>(c));
}

void ZipDecrypter::Update(uint8_t plain) {
  k0_ = Crc32Step(plain, k0_);
  k1_ = (k1_ + (k0_ & 0xFF)) * 134775813u + 1;
  k2_ = Crc32Step(static_cast<uint8_t>(k1_ >> 24), k2_);
}

void ZipDecrypter::Decrypt(uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const uint32_t t = (k2_ | 2) & 0xFFFF;
    data[i] = static_cast<uint8_t>(data[i] ^ ((t * (t ^ 1)) >> 8));
    Update(data[i]);
  }
}

ReadResult ReadZipArchive(RandomAccess& file, const std::string& password) {
  Reader r(file);
  uint64_t cdOffset = 0, cdCount = 0, cdSize = 0;
  if (!FindZipEnd(r, cdOffset, cdCount, cdSize)) return r.result;
  std::vector<uint8_t> cd(static_cast<size_t>(cdSize));
  if (cdSize && !r.Read(cdOffset, cd.data(), cd.size())) {
    r.Fail("", "the central directory cannot be read");
    return r.result;
  }
  size_t at = 0;
  for (uint64_t i = 0; i < cdCount; ++i) {
    if (cd.size() - at < 46 || Le32(cd.data() + at) != kCentralSig) {
      r.Fail("", "the central directory holds fewer records than it says");
      return r.result;
    }
    if (!ReadZipEntry(r, cd.data() + at, cd, at, password)) return r.result;
  }
  if (at != cd.size()) r.Fail("", "bytes after the last central directory record");
  return r.result;
}

ReadResult ReadLzhArchive(RandomAccess& file) {
  Reader r(file);
  uint64_t at = 0;
  while (ReadLzhEntry(r, at) && at < file.Size()) {
  }
  return r.result;
}

ReadResult ReadCabArchive(RandomAccess& file) {
  Reader r(file);
  uint8_t h[40];
  if (!r.Read(0, h, 36) || std::memcmp(h, "MSCF", 4) != 0) {
    r.Fail("", "no cabinet signature");
    return r.result;
  }
  if (Le32(h + 8) != file.Size()) r.Fail("", "the cabinet's recorded size differs from its length");
  const uint32_t nFolders = Le16(h + 26), nFiles = Le16(h + 28), flags = Le16(h + 30);
  uint32_t reserveHeader = 0, reserveFolder = 0, reserveData = 0;
  uint64_t at = 36;
  if (flags & 3) r.Fail("", "a cabinet of a set is not checked alone");
  if (flags & 4) {
    if (!r.Read(36, h + 36, 4)) r.Fail("", "the header runs past the cabinet");
    reserveHeader = Le16(h + 36);
    reserveFolder = h[38];
    reserveData = h[39];
    at = 40 + reserveHeader;
  }
  if (!r.result.Ok()) return r.result;
  struct Folder {
    uint32_t offset, blocks, type;
  };
  std::vector<Folder> folders;
  for (uint32_t i = 0; i < nFolders; ++i, at += 8 + reserveFolder) {
    uint8_t f[8];
    if (!r.Read(at, f, 8)) {
      r.Fail("", "a folder record runs past the cabinet");
      return r.result;
    }
    folders.push_back({Le32(f), Le16(f + 4), Le16(f + 6)});
  }
  if (Le32(h + 16) != at) {
    r.Fail("", "the file records are not where the header says");
    return r.result;
  }
  std::vector<CabFile> files;
  for (uint32_t i = 0; i < nFiles; ++i) {
    uint8_t f[16 + 257];
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof f, file.Size() - std::min(file.Size(), at)));
    if (n < 17 || !r.Read(at, f, n)) {
      r.Fail("", "a file record runs past the cabinet");
      return r.result;
    }
    const void* nul = std::memchr(f + 16, 0, n - 16);
    if (!nul) {
      r.Fail("", "a file name without its end");
      return r.result;
    }
    CabFile cf{Le32(f), Le32(f + 4), Le16(f + 8), std::string(reinterpret_cast<const char*>(f + 16)), {}};
    at += 16 + cf.name.size() + 1;
    if (cf.folder >= folders.size()) {
      r.Fail(cf.name, "the file lies in a folder the cabinet does not have");
      return r.result;
    }
    files.push_back(std::move(cf));
  }
  for (uint32_t i = 0; i < folders.size(); ++i) {
    if (!ReadCabFolder(r, files, i, folders[i].offset, folders[i].blocks, folders[i].type, reserveData))
      return r.result;
  }
  for (auto& f : files)
    r.result.Entries.push_back({f.name, f.crc.Bytes, f.crc.Value(), true});
  return r.result;
}

ReadResult ReadTarArchive(RandomAccess& file) {
  Reader r(file);
  const uint64_t size = file.Size();
  uint64_t at = 0;
  std::string longName, paxPath;
  uint64_t paxSize = 0;
  bool hasPaxSize = false;
  while (at + 512 <= size) {
    uint8_t h[512];
    if (!r.Read(at, h, 512)) {
      r.Fail("", "the archive cannot be read");
      return r.result;
    }
    if (std::all_of(h, h + 512, [](uint8_t b) { return b == 0; })) return r.result;  // the end
    bool ok = true;
    const std::string headerName = TarString(h, 100);
    const uint64_t sum = TarNumber(h + 148, 8, ok);
    uint64_t computed = 0;
    for (int i = 0; i < 512; ++i) computed += (i >= 148 && i < 156) ? ' ' : h[i];
    if (!ok || sum != computed) {
      r.Fail(headerName, "a header's check sum is wrong");
      return r.result;
    }
    uint64_t dataSize = TarNumber(h + 124, 12, ok);
    if (!ok) {
      r.Fail(headerName, "a header's size field is malformed");
      return r.result;
    }
    const char type = static_cast<char>(h[156]);
    const uint64_t dataAt = at + 512;
    if (dataSize > size - std::min(size, dataAt)) {
      r.Fail(headerName, "the data runs past the archive");
      return r.result;
    }
    const uint64_t next = dataAt + (dataSize + 511) / 512 * 512;
    if (type == 'x' || type == 'L' || type == 'g' || type == 'K') {
      std::string rec;
      if (!TarRecord(r, dataAt, dataSize, rec)) return r.result;
      if (type == 'L') {
        longName = TarString(reinterpret_cast<const uint8_t*>(rec.data()), rec.size());
      } else if (type == 'x') {
        // "length key=value\n" records.
        size_t p = 0;
        while (p < rec.size()) {
          size_t len = 0, q = p;
          while (q < rec.size() && rec[q] >= '0' && rec[q] <= '9' && len < rec.size()) len = len * 10 + (rec[q++] - '0');
          if (q >= rec.size() || rec[q] != ' ' || len <= q - p || len > rec.size() - p || rec[p + len - 1] != '\n') {
            r.Fail(headerName, "a malformed pax record");
            return r.result;
          }
          const std::string kv = rec.substr(q + 1, p + len - q - 2);
          const size_t eq = kv.find('=');
          if (eq != std::string::npos) {
            const std::string key = kv.substr(0, eq), value = kv.substr(eq + 1);
            if (key == "path") paxPath = value;
            if (key == "size") {
              paxSize = 0;
              for (char ch : value) paxSize = paxSize * 10 + static_cast<uint64_t>(ch - '0');
              hasPaxSize = true;
            }
          }
          p += len;
        }
      }
      at = next;
      continue;
    }
    StoredEntry entry;
    std::string prefix = std::memcmp(h + 257, "ustar", 5) == 0 ? TarString(h + 345, 155) : std::string();
    entry.Name = !paxPath.empty() ? paxPath : !longName.empty() ? longName
                 : prefix.empty() ? headerName : prefix + "/" + headerName;
    paxPath.clear();
    longName.clear();
    if (hasPaxSize) {
      dataSize = paxSize;
      hasPaxSize = false;
    }
    const bool regular = type == '0' || type == 0 || type == '7';
    uint64_t span = dataSize;
    if (!regular && type != '5' && type != '1' && type != '2') {
      // Other entries (devices, fifos, sparse) are framing only here.
      entry.HasData = false;
    } else if (!regular) {
      entry.HasData = false;
      span = type == '5' ? dataSize : 0;
    }
    if (span > size - std::min(size, dataAt)) {
      r.Fail(entry.Name, "the data runs past the archive");
      return r.result;
    }
    if (entry.HasData) {
      CrcCounter crc;
      ByteSource in(file, dataAt, dataSize);
      uint8_t chunk[16384];
      for (uint64_t left = dataSize; left > 0;) {
        const size_t n = in.Read(chunk, static_cast<size_t>(std::min<uint64_t>(left, sizeof chunk)));
        if (n == 0) {
          r.Fail(entry.Name, "the data cannot be read");
          return r.result;
        }
        crc.Add(chunk, n);
        left -= n;
      }
      entry.Size = crc.Bytes;
      entry.Crc32 = crc.Value();
    }
    r.result.Entries.push_back(std::move(entry));
    at = dataAt + (span + 511) / 512 * 512;
  }
  r.Fail("", "the archive has no end blocks");
  return r.result;
}

ReadResult ReadGzipArchive(RandomAccess& file) {
  Reader r(file);
  const uint64_t size = file.Size();
  uint8_t h[10];
  if (!r.Read(0, h, 10) || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0)) {
    r.Fail("", "no GZIP header");
    return r.result;
  }
  uint64_t at = 10;
  StoredEntry entry;
  auto skipString = [&](std::string* into) {
    for (;;) {
      uint8_t c;
      if (!r.Read(at++, &c, 1)) return false;
      if (!c) return true;
      if (into) into->push_back(static_cast<char>(c));
    }
  };
  if (h[3] & 4) {
    uint8_t x[2];
    if (!r.Read(at, x, 2)) return r.Fail("", "the header runs past the file"), r.result;
    at += 2 + Le16(x);
  }
  if (((h[3] & 8) && !skipString(&entry.Name)) || ((h[3] & 16) && !skipString(nullptr))) {
    r.Fail("", "the header runs past the file");
    return r.result;
  }
  if (h[3] & 2) at += 2;
  if (at > size) {
    r.Fail(entry.Name, "the header runs past the file");
    return r.result;
  }
  CrcCounter crc;
  OutputWindow out(kDeflateReach, [&](const uint8_t* d, size_t n) { crc.Add(d, n); });
  ByteSource in(file, at, size - at);
  Inflater inflater;
  if (!inflater.Run(in, out)) {
    r.Fail(entry.Name, "deflate data: " + inflater.Error());
    return r.result;
  }
  out.Flush();
  at += inflater.BytesUsed();
  uint8_t t[8];
  if (!r.Read(at, t, 8)) {
    r.Fail(entry.Name, "the trailer is missing");
    return r.result;
  }
  if (Le32(t) != crc.Value()) return r.Fail(entry.Name, "the data's CRC differs from the recorded CRC"), r.result;
  if (Le32(t + 4) != static_cast<uint32_t>(crc.Bytes))
    return r.Fail(entry.Name, "the data decodes to another size than recorded"), r.result;
  if (at + 8 != size) return r.Fail(entry.Name, "bytes after the member"), r.result;
  entry.Size = crc.Bytes;
  entry.Crc32 = crc.Value();
  r.result.Entries.push_back(std::move(entry));
  return r.result;
}

}  // namespace vix::verify
