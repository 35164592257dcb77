// LZX at a 2 MiB window beside our MSZIP on the corpus, with xz -6 and our
// deflate at its X row as the scale, in one run.
//
//   lzx_bench [CORPUS_DIR] [WINDOW_BITS] [CHAIN_DEPTH] [NICE_LENGTH] [SKIP_LENGTH] [quick]
//
// The default (lazy) LZX runs with the given finder settings; the optimal
// parse with the engine's defaults but nice length 16. "quick" leaves out the optimal parse,
// deflate X and xz, for tuning runs.
// Every corpus file is one folder, as the cabinet library makes them for
// files of this size: LZX frames through the engine, MSZIP blocks with the
// folder's history at the library's row. Times are CPU seconds of this
// process (of the child for xz), since the machine is shared.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>

#include "engines/deflate.h"
#include "engines/lzx.h"
#include "bench_corpus.h"
#include "platform/platform.h"
#include "writers/cabinet/cabformat.h"

namespace {

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using bench::CorpusFiles;
using bench::Quote;

std::vector<uint8_t> ReadFile(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct Row {
  uint64_t lzx = 0, opt = 0, mszip = 0, deflateX = 0, xz = 0;
  double lzxCpu = 0, optCpu = 0, mszipCpu = 0, deflateCpu = 0, xzCpu = 0;
};

constexpr int kMszipLevel = 5;  // the cabinet library's row
constexpr int kDeflateX = 9;    // the writers' X type

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus = argc > 1 ? argv[1] : VIX_SOURCE_DIR "/../shared/corpus";
  vix::lzx::EncoderOptions options;
  if (argc > 2) options.WindowBits = std::atoi(argv[2]);
  if (argc > 3) options.ChainDepth = std::atoi(argv[3]);
  if (argc > 4) options.NiceLength = std::atoi(argv[4]);
  if (argc > 5) options.SkipLength = std::atoi(argv[5]);
  const bool quick = argc > 6 && std::string(argv[6]) == "quick";
  const std::vector<std::string> files = CorpusFiles(corpus);
  if (files.empty()) {
    std::fprintf(stderr, "no corpus files in %s\n", corpus.c_str());
    return 2;
  }
  double load = -1;
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = -1;
    std::fclose(f);
  }
  std::printf(
      "corpus: %zu files; load average before: %.2f; LZX window 2^%d, depth %d, nice %d, skip %d\n",
      files.size(), load, options.WindowBits, options.ChainDepth, options.NiceLength,
      options.SkipLength);
  std::printf("%-20s %10s %10s %10s %10s %10s %10s | %6s %6s %6s %6s %6s\n", "file", "bytes",
              "LZX", "LZX opt", "MSZIP", "deflateX", "xz -6", "LZX s", "opt s", "MSZ s", "dfX s",
              "xz s");
  Row total;
  uint64_t totalBytes = 0;
  std::vector<uint8_t> out;
  for (const auto& name : files) {
    const std::vector<uint8_t> data = ReadFile(name);
    Row r;
    double t = CpuSeconds(RUSAGE_SELF);
    {
      vix::lzx::Encoder enc(options);
      for (size_t p = 0; p < data.size(); p += vix::lzx::kFrameSize) {
        enc.EncodeFrame(data.data() + p, std::min<size_t>(vix::lzx::kFrameSize, data.size() - p),
                        out);
        r.lzx += out.size();
      }
    }
    r.lzxCpu = CpuSeconds(RUSAGE_SELF) - t;
    if (!quick) {
      t = CpuSeconds(RUSAGE_SELF);
      vix::lzx::EncoderOptions optimal;
      optimal.WindowBits = options.WindowBits;
      optimal.Optimal = true;
      optimal.NiceLength = 16;
      vix::lzx::Encoder enc(optimal);
      for (size_t p = 0; p < data.size(); p += vix::lzx::kFrameSize) {
        enc.EncodeFrame(data.data() + p, std::min<size_t>(vix::lzx::kFrameSize, data.size() - p),
                        out);
        r.opt += out.size();
      }
      r.optCpu = CpuSeconds(RUSAGE_SELF) - t;
    }
    t = CpuSeconds(RUSAGE_SELF);
    constexpr size_t kBlock = vix::cab::kBlockSize;
    for (size_t p = 0; p < data.size(); p += kBlock) {
      const size_t history = std::min(p, kBlock);
      vix::cab::EncodeMszipBlock(data.data() + p - history, history, data.data() + p,
                                 std::min(kBlock, data.size() - p), kMszipLevel, out);
      r.mszip += out.size();
    }
    r.mszipCpu = CpuSeconds(RUSAGE_SELF) - t;
    if (!quick) {
      t = CpuSeconds(RUSAGE_SELF);
      out.clear();
      vix::DeflateMemoryBlock(nullptr, 0, data.data(), data.size(), kDeflateX, out);
      r.deflateX = out.size();
      r.deflateCpu = CpuSeconds(RUSAGE_SELF) - t;
      t = CpuSeconds(RUSAGE_CHILDREN);
      const std::string command = "xz -6 -c -T1 " + Quote(name) + " | wc -c";
      if (std::FILE* p = popen(command.c_str(), "r")) {
        unsigned long long n = 0;
        if (std::fscanf(p, "%llu", &n) == 1) r.xz = n;
        pclose(p);
      }
      r.xzCpu = CpuSeconds(RUSAGE_CHILDREN) - t;
    }
    const std::string base = name.substr(name.rfind('/') + 1);
    std::printf("%-20s %10zu %10llu %10llu %10llu %10llu %10llu | %6.2f %6.2f %6.2f %6.2f %6.2f\n",
                base.c_str(), data.size(), static_cast<unsigned long long>(r.lzx),
                static_cast<unsigned long long>(r.opt),
                static_cast<unsigned long long>(r.mszip),
                static_cast<unsigned long long>(r.deflateX), static_cast<unsigned long long>(r.xz),
                r.lzxCpu, r.optCpu, r.mszipCpu, r.deflateCpu, r.xzCpu);
    std::fflush(stdout);
    totalBytes += data.size();
    total.lzx += r.lzx;
    total.opt += r.opt;
    total.optCpu += r.optCpu;
    total.mszip += r.mszip;
    total.deflateX += r.deflateX;
    total.xz += r.xz;
    total.lzxCpu += r.lzxCpu;
    total.mszipCpu += r.mszipCpu;
    total.deflateCpu += r.deflateCpu;
    total.xzCpu += r.xzCpu;
  }
  std::printf("%-20s %10llu %10llu %10llu %10llu %10llu %10llu | %6.2f %6.2f %6.2f %6.2f %6.2f\n",
              "total", static_cast<unsigned long long>(totalBytes),
              static_cast<unsigned long long>(total.lzx), static_cast<unsigned long long>(total.opt),
              static_cast<unsigned long long>(total.mszip),
              static_cast<unsigned long long>(total.deflateX),
              static_cast<unsigned long long>(total.xz), total.lzxCpu, total.optCpu, total.mszipCpu,
              total.deflateCpu, total.xzCpu);
  std::printf("LZX vs MSZIP: %.1f%% smaller, %.2fx the CPU time (target: >= 12%% smaller, <= 3x)\n",
              100.0 * (1.0 - double(total.lzx) / total.mszip), total.lzxCpu / total.mszipCpu);
  if (!quick)
    std::printf("LZX optimal vs MSZIP: %.1f%% smaller, %.2fx the CPU time\n",
                100.0 * (1.0 - double(total.opt) / total.mszip), total.optCpu / total.mszipCpu);
  return 0;
}
#else
int main() { return 0; }
#endif
