// deflate_bench: our deflate engine against zlib on the corpus, side by side.
//
//   deflate_bench [--repeat N] [--levels 1,2,7,9] [--cpu] [--files] [CORPUS_DIR]
//
// Every file is compressed whole at each level by DeflateFile (through a
// component, with the CRC-32 its reads keep, as the writers run it) and by
// zlib (raw deflate, memLevel 8, plus crc32 over the input: the same work a
// GZIP writer does). Levels 1, 2, 7 and 9 are the component's deflate types;
// the other rows run through DeflateMemoryBlock (see OursInMemory). Inputs
// and outputs stay in memory. With --repeat N each measurement is the
// fastest of N runs, taken alternately for the two.
// Where libdeflate is installed it runs beside them at the same level
// (whole buffer, plus its crc32). --cpu times by the process's CPU time
// instead of the wall clock, so that time spent waiting for a core on a
// busy machine is not counted. --files adds a line per file and level (our
// time against zlib's), to show which kinds of input a change helps.
#include <zlib.h>
#ifdef VIX_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/kvtBase.h"
#include "archive/kvtCrc.h"
#include "engines/deflate.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool gCpuTime = false;
bool gPerFile = false;

double Now() {
  if (gCpuTime) return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Counts what is written and keeps nothing.
class CountingSink : public vix::platform::Stream {
 public:
  int64_t Read(void*, size_t) override { return 0; }
  int64_t Write(const void*, size_t count) override {
    size_ += static_cast<int64_t>(count);
    return static_cast<int64_t>(count);
  }
  bool Seek(int64_t, vix::platform::Origin) override { return true; }
  int64_t Position() override { return size_; }
  int64_t Size() override { return size_; }
  bool SetEnd() override { return true; }
  bool Flush() override { return true; }

 private:
  int64_t size_ = 0;
};

class Host : public vix::TCompBase {
 public:
  Host() : vix::TCompBase(nullptr) { fArcType = vix::atGZip; }
  void SetArcType(vix::TArcType) override {}
};

vix::TDeflateType TypeOf(int level) {
  switch (level) {
    case 1: return vix::dtDeflateS;
    case 2: return vix::dtDeflateF;
    case 9: return vix::dtDeflateX;
    default: return vix::dtDeflateN;
  }
}

struct Result {
  uint64_t size = 0;
  double seconds = 0;
};

// Rows without a component type (MSZIP's row 5 among them) run through
// DeflateMemoryBlock, as the CAB writer runs them, plus the CRC-32 over the
// input that the other rows' reads keep. The output buffer is kept between
// runs, as zlib's is, so that neither side pays for first touching its pages.
Result OursInMemory(const Bytes& data, int level, Bytes& out) {
  out.clear();
  out.reserve(data.size() + data.size() / 8 + 1024);
  uint32_t crc = 0xFFFFFFFFu;
  const double t0 = Now();
  vix::DeflateMemoryBlock(nullptr, 0, data.data(), data.size(), level, out);
  vix::UpdateCrc32(data.data(), data.size(), crc);
  const double s = Now() - t0;
  volatile uint32_t keep = crc;
  (void)keep;
  return {out.size(), s};
}

Result Ours(const Bytes& data, int level, Bytes& scratch) {
  if (level != 1 && level != 2 && level != 7 && level != 9)
    return OursInMemory(data, level, scratch);
  Host host;
  host.SetDeflateType(TypeOf(level));
  vix::platform::MemoryStream in(data);
  CountingSink out;
  host.InputLeft = host.TotalBytes = host.BytesLeft = static_cast<uint32_t>(data.size());
  host.PackedBytes = 0;
  vix::Crc32Value = 0xFFFFFFFFu;
  const double t0 = Now();
  const uint32_t n =
      static_cast<uint32_t>(vix::DeflateFile(host, &in, &out, false, false).BytesWritten);
  const double s = Now() - t0;
  return {n, s};
}

Result Zlib(const Bytes& data, int level, Bytes& scratch) {
  scratch.resize(compressBound(static_cast<uLong>(data.size())) + 64);
  const double t0 = Now();
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = scratch.data();
  z.avail_out = static_cast<uInt>(scratch.size());
  deflate(&z, Z_FINISH);
  const uint64_t n = z.total_out;
  deflateEnd(&z);
  volatile uLong crc = crc32(0, data.data(), static_cast<uInt>(data.size()));
  (void)crc;
  const double s = Now() - t0;
  return {n, s};
}

Result Libdeflate(const Bytes& data, int level, Bytes& scratch) {
#ifdef VIX_HAVE_LIBDEFLATE
  const double t0 = Now();
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (!c) return {};
  scratch.resize(libdeflate_deflate_compress_bound(c, data.size()));
  const uint64_t n = libdeflate_deflate_compress(c, data.data(), data.size(), scratch.data(),
                                                 scratch.size());
  libdeflate_free_compressor(c);
  volatile uint32_t crc = libdeflate_crc32(0, data.data(), data.size());
  (void)crc;
  const double s = Now() - t0;
  return {n, s};
#else
  (void)data, (void)level, (void)scratch;
  return {};
#endif
}

Bytes ReadAll(const std::filesystem::path& p) {
  Bytes b;
  FILE* f = std::fopen(p.string().c_str(), "rb");
  if (!f) return b;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  std::fclose(f);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 1;
  std::vector<int> levels = {1, 2, 7, 9};
  const char* env = std::getenv("VIX_CORPUS");
  std::string dir = env ? env : std::string(VIX_SOURCE_DIR) + "/../shared/corpus";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--cpu") {
      gCpuTime = true;
    } else if (a == "--files") {
      gPerFile = true;
    } else if (a == "--levels" && i + 1 < argc) {
      levels.clear();
      for (const char* p = argv[++i]; *p; ++p)
        if (*p >= '1' && *p <= '9') levels.push_back(*p - '0');
    } else {
      dir = a;
    }
  }

  std::vector<std::pair<std::string, Bytes>> files;
  uint64_t total = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file() || name == "README.md" || name == "SHA256SUMS") continue;
    files.emplace_back(name, ReadAll(e.path()));
    total += files.back().second.size();
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "deflate_bench: no files in %s\n", dir.c_str());
    return 1;
  }
  std::printf("corpus: %zu files, %llu bytes; %d run(s) each, fastest kept; %s time\n",
              files.size(), static_cast<unsigned long long>(total), repeat,
              gCpuTime ? "CPU" : "wall");
