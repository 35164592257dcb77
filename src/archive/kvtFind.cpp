#include "archive/kvtFind.h"

namespace vix {

namespace {

int Advance(TSearchRec& rec) {
  platform::FindData data;
  while (rec.Handle && rec.Handle->Next(data)) {
    if (data.Attr & rec.ExcludeAttr) continue;
    rec.Time = data.Time;
    rec.FullSize = data.Size;
    rec.Size = static_cast<uint32_t>(data.Size);
    rec.Attr = data.Attr;
    rec.Name = data.Name;
    rec.Id = data.Id;
    return kFindOk;
  }
  return kFindNoMoreFiles;
}

}  // namespace

int FindFirstEntry(const std::string& folder, const std::string& mask, uint32_t attributes,
                   TSearchRec& rec) {
  rec.ExcludeAttr = ~attributes & 0x3F;
  auto& os = platform::Current();
  rec.Error.clear();
  rec.Handle = os.FindFirst(folder, mask);
  if (!rec.Handle) {
    rec.Error = os.LastErrorText();
    platform::KeepLastError keep;
    return os.GetAttributes(folder) == platform::kNoAttributes ? kFindNoFiles : kFindCannotRead;
  }
  const int result = Advance(rec);
  if (result != kFindOk) FindCloseEntry(rec);
  return result == kFindOk ? kFindOk : kFindNoFiles;
}

int FindNextEntry(TSearchRec& rec) { return Advance(rec); }

void FindCloseEntry(TSearchRec& rec) { rec.Handle.reset(); }

}  // namespace vix
