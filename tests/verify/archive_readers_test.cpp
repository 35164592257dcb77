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
