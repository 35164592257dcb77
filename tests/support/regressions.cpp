#include "support/regressions.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace vix::test {

std::string RegressionPath(const std::string& format, const std::string& name) {
  return VIX_SOURCE_DIR "/tests/regressions/" + format + (name.empty() ? "" : "/" + name);
}

std::vector<RegressionFile> RegressionFiles(const std::string& format,
                                            const std::string& extension) {
  namespace fs = std::filesystem;
  std::vector<RegressionFile> files;
  std::error_code ec;
  for (fs::directory_iterator it(fs::u8path(RegressionPath(format, ""))), end; it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().u8string();
    if (name.size() <= extension.size() ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
      continue;
    const bool refused = name.rfind("damaged-", 0) == 0 || name.rfind("refused-", 0) == 0;
    files.push_back({name, RegressionPath(format, name), refused});
  }
  std::sort(files.begin(), files.end(),
            [](const RegressionFile& a, const RegressionFile& b) { return a.Name < b.Name; });
  return files;
}

}  // namespace vix::test
