// A writer run over a scratch tree: the one way the writer tests drive a
// component. Every report of every run lands in `errors`.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/kvtBase.h"
#include "support/error_log.h"
#include "support/temp_dir.h"

namespace vix::test {

// Sets the component's OnReplaceFile to give the same answer every time.
inline void AnswerReplace(TCompBase& component, bool replace) {
  component.OnReplaceFile = [replace](TCompBase&, const std::string&, const std::string&,
                                      TDateTime, TDateTime, uint32_t, uint32_t, int, int,
                                      bool& answer) { answer = replace; };
}

template <class W>
class WriterRun {
 public:
  TempDir dir;
  ErrorLog errors;
  // The kept writer: options set on it hold for every RunKept, as they do
  // for a program that reuses its component.
  W writer{nullptr};
  // What every new writer of Run gets before the call's own setup.
  std::function<void(W&)> Prepare;

  WriterRun() { errors.Attach(writer); }

  // A new writer for this run only, so that nothing one run sets leaks into
  // the next. Paths are used as given (dir / "src" / "*").
  int Run(const std::vector<std::string>& specs, const std::string& archive,
          const std::function<void(W&)>& setup = nullptr) {
    W fresh(nullptr);
    errors.Attach(fresh);
    if (Prepare) Prepare(fresh);
    return Compress(fresh, specs, archive, setup);
  }
  int RunKept(const std::vector<std::string>& specs, const std::string& archive,
              const std::function<void(W&)>& setup = nullptr) {
    return Compress(writer, specs, archive, setup);
  }

 private:
  static int Compress(W& w, const std::vector<std::string>& specs, const std::string& archive,
                      const std::function<void(W&)>& setup) {
    w.SetFileSpec(specs);
    w.SetArchiveFile(archive);
    if (setup) setup(w);
    return w.Compress();
  }
};

// A fixture whose tests call Run, dir and errors as their own.
template <class W>
class WriterTest : public ::testing::Test, public WriterRun<W> {
 protected:
  using WriterRun<W>::Run;  // not the Test's own
};

}  // namespace vix::test
