// The LZH writer's reading of existing archives: LoadEntries over arbitrary
// bytes, then each kept entry copied as the driver copies it and under a new
// name. Every entry accepted must lie inside the input, so neither copy may
// come out short.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/kvtErrors.h"
#include "platform/platform.h"
#include "writers/kvtLha.h"

using vix::platform::MemoryStream;
using vix::platform::Origin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryStream source(std::vector<uint8_t>(data, data + size));
  vix::TLha lha(nullptr);
  lha.LoadEntries(&source);
  if (lha.Discard) return 0;
  MemoryStream target;
  for (int i = 0; i < lha.EntryList.Count(); ++i) {
    vix::TCompBaseHeaderObj& entry = lha.EntryList.Object(i);
    const std::string stored = vix::platform::Utf8ToOem(lha.EntryList.Line(i));
    const uint64_t whole = uint64_t{lha.EntryOverhead(0)} + entry.PackedSize + stored.size();
    if (entry.Offset + whole > size) std::abort();
    lha.EntryList.SetLine(i, "renamed-" + std::to_string(i));
    source.Seek(entry.Offset, Origin::Begin);
    try {
      lha.CopyEntry(&source, &target, 0, i);
    } catch (const vix::E_RAISE&) {
      std::abort();  // a short copy: the entry was not where it was said to be
    }
  }
  return 0;
}
