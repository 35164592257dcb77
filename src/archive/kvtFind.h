// Directory search with an attribute filter, as the file search uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace vix {

// One search and the entry it is at.
struct TSearchRec {
  uint32_t Time = 0;  // DOS stamp (local time) of the last write
  uint32_t Size = 0;  // low 32 bits of the size
  uint64_t FullSize = 0;
  uint32_t Attr = 0;
  std::string Name;
  platform::FileId Id;
  uint32_t ExcludeAttr = 0;
  // Why the folder could not be searched (kFindCannotRead).
  std::string Error;
  std::unique_ptr<platform::FindHandle> Handle;
};

// Result codes: 0 success, the system's "not found" codes, or
// kFindCannotRead for a folder that exists but cannot be read or searched.
enum : int { kFindOk = 0, kFindNoFiles = 2, kFindNoMoreFiles = 18, kFindCannotRead = 5 };

// Searches `folder` for `mask`. Entries carrying any of the attributes
// (not `attributes`) and 0x3F are skipped, so attributes 0x10 passes plain
// folders only and 0x3F passes everything.
int FindFirstEntry(const std::string& folder, const std::string& mask, uint32_t attributes,
                   TSearchRec& rec);
int FindNextEntry(TSearchRec& rec);
void FindCloseEntry(TSearchRec& rec);

}  // namespace vix
