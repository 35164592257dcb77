// Checksums, the traditional ZIP stream cipher and file positioning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vix {

// Reflected CRC-16/ARC (polynomial 0xA001) and CRC-32/ISO-HDLC (0xEDB88320)
// tables, constant data checked against the published check values.
extern const uint16_t kCrc16Table[256];
extern const uint32_t kCrc32Table[256];

// Process-wide running checksums that the block reads and writes update by
// the CRC kind they are given (16 or 32). LZH writers start Crc16Value at 0
// and store it as it is; ZIP and GZIP start Crc32Value at 0xFFFFFFFF and
// store it inverted. One compression at a time per process.
extern uint32_t Crc16Value;
extern uint32_t Crc32Value;

// Table-driven updates; neither inverts. A count of 0 changes nothing.
void UpdateCrc16(const void* buffer, size_t count, uint32_t& crc);
void UpdateCrc32(const void* buffer, size_t count, uint32_t& crc);
inline uint32_t Crc32Step(uint8_t byte, uint32_t crc) {
  return kCrc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

namespace detail {
// The two ways UpdateCrc32 may go, open to tests: the sliced tables, and
// folding by carry-less multiplication. The second returns false, changing
// nothing, where the processor cannot multiply that way.
void UpdateCrc32Sliced(const void* buffer, size_t count, uint32_t& crc);
bool UpdateCrc32Folded(const void* buffer, size_t count, uint32_t& crc);
}  // namespace detail

// CRC-32 of a whole file: 0 when a read fails. The file is left at 0.
uint32_t FileCrc32(platform::Stream& file);
// CRC-32 of the first `size` bytes of a file, read from its start; the file
// is rewound after. False when a read fails or the file ends before `size`
// bytes (the CRC would then describe neither the file nor what is stored).
bool FileCrc32(platform::Stream& file, uint64_t size, uint32_t& crc);

// The traditional ZIP cipher: three keys updated per byte.
struct CipherKeyState {
  uint32_t Key0, Key1, Key2;
};
extern CipherKeyState CipherKeys;
void InitCipherKeys(const std::string& password);
// Encrypts one byte with the process-wide keys and advances them.
uint8_t EncryptByte(uint8_t plain);
// The inverse, for reading back (tests and the extraction-side primitives).
uint8_t DecryptByte(uint8_t cipher);

// 32-bit file positioning on an open handle.
uint32_t GetFilePos(platform::Stream& h);
// method 0 from the start, 1 from the current position, 2 from the end.
bool SetFilePos(platform::Stream& h, int32_t distance, int method);
// 0 when the size cannot be read.
uint32_t GetFileSize32(platform::Stream& h);
// DOS stamp of the creation (0), last-write (1) or last-access (2) time.
uint32_t GetFileDosTime(platform::File& h, int which);

}  // namespace vix
