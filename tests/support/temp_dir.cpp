#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#include "platform/platform.h"

namespace vix::test {
namespace fs = std::filesystem;

namespace {

// UTF-8 names on both platforms (the narrow path of Windows would take the
// ANSI code page).
fs::path U8(const std::string& s) { return fs::u8path(s); }

}  // namespace

TempDir::TempDir() {
  platform::Platform real;  // never a test double
  std::string base = real.TempFolder();
  if (base.empty()) base = fs::temp_directory_path().u8string();
  static std::atomic<unsigned> counter{0};
  std::mt19937 random(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count()) ^ counter++);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = U8(base) / U8("vixtest-" + std::to_string(random() % 100000000));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.u8string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder under " + base);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files would stop the removal on Windows.
  for (auto it = fs::recursive_directory_iterator(U8(path_), ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (!it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
  fs::remove_all(U8(path_), ec);
}

std::string TempDir::Join(const std::string& relative) const {
  if (relative.empty()) return path_;
  return (U8(path_) / U8(relative).make_preferred()).u8string();
}

std::string TempDir::WriteFile(const std::string& relative, const std::string& bytes) const {
  const fs::path path = U8(Join(relative));
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.u8string());
  return path.u8string();
}

std::string TempDir::ReadFile(const std::string& relative) const {
  const fs::path path = U8(Join(relative));
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.u8string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempDir::MakeDir(const std::string& relative) const {
  const fs::path path = U8(Join(relative));
  fs::create_directories(path);
  return path.u8string();
}

bool TempDir::Exists(const std::string& relative) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(U8(Join(relative)), ec));
}

}  // namespace vix::test
