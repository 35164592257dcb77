// The verifier's readers and decoders on archives of our own writers
// (every method, data that makes several blocks and drains the output
// window) and on damaged copies of them.
#include <gtest/gtest.h>

#include "verify/inflate.h"
#include "verify/lzh_decoder.h"
#include "verify_support.h"

namespace vix::verifytest {
namespace {

struct Case {
  const char* Format;
  const char* Method;
};

class RoundTrip : public ::testing::TestWithParam<Case> {};

// Text that compresses, noise that does not (stored or abandoned streams),
// an empty file, and 1.2 MiB of text: past the output window's drain size
// and many CFDATA blocks, so that history crosses blocks and drains.
Files Mixed() {
  return {{"text.txt", Words(70000, 2)},
          {"noise.bin", Noise(40000)},
          {"empty.dat", ""},
          {"sub/big.txt", Words(1200000, 3)}};
}

TEST_P(RoundTrip, EveryEntryDecodesToItsSource) {
  test::TempDir dir;
  const Files files = Mixed();
  const std::string path = WriteWith(dir, GetParam().Format, GetParam().Method, files, "a");
  ASSERT_FALSE(path.empty());
  const std::string format = std::string(GetParam().Method) == "tgz" ? "gzip" : GetParam().Format;
  const verify::ReadResult r = ReadBytes(format, Slurp(path));
  ASSERT_TRUE(r.Ok()) << r.FailedEntry << ": " << r.Error;
  if (format == "gzip") return;  // one member: the TAR, checked by its own CRC
  ASSERT_EQ(r.Entries.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].first);
    EXPECT_NE(r.Entries[i].Name.find(files[i].first == "sub/big.txt" ? "big.txt" : files[i].first),
              std::string::npos);
    EXPECT_EQ(r.Entries[i].Size, files[i].second.size());
    EXPECT_EQ(r.Entries[i].Crc32, BitCrc32(files[i].second));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Writers, RoundTrip,
    ::testing::Values(Case{"zip", "store"}, Case{"zip", "deflate"}, Case{"lzh", "store"},
                      Case{"lzh", "lh5"}, Case{"lzh", "lh6"}, Case{"cab", "store"},
                      Case{"cab", "mszip"}, Case{"cab", "lzx"}, Case{"tar", "tar"},
                      Case{"tar", "tgz"}),
    [](const auto& info) { return std::string(info.param.Format) + "_" + info.param.Method; });

TEST(ZipDecryption, EncryptedEntriesNeedTheRightPassword) {
  test::TempDir dir;
  const Files files = {{"a.txt", Words(30000)}, {"b.bin", Noise(5000)}};
  const std::string bytes = Slurp(WriteWith(dir, "zip", "deflate", files, "p.zip", "s3cret"));
  ASSERT_FALSE(bytes.empty());
  const verify::ReadResult good = ReadBytes("zip", bytes, "s3cret");
  ASSERT_TRUE(good.Ok()) << good.Error;
  ASSERT_EQ(good.Entries.size(), 2u);
  EXPECT_EQ(good.Entries[1].Crc32, BitCrc32(files[1].second));
  const verify::ReadResult wrong = ReadBytes("zip", bytes, "secret");
  EXPECT_FALSE(wrong.Ok());
  EXPECT_EQ(wrong.FailedEntry, "a.txt");
  EXPECT_FALSE(ReadBytes("zip", bytes, "").Ok());
}

// A byte of the second entry's data changed: each reader refuses the
// archive and names that entry.
class Damage : public ::testing::TestWithParam<Case> {};

TEST_P(Damage, ChangedDataIsRefusedAndNamed) {
  test::TempDir dir;
  // The first file fills more than one cabinet block, so that the damage
  // lies in a block of the second alone.
  const Files files = {{"first.txt", Words(40000, 4)}, {"second.txt", Words(50000, 5)}};
  std::string bytes = Slurp(WriteWith(dir, GetParam().Format, GetParam().Method, files, "d"));
  ASSERT_FALSE(bytes.empty());
  ASSERT_TRUE(ReadBytes(GetParam().Format, bytes).Ok());
  // Stored data is found by its text; compressed data is hit at 7/8 of
  // the archive, inside the second entry's data.
  size_t at = bytes.rfind(files[1].second.substr(1000, 40));
  if (at == std::string::npos) at = bytes.size() * 7 / 8;
  bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
  const verify::ReadResult r = ReadBytes(GetParam().Format, bytes);
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.FailedEntry, "second.txt") << r.Error;
}

INSTANTIATE_TEST_SUITE_P(Writers, Damage,
                         ::testing::Values(Case{"zip", "store"}, Case{"zip", "deflate"},
                                           Case{"lzh", "store"}, Case{"lzh", "lh5"},
                                           Case{"cab", "mszip"}, Case{"cab", "lzx"}),
                         [](const auto& info) {
                           return std::string(info.param.Format) + "_" + info.param.Method;
                         });

TEST(Damage, CutArchivesAreRefused) {
  test::TempDir dir;
  const Files files = {{"a.txt", Words(20000)}};
  for (const Case c : {Case{"zip", "deflate"}, Case{"lzh", "lh5"}, Case{"cab", "mszip"},
                       Case{"tar", "tar"}}) {
    SCOPED_TRACE(c.Format);
    const std::string bytes = Slurp(WriteWith(dir, c.Format, c.Method, files, std::string("c.") + c.Format));
    ASSERT_FALSE(bytes.empty());
    EXPECT_FALSE(ReadBytes(c.Format, bytes.substr(0, bytes.size() / 2)).Ok());
    EXPECT_FALSE(ReadBytes(c.Format, bytes.substr(0, 10)).Ok());
  }
}

