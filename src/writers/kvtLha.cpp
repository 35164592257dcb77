#include "writers/kvtLha.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/kvtBytes.h"
#include "archive/kvtCrc.h"
#include "archive/kvtNames.h"
#include "archive/kvtTime.h"
#include "engines/lzh.h"

namespace vix {

namespace {

using platform::Origin;


// The entry record kept in TCompBaseHeaderObj::Header (37 bytes for LZH):
// the first 22 header bytes as they are in the archive, then the data's CRC,
// where the data starts, its size and the DOS stamp (converted for level-2
// headers, which hold Unix time).
constexpr size_t kRecCrc = lha::kFixed;
constexpr size_t kRecDataOffset = kRecCrc + 2;
constexpr size_t kRecPacked = kRecDataOffset + 4;
constexpr size_t kRecStamp = kRecPacked + 4;
constexpr size_t kRecSize = kRecStamp + 4;
static_assert(kRecSize <= 37, "the driver's LZH header buffer holds 37 bytes");

void SetMethod(uint8_t* header, char digit) {
  std::memcpy(header + lha::kMethod, "-lh", 3);
  header[lha::kMethod + 3] = static_cast<uint8_t>(digit);
  header[lha::kMethod + 4] = '-';
}

bool IsMethodId(const uint8_t* p) { return p[0] == '-' && p[4] == '-'; }

}  // namespace

uint8_t lha::HeaderSum(const uint8_t* header, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 2; i < size; ++i) sum += header[i];
  return static_cast<uint8_t>(sum);
}

TLha::TLha(TComponent* owner) : TCompBase(owner) {
  fOwnExt = ".LHA";
  fAllowedMethods = {cmStore, cmFrozen5, cmFrozen6};
  fCompressMethod = cmFrozen6;
  SetDefaultExt(".LHA");
  SetArcType(atLha);
}

void TLha::SetArcType(TArcType) { fArcType = atLha; }

uint32_t TLha::EntryOverhead(int) { return lha::kEntryOverhead; }

// ---------------------------------------------------------------------------
// Writing entries

bool TLha::WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  // Any folder bit: Windows folders may also carry read-only or archive.
  if (Entry.Attr & platform::kAttrDirectory) return WriteDirEntry(Target, Index, Entry);
  return WriteFileEntry(Target, Index, Entry);
}

bool TLha::NameFits(const std::string& reported, const std::string& stored) {
  if (stored.empty()) {
    ReportError(reported, "no name can be stored for it in an LZH archive", kErrOpen);
    return false;
  }
  if (stored.size() > lha::kMaxName) {
    ReportError(reported,
                "name too long for an LZH header (" + std::to_string(stored.size()) +
                    " bytes; at most 233 fit)", kErrOpen);
    return false;
  }
  return true;
}

void TLha::WriteLzhHeader(Stream* Target, const std::string& storedName, uint16_t crc) {
  const size_t n = storedName.size();
  std::vector<uint8_t> header(lha::kEntryOverhead + n);
  fHeader[lha::kSize] = static_cast<uint8_t>(lha::kFixed + n);
  fHeader[lha::kLevel] = 0;
  fHeader[lha::kNameLength] = static_cast<uint8_t>(n);
  std::memcpy(header.data(), fHeader, lha::kFixed);
  std::memcpy(header.data() + lha::kName, storedName.data(), n);
  PutLE16(header.data() + lha::kName + n, crc);
  fHeader[lha::kSum] = header[lha::kSum] = lha::HeaderSum(header.data(), header.size());
  if (WriteBlock(Target, header.data(), static_cast<uint32_t>(header.size()), false, ckNone, false) !=
      static_cast<int64_t>(header.size()))
    WriteFailed();
}

void TLha::KeepRecord(TCompBaseHeaderObj& Entry, uint16_t crc, uint32_t dataOffset) {
  Entry.Header.assign(37, 0);
  std::memcpy(Entry.Header.data(), fHeader, lha::kFixed);
  PutLE16(Entry.Header.data() + kRecCrc, crc);
  PutLE32(Entry.Header.data() + kRecDataOffset, dataOffset);
  PutLE32(Entry.Header.data() + kRecPacked, GetLE32(fHeader + lha::kPacked));
  PutLE32(Entry.Header.data() + kRecStamp, GetLE32(fHeader + lha::kStamp));
}

