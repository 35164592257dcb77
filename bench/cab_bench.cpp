// MSZIP cabinets of the corpus: the CAB writer (built-in cabinet library)
// beside gcab as a process, in one run.
//
//   cab_bench [CORPUS_DIR] [REPETITIONS] [TREE_DIR]
//
// It writes one cabinet of every corpus file with TMakeCab and with
// `gcab -c -z`, alternating, and reports the sizes and the best wall and CPU
// times (the CPU time of gcab is its child-process usage). Then it encodes
// the corpus as MSZIP blocks at each deflate level (with the folder's
// history, as the library does) beside zlib compressing each block on its
// own (what gcab does in-process), to show where the library's level sits.
// With TREE_DIR (many small files, e.g. /usr/include) it first writes that
// tree as an MSZIP cabinet on one thread and on two, alternating, and
// reports the median wall and CPU times and that both cabinets are the same.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <zlib.h>

#include "archive/kvtNames.h"
#include "bench_corpus.h"
#include "platform/platform.h"
#include "writers/cabinet/cabformat.h"
#include "writers/kvtMakeCab.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double wall = 1e30, cpu = 1e30;
  uint64_t size = 0;
};

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

uint64_t FileSize(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  return f ? static_cast<uint64_t>(f.tellg()) : 0;
}

using bench::CorpusFiles;
using bench::Quote;

void Keep(Sample& best, double wall, double cpu, uint64_t size) {
  best.wall = std::min(best.wall, wall);
  best.cpu = std::min(best.cpu, cpu);
  best.size = size;
}

bool RunWriter(const std::string& corpus, const std::string& out, Sample& best) {
  vix::platform::Current().DeleteFile(out);
  vix::TMakeCab cab(nullptr);
  int errors = 0;
  cab.OnError = [&](vix::TCompBase&, const std::string& f, const std::string& x, const std::string&,
                    int code) {
    std::fprintf(stderr, "error %d: %s %s\n", code, f.c_str(), x.c_str());
    ++errors;
  };
  cab.SetCompressMethod(vix::cmMsZip);
  cab.SetFileSpec({corpus + "/*"});
  cab.SetArchiveFile(out);
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  cab.Compress();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  Keep(best, wall, CpuSeconds(RUSAGE_SELF) - cpu0, FileSize(out));
  return errors == 0;
}

