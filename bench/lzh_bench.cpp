// LZH benchmark: each corpus file compressed with lh5 and lh6 by TLha (in
// process, the whole writer: reading, CRC, engine, header) and by jlha (a
// process per file, JVM start included), side by side in one run.
//
//   lzh_bench [--runs N] [CORPUS_DIR]
//
// Sizes are the packed data of the entry (headers differ between the two:
// level 0 here, level 2 from jlha). Times are medians over the runs; "wall"
// is elapsed time, "cpu" the process's (or jlha's) user+system time, which
// is steadier when other work shares the machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "writers/kvtLha.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double wall = 0, cpu = 0;
};

struct Result {
  uint64_t packed = 0;
  std::string method;
  std::vector<Sample> samples;
  Sample Median() const {
    std::vector<double> w, c;
    for (const auto& s : samples) w.push_back(s.wall), c.push_back(s.cpu);
    std::sort(w.begin(), w.end());
    std::sort(c.begin(), c.end());
    return {w[w.size() / 2], c[c.size() / 2]};
  }
};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Packed size and method of the first entry (the packed field and the
// method sit at the same offsets in level-0 and level-2 headers).
bool FirstEntry(const std::string& archive, uint64_t& packed, std::string& method) {
  const auto a = ReadAll(archive);
  if (a.size() < 22) return false;
  packed = Le32(a, 7);
  method.assign(a.begin() + 2, a.begin() + 7);
  return true;
}

#ifndef _WIN32
double CpuSeconds(int who) {
  rusage r{};
  getrusage(who, &r);
  return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

std::string LoadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string one, five, fifteen;
  f >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool RunOurs(const std::string& file, vix::TCompressMethod method, const std::string& archive,
             Result& r) {
  std::remove(archive.c_str());
  vix::TLha lha(nullptr);
  lha.SetCompressMethod(method);
  lha.SetFileSpec({file});
  lha.SetArchiveFile(archive);
  bool ok = true;
  lha.OnError = [&](vix::TCompBase&, const std::string& f, const std::string& m,
                    const std::string&, int code) {
    std::fprintf(stderr, "error %d: %s: %s\n", code, f.c_str(), m.c_str());
    ok = false;
  };
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  const int written = lha.Compress();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  r.samples.push_back({wall, CpuSeconds(RUSAGE_SELF) - cpu0});
  return ok && written == 1 && FirstEntry(archive, r.packed, r.method);
}

bool RunJlha(const std::string& folder, const std::string& name, char digit,
             const std::string& archive, Result& r) {
  std::remove(archive.c_str());
  const std::string command = "cd " + Quote(folder) + " && exec jlha ao" + digit + "q " +
                              Quote(archive) + " " + Quote(name) + " > /dev/null 2>&1";
  const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
  const auto t0 = Clock::now();
  const int status = std::system(command.c_str());
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  r.samples.push_back({wall, CpuSeconds(RUSAGE_CHILDREN) - cpu0});
  return status == 0 && FirstEntry(archive, r.packed, r.method);
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  std::fputs("lzh_bench runs jlha and needs a POSIX system\n", stderr);
  return 2;
#else
  int runs = 3;
  const char* env = std::getenv("VIX_CORPUS");
  std::string corpus = env ? env : std::string(VIX_SOURCE_DIR) + "/../shared/corpus";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc)
      runs = std::max(1, std::atoi(argv[++i]));
    else
      corpus = arg;
  }
  if (std::system("command -v jlha > /dev/null 2>&1") != 0) {
    std::fputs("jlha not found (Debian package jlha-utils)\n", stderr);
    return 2;
  }
  std::vector<std::string> files;
  if (auto search = vix::platform::Current().FindFirst(corpus, "*")) {
    vix::platform::FindData d;
    while (search->Next(d))
      if (!(d.Attr & vix::platform::kAttrDirectory) && d.Name != "README.md" &&
          d.Name != "SHA256SUMS")
        files.push_back(d.Name);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "no corpus files in %s\n", corpus.c_str());
    return 2;
  }
  char work[] = "/tmp/vix-lzh-bench-XXXXXX";
  if (!mkdtemp(work)) return 2;
  const std::string ours = std::string(work) + "/ours.lzh", peer = std::string(work) + "/jlha.lzh";

  std::printf("LZH benchmark: %zu files, %d runs each (medians); load average %s\n", files.size(),
              runs, LoadAverage().c_str());
  std::printf("%-20s %3s %10s %10s %10s %6s %8s %8s %6s %8s %8s %6s\n", "file", "m", "bytes",
              "vix", "jlha", "size", "vix", "jlha", "speed", "vix", "jlha", "speed");
  std::printf("%-20s %3s %10s %10s %10s %6s %8s %8s %6s %8s %8s %6s\n", "", "", "", "packed",
              "packed", "ratio", "MB/s", "MB/s", "x", "cpuMB/s", "cpuMB/s", "x");
  bool failed = false;
  for (char digit : {'5', '6'}) {
    uint64_t totalIn = 0, totalOurs = 0, totalPeer = 0;
    double oursWall = 0, peerWall = 0, oursCpu = 0, peerCpu = 0;
    for (const auto& name : files) {
      const std::string path = corpus + "/" + name;
      const uint64_t size = ReadAll(path).size();
      Result a, b;
      bool ok = true;
      for (int run = 0; run < runs && ok; ++run) {
        ok = RunOurs(path, digit == '5' ? vix::cmFrozen5 : vix::cmFrozen6, ours, a) &&
             RunJlha(corpus, name, digit, peer, b);
      }
      if (!ok) {
        std::printf("%-20s lh%c  failed\n", name.c_str(), digit);
        failed = true;
        continue;
      }
      const Sample ma = a.Median(), mb = b.Median();
      const double mb_ = size / 1e6;
      std::printf("%-20s lh%c %10llu %10llu %10llu %6.3f %8.1f %8.1f %6.2f %8.1f %8.1f %6.2f%s%s\n",
                  name.c_str(), digit, static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(a.packed),
                  static_cast<unsigned long long>(b.packed),
                  static_cast<double>(a.packed) / b.packed, mb_ / ma.wall, mb_ / mb.wall,
                  mb.wall / ma.wall, mb_ / ma.cpu, mb_ / mb.cpu, mb.cpu / ma.cpu,
                  a.method == "-lh0-" ? " vix stored" : "",
                  b.method == "-lh0-" ? " jlha stored" : "");
      std::fflush(stdout);
      totalIn += size;
      totalOurs += a.packed;
      totalPeer += b.packed;
      oursWall += ma.wall;
      peerWall += mb.wall;
      oursCpu += ma.cpu;
      peerCpu += mb.cpu;
    }
    std::printf("%-20s lh%c %10llu %10llu %10llu %6.3f %8.1f %8.1f %6.2f %8.1f %8.1f %6.2f\n",
                "WHOLE CORPUS", digit, static_cast<unsigned long long>(totalIn),
                static_cast<unsigned long long>(totalOurs),
                static_cast<unsigned long long>(totalPeer),
                static_cast<double>(totalOurs) / totalPeer, totalIn / 1e6 / oursWall,
                totalIn / 1e6 / peerWall, peerWall / oursWall, totalIn / 1e6 / oursCpu,
                totalIn / 1e6 / peerCpu, peerCpu / oursCpu);
    std::printf("  ratio to input: vix %.4f, jlha %.4f\n",
                static_cast<double>(totalOurs) / totalIn, static_cast<double>(totalPeer) / totalIn);
  }
  std::printf("load average at the end: %s\n", LoadAverage().c_str());
  std::remove(ours.c_str());
  std::remove(peer.c_str());
  rmdir(work);
  return failed ? 1 : 0;
#endif
}
