// The cabinet file format: record layouts as named offsets and the
// data-block checksum. Shared by the built-in library and its tests; the
// fields are read and written with the archive's little-endian helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/kvtBytes.h"

namespace vix::cab {

// CFHEADER, the fixed part at the start of every cabinet.
inline constexpr size_t kHdrSignature = 0x00;    // "MSCF"
inline constexpr size_t kHdrReserved1 = 0x04;    // 0 (readers compare it)
inline constexpr size_t kHdrCabinetSize = 0x08;  // total size of the file
inline constexpr size_t kHdrReserved2 = 0x0C;
inline constexpr size_t kHdrFilesOffset = 0x10;  // offset of the first CFFILE
inline constexpr size_t kHdrReserved3 = 0x14;
inline constexpr size_t kHdrVersionMinor = 0x18;
inline constexpr size_t kHdrVersionMajor = 0x19;
inline constexpr size_t kHdrFolderCount = 0x1A;
inline constexpr size_t kHdrFileCount = 0x1C;
inline constexpr size_t kHdrFlags = 0x1E;
inline constexpr size_t kHdrSetId = 0x20;
inline constexpr size_t kHdrCabinetIndex = 0x22;
inline constexpr size_t kHdrSize = 0x24;
// Present when kFlagReservePresent is set, then the header reserve bytes.
inline constexpr size_t kHdrReserveHeaderSize = 0x24;  // u16
inline constexpr size_t kHdrReserveFolderSize = 0x26;  // u8
inline constexpr size_t kHdrReserveDataSize = 0x27;    // u8
inline constexpr size_t kHdrReserveFieldsSize = 4;

inline constexpr uint8_t kVersionMinor = 3;
inline constexpr uint8_t kVersionMajor = 1;
inline constexpr uint16_t kFlagPrevCabinet = 0x0001;
inline constexpr uint16_t kFlagNextCabinet = 0x0002;
inline constexpr uint16_t kFlagReservePresent = 0x0004;

// Reserve limits of the cabinet parameters.
inline constexpr unsigned kMaxReserveHeader = 60000;
inline constexpr unsigned kMaxReserveFolder = 255;
inline constexpr unsigned kMaxReserveData = 255;

// CFFOLDER, one per folder, followed by the folder reserve bytes.
inline constexpr size_t kFolderDataOffset = 0;   // offset of its first CFDATA
inline constexpr size_t kFolderBlockCount = 4;   // u16
inline constexpr size_t kFolderCompression = 6;  // u16 type word
inline constexpr size_t kFolderSize = 8;

// CFFILE, one per file, followed by the NUL-terminated name.
inline constexpr size_t kFileSize = 0;          // uncompressed size
inline constexpr size_t kFileFolderOffset = 4;  // offset in the folder's stream
inline constexpr size_t kFileFolderIndex = 8;   // u16
inline constexpr size_t kFileDate = 10;
inline constexpr size_t kFileTime = 12;
inline constexpr size_t kFileAttribs = 14;
inline constexpr size_t kFileFixedSize = 16;

// CFDATA, one per block of a folder, followed by the data reserve bytes and
// the (compressed) data.
inline constexpr size_t kDataChecksum = 0;
inline constexpr size_t kDataCompressedSize = 4;    // u16
inline constexpr size_t kDataUncompressedSize = 6;  // u16
inline constexpr size_t kDataFixedSize = 8;

// Uncompressed bytes per data block: every block of a folder but its last
// holds exactly this many (readers that keep history demand it).
inline constexpr uint32_t kBlockSize = 32768;
// A folder holds at most 65535 blocks.
inline constexpr uint32_t kMaxFolderBytes = 65535u * kBlockSize;  // 0x7FFF8000
// iFolder values from 0xFFFD up mark continued files.
inline constexpr uint32_t kMaxFolders = 0xFFFD;
inline constexpr uint32_t kMaxFiles = 0xFFFF;
// Longest stored name, cabinet name and path (bytes, without the NUL);
// one reader refuses a cabinet with a longer file name.
inline constexpr size_t kMaxName = 255;

// MSZIP: each block is this signature and one complete deflate stream.
inline constexpr uint8_t kMszipSignature[2] = {'C', 'K'};
// Largest MSZIP block: 32768 bytes in stored deflate blocks with their
// headers, plus the signature.
inline constexpr uint32_t kMaxMszipBlock = kBlockSize + 12;
// What a block of n bytes takes at most in MSZIP: the signature and one
// stored deflate block (a header byte, LEN and NLEN) around the n bytes.
inline constexpr uint32_t kMszipStoredOverhead = 2 + 5;

// What an LZX frame of n bytes takes at most: an uncompressed block (its
// header, the stream header in a folder's first frame, up to 16 pad bits,
// the repeated offsets and a pad byte) around the n bytes.
inline constexpr uint32_t kLzxStoredOverhead = 24;

// The checksum fold: XOR of the little-endian 32-bit words of `data` into
// `seed`; 1 to 3 trailing bytes form one more word with the first of them
// in the highest position used.
uint32_t ChecksumFold(const uint8_t* data, size_t length, uint32_t seed);

// The checksum of a CFDATA record: the payload folded first, then the
// header from its size fields on (through the reserve bytes).
uint32_t DataBlockChecksum(const uint8_t* header, size_t reserveSize, const uint8_t* payload,
                           size_t payloadSize);

// Replaces `out` with the MSZIP form of `data` (at most kBlockSize bytes):
// the signature and a deflate stream whose window starts with `history`
// (the folder's preceding bytes, up to 32768). When compression would not
// shrink the block the stream is made of stored blocks, so that the block
// never exceeds kMaxMszipBlock.
void EncodeMszipBlock(const uint8_t* history, size_t historyLength, const uint8_t* data,
                      size_t length, int level, std::vector<uint8_t>& out);

}  // namespace vix::cab
