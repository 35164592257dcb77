// Shared by the verifier's tests: generated contents, a CRC of their own,
// and archives written by our writers into a scratch folder.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/WriterChoice.h"
#include "archive/kvtBase.h"
#include "support/temp_dir.h"
#include "verify/archive_readers.h"
#include "writers/kvtZipIT.h"

namespace vix::verifytest {

using Files = std::vector<std::pair<std::string, std::string>>;

inline uint32_t BitCrc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return c ^ 0xFFFFFFFFu;
}

inline std::string Words(size_t size, unsigned seed = 1) {
  static const char* const kWords[] = {"archive ", "header ", "entry ", "window ", "block ",
                                       "match ", "literal ", "folder\n"};
  std::mt19937 r(seed);
  std::string s;
  while (s.size() < size) s += kWords[r() % 8];
  return s.substr(0, size);
}

inline std::string Noise(size_t size, unsigned seed = 7) {
  std::mt19937 r(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(r());
  return s;
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes `files` into dir/src and archives them, without verification, as
// `format`/`method` into dir/NAME; returns the archive's path ("" when the
// writer reported anything).
inline std::string WriteWith(const test::TempDir& dir, const std::string& format,
                             const std::string& method, const Files& files,
                             const std::string& name, const std::string& password = "") {
  std::vector<std::string> spec;
  for (const auto& f : files) spec.push_back(dir.WriteFile("src/" + f.first, f.second));
  auto writer = app::MakeWriter(format);
  if (!writer) return "";
  app::ApplyMethod(*writer, *app::FindMethod(format, method));
  writer->StoredDirNames = sdRelative;
  writer->SetDefaultDir(dir.Join("src"));
  if (auto* zip = dynamic_cast<TZip*>(writer.get())) zip->Password = password;
  int errors = 0;
  writer->OnError = [&](TCompBase&, const std::string&, const std::string&, const std::string&,
                        int) { ++errors; };
  writer->SetFileSpec(spec);
  writer->SetArchiveFile(dir.Join(name));
  writer->Compress();
  return errors ? "" : writer->ArchiveFile() + (format == "tar" && method == "tgz" ? ".gz" : "");
}

inline verify::ReadResult ReadBytes(const std::string& format, const std::string& bytes,
                                    const std::string& password = "") {
  verify::MemoryAccess mem(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (format == "zip") return verify::ReadZipArchive(mem, password);
  if (format == "lzh") return verify::ReadLzhArchive(mem);
  if (format == "cab") return verify::ReadCabArchive(mem);
  if (format == "tar") return verify::ReadTarArchive(mem);
  return verify::ReadGzipArchive(mem);
}

}  // namespace vix::verifytest