// Hand-made deflate streams: each breaks one rule of the format.
TEST(Inflate, MalformedStreamsAreRefused) {
  const std::vector<std::pair<std::vector<uint8_t>, const char*>> cases = {
      {{0x01, 0x05, 0x00, 0xFB, 0xFF, 'a'}, "stored length check"},  // NLEN wrong
      {{0x07}, "block type 3"},
      {{0x01, 0x05, 0x00, 0xFA, 0xFF, 'a'}, "ends early"},           // 5 bytes promised
      {{0x83, 0x61, 0x00}, "distance too far back"},  // a match into a preset history
      {{0x03}, "ends early"},                         // fixed block without its end
  };
  for (const auto& c : cases) {
    verify::MemoryAccess mem(c.first.data(), c.first.size());
    verify::ByteSource in(mem, 0, c.first.size());
    verify::OutputWindow out(verify::kDeflateReach, nullptr);
    verify::Inflater inflater;
    EXPECT_FALSE(inflater.Run(in, out)) << c.second;
    EXPECT_NE(inflater.Error().find(c.second), std::string::npos) << inflater.Error();
  }
}

TEST(Inflate, StreamsOfKnownBytesAndTheLimit) {
  // Fixed Huffman "a" then a match of length 4 at distance 1, then end.
  const std::vector<uint8_t> s = {0x4B, 0x4C, 0x04, 0x02, 0x00};
  std::string got;
  verify::MemoryAccess mem(s.data(), s.size());
  verify::ByteSource in(mem, 0, s.size());
  verify::OutputWindow out(verify::kDeflateReach,
                           [&](const uint8_t* d, size_t n) { got.append(reinterpret_cast<const char*>(d), n); });
  verify::Inflater inflater;
  ASSERT_TRUE(inflater.Run(in, out)) << inflater.Error();
  out.Flush();
  EXPECT_EQ(got, "aaaaa");
  EXPECT_EQ(inflater.BytesUsed(), 5u);
  verify::ByteSource again(mem, 0, s.size());
  verify::OutputWindow small(verify::kDeflateReach, nullptr);
  EXPECT_FALSE(verify::Inflater().Run(again, small, 3));
}

TEST(LzhDecoder, ShortAndEmptyStreamsAreRefused) {
  const std::vector<uint8_t> empty = {0x00, 0x00};  // a block of no codes
  verify::MemoryAccess mem(empty.data(), empty.size());
  verify::ByteSource in(mem, 0, empty.size());
  verify::OutputWindow out(verify::LzhDecoder::Reach(13), nullptr);
  verify::LzhDecoder d(13);
  EXPECT_FALSE(d.Run(in, out, 10));
  EXPECT_EQ(d.Error(), "empty block");
  verify::ByteSource none(mem, 0, 0);
  verify::LzhDecoder d2(13);
  EXPECT_FALSE(d2.Run(none, out, 1));
}

}  // namespace
}  // namespace vix::verifytest

namespace vix::verifytest {
namespace {

uint16_t BitCrc16(const std::string& s) {
  uint16_t c = 0;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>((c >> 1) ^ (0xA001u & (0u - (c & 1u))));
  }
  return c;
}
std::string Le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

// Entries kept from archives of other writers may have level 1 and 2
// headers: names from extended headers, the level 2 header's own CRC.
TEST(LzhHeaders, Levels1And2AreRead) {
  const std::string data = "hello";
  // Level 2: a header CRC, the file name, the folder (0xFF separated).
  std::string l2 = Le(26 + 5 + 11 + 7, 2) + "-lh0-" + Le(5, 4) + Le(5, 4) + Le(0, 4) + "\x20" +
                   "\x02" + Le(BitCrc16(data), 2) + "U" + Le(5, 2);
  l2 += std::string("\x00", 1) + Le(0, 2) + Le(11, 2) + "\x01" "file.txt" + Le(7, 2) +
        std::string("\x02" "dir\xFF", 5) + Le(0, 2);
  ASSERT_EQ(l2.size(), 49u);
  const std::string crc = Le(BitCrc16(l2), 2);
  l2[27] = crc[0];
  l2[28] = crc[1];
  // Level 1: no name in the base header, the name in an extended one.
  std::string l1 = std::string(1, '\0') + "?" + "-lh0-" + Le(16 + 5, 4) + Le(5, 4) + Le(0, 4) +
                   "\x20" + "\x01" + std::string(1, '\0') + Le(BitCrc16(data), 2) + "U" +
                   Le(16, 2) + "\x01" "long-name.txt" + Le(0, 2);
  l1[0] = static_cast<char>(25);
  uint8_t sum = 0;
  for (size_t i = 2; i < 27; ++i) sum = static_cast<uint8_t>(sum + l1[i]);
  l1[1] = static_cast<char>(sum);
  const std::string archive = l2 + data + l1 + data + std::string(1, '\0');
  const verify::ReadResult r = ReadBytes("lzh", archive);
  ASSERT_TRUE(r.Ok()) << r.FailedEntry << ": " << r.Error;
  ASSERT_EQ(r.Entries.size(), 2u);
  EXPECT_EQ(r.Entries[0].Name, "dir\\file.txt");
  EXPECT_EQ(r.Entries[1].Name, "long-name.txt");
  EXPECT_EQ(r.Entries[1].Crc32, BitCrc32(data));
  std::string damaged = archive;
  damaged[40] ^= 1;  // inside the level 2 file name: its header CRC fails
  EXPECT_NE(ReadBytes("lzh", damaged).Error.find("header's CRC"), std::string::npos);
  damaged = archive;
  damaged[49 + 5 + 10] ^= 1;  // the level 1 header's byte sum fails
  EXPECT_NE(ReadBytes("lzh", damaged).Error.find("check sum"), std::string::npos);
}

}  // namespace
}  // namespace vix::verifytest