// One cabinet of the whole tree on `threads` threads; its bytes in `bytes`.
bool RunTree(const std::string& tree, const std::string& out, unsigned threads, double& wall,
             double& cpu, std::string& bytes) {
  vix::platform::Current().DeleteFile(out);
  vix::TMakeCab cab(nullptr);
  int errors = 0;
  cab.OnError = [&](vix::TCompBase&, const std::string&, const std::string&, const std::string&,
                    int) { ++errors; };
  cab.SetCompressMethod(vix::cmMsZip);
  cab.RecurseDirs = true;
  cab.Threads = threads;
  cab.SetFileSpec({tree + "/*"});
  cab.SetArchiveFile(out);
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  cab.Compress();
  wall = std::chrono::duration<double>(Clock::now() - t0).count();
  cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  std::ifstream f(out, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (errors) std::fprintf(stderr, "%d files of the tree could not be stored\n", errors);
  return !bytes.empty();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Many small files: one thread against two, alternated run by run.
bool TreeTable(const std::string& tree, const std::string& out, int reps) {
  std::vector<double> wall[2], cpu[2];
  std::string bytes[2];
  for (int i = 0; i < reps; ++i) {
    for (int k = 0; k < 2; ++k) {
      const int which = (i + k) % 2;  // 0: one thread, 1: two
      double w = 0, c = 0;
      if (!RunTree(tree, out, which + 1, w, c, bytes[which])) return false;
      wall[which].push_back(w);
      cpu[which].push_back(c);
    }
  }
  vix::platform::Current().DeleteFile(out);
  std::printf("\nMSZIP cabinet of %s (%zu bytes), median of %d:\n", tree.c_str(), bytes[0].size(),
              reps);
  std::printf("  %-12s %9s %9s\n", "threads", "wall s", "cpu s");
  for (int k = 0; k < 2; ++k)
    std::printf("  %-12d %9.2f %9.2f\n", k + 1, Median(wall[k]), Median(cpu[k]));
  std::printf("  two threads %.2fx as fast; cabinets %s\n", Median(wall[0]) / Median(wall[1]),
              bytes[0] == bytes[1] ? "the same" : "DIFFER");
  return bytes[0] == bytes[1];
}

bool RunGcab(const std::vector<std::string>& files, const std::string& out, Sample& best) {
  std::remove(out.c_str());
  std::string command = "gcab -c -z " + Quote(out);
  for (const auto& f : files) command += " " + Quote(f);
  const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
  const auto t0 = Clock::now();
  const int rc = std::system(command.c_str());
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  Keep(best, wall, CpuSeconds(RUSAGE_CHILDREN) - cpu0, FileSize(out));
  return rc == 0;
}

std::vector<uint8_t> ReadAll(const std::vector<std::string>& files) {
  std::vector<uint8_t> all;
  for (const auto& name : files) {
    std::ifstream f(name, std::ios::binary);
    all.insert(all.end(), std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  return all;
}

void LevelTable(const std::vector<uint8_t>& all) {
  constexpr size_t kBlock = vix::cab::kBlockSize;
  std::printf("\nMSZIP blocks of the corpus (%zu bytes), one pass each:\n", all.size());
  std::printf("  %-34s %12s %8s\n", "encoder", "bytes", "seconds");
  std::vector<uint8_t> out;
  for (int level = 1; level <= 9; ++level) {
    const auto t0 = Clock::now();
    uint64_t total = 0;
    for (size_t p = 0; p < all.size(); p += kBlock) {
      const size_t n = std::min(kBlock, all.size() - p);
      const size_t history = std::min(p, kBlock);
      vix::cab::EncodeMszipBlock(all.data() + p - history, history, all.data() + p, n, level, out);
      total += out.size();
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("  deflate level %d, with history      %12llu %8.2f\n", level,
                static_cast<unsigned long long>(total), s);
  }
  for (int level : {6, 9}) {
    const auto t0 = Clock::now();
    uint64_t total = 0;
    std::vector<uint8_t> buffer(deflateBound(nullptr, kBlock) + 64);
    for (size_t p = 0; p < all.size(); p += kBlock) {
      z_stream z{};
      deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
      z.next_in = const_cast<uint8_t*>(all.data() + p);
      z.avail_in = static_cast<uInt>(std::min(kBlock, all.size() - p));
      z.next_out = buffer.data();
      z.avail_out = static_cast<uInt>(buffer.size());
      deflate(&z, Z_FINISH);
      total += 2 + z.total_out;
      deflateEnd(&z);
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("  zlib level %d, each block alone      %12llu %8.2f\n", level,
                static_cast<unsigned long long>(total), s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus = argc > 1 ? argv[1] : VIX_SOURCE_DIR "/../shared/corpus";
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::vector<std::string> files = CorpusFiles(corpus);
  if (files.empty()) {
    std::fprintf(stderr, "no corpus files in %s\n", corpus.c_str());
    return 2;
  }
  const std::string temp = vix::platform::Current().TempFolder();
  const std::string ours = temp + "vix-bench.cab", peer = temp + "gcab-bench.cab";
  double load[3] = {};
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(f);
  }
  std::printf("corpus: %zu files; load average before: %.2f %.2f %.2f\n", files.size(), load[0],
              load[1], load[2]);

  if (argc > 3 && !TreeTable(argv[3], ours, reps)) {
    std::fprintf(stderr, "the tree run failed\n");
    return 1;
  }

  Sample writer, gcab;
  for (int i = 0; i < reps; ++i) {
    // Alternate the order, so that neither always runs on a warmer cache.
    const bool ok = i % 2 == 0 ? RunWriter(corpus, ours, writer) && RunGcab(files, peer, gcab)
                               : RunGcab(files, peer, gcab) && RunWriter(corpus, ours, writer);
    if (!ok) {
      std::fprintf(stderr, "a run failed\n");
      return 1;
    }
  }
  std::printf("\nMSZIP cabinet of the corpus, best of %d:\n", reps);
  std::printf("  %-12s %12s %9s %9s\n", "writer", "bytes", "wall s", "cpu s");
  std::printf("  %-12s %12llu %9.2f %9.2f\n", "TMakeCab",
              static_cast<unsigned long long>(writer.size), writer.wall, writer.cpu);
  std::printf("  %-12s %12llu %9.2f %9.2f\n", "gcab -c -z",
              static_cast<unsigned long long>(gcab.size), gcab.wall, gcab.cpu);
  std::printf("  size ratio %.4f (%.1f%% smaller), wall ratio %.2f, cpu ratio %.2f\n",
              double(writer.size) / gcab.size, 100.0 * (1.0 - double(writer.size) / gcab.size),
              writer.wall / gcab.wall, writer.cpu / gcab.cpu);
  const std::string check = "cabextract -q -t " + Quote(ours) + " >/dev/null";
  std::printf("  cabextract -t of our cabinet: %s\n",
              std::system(check.c_str()) == 0 ? "ok" : "FAILED");
  vix::platform::Current().DeleteFile(ours);
  vix::platform::Current().DeleteFile(peer);

  LevelTable(ReadAll(files));
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) == 3)
      std::printf("\nload average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    std::fclose(f);
  }
  return 0;
}

#else
int main() {
  std::puts("cab_bench runs gcab as a process and is built natively only");
  return 0;
}
#endif
