// What the ZIP tests check archives with: a parser that follows the
// published record layouts (it shares nothing with the writer), the corpus
// of existing archives, and a runner that keeps one TZip over real files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/kvtCrc.h"
#include "support/files.h"
#include "support/reference.h"
#include "support/regressions.h"
#include "support/writer_run.h"
#include "writers/kvtZipIT.h"

namespace vix::test {

inline uint32_t Crc32(const std::string& data) { return ReferenceCrc32(data.data(), data.size()); }

struct Entry {
  std::string Name, Local, Central, CentralExtra, Comment;
  std::string Data;   // the stored bytes
  std::string Whole;  // local header, name, extra field and data: what an update keeps
  uint32_t Offset = 0;
  uint32_t Flags() const { return Le16(Central, 8); }
  uint32_t Method() const { return Le16(Central, 10); }
  uint32_t Crc() const { return Le32(Central, 16); }
  uint32_t Packed() const { return Le32(Central, 20); }
  uint32_t Size() const { return Le32(Central, 24); }
  uint32_t External() const { return Le32(Central, 38); }
};

struct Archive {
  std::vector<Entry> Entries;
  std::string Comment;
  const Entry* Find(const std::string& name) const {
    for (const auto& e : Entries)
      if (e.Name == name) return &e;
    return nullptr;
  }
};

// Fails the test on anything but a sound single-disk archive whose end
// record closes the file.
inline bool Parse(const std::string& b, Archive& a) {
  size_t end = b.size() >= 22 ? b.size() - 22 + 1 : 0;
  while (end-- > 0 && !(Le32(b, end) == 0x06054B50 && end + 22 + Le16(b, end + 20) == b.size())) {
  }
  if (end == std::string::npos) return ADD_FAILURE() << "no end record", false;
  a = Archive();
  a.Comment = b.substr(end + 22);
  size_t c = Le32(b, end + 16);
  EXPECT_EQ(c + Le32(b, end + 12), end) << "directory offset + size";
  EXPECT_EQ(Le32(b, end + 4), 0u) << "disk numbers";
  for (uint32_t i = 0; i < Le16(b, end + 10); ++i) {
    if (c + 46 > end || Le32(b, c) != 0x02014B50) return ADD_FAILURE() << "record " << i, false;
    Entry e;
    e.Central = b.substr(c, 46);
    const size_t n = Le16(b, c + 28), x = Le16(b, c + 30), m = Le16(b, c + 32);
    e.Name = b.substr(c + 46, n);
    e.CentralExtra = b.substr(c + 46 + n, x);
    e.Comment = b.substr(c + 46 + n + x, m);
    c += 46 + n + x + m;
    e.Offset = Le32(e.Central, 42);
    if (Le32(b, e.Offset) != 0x04034B50) return ADD_FAILURE() << e.Name, false;
    e.Local = b.substr(e.Offset, 30);
    const size_t data = e.Offset + 30 + Le16(e.Local, 26) + Le16(e.Local, 28);
    e.Data = b.substr(data, e.Packed());
    e.Whole = b.substr(e.Offset, data + e.Packed() - e.Offset);
    a.Entries.push_back(e);
  }
  return true;
}

// A TZip kept over a scratch folder: options set on `zip` hold for every
// run, as in a program that reuses its component.
struct ZipRun : WriterRun<TZip> {
  TZip& zip = writer;

  std::string Archive() const { return dir.Join("out.zip"); }
  // Compresses the lines (relative to the scratch folder) into out.zip.
  int Run(const std::vector<std::string>& lines) {
    std::vector<std::string> spec;
    for (const auto& l : lines) spec.push_back(dir.Join(l));
    return RunKept(spec, Archive());
  }
  std::string Bytes() const { return dir.ReadFile("out.zip"); }
  // Starts from a corpus archive as out.zip; returns its bytes.
  std::string UseCorpus(const std::string& name) {
    auto file = platform::Current().OpenRead(RegressionPath("zip", name), platform::ShareMode::Read);
    std::string bytes(file ? static_cast<size_t>(file->Size()) : 0, '\0');
    if (!bytes.empty()) {
      EXPECT_EQ(file->Read(bytes.data(), bytes.size()), int64_t(bytes.size()));
    }
    dir.WriteFile("out.zip", bytes);
    return bytes;
  }
};

}  // namespace vix::test
