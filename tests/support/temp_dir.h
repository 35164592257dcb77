// A scoped temporary folder for tests that touch real files.
//
// The folder is made under the platform's temporary folder with a unique
// name and removed with everything in it when the object goes. Relative
// names given to the helpers may use "/" on every platform; they are turned
// into native paths. The helpers use the standard library, not the
// platform layer, so that the layer's own tests do not check it with itself.
#pragma once

#include <string>

namespace vix::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, without a trailing delimiter.
  const std::string& Path() const { return path_; }
  // The native path of `relative` inside the folder (Path() for "").
  std::string Join(const std::string& relative) const;

  // Writes `bytes` to the file, creating missing folders; returns its path.
  std::string WriteFile(const std::string& relative, const std::string& bytes) const;
  // The whole content of a file; throws std::runtime_error when unreadable.
  std::string ReadFile(const std::string& relative) const;
  // Creates the folder and missing parents; returns its path.
  std::string MakeDir(const std::string& relative) const;
  bool Exists(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace vix::test