// Writes the data of a file behind its header: compressed by `method`, or
// stored when that is '0', when the engine abandons the stream or cannot
// run. False when the entry must be dropped: the file could not be read in
// full (reported here), or the run was cancelled.
bool TLha::WriteData(const std::string& path, Stream* Source, Stream* Target, uint32_t size,
                     int64_t dataStart, char& method, uint32_t& packed) {
  if (method != '0') {
    const uint64_t bytesLeftBefore = BytesLeft;
    LzhParameters = method == '5' ? kLh5Params : kLh6Params;
    Crc16Value = 0;
    PackedBytes = 0;
    InputLeft = size;
    EngineResult result;
    if (Source->Seek(0, Origin::Begin))
      result = LzhEncodeFile(*this, Source, Target);
    else
      result.Status = EngineStatus::ReadFailed;
    switch (result.Status) {
      case EngineStatus::Done:
        packed = static_cast<uint32_t>(result.BytesWritten);
        if (result.BytesRead == size) return true;
        [[fallthrough]];  // the file shrank while it was read
      case EngineStatus::ReadFailed:
        ReportReadFailure(path);
        return false;
      case EngineStatus::WriteFailed:
        WriteFailed();  // raises unless the run is being cancelled
        return false;
      case EngineStatus::Cancelled:
        return false;
      case EngineStatus::Fallback:
        break;
    }
    // Stored instead: over what the engine wrote, counting the bytes again.
    // A failed cut would leave the engine's bytes in front of the stored ones.
    if (!TruncateTarget(Target, dataStart)) WriteFailed();
    BytesLeft = bytesLeftBefore;
    method = '0';
  }
  Crc16Value = 0;
  packed = size;
  if (Source->Seek(0, Origin::Begin) && CopyFileData(Source, Target, size, ckCrc16, false) == size)
    return true;
  if (!GetCancel()) ReportReadFailure(path);  // a read error, or a file that shrank
  return false;
}

char TLha::MethodFor(const std::string& source) const {
  if (StoreAlreadyCompressedFiles && HasCompressedExtension(source, ".EXE")) return '0';
  if (fCompressMethod == cmFrozen5) return '5';
  if (fCompressMethod == cmFrozen6) return '6';
  return '0';
}

AheadPlan TLha::PlanAhead(int Index) {
  AheadPlan plan;
  const char method = MethodFor(EntryList.Line(Index));
  if (EntryList.Object(Index).Size > LargeFileLimit().Largest || method == '0') return plan;
  plan.engine = AheadPlan::kLzh;
  plan.Lzh = method == '5' ? kLh5Params : kLh6Params;
  plan.Crc16 = true;
  return plan;
}

TCompBase::SizeLimit TLha::LargeFileLimit() const {
  return {0xFFFFFFFFull, "LZH headers hold a file's sizes in 32 bits"};
}

