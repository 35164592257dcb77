// Reads arbitrary bytes as an existing TAR archive: the entries loaded for an
// update, then each copied under a new name, as the driver would.
#include <cstdint>
#include <vector>

#include "archive/kvtErrors.h"
#include "platform/platform.h"
#include "writers/kvtTar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vix::TTar tar(nullptr);
  tar.TranslateOemChar = (size & 1) != 0;
  vix::platform::MemoryStream source(std::vector<uint8_t>(data, data + size));
  tar.LoadEntries(&source);
  if (tar.Discard) return 0;
  // Every entry loaded lies inside the archive, its header checked. What is
  // copied is its blocks (CopyLength): a folder's size field announces no
  // data, so its size may well reach past the end.
  for (int i = 0; i < tar.EntryList.Count(); ++i) {
    const auto& e = tar.EntryList.Object(i);
    if (e.Offset % 512 != 0 || e.CopyLength % 512 != 0 || e.CopyLength < 512 ||
        e.Offset + e.CopyLength > size)
      __builtin_trap();
  }
  for (int i = 0; i < tar.EntryList.Count(); ++i) {
    vix::platform::MemoryStream target;
    tar.EntryList.SetLine(i, tar.EntryList.Line(i) + "-renamed");
    try {
      tar.CopyEntry(&source, &target, 0, i);
    } catch (const vix::E_RAISE&) {
      __builtin_trap();  // the entry was checked when it was loaded
    }
    if (target.Data().size() % 512 != 0) __builtin_trap();
  }
  return 0;
}
