// A Platform double for archives of any size without writing them to disk.
//
//   test::SparsePlatform sparse;
//   platform::ScopedPlatform use(sparse);
//   sparse.AddFile(tmp.Join("big.bin"), 5 * kGiB, "tail");  // 5 GiB, no disk
//   ... run a writer on tmp ...
//   const test::SparseData& zip = sparse.Recorded(tmp.Join("out.zip"));
//   zip.Size();             // 5 GiB and more
//   zip.Bytes(at, 30);      // a header, parsed in memory
//
// Inputs: AddFile(path, size, tail) makes `path` (a real, empty placeholder
// is created so that searches and attributes see it) read as `size` bytes:
// zeros, ending in `tail`. Searches report the virtual size.
// Outputs: every file created or opened for writing through this platform is
// kept in memory as a sparse file: 4 KiB pages that hold a byte other than
// zero are stored, the rest are holes that read as zeros. Archives of zero
// data are thus recorded in full (their headers, sizes and offsets) for
// the cost of their headers; reading one back (an update, the TAR-GZIP step)
// gives exactly what was written. Renames, moves and deletions of recorded
// files carry the record along (the empty placeholder on disk follows them).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vix::test {

constexpr uint64_t kGiB = uint64_t{1} << 30;

// The content of a sparse file: stored pages and holes of zeros.
class SparseData {
 public:
  static constexpr uint64_t kPage = 4096;

  uint64_t Size() const { return size_; }
  // Bytes [at, at + count) as a file would read them (cut at the end).
  std::vector<uint8_t> Bytes(uint64_t at, size_t count) const;
  // The bytes held in memory (stored pages).
  uint64_t StoredBytes() const { return pages_.size() * kPage; }

  void Write(uint64_t at, const uint8_t* data, size_t count);
  size_t Read(uint64_t at, uint8_t* to, size_t count) const;
  void Resize(uint64_t size);

 private:
  std::map<uint64_t, std::vector<uint8_t>> pages_;  // page number -> kPage bytes
  uint64_t size_ = 0;
};

class SparsePlatform : public platform::Platform {
 public:
  // A virtual input file (see the header comment).
  void AddFile(const std::string& path, uint64_t size, const std::string& tail = {});
  // The record of a file written through this platform; throws when none.
  const SparseData& Recorded(const std::string& path);
  bool IsRecorded(const std::string& path);

  platform::FileHandle OpenRead(const std::string& path, platform::ShareMode share) override;
  platform::FileHandle OpenReadWrite(const std::string& path) override;
  platform::FileHandle Create(const std::string& path, bool overwrite) override;
  bool MoveFile(const std::string& from, const std::string& to) override;
  bool RenameFile(const std::string& from, const std::string& to, bool replace) override;
  bool DeleteFile(const std::string& path) override;
  bool RecycleFile(const std::string& path) override;
  std::unique_ptr<platform::FindHandle> FindFirst(const std::string& folder,
                                                  const std::string& mask) override;

 private:
  struct Virtual {
    uint64_t Size = 0;
    std::string Tail;
  };
  std::string Key(const std::string& path);
  void Carry(const std::string& from, const std::string& to);

  std::map<std::string, Virtual> inputs_;
  std::map<std::string, std::shared_ptr<SparseData>> outputs_;
};

}  // namespace vix::test