bool TLha::WriteFileEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  const std::string source = EntryList.Line(Index);
  SetCurrentFileName(source);
  // A new archive may grow past 4 GiB: no offset is stored in LZH headers.
  const int64_t start = Target->Position();
  Entry.Offset = static_cast<uint64_t>(start);
  std::memset(fHeader, 0, sizeof fHeader);
  FileHandle in = OpenSource(source);
  if (!in) return false;

  PutLE32(fHeader + lha::kStamp, Entry.Date);
  PutLE32(fHeader + lha::kOriginal, Entry.Size);
  fHeader[lha::kAttr] = static_cast<uint8_t>(Entry.Attr);

  bool extract = true;
  if (OnBegin) OnBegin(*this, CurrentFileName, static_cast<int>(EntryNumber), extract);
  if (Entry.Action != TCompBaseHeaderObj::kRename &&
      Entry.Action != TCompBaseHeaderObj::kReplace && RenameStep(CurrentFileName))
    Entry.Action = TCompBaseHeaderObj::kRename;
  if (!extract) return false;

  const int64_t actual = in->Size();
  if (actual < 0) {
    ReportReadFailure(source);
    return false;
  }
  if (!CheckFileSize(source, static_cast<uint64_t>(actual))) return false;
  const uint32_t size = static_cast<uint32_t>(actual);
  PutLE32(fHeader + lha::kOriginal, size);
  const std::string stored = ToStoredNameOem(CurrentFileName, TranslateOemChar);
  if (!NameFits(source, stored)) return false;
  const uint32_t headerBytes = static_cast<uint32_t>(lha::kEntryOverhead + stored.size());
  const int64_t dataStart = start + headerBytes;

  // Placeholder; rewritten once the sizes and the CRC are known.
  SetMethod(fHeader, '0');
  WriteLzhHeader(Target, stored, 0);

  uint32_t packed = 0;
  uint16_t crc = 0;
  if (size > 0) {
    char method = MethodFor(source);
    if (!WriteData(source, in.get(), Target, size, dataStart, method, packed)) {
      if (!TruncateTarget(Target, start)) WriteFailed();
      return false;
    }
    SetMethod(fHeader, method);
    crc = static_cast<uint16_t>(Crc16Value);
  }
  PutLE32(fHeader + lha::kPacked, packed);
  if (!Target->Seek(start, Origin::Begin)) WriteFailed();
  WriteLzhHeader(Target, stored, crc);
  if (!Target->Seek(dataStart + int64_t{packed}, Origin::Begin)) WriteFailed();

  KeepRecord(Entry, crc, headerBytes);
  if (OnEnd) OnEnd(*this, CurrentFileName, true);
  return true;
}

bool TLha::WriteDirEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  const std::string folder = EntryList.Line(Index);
  if (!StoreEmptySubDirs || !FolderIsEmpty(folder)) return false;
  // Stored names are in the OEM code page like those of files.
  CurrentFileName = StoredName(AppendBackslash(folder), SpecDir, DefaultDir());
  const std::string stored = ToStoredNameOem(CurrentFileName, TranslateOemChar);
  if (CurrentFileName.empty()) return false;
  if (!NameFits(folder, stored)) return false;
  std::memset(fHeader, 0, sizeof fHeader);
  SetMethod(fHeader, 'd');
  // The folder's own stamp (the header would otherwise hold no date).
  PutLE32(fHeader + lha::kStamp, Entry.Date);
  fHeader[lha::kAttr] = static_cast<uint8_t>(platform::kAttrArchive);
  Entry.Offset = static_cast<uint64_t>(Target->Position());
  WriteLzhHeader(Target, stored, 0);
  KeepRecord(Entry, 0, static_cast<uint32_t>(lha::kEntryOverhead + stored.size()));
  return true;
}

// ---------------------------------------------------------------------------
// Reading an existing archive

void TLha::Invalid(const std::string& why) {
  fReadState = ReadState::Invalid;
  fInvalidReason = why;
}

bool TLha::ReadHeader(Stream* Source, std::string& Name) {
  NextHeaderPos = 0;
  fReadState = ReadState::End;
  if (!ParseHeader(Source, Name)) return false;
  fReadState = ReadState::Entry;
  NextHeaderPos = HeaderPos + fOld.length;
  return true;
}

