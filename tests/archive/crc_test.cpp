// CRCs, the file CRC and the traditional ZIP cipher, each against a plain
// bit-by-bit reference written here and the published check values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "archive/kvtCrc.h"

namespace vix {
namespace {

uint32_t BitwiseCrc(const uint8_t* p, size_t n, uint32_t crc, uint32_t poly) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ poly : crc >> 1;
  }
  return crc;
}

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

TEST(Crc, PublishedCheckValues) {
  const char* digits = "123456789";
  uint32_t crc16 = 0;
  UpdateCrc16(digits, 9, crc16);
  EXPECT_EQ(crc16, 0xBB3Du);
  uint32_t crc32 = 0xFFFFFFFF;
  UpdateCrc32(digits, 9, crc32);
  EXPECT_EQ(~crc32, 0xCBF43926u);
}

TEST(Crc, ZeroCountChangesNothing) {
  uint32_t crc16 = 0x1234, crc32 = 0x89ABCDEF;
  UpdateCrc16("x", 0, crc16);
  UpdateCrc32("x", 0, crc32);
  EXPECT_EQ(crc16, 0x1234u);
  EXPECT_EQ(crc32, 0x89ABCDEFu);
}

// The sliced loops must agree with the byte-wise definition for every
// length, alignment, split into calls and starting register (a CRC-16
// register above 16 bits included).
TEST(Crc, SlicedUpdatesMatchBitwiseReference) {
  std::mt19937 rng(7);
  const std::vector<uint8_t> data = RandomBytes(rng, 4096);
  for (int round = 0; round < 2000; ++round) {
    const size_t offset = rng() % 16;
    const size_t length = round < 200 ? round : rng() % (data.size() - 16);
    const size_t split = length ? rng() % (length + 1) : 0;
    const uint8_t* p = data.data() + offset;
    const uint32_t start32 = rng();
    const uint32_t start16 = round % 3 == 0 ? static_cast<uint32_t>(rng()) : rng() & 0xFFFF;

    uint32_t crc32 = start32;
    UpdateCrc32(p, split, crc32);
    UpdateCrc32(p + split, length - split, crc32);
    ASSERT_EQ(crc32, BitwiseCrc(p, length, start32, 0xEDB88320)) << "length " << length;

    uint32_t crc16 = start16;
    UpdateCrc16(p, split, crc16);
    UpdateCrc16(p + split, length - split, crc16);
    ASSERT_EQ(crc16, BitwiseCrc(p, length, start16, 0xA001)) << "length " << length;
  }
}

// Every length up to 200 at every offset 0..15 reaches each mix of an
// unaligned start, whole 16-byte blocks and a byte tail; every split of each
// run into two calls must give the one-call value.
TEST(Crc, EveryLengthOffsetAndSplitMatchesBitwiseReference) {
  std::mt19937 rng(21);
  const std::vector<uint8_t> data = RandomBytes(rng, 200 + 16);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length = 0; length <= 200; ++length) {
      const uint8_t* p = data.data() + offset;
      const uint32_t want32 = BitwiseCrc(p, length, 0xFFFFFFFF, 0xEDB88320);
      const uint32_t want16 = BitwiseCrc(p, length, 0, 0xA001);
      for (size_t split = 0; split <= length; ++split) {
        uint32_t crc32 = 0xFFFFFFFF, crc16 = 0;
        UpdateCrc32(p, split, crc32);
        UpdateCrc32(p + split, length - split, crc32);
        UpdateCrc16(p, split, crc16);
        UpdateCrc16(p + split, length - split, crc16);
        ASSERT_EQ(crc32, want32) << "offset " << offset << " length " << length << " split " << split;
        ASSERT_EQ(crc16, want16) << "offset " << offset << " length " << length << " split " << split;
      }
    }
  }
}

// Both ways of updating a CRC-32 must agree with the definition: lengths
// around the folding's 64-byte lanes and 16-byte steps, long runs, every
// alignment and any starting register. The folded way is skipped only where
// the processor lacks the instruction it needs.
TEST(Crc, SlicedAndFoldedCrc32MatchBitwiseReference) {
  std::mt19937 rng(33);
  const std::vector<uint8_t> data = RandomBytes(rng, 70000);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  // Around the block sizes the writers read in, and past a whole 64 KiB.
  for (size_t block : {512u, 1024u, 4096u, 32768u, 65536u})
    for (size_t n : {block - 1, block, block + 1, block + 13}) lengths.push_back(n);
  lengths.push_back(69000);
  bool folded = true;
  for (size_t length : lengths) {
    const size_t offset = rng() % 16;
    const uint8_t* p = data.data() + offset;
    const uint32_t start = length % 3 ? static_cast<uint32_t>(rng()) : 0xFFFFFFFFu;
    const uint32_t want = BitwiseCrc(p, length, start, 0xEDB88320);
    uint32_t sliced = start;
    detail::UpdateCrc32Sliced(p, length, sliced);
    ASSERT_EQ(sliced, want) << "length " << length;
    uint32_t fold = start;
    folded = detail::UpdateCrc32Folded(p, length, fold);
    if (!folded) continue;
    ASSERT_EQ(fold, want) << "length " << length << " offset " << offset;
  }
  if (!folded) GTEST_SKIP() << "no carry-less multiply on this processor or in this build";
}