#ifdef VIX_HAVE_LIBDEFLATE
  constexpr bool kLibdeflate = true;
#else
  constexpr bool kLibdeflate = false;
  std::printf("(libdeflate not installed: its columns stay empty)\n");
#endif
  std::printf("%-5s %12s %9s %12s %9s %10s %10s %12s %9s\n", "level", "ours bytes", "ours MB/s",
              "zlib bytes", "zlib MB/s", "size o/z", "speed o/z", "libdefl bytes", "MB/s");

  Bytes scratch, oursScratch;
  bool targetsMet = true;
  for (int level : levels) {
    Result ours, zlib, ld;
    for (const auto& [name, data] : files) {
      Result bestOurs{0, 1e30}, bestZlib{0, 1e30}, bestLd{0, 1e30};
      for (int r = 0; r < repeat; ++r) {
        const Result o = Ours(data, level, oursScratch);
        const Result z = Zlib(data, level, scratch);
        bestOurs = {o.size, std::min(bestOurs.seconds, o.seconds)};
        bestZlib = {z.size, std::min(bestZlib.seconds, z.seconds)};
        if (kLibdeflate) {
          const Result l = Libdeflate(data, level, scratch);
          bestLd = {l.size, std::min(bestLd.seconds, l.seconds)};
        }
      }
      if (gPerFile)
        std::printf("  %-22s %10zu bytes: ours %8.2f ms, zlib %8.2f ms, speed o/z %6.3f\n",
                    name.c_str(), data.size(), bestOurs.seconds * 1e3, bestZlib.seconds * 1e3,
                    bestZlib.seconds / bestOurs.seconds);
      ours.size += bestOurs.size;
      ours.seconds += bestOurs.seconds;
      zlib.size += bestZlib.size;
      zlib.seconds += bestZlib.seconds;
      ld.size += bestLd.size;
      ld.seconds += kLibdeflate ? bestLd.seconds : 0;
    }
    const double sizeRatio = static_cast<double>(ours.size) / static_cast<double>(zlib.size);
    const double speedRatio = zlib.seconds / ours.seconds;
    std::printf("%-5d %12llu %9.1f %12llu %9.1f %10.4f %10.3f %12llu %9.1f\n", level,
                static_cast<unsigned long long>(ours.size), total / ours.seconds / 1e6,
                static_cast<unsigned long long>(zlib.size), total / zlib.seconds / 1e6,
                sizeRatio, speedRatio, static_cast<unsigned long long>(ld.size),
                ld.seconds > 0 ? total / ld.seconds / 1e6 : 0.0);
    targetsMet = targetsMet && sizeRatio <= 1.01 && speedRatio >= 1.0;
  }
  std::printf("targets (size <= 1.01 x zlib, speed >= zlib): %s\n", targetsMet ? "met" : "NOT met");
  return 0;
}
