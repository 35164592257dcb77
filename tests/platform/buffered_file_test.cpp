// The write buffer shared by both platforms, over a raw file in memory that
// records every call the buffer makes and fails where told to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/buffered_file.h"

namespace vix::platform::detail {
namespace {

constexpr size_t kBuffer = BufferedFile::kBufferSize;
constexpr int kWriteFault = 1234;  // codes the system would not use here
constexpr int kCloseFault = 4321;

struct RawState {
  std::vector<uint8_t> data;
  int64_t pos = 0;
  std::vector<std::string> calls;
  size_t writeRoom = SIZE_MAX;  // bytes taken before writes fail
  size_t perCall = SIZE_MAX;    // most bytes one read or write moves
  bool writesTakeNothing = false;
  bool closeFails = false;
};

class RecordingRaw final : public RawFile {
 public:
  explicit RecordingRaw(RawState& s) : s_(s) {}

  int64_t ReadSome(void* buffer, size_t count) override {
    const size_t at = static_cast<size_t>(s_.pos);
    const size_t n = at < s_.data.size() ? std::min({count, s_.data.size() - at, s_.perCall}) : 0;
    if (n) std::memcpy(buffer, s_.data.data() + at, n);
    s_.pos += static_cast<int64_t>(n);
    s_.calls.push_back("read " + std::to_string(count));
    return static_cast<int64_t>(n);
  }
  int64_t WriteSome(const void* data, size_t count) override {
    s_.calls.push_back("write " + std::to_string(count));
    if (s_.writesTakeNothing) return 0;
    if (s_.writeRoom == 0) {
      SetLastErrorCode(kWriteFault);
      return -1;
    }
    const size_t n = std::min({count, s_.writeRoom, s_.perCall});
    s_.writeRoom -= n;
    const size_t at = static_cast<size_t>(s_.pos);
    if (s_.data.size() < at + n) s_.data.resize(at + n);
    std::memcpy(s_.data.data() + at, data, n);
    s_.pos += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }
  int64_t Seek(int64_t distance, Origin origin) override {
    s_.calls.push_back("seek");
    const int64_t base = origin == Origin::Begin ? 0
                         : origin == Origin::Current ? s_.pos : static_cast<int64_t>(s_.data.size());
    if (base + distance < 0) return -1;
    s_.pos = base + distance;
    return s_.pos;
  }
  int64_t Tell() override {
    s_.calls.push_back("tell");
    return s_.pos;
  }
  int64_t Size() override {
    s_.calls.push_back("size");
    return static_cast<int64_t>(s_.data.size());
  }
  bool Truncate() override {
    s_.calls.push_back("truncate");
    s_.data.resize(static_cast<size_t>(s_.pos));
    return true;
  }
  bool Close() override {
    s_.calls.push_back("close");
    if (s_.closeFails) SetLastErrorCode(kCloseFault);
    return !s_.closeFails;
  }
  uint32_t DosTime(int which) override {
    s_.calls.push_back("time");
    return 0x5A5A0000u + static_cast<uint32_t>(which);
  }

