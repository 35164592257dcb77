// A strict cabinet reader for the tests, written apart from the library: its
// own offsets (the published layout) and checksum, and the engine tests'
// inflater. It demands what the strictest independent readers demand:
// reserved fields zero, exact sizes and offsets, a real checksum on every
// block, every block of a folder but the last holding 32768 bytes, each
// MSZIP block one complete deflate stream that ends with its payload, each
// LZX block one frame decoded by the engine tests' strict decoder, history
// kept only inside a folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engines/deflate_test_inflater.h"
#include "support/files.h"
#include "verify/lzx_decoder.h"

namespace vix::test {

// The published checksum: 32-bit little-endian words XORed, a 1-3 byte tail
// taken big-end first.
inline uint32_t TestChecksum(const uint8_t* p, size_t n, uint32_t seed) {
  size_t i = 0;
  for (; n - i >= 4; i += 4) seed ^= Le32(p + i);
  uint32_t tail = 0;
  for (; i < n; ++i) tail = tail << 8 | p[i];
  return seed ^ tail;
}

struct CabBlock {
  uint32_t checksum, packed, unpacked;
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
  uint32_t size = 0, flags = 0, setId = 0, index = 0;
  uint32_t reserveHeader = 0, reserveFolder = 0, reserveData = 0;
  std::string prevCab, prevDisk, nextCab, nextDisk;
  std::vector<CabFolder> folders;
  std::vector<CabFile> files;
  std::map<std::string, std::vector<uint8_t>> contents;  // by stored name
};

// Parses and decodes a whole cabinet; on failure `why` says what is wrong.
inline bool ReadCabinet(const std::vector<uint8_t>& b, Cabinet& cab, std::string& why) {
  size_t at = 36;
  auto need = [&](bool ok, const char* text) {
    if (!ok) throw std::runtime_error(text);
  };
  auto str = [&](std::string& s) {
    const void* nul = at < b.size() ? std::memchr(&b[at], 0, b.size() - at) : nullptr;
    need(nul != nullptr, "unterminated string");
    s.assign(reinterpret_cast<const char*>(&b[at]), static_cast<const uint8_t*>(nul) - &b[at]);
    at += s.size() + 1;
  };
  try {
    need(b.size() >= 36 && std::memcmp(b.data(), "MSCF", 4) == 0, "no signature");
    need(!Le32(&b[4]) && !Le32(&b[12]) && !Le32(&b[20]), "reserved field not zero");
    cab.size = Le32(&b[8]);
    need(cab.size == b.size(), "cbCabinet differs from the file size");
    need(b[24] == 3 && b[25] == 1, "version not 1.3");
    const uint32_t nFolders = Le16(&b[26]), nFiles = Le16(&b[28]);
    cab.flags = Le16(&b[30]);
    cab.setId = Le16(&b[32]);
    cab.index = Le16(&b[34]);
    need(cab.flags <= 7, "unknown header flags");
    if (cab.flags & 4) {
      need(b.size() >= 40, "truncated reserve sizes");
      cab.reserveHeader = Le16(&b[36]);
      cab.reserveFolder = b[38];
      cab.reserveData = b[39];
      at = 40 + cab.reserveHeader;
    }
    if (cab.flags & 1) str(cab.prevCab), str(cab.prevDisk);
    if (cab.flags & 2) str(cab.nextCab), str(cab.nextDisk);
    for (uint32_t i = 0; i < nFolders; ++i, at += 8 + cab.reserveFolder) {
      need(at + 8 + cab.reserveFolder <= b.size(), "truncated folder");
      cab.folders.push_back({Le32(&b[at]), Le16(&b[at + 4]), Le16(&b[at + 6]), {}, {}});
    }
    need(at == Le32(&b[16]), "coffFiles is not right after the folders");
    for (uint32_t i = 0; i < nFiles; ++i) {
      need(at + 16 <= b.size(), "truncated file record");
      CabFile f{Le32(&b[at]),
                Le32(&b[at + 4]),
                Le16(&b[at + 8]),
                Le16(&b[at + 10]),
                Le16(&b[at + 12]),
                Le16(&b[at + 14]),
                {}};
      at += 16;
      str(f.name);
      need(!f.name.empty() && f.name.size() <= 255, "bad name length");
      cab.files.push_back(f);
    }
    for (auto& folder : cab.folders) {
      need(folder.dataOffset == at, "folder data not contiguous");
      std::vector<uint8_t> window;  // a fresh history for every folder
      std::unique_ptr<vix::verify::LzxDecoder> lzx;
      if ((folder.type & 0xF) == 3) {
        const int bits = (folder.type >> 8) & 0x1F;
        need(bits >= 15 && bits <= 21 && (folder.type & 0xE0F0) == 0, "bad LZX type word");
        lzx = std::make_unique<vix::verify::LzxDecoder>(bits);
      }
      for (uint32_t k = 0; k < folder.blockCount; ++k) {
        need(at + 8 + cab.reserveData <= b.size(), "truncated block");
        const CabBlock blk{Le32(&b[at]), Le16(&b[at + 4]), Le16(&b[at + 6])};
        const size_t payload = at + 8 + cab.reserveData;
        need(payload + blk.packed <= b.size(), "block beyond the file");
        need(blk.checksum == TestChecksum(&b[at + 4], 4 + cab.reserveData,
                                          TestChecksum(&b[payload], blk.packed, 0)),
             "checksum mismatch");
        need(blk.unpacked > 0 && blk.unpacked <= 32768, "bad cbUncomp");
        need(k + 1 == folder.blockCount || blk.unpacked == 32768, "short block in the middle");
        std::vector<uint8_t> data;
        if ((folder.type & 0xF) == 0) {
          need(blk.packed == blk.unpacked, "stored block sizes differ");
          data.assign(&b[payload], &b[payload] + blk.packed);
        } else if (lzx) {
          // One frame per block, the frame's size given by cbUncomp.
          if (!lzx->DecodeFrame(&b[payload], blk.packed, blk.unpacked, data))
            throw std::runtime_error("LZX: " + lzx->error);
        } else {
          need((folder.type & 0xF) == 1, "type the test reader does not know");
          need(blk.packed >= 2 && b[payload] == 'C' && b[payload + 1] == 'K', "no CK");
          need(blk.packed <= 32768 + 12, "MSZIP block too large");
          const auto inflated = TestInflater::Run(&b[payload + 2], blk.packed - 2, window);
          need(inflated.BytesUsed == blk.packed - 2u, "bytes after the deflate stream");
          data = inflated.Data;
        }
        need(data.size() == blk.unpacked, "block size mismatch");
        folder.stream.insert(folder.stream.end(), data.begin(), data.end());
        window.insert(window.end(), data.begin(), data.end());
        if (window.size() > 32768) window.erase(window.begin(), window.end() - 32768);
        folder.blocks.push_back(blk);
        at = payload + blk.packed;
      }
    }
    need(at == b.size(), "bytes after the last block");
    for (const auto& f : cab.files) {
      need(f.folder < cab.folders.size(), "file in a missing folder");
      const auto& s = cab.folders[f.folder].stream;
      need(uint64_t{f.folderOffset} + f.size <= s.size(), "file beyond its folder");
      cab.contents[f.name].assign(s.begin() + f.folderOffset, s.begin() + f.folderOffset + f.size);
    }
  } catch (const std::exception& e) {
    why = e.what();
    return false;
  }
  return true;
}

}  // namespace vix::test