// A stream over bytes whose reads fail from a given offset on.
class FlakyStream : public platform::Stream {
 public:
  explicit FlakyStream(std::vector<uint8_t> bytes, int64_t failAt = -1)
      : data_(std::move(bytes)), failAt_(failAt) {}
  int64_t Read(void* buffer, size_t count) override {
    if (failAt_ >= 0 && pos_ + static_cast<int64_t>(count) > failAt_) return -1;
    const size_t n = std::min(count, data_.size() - static_cast<size_t>(pos_));
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += static_cast<int64_t>(n);
    reads_++;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return -1; }
  bool Seek(int64_t distance, platform::Origin origin) override {
    const int64_t base = origin == platform::Origin::Begin ? 0
                         : origin == platform::Origin::Current ? pos_
                                                               : static_cast<int64_t>(data_.size());
    if (base + distance < 0) return false;
    pos_ = base + distance;
    return true;
  }
  int64_t Position() override { return pos_; }
  int64_t Size() override { return sizeOverride_ ? *sizeOverride_ : static_cast<int64_t>(data_.size()); }
  bool SetEnd() override { return false; }
  bool Flush() override { return true; }

  std::optional<int64_t> sizeOverride_;
  int reads_ = 0;

 private:
  std::vector<uint8_t> data_;
  int64_t failAt_;
  int64_t pos_ = 0;
};

TEST(FileCrc, WholeFileInChunksAndRewound) {
  std::mt19937 rng(11);
  const std::vector<uint8_t> bytes = RandomBytes(rng, 250001);  // three chunks
  FlakyStream file(bytes);
  file.Seek(1234, platform::Origin::Begin);
  EXPECT_EQ(FileCrc32(file), ~BitwiseCrc(bytes.data(), bytes.size(), 0xFFFFFFFF, 0xEDB88320));
  EXPECT_EQ(file.Position(), 0);
  EXPECT_EQ(file.reads_, 3);
}

TEST(FileCrc, ReadFailurePartWayGivesZeroAndRewinds) {
  std::mt19937 rng(12);
  FlakyStream file(RandomBytes(rng, 250000), 150000);
  EXPECT_EQ(FileCrc32(file), 0u);
  EXPECT_EQ(file.Position(), 0);
}

TEST(FileCrc, FileShorterThanItsSizeGivesZero) {
  FlakyStream file(std::vector<uint8_t>(10, 1));
  file.sizeOverride_ = 20;
  EXPECT_EQ(FileCrc32(file), 0u);
  EXPECT_EQ(file.Position(), 0);
}

TEST(FileCrc, EmptyFileIsZero) {
  FlakyStream file({});
  EXPECT_EQ(FileCrc32(file), 0u);
}

TEST(FilePos, ThirtyTwoBitPositioning) {
  FlakyStream file(std::vector<uint8_t>(100));
  EXPECT_TRUE(SetFilePos(file, -10, 2));
  EXPECT_EQ(GetFilePos(file), 90u);
  EXPECT_TRUE(SetFilePos(file, 5, 1));
  EXPECT_EQ(GetFilePos(file), 95u);
  EXPECT_FALSE(SetFilePos(file, -200, 1));
  EXPECT_FALSE(SetFilePos(file, 0, 3));
  EXPECT_EQ(GetFileSize32(file), 100u);
  file.sizeOverride_ = -1;
  EXPECT_EQ(GetFileSize32(file), 0u);
}

// --- The traditional ZIP cipher ---------------------------------------------

// The published algorithm, written out without the tables.
struct ReferenceCipher {
  uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
  static uint32_t Step(uint32_t crc, uint8_t b) { return BitwiseCrc(&b, 1, crc, 0xEDB88320); }
  void Update(uint8_t c) {
    k0 = Step(k0, c);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = Step(k2, static_cast<uint8_t>(k1 >> 24));
  }
  uint8_t Key() const {
    const uint32_t t = (k2 | 2) & 0xFFFF;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
  }
  explicit ReferenceCipher(const std::string& password) {
    for (char c : password) Update(static_cast<uint8_t>(c));
  }
};

TEST(Cipher, MatchesReferenceForRandomPasswordsAndData) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::string password(rng() % 20, '\0');
    for (char& c : password) c = static_cast<char>(rng());
    const std::vector<uint8_t> plain = RandomBytes(rng, rng() % 300);

    InitCipherKeys(password);
    ReferenceCipher ref(password);
    std::vector<uint8_t> sealed;
    for (uint8_t p : plain) {
      const uint8_t expected = p ^ ref.Key();
      ref.Update(p);
      sealed.push_back(EncryptByte(p));
      ASSERT_EQ(sealed.back(), expected);
    }
    EXPECT_EQ(CipherKeys.Key0, ref.k0);
    EXPECT_EQ(CipherKeys.Key1, ref.k1);
    EXPECT_EQ(CipherKeys.Key2, ref.k2);

    InitCipherKeys(password);
    for (size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(DecryptByte(sealed[i]), plain[i]);
  }
}

// Bytes decrypted by Python's zipfile (an independent implementation) with
// the password "Pelmoran".
TEST(Cipher, AgreesWithIndependentDecrypter) {
  const uint8_t sealed[16] = {0x07, 0x14, 0x21, 0x2E, 0x3B, 0x48, 0x55, 0x62,
                              0x6F, 0x7C, 0x89, 0x96, 0xA3, 0xB0, 0xBD, 0xCA};
  const uint8_t plain[16] = {0xBE, 0x4F, 0x7C, 0x18, 0x4F, 0xB6, 0xE7, 0x74,
                             0xBF, 0x44, 0xDA, 0xCF, 0x7C, 0x18, 0x4D, 0x11};
  InitCipherKeys("Pelmoran");
  for (int i = 0; i < 16; ++i) EXPECT_EQ(EncryptByte(plain[i]), sealed[i]) << i;
}

}  // namespace
}  // namespace vix