 private:
  RawState& s_;
};

std::unique_ptr<BufferedFile> Open(RawState& s, bool writable = true) {
  return std::make_unique<BufferedFile>(std::make_unique<RecordingRaw>(s), writable);
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}

using Calls = std::vector<std::string>;

TEST(BufferedFile, SmallWritesReachTheSystemAsOneWrite) {
  RawState s;
  auto file = Open(s);
  const auto bytes = Bytes(300, 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(file->Write(bytes.data() + 100 * i, 100), 100);
  EXPECT_EQ(s.calls, Calls{});
  EXPECT_EQ(file->Position(), 300);  // counts what is still buffered
  EXPECT_TRUE(file->Flush());
  EXPECT_EQ(s.calls, Calls{"write 300"});
  EXPECT_EQ(s.data, bytes);

  // Filling the buffer to the brim keeps it in memory; one byte more sends
  // the full buffer first and keeps the byte.
  s.calls.clear();
  const auto full = Bytes(kBuffer, 2);
  for (size_t at = 0; at < kBuffer; at += 4096) ASSERT_EQ(file->Write(full.data() + at, 4096), 4096);
  EXPECT_EQ(s.calls, Calls{});
  ASSERT_EQ(file->Write("x", 1), 1);
  EXPECT_EQ(s.calls, Calls{"write " + std::to_string(kBuffer)});
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(s.calls.back(), "close");
  EXPECT_EQ(s.data.size(), 300 + kBuffer + 1);
  EXPECT_EQ(s.data.back(), 'x');
}

// Whatever looks at the file or moves in it must see the bytes written
// before, so the buffer goes out first.
TEST(BufferedFile, EveryCallThatLooksAtTheFileFlushesFirst) {
  const std::vector<std::pair<std::string, std::function<void(File&)>>> cases = {
      {"read 4", [](File& f) { char c[4]; f.Read(c, 4); }},
      {"seek", [](File& f) { f.Seek(0, Origin::Begin); }},
      {"size", [](File& f) { EXPECT_EQ(f.Size(), 3); }},
      {"truncate", [](File& f) { f.SetEnd(); }},
      {"time", [](File& f) { EXPECT_EQ(f.DosTime(2), 0x5A5A0002u); }},
      {"close", [](File& f) { f.Close(); }},
  };
  for (const auto& [call, run] : cases) {
    RawState s;
    auto file = Open(s);
    ASSERT_EQ(file->Write("abc", 3), 3);
    run(*file);
    ASSERT_GE(s.calls.size(), 2u) << call;
    EXPECT_EQ(s.calls[0], "write 3") << call;
    EXPECT_EQ(s.calls[1], call);
    EXPECT_EQ(s.data, (std::vector<uint8_t>{'a', 'b', 'c'})) << call;
  }
}

TEST(BufferedFile, BigWritesGoStraightToTheSystemAfterWhatIsBuffered) {
  RawState s;
  auto file = Open(s);
  const auto small = Bytes(10, 3);
  const auto big = Bytes(kBuffer, 4);
  ASSERT_EQ(file->Write(small.data(), small.size()), 10);
  ASSERT_EQ(file->Write(big.data(), big.size()), static_cast<int64_t>(kBuffer));
  EXPECT_EQ(s.calls, (Calls{"write 10", "write " + std::to_string(kBuffer)}));
  EXPECT_TRUE(file->Flush());
  EXPECT_EQ(s.calls.size(), 2u);  // nothing was left behind in the buffer
  std::vector<uint8_t> want = small;
  want.insert(want.end(), big.begin(), big.end());
  EXPECT_EQ(s.data, want);
}

// Systems may move fewer bytes than asked; the file carries on until all
// are moved, and a write that takes nothing means the disk is full.
TEST(BufferedFile, PartialSystemCallsAreContinued) {
  RawState s;
  s.perCall = 1000;
  auto file = Open(s);
  const auto big = Bytes(kBuffer + 500, 5);
  ASSERT_EQ(file->Write(big.data(), big.size()), static_cast<int64_t>(big.size()));
  EXPECT_EQ(s.data, big);
  ASSERT_TRUE(file->Seek(0, Origin::Begin));
  std::vector<uint8_t> back(big.size() + 10);
  EXPECT_EQ(file->Read(back.data(), back.size()), static_cast<int64_t>(big.size()));
  back.resize(big.size());
  EXPECT_EQ(back, big);

  RawState none;
  none.writesTakeNothing = true;
  auto stuck = Open(none);
  EXPECT_EQ(stuck->Write(big.data(), big.size()), 0);
  EXPECT_EQ(SystemErrorCode(), DiskFullError());
  EXPECT_EQ(none.calls, Calls{"write " + std::to_string(big.size())});  // no endless retry
}

// A deferred write that fails has lost bytes the caller was told were
// written: every later call that flushes fails with that reason, Close()
// reports it, and the handle is still released, once.
TEST(BufferedFile, FailedFlushIsLatchedAndReportedAtClose) {
  RawState s;
  s.writeRoom = 0;
  auto file = Open(s);
  ASSERT_EQ(file->Write("abc", 3), 3);  // buffered: nothing known yet
  EXPECT_FALSE(file->Flush());
  EXPECT_EQ(SystemErrorCode(), kWriteFault);

  s.writeRoom = SIZE_MAX;  // the system recovers; the file must not
  const std::vector<std::function<bool(File&)>> fail = {
      [](File& f) { return !f.Flush(); },
      [](File& f) { return !f.Seek(0, Origin::Begin); },
      [](File& f) { return f.Size() == -1; },
      [](File& f) { return !f.SetEnd(); },
      [](File& f) { char c; return f.Read(&c, 1) == -1; },
      [](File& f) { return f.Write("d", 1) == 0; },
  };
  for (size_t i = 0; i < fail.size(); ++i) {
    SetLastErrorCode(0);
    EXPECT_TRUE(fail[i](*file)) << i;
    EXPECT_EQ(SystemErrorCode(), kWriteFault) << i;
  }
  SetLastErrorCode(0);
  EXPECT_FALSE(file->Close());
  EXPECT_EQ(SystemErrorCode(), kWriteFault);
  EXPECT_FALSE(file->Close());  // still a failed file
  file.reset();
  EXPECT_EQ(std::count(s.calls.begin(), s.calls.end(), "close"), 1);
  EXPECT_EQ(std::count(s.calls.begin(), s.calls.end(), "write 3"), 1);  // written once, never again
  EXPECT_TRUE(s.data.empty());
}

TEST(BufferedFile, CloseReportsTheFirstFailure) {
  RawState closing;
  closing.closeFails = true;
  auto file = Open(closing);
  ASSERT_EQ(file->Write("abc", 3), 3);
  EXPECT_FALSE(file->Close());
  EXPECT_EQ(SystemErrorCode(), kCloseFault);
  EXPECT_EQ(closing.data.size(), 3u);

  RawState both;
  both.closeFails = true;
  both.writeRoom = 1;  // the flush fails part-way
  auto second = Open(both);
  ASSERT_EQ(second->Write("abc", 3), 3);
  EXPECT_FALSE(second->Close());
  EXPECT_EQ(SystemErrorCode(), kWriteFault);
  EXPECT_EQ(both.calls.back(), "close");
}

TEST(BufferedFile, ReadOnlyAndClosedHandlesRefuseAtOnce) {
  RawState s;
  s.data = {'r', 'o'};
  auto reader = Open(s, false);
  EXPECT_EQ(reader->Write("x", 1), 0);
  EXPECT_EQ(SystemErrorCode(), NotWritableError());
  EXPECT_EQ(s.calls, Calls{});  // refused before any buffering
  char c[2];
  EXPECT_EQ(reader->Read(c, 2), 2);
  EXPECT_TRUE(reader->Close());
  EXPECT_TRUE(reader->Close());  // closing twice is harmless

  s.calls.clear();
  EXPECT_EQ(reader->Read(c, 1), -1);
  EXPECT_EQ(SystemErrorCode(), ClosedHandleError());
  EXPECT_FALSE(reader->Seek(0, Origin::Begin));
  EXPECT_EQ(reader->Position(), -1);
  EXPECT_EQ(reader->Size(), -1);
  EXPECT_EQ(reader->DosTime(1), 0u);
  EXPECT_EQ(s.calls, Calls{});  // the released handle is never touched again
}

// The position is kept, not asked of the system (a tree of small files
// would pay a call for every seek the cabinet library makes), and it must
// stay right through reads, short reads, writes, buffered bytes and seeks.
TEST(BufferedFile, PositionIsKeptWithoutAskingTheSystem) {
  RawState s;
  s.data = Bytes(1000, 3);
  s.perCall = 300;
  auto file = Open(s);
  char c[700];
  EXPECT_EQ(file->Read(c, 700), 700);
  EXPECT_EQ(file->Position(), 700);
  EXPECT_EQ(file->Read(c, 700), 300);  // to the end
  EXPECT_EQ(file->Position(), 1000);
  ASSERT_EQ(file->Write("abc", 3), 3);
  EXPECT_EQ(file->Position(), 1003);  // buffered bytes count
  EXPECT_TRUE(file->Seek(-3, Origin::Current));
  EXPECT_EQ(file->Position(), 1000);
  EXPECT_TRUE(file->Seek(-10, Origin::End));
  EXPECT_EQ(file->Position(), 993);
  EXPECT_TRUE(file->Seek(5, Origin::Begin));
  EXPECT_EQ(file->Position(), 5);
  EXPECT_EQ(file->Read(c, 5), 5);
  EXPECT_EQ(file->Position(), 10);
  EXPECT_EQ(std::count(s.calls.begin(), s.calls.end(), "tell"), 0);
  // Staying where it is asks nothing of the system.
  s.calls.clear();
  EXPECT_TRUE(file->Seek(10, Origin::Begin));
  EXPECT_TRUE(file->Seek(0, Origin::Current));
  EXPECT_EQ(s.calls, Calls{});

  // After a seek the system refused, the position is asked for again.
  EXPECT_FALSE(file->Seek(-100, Origin::Begin));
  EXPECT_EQ(file->Position(), 10);
  EXPECT_EQ(s.calls.back(), "tell");
  s.calls.clear();
  EXPECT_EQ(file->Position(), 10);
  EXPECT_EQ(s.calls, Calls{});
  EXPECT_EQ(s.pos, 10);
}

}  // namespace
}  // namespace vix::platform::detail