// Reads the header at HeaderPos into fOld. False at the end of the archive
// (a size byte of 0, or the end of the file) and when the header is not
// one this writer can keep (fReadState says which).
bool TLha::ParseHeader(Stream* Source, std::string& Name) {
  const int64_t archiveSize = Source->Size();
  const int64_t left = archiveSize - static_cast<int64_t>(HeaderPos);
  if (left <= 0 || !Source->Seek(HeaderPos, Origin::Begin)) return false;
  uint8_t fixed[lha::kFixed];
  if (!ReadFixedPart(Source, fixed)) return false;
  OldEntry e;
  std::memcpy(e.fixed, fixed, lha::kFixed);
  e.level = fixed[lha::kLevel];
  e.original = GetLE32(fixed + lha::kOriginal);
  e.attr = fixed[lha::kAttr];
  e.stamp = GetLE32(fixed + lha::kStamp);
  const uint32_t packedField = GetLE32(fixed + lha::kPacked);
  if (!IsMethodId(fixed + lha::kMethod)) {
    Invalid("not an LZH archive (no method at a header)");
    return false;
  }

  std::vector<uint8_t> header;
  if (!ReadWholeHeader(Source, fixed, left, header)) return false;
  HeaderParts parts;
  const bool parsed = e.level < 2
                          ? ParseLevel0Or1(Source, header, archiveSize, packedField, e, parts)
                          : ParseLevel2(header, e, parts);
  if (!parsed) return false;

  const uint32_t headerSize = static_cast<uint32_t>(header.size());
  e.dataOffset = headerSize + parts.Extended;
  e.packed = packedField - parts.Extended;
  const uint64_t length = uint64_t{headerSize} + packedField;
  if (length > static_cast<uint64_t>(left)) {
    Invalid("an entry runs past the end of the file");
    return false;
  }
  if (HeaderPos + length > 0xFFFFFFFFull) {
    Invalid("entries beyond 4 GiB cannot be kept");
    return false;
  }
  e.length = static_cast<uint32_t>(length);

  // Folder names of the extended headers end in 0xFF separators.
  for (char& c : parts.Folder)
    if (static_cast<uint8_t>(c) == 0xFF) c = '\\';
  if (!parts.Folder.empty() && parts.Folder.back() != '\\') parts.Folder += '\\';
  Name = parts.Folder + parts.File;
  fOld = e;
  return true;
}

// The 22 bytes every level starts with. False at the end mark, at the end
// of the file, and (marked invalid) for a header cut short.
bool TLha::ReadFixedPart(Stream* Source, uint8_t* fixed) {
  const int64_t got = ReadBlock(Source, fixed, lha::kFixed, ckNone, false);
  if (got <= 0) return false;
  if (fixed[lha::kSize] == 0) {
    // The end mark. Only zeros may follow it at the start of a file, which
    // tells an empty archive from some other file that begins with 0.
    if (HeaderPos == static_cast<uint32_t>(ArchiveStart - 1)) {
      for (int64_t i = 1; i < got; ++i)
        if (fixed[i] != 0) {
          Invalid("not an LZH archive");
          return false;
        }
    }
    return false;
  }
  if (got < static_cast<int64_t>(lha::kFixed)) {
    Invalid("a header runs past the end of the file");
    return false;
  }
  return true;
}

// The whole header behind the fixed part already read: levels 0 and 1
// count their size from byte 2; level 2 counts all of it in 16 bits.
bool TLha::ReadWholeHeader(Stream* Source, const uint8_t* fixed, int64_t left,
                           std::vector<uint8_t>& header) {
  const uint8_t level = fixed[lha::kLevel];
  uint32_t headerSize;
  if (level == 0 || level == 1) {
    headerSize = 2u + fixed[lha::kSize];
  } else if (level == 2) {
    headerSize = GetLE16(fixed);
  } else {
    Invalid("header level " + std::to_string(level) + " is not supported");
    return false;
  }
  const uint32_t minimum = level == 0 ? 24u : level == 1 ? 27u : 26u;
  if (headerSize < minimum || headerSize > left) {
    Invalid("a header runs past the end of the file");
    return false;
  }
  header.resize(headerSize);
  std::memcpy(header.data(), fixed, lha::kFixed);
  const uint32_t rest = headerSize - lha::kFixed;
  if (ReadBlock(Source, header.data() + lha::kFixed, rest, ckNone, false) != rest) {
    Invalid("a header cannot be read");
    return false;
  }
  return true;
}

