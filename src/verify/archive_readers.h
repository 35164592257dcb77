// Readers of finished archives for the verification step: each walks the
// framing of its format (ZIP, LZH, CAB, TAR, GZIP), decodes every entry's
// data with the verifier's own decoders and checks it against what the
// format itself records (CRC, sizes, block checksums). They never trust a
// field: any input gives a result, never a crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "verify/byte_io.h"

namespace vix::verify {

struct StoredEntry {
  std::string Name;    // as stored
  uint64_t Size = 0;   // bytes the data decoded to
  uint32_t Crc32 = 0;  // CRC-32 of those bytes
  bool HasData = true; // false for folders, links and other entries without data
};

struct ReadResult {
  std::vector<StoredEntry> Entries;  // in the order the archive lists them
  std::string FailedEntry;           // the entry being read when reading failed
  std::string Error;                 // empty when the whole archive was read
  bool Ok() const { return Error.empty(); }
};

// `password` decrypts entries written with the traditional encryption.
ReadResult ReadZipArchive(RandomAccess& file, const std::string& password);
ReadResult ReadLzhArchive(RandomAccess& file);
ReadResult ReadCabArchive(RandomAccess& file);
ReadResult ReadTarArchive(RandomAccess& file);
ReadResult ReadGzipArchive(RandomAccess& file);

// The traditional ZIP decryption (three keys updated per plain byte).
class ZipDecrypter {
 public:
  explicit ZipDecrypter(const std::string& password);
  void Decrypt(uint8_t* data, size_t size);

 private:
  void Update(uint8_t plain);
  uint32_t k0_ = 0x12345678, k1_ = 0x23456789, k2_ = 0x34567890;
};

}  // namespace vix::verify
