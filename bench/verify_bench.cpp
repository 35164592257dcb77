// The check before commit against the writing it follows: for ZIP (deflate
// N), LZH (lh5), CAB MSZIP and CAB LZX it writes the corpus into one
// archive with the writer, then reads that archive back with the verifier's
// reader (every entry decoded and its CRC computed), and reports the best
// wall time of each over the repetitions.
//
//   verify_bench [CORPUS_DIR] [REPETITIONS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "archive/kvtNames.h"
#include "bench_corpus.h"
#include "platform/platform.h"
#include "verify/verify_archive.h"
#include "writers/kvtLha.h"
#include "writers/kvtMakeCab.h"
#include "writers/kvtZipIT.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Kind {
  const char* Name;
  const char* Ext;
  vix::TCompressMethod Method;
};

std::unique_ptr<vix::TCompBase> Writer(const Kind& k) {
  std::unique_ptr<vix::TCompBase> w;
  if (std::string(k.Ext) == "zip") w = std::make_unique<vix::TZip>(nullptr);
  if (std::string(k.Ext) == "lzh") w = std::make_unique<vix::TLha>(nullptr);
  if (std::string(k.Ext) == "cab") w = std::make_unique<vix::TMakeCab>(nullptr);
  w->SetCompressMethod(k.Method);
  w->StoredDirNames = vix::sdNone;
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus = argc > 1 ? argv[1] : VIX_SOURCE_DIR "/../shared/corpus";
  const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
  const auto files = bench::CorpusFiles(corpus);
  if (files.empty()) {
    std::fprintf(stderr, "verify_bench: no corpus in %s\n", corpus.c_str());
    return 1;
  }
  auto& os = vix::platform::Current();
  const std::string out = vix::AppendBackslash(os.TempFolder()) + "verify_bench.";
  const Kind kinds[] = {{"ZIP deflate N", "zip", vix::cmDeflate},
                        {"LZH lh5", "lzh", vix::cmFrozen5},
                        {"CAB MSZIP", "cab", vix::cmMsZip},
                        {"CAB LZX", "cab", vix::cmLzx}};
  std::printf("%-14s %10s %10s %8s\n", "archive", "write s", "check s", "ratio");
  for (const Kind& k : kinds) {
    const std::string archive = out + k.Ext;
    double write = 1e30, check = 1e30;
    for (int r = 0; r < reps; ++r) {
      os.DeleteFile(archive);
      auto w = Writer(k);
      w->SetFileSpec(files);
      w->SetArchiveFile(archive);
      const auto t0 = Clock::now();
      w->Compress();
      write = std::min(write, Seconds(t0));
      auto f = os.OpenRead(archive, vix::platform::ShareMode::Read);
      if (!f) return 1;
      vix::verify::StreamAccess access(*f);
      const auto t1 = Clock::now();
      const auto read = vix::verify::ReadArchive(access, w->ArcType(), "");
      check = std::min(check, Seconds(t1));
      if (!read.Ok() || read.Entries.size() != files.size()) {
        std::fprintf(stderr, "verify_bench: %s: %s\n", k.Name, read.Error.c_str());
        return 1;
      }
    }
    os.DeleteFile(archive);
    std::printf("%-14s %10.3f %10.3f %8.2f\n", k.Name, write, check, check / write);
  }
  return 0;
}