// Levels 0 and 1: a checksum, the name and CRC in the base header; level 1
// adds extended headers behind it, counted in the packed size.
bool TLha::ParseLevel0Or1(Stream* Source, const std::vector<uint8_t>& header,
                          int64_t archiveSize, uint32_t packedField, OldEntry& e,
                          HeaderParts& parts) {
  const uint32_t headerSize = static_cast<uint32_t>(header.size());
  if (lha::HeaderSum(header.data(), headerSize) != header[lha::kSum]) {
    Invalid("a header checksum does not match");
    return false;
  }
  const uint32_t n = header[lha::kNameLength];
  if (lha::kEntryOverhead + n + (e.level == 1 ? 3u : 0u) > headerSize) {
    Invalid("a header is too short for its name");
    return false;
  }
  parts.File.assign(reinterpret_cast<const char*>(header.data() + lha::kName), n);
  e.crc = GetLE16(header.data() + lha::kName + n);
  if (e.level == 0) return true;
  // Each extended header is announced by the 16-bit size at the end of the
  // one before.
  uint32_t next = GetLE16(header.data() + headerSize - 2);
  uint64_t at = uint64_t{HeaderPos} + headerSize;
  while (next != 0) {
    if (next < 3 || parts.Extended + next > packedField ||
        at + next > static_cast<uint64_t>(archiveSize)) {
      Invalid("an extended header runs past its entry");
      return false;
    }
    std::vector<uint8_t> ext(next);
    if (!Source->Seek(static_cast<int64_t>(at), Origin::Begin) ||
        ReadBlock(Source, ext.data(), next, ckNone, false) != next) {
      Invalid("an extended header cannot be read");
      return false;
    }
    if (ext[0] == 0x02)
      parts.Folder.assign(reinterpret_cast<const char*>(ext.data() + 1), next - 3);
    parts.Extended += next;
    at += next;
    next = GetLE16(ext.data() + next - 2);
  }
  return true;
}

// Level 2: the extended headers make up the rest of the header, one of them
// possibly a CRC of the whole header; the stamp is a Unix time.
bool TLha::ParseLevel2(std::vector<uint8_t>& header, OldEntry& e, HeaderParts& parts) {
  const uint32_t headerSize = static_cast<uint32_t>(header.size());
  e.crc = GetLE16(header.data() + 21);
  uint32_t at = 24;
  uint32_t headerCrcAt = 0;
  while (true) {
    const uint32_t next = GetLE16(header.data() + at);
    if (next == 0) break;
    const uint32_t ext = at + 2;
    if (next < 3 || ext + next > headerSize) {
      Invalid("an extended header runs past its entry");
      return false;
    }
    const char* data = reinterpret_cast<const char*>(header.data() + ext + 1);
    switch (header[ext]) {
      case 0x00: headerCrcAt = ext + 1; break;
      case 0x01: parts.File.assign(data, next - 3); break;
      case 0x02: parts.Folder.assign(data, next - 3); break;
      default: break;
    }
    at = ext + next - 2;
  }
  if (headerCrcAt != 0 && headerCrcAt + 2 <= headerSize) {
    const uint16_t expected = GetLE16(header.data() + headerCrcAt);
    header[headerCrcAt] = header[headerCrcAt + 1] = 0;
    uint32_t crc = 0;
    UpdateCrc16(header.data(), headerSize, crc);
    if (static_cast<uint16_t>(crc) != expected) {
      Invalid("a header CRC does not match");
      return false;
    }
  }
  e.stamp = DateTimeToDosStamp(UnixTimeToLocal(static_cast<int32_t>(e.stamp)));
  return true;
}

