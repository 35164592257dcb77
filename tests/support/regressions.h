// The regression folders (tests/regressions/<format>): archives of other
// tools and damaged ones, each a case of its own. What a file must come to
// is in its name, so adding a file to the folder is all a new case needs:
// "damaged-..." and "refused-..." are archives a writer must refuse to
// update and leave as they are; any other name is kept, its entries byte for
// byte.
#pragma once

#include <string>
#include <vector>

namespace vix::test {

struct RegressionFile {
  std::string Name, Path;
  bool Refused;
};

// The folder's files ending in `extension` (".zip"), sorted by name.
std::vector<RegressionFile> RegressionFiles(const std::string& format, const std::string& extension);
// A file of the folder by name (a companion such as "kept-links.cut").
std::string RegressionPath(const std::string& format, const std::string& name);

}  // namespace vix::test
