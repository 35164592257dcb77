// A small writer for the driver's tests. Its archive is a plain sequence of
// entries, each a 14-byte header (name length, size, DOS date, attributes),
// the stored name and the data. It records every virtual operation the
// driver calls, so tests can check the order and the arguments.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "archive/kvtBase.h"
#include "archive/kvtNames.h"

namespace vix::test {

class TTestWriter : public TCompBase {
 public:
  static constexpr uint32_t kHeader = 14;

  explicit TTestWriter(TComponent* owner = nullptr) : TCompBase(owner) {
    fOwnExt = ".TST";
    fAllowedMethods = {cmStore};
    SetDefaultExt(fOwnExt);
    SetArcType(atLha);
  }

  void SetArcType(TArcType) override { fArcType = atLha; }

  std::vector<std::string> Calls;
  // Called at the start of WriteEntry (tests use it to disturb the run).
  std::function<void(int Index)> BeforeWrite;

  uint32_t EntryOverhead(int) override { return kHeader; }

  void LoadEntries(Stream* Source) override {
    Calls.push_back("LoadEntries");
    uint32_t pos = static_cast<uint32_t>(ArchiveStart - 1);
    const int64_t size = Source->Size();
    while (pos + kHeader <= size) {
      uint8_t h[kHeader];
      Source->Seek(pos, platform::Origin::Begin);
      if (Source->Read(h, kHeader) != kHeader) break;
      const uint32_t nameLen = Get16(h);
      std::string name(nameLen, '\0');
      if (Source->Read(name.data(), nameLen) != nameLen) break;
      auto obj = std::make_unique<TCompBaseHeaderObj>();
      obj->Header.assign(h, h + kHeader);
      obj->Size = obj->PackedSize = Get32(h + 2);
      obj->Date = Get32(h + 6);
      obj->Attr = Get32(h + 10);
      obj->Offset = pos;
      obj->Action = TCompBaseHeaderObj::kCopy;
      pos += kHeader + nameLen + obj->PackedSize;
      if (pos > size) {  // a damaged archive: leave it alone
        ReportError(ArchiveFile(), "entry runs past the end", "0", kErrUnsupported);
        Discard = true;
        return;
      }
      const std::string line = FromStoredName(name, TranslateOemChar);
      if (Switch == swDelete && NameSelected(line)) {
        ++FilesDeleted;
        continue;
      }
      TotalBytes += kHeader + nameLen + obj->PackedSize;
      EntryList.Add(line, std::move(obj));
      EntrySpecIndex.push_back(1);
    }
  }

  bool WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) override {
    if (BeforeWrite) BeforeWrite(Index);
    const std::string source = EntryList.Line(Index);
    SetCurrentFileName(source);
    Calls.push_back("WriteEntry " + CurrentFileName);
    bool extract = true;
    if (OnBegin) OnBegin(*this, CurrentFileName, static_cast<int>(EntryNumber), extract);
    if (!extract) return false;
    FileHandle in;
    if (!(Entry.Attr & platform::kAttrDirectory)) {
      in = OpenSource(source);
      if (!in) return false;
    }
    Entry.Offset = static_cast<uint32_t>(Target->Position());
    const std::string stored = ToStoredNameOem(CurrentFileName, TranslateOemChar);
    uint8_t h[kHeader];
    Put16(h, static_cast<uint16_t>(stored.size()));
    Put32(h + 2, Entry.Size);
    Put32(h + 6, Entry.Date);
    Put32(h + 10, Entry.Attr);
    std::string header(reinterpret_cast<char*>(h), kHeader);
    header += stored;
    WriteBlock(Target, header.data(), static_cast<uint32_t>(header.size()), false, ckNone, false);
    if (in && CopyFileData(in.get(), Target, Entry.Size, ckNone, false) != Entry.Size) {
      if (GetCancel()) return false;
      ReportReadFailure(source);
      TruncateTarget(Target, Entry.Offset);
      return false;
    }
    if (OnEnd) OnEnd(*this, CurrentFileName, true);
    return true;
  }

  bool ReadHeader(Stream* Source, std::string& Name) override {
    uint8_t h[kHeader];
    NextHeaderPos = 0;
    if (!Source->Seek(HeaderPos, platform::Origin::Begin) || Source->Read(h, kHeader) != kHeader)
      return false;
    std::string name(Get16(h), '\0');
    if (Source->Read(name.data(), name.size()) != static_cast<int64_t>(name.size())) return false;
    Name = FromStoredName(name, TranslateOemChar);
    NextHeaderPos = HeaderPos + kHeader + static_cast<uint32_t>(name.size()) + Get32(h + 2);
    return true;
  }
  void ListEntry(const std::string& Name) override { Calls.push_back("ListEntry " + Name); }

  void CopyEntry(Stream* Source, Stream* Target, int Method, int Index) override {
    Calls.push_back("CopyEntry " + EntryList.Line(Index));
  }
  void WriteArchiveEnd(Stream*) override { Calls.push_back("WriteArchiveEnd"); }
  bool CommitTempFile(const std::string& TempName, const std::string& ArchiveName) override {
    Calls.push_back("CommitTempFile");
    return TCompBase::CommitTempFile(TempName, ArchiveName);
  }
  void ReportEntries() override { Calls.push_back("ReportEntries"); }
  void AfterCommit() override { Calls.push_back("AfterCommit"); }


 private:
  static uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
  static uint32_t Get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  static void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
  static void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

}  // namespace vix::test
