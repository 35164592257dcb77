// What the benchmarks share: the corpus's files and a shell-quoted name for
// the peers' command lines.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace bench {

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The corpus's data files, sorted; its own README and check sums are no data.
inline std::vector<std::string> CorpusFiles(const std::string& dir) {
  std::vector<std::string> files;
  auto search = vix::platform::Current().FindFirst(dir + "/", "*");
  vix::platform::FindData data;
  while (search && search->Next(data)) {
    if (data.Name[0] == '.' || (data.Attr & vix::platform::kAttrDirectory)) continue;
    if (data.Name == "README.md" || data.Name == "SHA256SUMS") continue;
    files.push_back(dir + "/" + data.Name);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace bench
