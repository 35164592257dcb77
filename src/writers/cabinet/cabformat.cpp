#include "writers/cabinet/cabformat.h"

#include "engines/deflate.h"

namespace vix::cab {

uint32_t ChecksumFold(const uint8_t* data, size_t length, uint32_t seed) {
  size_t i = 0;
  for (; i + 4 <= length; i += 4) seed ^= GetLE32(data + i);
  uint32_t tail = 0;
  for (; i < length; ++i) tail = tail << 8 | data[i];
  return seed ^ tail;
}

uint32_t DataBlockChecksum(const uint8_t* header, size_t reserveSize, const uint8_t* payload,
                           size_t payloadSize) {
  const uint32_t data = ChecksumFold(payload, payloadSize, 0);
  return ChecksumFold(header + kDataCompressedSize,
                      kDataFixedSize - kDataCompressedSize + reserveSize, data);
}

namespace {

// A final stored deflate block: BFINAL 1 and type 00 in the first byte (the
// rest of that byte pads to the boundary), then LEN and its complement.
void AppendStoredDeflate(const uint8_t* data, size_t length, std::vector<uint8_t>& out) {
  static_assert(kBlockSize <= 0xFFFF, "one stored block holds a whole data block");
  const size_t at = out.size();
  out.resize(at + 5);
  out[at] = 0x01;
  PutLE16(&out[at + 1], static_cast<uint16_t>(length));
  PutLE16(&out[at + 3], static_cast<uint16_t>(~length));
  out.insert(out.end(), data, data + length);
}

}  // namespace

void EncodeMszipBlock(const uint8_t* history, size_t historyLength, const uint8_t* data,
                      size_t length, int level, std::vector<uint8_t>& out) {
  out.assign(kMszipSignature, kMszipSignature + 2);
  // Readers keep the folder's last 32 KiB across blocks, so matches may
  // reach back into the previous block.
  if (historyLength > kBlockSize) {
    history += historyLength - kBlockSize;
    historyLength = kBlockSize;
  }
  DeflateMemoryBlock(history, historyLength, data, length, level, out);
  if (out.size() > length + kMszipStoredOverhead) {
    out.resize(2);
    AppendStoredDeflate(data, length, out);
  }
}

}  // namespace vix::cab
