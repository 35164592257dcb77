// Every error a component reports during a test, in the order reported.
#pragma once

#include <string>
#include <vector>

#include "archive/kvtBase.h"

namespace vix::test {

class ErrorLog {
 public:
  struct Report {
    int Code;
    std::string File, Extended;
  };
  std::vector<Report> Reports;

  // Routes the component's OnError here (replacing any handler it had).
  void Attach(TCompBase& component);

  std::vector<int> Codes() const;
  // "file: why" of each report, what a user would be shown.
  std::vector<std::string> Messages() const;
  bool Empty() const { return Reports.empty(); }
  void Clear() { Reports.clear(); }
};

}  // namespace vix::test