void TLha::LoadEntries(Stream* Source) {
  fReadState = ReadState::End;
  std::string name;
  for (bool more = ReadFirstHeader(name, Source); more; more = ReadNextHeader(name, Source)) {
    std::string line = FromStoredName(name, TranslateOemChar);
    if (Switch == swDelete && NameSelected(line)) {
      ++FilesDeleted;
      continue;
    }
    auto obj = std::make_unique<TCompBaseHeaderObj>();
    obj->Header.assign(37, 0);
    std::memcpy(obj->Header.data(), fOld.fixed, lha::kFixed);
    PutLE16(obj->Header.data() + kRecCrc, fOld.crc);
    PutLE32(obj->Header.data() + kRecDataOffset, fOld.dataOffset);
    PutLE32(obj->Header.data() + kRecPacked, fOld.packed);
    PutLE32(obj->Header.data() + kRecStamp, fOld.stamp);
    obj->Offset = HeaderPos;
    obj->Size = fOld.original;
    obj->PackedSize = fOld.packed;
    // Copied as measured: extended headers, a folder's name and names that
    // do not convert back to the same bytes all make the entry differ from
    // what its name would count.
    obj->CopyLength = fOld.length;
    obj->Date = fOld.stamp;
    obj->Attr = fOld.attr;
    if (std::memcmp(fOld.fixed + lha::kMethod, "-lhd-", 5) == 0) {
      // A folder is found again without its trailing delimiter, and as a
      // folder, or every update would add it once more.
      line = RemoveBackslash(line);
      obj->Attr = platform::kAttrDirectory;
    }
    obj->Action = TCompBaseHeaderObj::kCopy;
    TotalBytes += fOld.length;
    EntryList.Add(line, std::move(obj));
    EntrySpecIndex.push_back(1);
  }
  if (fReadState == ReadState::Invalid) {
    ReportError(ArchiveFile(), fInvalidReason, kErrUnsupported);
    Discard = true;
  } else if (Switch == swDelete && FilesDeleted == 0) {
    // Nothing to take out: a rewritten copy would lack the end mark, which
    // is only added after a run that changed the archive.
    Discard = true;
  }
}

void TLha::CopyEntry(Stream* Source, Stream* Target, int Method, int Index) {
  TCompBaseHeaderObj& entry = EntryList.Object(Index);
  const uint8_t* rec = entry.Header.data();
  CurrentFileName = EntryList.Line(Index);
  const std::string stored = ToStoredNameOem(CurrentFileName, TranslateOemChar);
  const uint32_t packed = GetLE32(rec + kRecPacked);
  const auto start = static_cast<uint64_t>(Target->Position());
  if (!NameFits(CurrentFileName, stored)) {
    // The entry stays as it was, under its old name, rather than be lost.
    const uint32_t whole = GetLE32(rec + kRecDataOffset) + packed;
    if (CopyBlock(Source, Target, whole, ckNone, false) != whole) WriteFailed();
    entry.Offset = start;
    return;
  }
  // A fresh level-0 header with the new name, over the entry's own data.
  std::memcpy(fHeader, rec, lha::kFixed);
  PutLE32(fHeader + lha::kPacked, packed);
  PutLE32(fHeader + lha::kStamp, GetLE32(rec + kRecStamp));
  if (rec[lha::kLevel] == 2) fHeader[lha::kAttr] = static_cast<uint8_t>(platform::kAttrArchive);
  WriteLzhHeader(Target, stored, GetLE16(rec + kRecCrc));
  if (!Source->Seek(static_cast<int64_t>(entry.Offset) + GetLE32(rec + kRecDataOffset), Origin::Begin) ||
      CopyBlock(Source, Target, packed, ckNone, false) != packed)
    WriteFailed();
  entry.Offset = start;
  KeepRecord(entry, GetLE16(rec + kRecCrc), static_cast<uint32_t>(lha::kEntryOverhead + stored.size()));
}

void TLha::ReportEntries() {
  if (Switch == swDelete) return;
  for (int i = 0; i < EntryList.Count(); ++i) {
    TCompBaseHeaderObj& entry = EntryList.Object(i);
    if (entry.Action != TCompBaseHeaderObj::kNew) continue;
    const uint8_t* rec = entry.Header.data();
    Entry.FileName = EntryList.Line(i);
    Entry.Size = GetLE32(rec + lha::kOriginal);
    Entry.PackedSize = GetLE32(rec + kRecPacked);
    Entry.Crc = GetLE16(rec + kRecCrc);
    Entry.Attr = rec[lha::kAttr];
    Entry.MethodName = std::string(reinterpret_cast<const char*>(rec + lha::kMethod + 1), 3);
    Entry.Date = DosDateToDateTime(GetLE32(rec + kRecStamp));
    Entry.Offset = entry.Offset;
    if (OnRead) OnRead(*this, entry.Offset, i);
  }
}

}  // namespace vix
