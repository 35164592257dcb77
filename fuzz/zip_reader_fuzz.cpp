// The reader of existing ZIP archives on arbitrary bytes: the directory walk
// of ReadFirstHeader/ReadNextHeader and LoadEntries. Besides crashes it
// checks the promise the driver's byte copy relies on: every kept entry's
// local header, name, extra field and data lie inside the archive.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "writers/kvtZipIT.h"

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vix;
  platform::MemoryStream archive(std::vector<uint8_t>(data, data + size));
  TZip zip(nullptr);

  std::string name;
  int records = 0;
  for (bool more = zip.ReadFirstHeader(name, &archive); more && records < 70000; ++records)
    more = zip.ReadNextHeader(name, &archive);

  zip.LoadEntries(&archive);
  for (int i = 0; i < zip.EntryList.Count(); ++i) {
    const TCompBaseHeaderObj& entry = zip.EntryList.Object(i);
    uint8_t local[30];
    if (!archive.Seek(entry.Offset, platform::Origin::Begin) ||
        archive.Read(local, sizeof local) != static_cast<int64_t>(sizeof local))
      __builtin_trap();
    const uint64_t end = uint64_t{entry.Offset} + zip.EntryOverhead(0) + Le16(local + 26) +
                         Le16(local + 28) + entry.PackedSize;
    if (end > size) __builtin_trap();
  }
  return 0;
}
