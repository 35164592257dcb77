#include "writers/kvtZipIT.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <exception>

#include "archive/kvtCrc.h"
#include "archive/kvtNames.h"
#include "engines/deflate.h"
#include "writers/kvtZipCrypt.h"

namespace vix {

using namespace zip;

namespace {

// Reads exactly `count` bytes at `position`; false when the stream ends first.
bool ReadAt(Stream& source, uint64_t position, void* buffer, size_t count) {
  return source.Seek(static_cast<int64_t>(position), platform::Origin::Begin) &&
         platform::ReadExactly(source, buffer, count);
}

std::string RecordName(const std::vector<uint8_t>& header) {
  const auto* begin = reinterpret_cast<const char*>(header.data()) + kCentralSize;
  return std::string(begin, GetLE16(header.data() + kCenNameLength));
}

bool IsCentralRecord(const std::vector<uint8_t>& header) {
  return header.size() >= kCentralSize && GetLE32(header.data()) == kCentralSignature &&
         header.size() == kCentralSize + GetLE16(header.data() + kCenNameLength) +
                              GetLE16(header.data() + kCenExtraLength);
}

std::string MethodName(uint16_t method, uint16_t flags) {
  if (method == kMethodStored) return "Stored";
  switch (flags & 6) {
    case 6: return "DeflateS";
    case 4: return "DeflateF";
    case 2: return "DeflateX";
    default: return "DeflateN";
  }
}

}  // namespace

bool zip::ReadCentralValues(const std::vector<uint8_t>& Header, CentralValues& Values) {
  const uint8_t* c = Header.data();
  const uint32_t size = GetLE32(c + kCenSize), packed = GetLE32(c + kCenPacked),
                 offset = GetLE32(c + kCenOffset);
  Values = {size, packed, offset};
  if (size != kAllOnes32 && packed != kAllOnes32 && offset != kAllOnes32) return true;
  const size_t nameEnd = kCentralSize + GetLE16(c + kCenNameLength);
  const size_t extraEnd = std::min(Header.size(), nameEnd + GetLE16(c + kCenExtraLength));
  for (size_t at = nameEnd; at + 4 <= extraEnd;) {
    const uint16_t id = GetLE16(c + at), length = GetLE16(c + at + 2);
    if (at + 4 + length > extraEnd) break;
    if (id == kZip64Extra) {
      const uint8_t* field = c + at + 4;
      const uint8_t* end = field + length;
      for (uint64_t* value : {&Values.Size, &Values.Packed, &Values.Offset}) {
        if (*value != kAllOnes32) continue;
        if (end - field < 8) return false;
        *value = GetLE64(field);
        field += 8;
      }
      return true;
    }
    at += 4 + length;
  }
  return false;
}

void zip::PutCentralValues(std::vector<uint8_t>& Header, const CentralValues& Values,
                           bool sizesInExtra) {
  uint8_t* c = Header.data();
  const size_t nameEnd = kCentralSize + GetLE16(c + kCenNameLength);
  const size_t extraEnd = std::min(Header.size(), nameEnd + GetLE16(c + kCenExtraLength));
  // The other extra fields stay, in their order (bytes that form no field
  // too); any Zip64 field goes.
  std::vector<uint8_t> extra;
  bool hadZip64 = false;
  for (size_t at = nameEnd; at < extraEnd;) {
    const size_t next = at + 4 <= extraEnd ? at + 4 + GetLE16(c + at + 2) : extraEnd + 1;
    if (next > extraEnd) {
      extra.insert(extra.end(), c + at, c + extraEnd);
      break;
    }
    if (GetLE16(c + at) == kZip64Extra)
      hadZip64 = true;
    else
      extra.insert(extra.end(), c + at, c + next);
    at = next;
  }
  uint8_t wide[4 + 24];
  size_t length = 4;
  auto put = [&](uint32_t field, uint64_t value, bool always) {
    if (!always && value < kAllOnes32) {
      PutLE32(c + field, static_cast<uint32_t>(value));
      return;
    }
    PutLE32(c + field, kAllOnes32);
    PutLE64(wide + length, value);
    length += 8;
  };
  put(kCenSize, Values.Size, sizesInExtra);
  put(kCenPacked, Values.Packed, sizesInExtra);
  put(kCenOffset, Values.Offset, false);
  if (length == 4 && !hadZip64) return;  // as it was: no Zip64 field before or now
  if (length > 4) {
    PutLE16(wide, kZip64Extra);
    PutLE16(wide + 2, static_cast<uint32_t>(length - 4));
    // First, where every reader finds it, whatever the other fields are.
    extra.insert(extra.begin(), wide, wide + length);
    if (GetLE16(c + kCenVersion) < kZip64Version) PutLE16(c + kCenVersion, kZip64Version);
  }
  PutLE16(c + kCenExtraLength, static_cast<uint32_t>(extra.size()));
  std::vector<uint8_t> rebuilt(Header.begin(), Header.begin() + static_cast<std::ptrdiff_t>(nameEnd));
  rebuilt.insert(rebuilt.end(), extra.begin(), extra.end());
  rebuilt.insert(rebuilt.end(), Header.begin() + static_cast<std::ptrdiff_t>(extraEnd), Header.end());
  Header = std::move(rebuilt);
}

TZip::TZip(TComponent* owner) : TCompBase(owner) {
  fAllowedMethods = {cmStore, cmDeflate};
  fOwnExt = ".zip";
  SetArcType(atZip);
  SetCompressMethod(cmDeflate);
  SetDefaultExt(".ZIP");
}

void TZip::SetArcType(TArcType) { TCompBase::SetArcType(atZip); }

uint32_t TZip::EntryOverhead(int) { return kLocalSize; }

TCompBase::SizeLimit TZip::LargeFileLimit() const {
  return {UINT64_MAX, "Zip64 records hold 64-bit sizes"};
}

TStoredNameForm TZip::ZipNameForm(const std::string& name) const {
  return StoredNameForm(name, TranslateOemChar, '/');
}

std::string TZip::EntryName(const std::vector<uint8_t>& Header) const {
  const std::string stored = RecordName(Header);
  if (GetLE16(Header.data() + kCenFlags) & kFlagUtf8) return FromStoredUtf8Name(stored);
  const uint8_t* extra = Header.data() + kCentralSize + stored.size();
  const uint8_t* end = Header.data() + Header.size();
  while (end - extra >= 4) {
    const uint16_t id = GetLE16(extra), length = GetLE16(extra + 2);
    if (end - extra - 4 < length) break;
    const uint8_t* field = extra + 4;
    // A tool that renamed the entry without knowing the field leaves it
    // behind; its CRC then no longer matches and the stored name counts.
    if (id == kUnicodePathExtra && length > 5 && field[0] == 1) {
      uint32_t crc = 0xFFFFFFFF;
      UpdateCrc32(stored.data(), stored.size(), crc);
      if ((crc ^ 0xFFFFFFFF) == GetLE32(field + 1))
        return FromStoredUtf8Name(
            std::string(reinterpret_cast<const char*>(field + 5), length - 5u));
    }
    extra = field + length;
  }
  return FromStoredName(stored, TranslateOemChar);
}

void TZip::WriteHeaderBytes(Stream* Target, const void* Data, size_t Count) {
  bool ok = false;
  try {
    ok = WriteBlock(Target, const_cast<void*>(Data), static_cast<uint32_t>(Count), false, ckNone,
                    false) == static_cast<int64_t>(Count);
  } catch (const E_RAISE&) {
  }
  if (!ok) WriteFailed();
}

// ---------------------------------------------------------------------------
// Writing new entries

// Anything with the directory bit is a folder (a hidden or read-only folder
// too): opening one as a file would fail or read nothing.
bool TZip::WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  const bool written = (Entry.Attr & platform::kAttrDirectory)
                           ? WriteFolderEntry(Target, Index, Entry)
                           : WriteFileEntry(Target, Index, Entry);
  if (!written) Entry.Action = TCompBaseHeaderObj::kSkip;
  return written;
}

// OnBegin may decline the entry; then OnRenameFile may change the stored
// name (its file part only). A name already taken by another entry is
// offered again, a bounded number of times.
bool TZip::BeginEntry(const std::string& Path) {
  SetCurrentFileName(Path);
  bool extract = true;
  if (OnBegin) OnBegin(*this, CurrentFileName, static_cast<int>(EntryNumber), extract);
  if (!extract) return false;
  RenameStep(CurrentFileName);
  return true;
}

// A file entry is written in four steps: the checks and the stored name,
// the local header with the sizes left open, the data (after the encryption
// header), and the local header once more with what the data turned out to
// be. Any step may drop the entry; what it wrote is then cut off again.
bool TZip::WriteFileEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  NewFileEntry e;
  e.Path = EntryList.Line(Index);
  FileHandle input = OpenSource(e.Path);
  if (!input || !PrepareFileEntry(Target, *input, e)) return false;
  WriteLocalHeader(Target, Entry, e);
  const bool ok = e.Size == 0 || WriteFileData(Target, *input, e);
  input.reset();
  if (!CompleteLocalHeader(Target, ok, e)) return false;

  PutCentralRecord(Entry, e.Local, e.Name, Entry.Attr, {e.Read, e.Packed, e.Start}, e.Zip64);
  Entry.Offset = e.Start;
  Entry.Size = e.Read;
  Entry.PackedSize = e.Packed;
  if (OnEnd) OnEnd(*this, CurrentFileName, true);
  return true;
}

// Where the entry starts, whether OnBegin takes it, its stored name and the
// size of the file now (not the one gathered: the file may have changed
// since). False, reported, when the entry cannot be written.
bool TZip::PrepareFileEntry(Stream* Target, platform::File& input, NewFileEntry& e) {
  const int64_t startPos = Target->Position();
  if (startPos < 0) WriteFailed();
  e.Start = static_cast<uint64_t>(startPos);
  if (!BeginEntry(e.Path)) return false;

  TStoredNameForm form = ZipNameForm(CurrentFileName);
  if (form.Bytes.empty() || form.Bytes.size() > 0xFFFF) {
    ReportError(CurrentFileName, "stored name empty or too long", kErrUnsupported);
    return false;
  }
  e.Name = std::move(form.Bytes);
  e.NameFlag = form.Utf8 ? kFlagUtf8 : 0;
  const int64_t actual = input.Size();
  if (actual < 0) {
    ReportError(e.Path, "size unreadable", kErrOpen);
    return false;
  }
  e.Size = static_cast<uint64_t>(actual);
  e.Zip64 = e.Size >= kAllOnes32 - kZip64Margin;
  return true;
}

// The local header as far as it is known before the data: CRC and packed
// size stay 0 until CompleteLocalHeader.
void TZip::WriteLocalHeader(Stream* Target, const TCompBaseHeaderObj& Entry, NewFileEntry& e) {
  PutLE32(e.Local, kLocalSignature);
  PutLE16(e.Local + kLocVersion, e.Zip64 ? kZip64Version : kVersion);
  // An empty file is never encrypted: there would be nothing to check the
  // password against.
  e.Flags = e.NameFlag | ((!Password.empty() && e.Size > 0) ? kFlagEncrypted : 0);
  PutLE16(e.Local + kLocFlags, e.Flags);
  PutLE16(e.Local + kLocMethod, kMethodDeflated);
  PutLE32(e.Local + kLocTime, Entry.Date);
  e.Read = e.Size;
  WriteLocalRecord(Target, e);
}

void TZip::WriteLocalRecord(Stream* Target, NewFileEntry& e) {
  uint8_t extra[4 + 16];
  if (e.Zip64) {
    PutLE32(e.Local + kLocPacked, kAllOnes32);
    PutLE32(e.Local + kLocSize, kAllOnes32);
    PutLE16(extra, kZip64Extra);
    PutLE16(extra + 2, 16);
    PutLE64(extra + 4, e.Read);
    PutLE64(extra + 12, e.Packed);
  } else {
    PutLE32(e.Local + kLocPacked, static_cast<uint32_t>(e.Packed));
    PutLE32(e.Local + kLocSize, static_cast<uint32_t>(e.Read));
  }
  PutLE16(e.Local + kLocNameLength, static_cast<uint16_t>(e.Name.size()));
  PutLE16(e.Local + kLocExtraLength, e.Zip64 ? sizeof extra : 0);
  WriteHeaderBytes(Target, e.Local, kLocalSize);
  WriteHeaderBytes(Target, e.Name.data(), e.Name.size());
  if (e.Zip64) WriteHeaderBytes(Target, extra, sizeof extra);
}

// The data of a non-empty file, stored or deflated, behind the encryption
// header when the entry is encrypted. Sets Method, Crc, Packed and Read.
// False when the entry must be dropped: reported here unless the run was
// cancelled.
bool TZip::WriteFileData(Stream* Target, platform::File& input, NewFileEntry& e) {
  WatchInput watch(*this, &input);
  const bool encrypt = e.Encrypted();
  uint32_t checkCrc = 0;
  if (encrypt) {
    // The check bytes of the encryption header come from the CRC of the
    // data, so the whole input is read once before it is compressed.
    if (!FileCrc32(input, e.Size, checkCrc)) {
      ReportReadFailure(e.Path);
      return false;
    }
    EncryptionHeader header = MakeEncryptionHeader(Password, checkCrc);
    WriteHeaderBytes(Target, header.data(), header.size());
  }

  PackedBytes = 0;
  Crc32Value = 0xFFFFFFFF;
  platform::PumpMessages();
  bool readFailed = false;
  try {
    readFailed = !input.Seek(0, platform::Origin::Begin) || !CopyOrDeflate(Target, input, e);
  } catch (const std::exception& failure) {
    // The entry is dropped and the run goes on with the next one.
    if (!GetCancel()) ReportError(CurrentFileName, failure.what(), kErrWrite);
    return false;
  }
  e.Crc = Crc32Value ^ 0xFFFFFFFF;
  if (GetCancel()) return false;
  // One rule for every method: a read error, a file that shrank while it
  // was read (its entry would hold a torn file under a size nobody gave),
  // or an encrypted input that changed since its CRC was taken (the check
  // bytes would not match) drops the entry with a report. A file that grew
  // is stored with the size it had when it was opened.
  if (readFailed || e.Read != e.Size || (encrypt && e.Crc != checkCrc)) {
    ReportReadFailure(e.Path);
    return false;
  }
  if (encrypt) e.Packed += kEncryptionHeaderSize;
  return true;
}

// The data itself, from the start of the input. False on a read error; a
// failed write raises.
bool TZip::CopyOrDeflate(Stream* Target, platform::File& input, NewFileEntry& e) {
  const bool encrypt = e.Encrypted();
  if (StoresAsItIs(CurrentFileName)) {
    e.Method = kMethodStored;
    e.Packed = CopyFileData(&input, Target, e.Size, ckCrc32, encrypt);
    const int64_t consumed = input.Position();
    e.Read = consumed > 0 ? std::min(static_cast<uint64_t>(consumed), e.Size) : 0;
    return !InputFailed;
  }
  InputLeft = e.Size;
  const EngineResult result = DeflateFile(*this, &input, Target, encrypt, true);
  if (result.Status == EngineStatus::WriteFailed) throw E_RAISE(kErrWrite, result.Why);
  // The engine's fallback leaves the input in the archive as it is.
  e.Method = result.Stored() ? kMethodStored : kMethodDeflated;
  // The level bits stay even when the engine fell back to storing.
  e.Flags |= kLevelFlags[DeflateType()];
  e.Packed = result.BytesWritten;
  e.Read = std::min(result.BytesRead, e.Size);
  return result.Status != EngineStatus::ReadFailed;
}

bool TZip::StoresAsItIs(const std::string& name) const {
  return CompressMethod() == cmStore ||
         (StoreAlreadyCompressedFiles && HasCompressedExtension(name, ".EXE"));
}

AheadPlan TZip::PlanAhead(int Index) {
  AheadPlan plan;
  if (StoresAsItIs(EntryList.Line(Index))) return plan;
  plan.engine = AheadPlan::kDeflate;
  plan.DeflateLevel = DeflateLevel();
  plan.AllowStoredFallback = true;
  plan.Crc32 = true;
  return plan;
}

// Cuts a dropped entry off again, or writes the local header over with the
// method, CRC and sizes the data turned out to have. False when the entry
// is dropped.
bool TZip::CompleteLocalHeader(Stream* Target, bool ok, NewFileEntry& e) {
  const int64_t endPos = Target->Position();
  if (endPos < 0) WriteFailed();
  if (ok && !GetCancel() && !e.Zip64 && (e.Packed >= kAllOnes32 || e.Read >= kAllOnes32)) {
    // Only a local header with a Zip64 field holds such sizes, and it was
    // written without one; the margin before 4 GiB makes this unreachable.
    ReportError(e.Path, "the entry's data passed 4 GiB unexpectedly; it was left out",
                kErrWrite);
    ok = false;
  }
  if (!ok || GetCancel()) {
    if (!TruncateTarget(Target, e.Start)) WriteFailed();
    return false;
  }

  if (e.Read == 0) {  // empty, or emptied since it was gathered
    e.Flags = e.NameFlag;
    e.Method = kMethodStored;
    e.Crc = e.Packed = 0;
  }
  PutLE16(e.Local + kLocFlags, e.Flags);
  PutLE16(e.Local + kLocMethod, e.Method);
  PutLE32(e.Local + kLocCrc, e.Crc);
  if (!Target->Seek(static_cast<int64_t>(e.Start), platform::Origin::Begin)) WriteFailed();
  WriteLocalRecord(Target, e);
  if (!Target->Seek(endPos, platform::Origin::Begin)) WriteFailed();
  return true;
}

void TZip::PutCentralRecord(TCompBaseHeaderObj& Entry, const uint8_t* Local,
                            const std::string& Name, uint32_t ExternalAttr,
                            const CentralValues& Values, bool SizesInExtra) {
  std::vector<uint8_t>& c = Entry.Header;
  c.assign(kCentralSize, 0);
  PutLE32(c.data(), kCentralSignature);
  // Info-ZIP's unzip reads every name of a FAT-host entry through the OEM
  // code page, UTF-8 flag or not; an NTFS host (the same Windows
  // attributes) keeps it from mangling the names stored in UTF-8.
  const bool utf8 = GetLE16(Local + kLocFlags) & kFlagUtf8;
  PutLE16(&c[kCenMadeBy], utf8 ? kHostNtfs << 8 | kVersion : kVersion);
  PutLE16(&c[kCenVersion], kVersion);
  // Flags through uncompressed size are the local header's, field for field.
  std::copy(Local + kLocFlags, Local + kLocNameLength, &c[kCenFlags]);
  PutLE16(&c[kCenNameLength], static_cast<uint16_t>(Name.size()));
  PutLE16(&c[kCenInternalAttr], 1);
  PutLE32(&c[kCenExternalAttr], ExternalAttr);
  c.insert(c.end(), Name.begin(), Name.end());
  PutCentralValues(c, Values, SizesInExtra);
  Entry.Extra.clear();
  Entry.ExtraLength = 0;
}

// An empty folder becomes an entry of its own, named with a trailing "/";
// a folder that holds anything is stored through its files.
bool TZip::WriteFolderEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  const std::string path = EntryList.Line(Index);
  if (!StoreEmptySubDirs || !FolderIsEmpty(path)) return false;
  SetCurrentFileName(AppendBackslash(path));
  const TStoredNameForm form = ZipNameForm(CurrentFileName);
  const std::string& name = form.Bytes;
  if (name.empty() || name.size() > 0xFFFF) return false;
  const int64_t startPos = Target->Position();
  if (startPos < 0) WriteFailed();
  const auto start = static_cast<uint64_t>(startPos);

  uint8_t local[kLocalSize] = {};
  PutLE32(local, kLocalSignature);
  PutLE16(local + kLocVersion, kVersion);
  PutLE16(local + kLocFlags, form.Utf8 ? kFlagUtf8 : 0);
  PutLE32(local + kLocTime, Entry.Date);
  PutLE16(local + kLocNameLength, static_cast<uint16_t>(name.size()));
  WriteHeaderBytes(Target, local, kLocalSize);
  WriteHeaderBytes(Target, name.data(), name.size());

  PutCentralRecord(Entry, local, name, kDirectoryAttr, {0, 0, start});
  Entry.Offset = start;
  Entry.Size = Entry.PackedSize = 0;
  return true;
}

// ---------------------------------------------------------------------------
// Reading an existing archive

bool TZip::FindEndRecord(Stream& Source, std::string& Problem) {
  const int64_t size = Source.Size();
  if (size < 0) {
    Problem = "size unreadable";
    return false;
  }
  const auto window = static_cast<uint32_t>(std::min<int64_t>(size, kEndSearchSize));
  if (window < kEndSize) {
    Problem = "no end of central directory record";
    return false;
  }
  std::vector<uint8_t> tail(window);
  const uint64_t base = static_cast<uint64_t>(size) - window;
  if (!ReadAt(Source, base, tail.data(), window)) {
    Problem = "read failed";
    return false;
  }
  // Backwards from the last place the record fits; a comment may hold the
  // signature too, so a candidate must describe a directory that lies
  // before it and a comment that ends within the file.
  for (uint32_t pos = window - kEndSize + 1; pos-- > 0;) {
    const uint8_t* e = &tail[pos];
    if (GetLE32(e) != kEndSignature) continue;
    const uint32_t commentLength = GetLE16(e + kEndCommentLength);
    const uint64_t dirEnd =
        static_cast<uint64_t>(GetLE32(e + kEndDirOffset)) + GetLE32(e + kEndDirSize);
    if (pos + kEndSize + commentLength > window) continue;
    // A Zip64 archive's end record may hold all ones in every field, so it
    // is recognised by the locator before it, not by the fields.
    const bool zip64 =
        pos >= kZip64LocatorSize && GetLE32(e - kZip64LocatorSize) == kZip64LocatorSignature;
    if (!zip64 && dirEnd > base + pos) continue;
    std::copy(e, e + kEndSize, fEnd);
    fEndPosition = base + pos;
    fDirOffset = GetLE32(e + kEndDirOffset);
    fDirSize = GetLE32(e + kEndDirSize);
    fEntryCount = GetLE16(e + kEndEntriesTotal);
    fArchiveComment.assign(reinterpret_cast<const char*>(e + kEndSize), commentLength);
    if (GetLE16(e + kEndThisDisk) != 0 || GetLE16(e + kEndDirDisk) != 0 ||
        GetLE16(e + kEndEntriesHere) != GetLE16(e + kEndEntriesTotal)) {
      Problem = "spanned or split archive";
      return false;
    }
    return !zip64 || ReadZip64End(Source, base + pos, Problem);
  }
  Problem = "no end of central directory record";
  return false;
}

bool TZip::ReadZip64End(Stream& Source, uint64_t endAt, std::string& Problem) {
  uint8_t locator[kZip64LocatorSize];
  uint8_t record[kZip64EndSize];
  const uint64_t locatorAt = endAt - kZip64LocatorSize;
  if (!ReadAt(Source, locatorAt, locator, sizeof locator)) {
    Problem = "read failed";
    return false;
  }
  const uint64_t recordAt = GetLE64(locator + kLocatorEndOffset);
  if (GetLE32(locator + kLocatorDisk) != 0 || GetLE32(locator + kLocatorDisks) > 1) {
    Problem = "spanned or split archive";
    return false;
  }
  if (recordAt > locatorAt || locatorAt - recordAt < kZip64EndSize ||
      !ReadAt(Source, recordAt, record, sizeof record) ||
      GetLE32(record) != kZip64EndSignature ||
      GetLE64(record + kZ64RecordSize) + 12 > locatorAt - recordAt) {
    Problem = "its Zip64 end locator points at no Zip64 end record";
    return false;
  }
  if (GetLE32(record + kZ64ThisDisk) != 0 || GetLE32(record + kZ64DirDisk) != 0 ||
      GetLE64(record + kZ64EntriesHere) != GetLE64(record + kZ64EntriesTotal)) {
    Problem = "spanned or split archive";
    return false;
  }
  fDirOffset = GetLE64(record + kZ64DirOffset);
  fDirSize = GetLE64(record + kZ64DirSize);
  fEntryCount = GetLE64(record + kZ64EntriesTotal);
  fEndPosition = recordAt;
  if (fDirOffset > recordAt || recordAt - fDirOffset < fDirSize ||
      fEntryCount > fDirSize / kCentralSize) {
    Problem = "its Zip64 end record describes no directory before it";
    return false;
  }
  return true;
}

bool TZip::ReadFirstHeader(std::string& Name, Stream* Source) {
  std::string problem;
  if (!FindEndRecord(*Source, problem)) return false;
  HeaderPos = fDirOffset;
  return ReadHeader(Source, Name);
}

// Reads the central record at the header position; it and its name, extra
// field and comment must lie before the end record.
bool TZip::ReadHeader(Stream* Source, std::string& Name) {
  NextHeaderPos = 0;
  const uint64_t pos = HeaderPos;
  if (pos + kCentralSize > fEndPosition) return false;
  KeptRecord record;
  record.Header.resize(kCentralSize);
  if (!ReadAt(*Source, pos, record.Header.data(), kCentralSize) ||
      GetLE32(record.Header.data()) != kCentralSignature)
    return false;
  const uint32_t nameExtra = GetLE16(&record.Header[kCenNameLength]) +
                             GetLE16(&record.Header[kCenExtraLength]);
  const uint32_t commentLength = GetLE16(&record.Header[kCenCommentLength]);
  const uint64_t end = pos + kCentralSize + nameExtra + commentLength;
  if (end > fEndPosition) return false;
  record.Header.resize(kCentralSize + nameExtra);
  record.Comment.resize(commentLength);
  if (!ReadAt(*Source, pos + kCentralSize, record.Header.data() + kCentralSize, nameExtra) ||
      !ReadAt(*Source, pos + kCentralSize + nameExtra, record.Comment.data(), commentLength))
    return false;
  fRecord = std::move(record);
  NextHeaderPos = end;
  Name = EntryName(fRecord.Header);
  return true;
}

// The whole directory, as many records as the end record counts.
bool TZip::ReadDirectory(Stream& Source, std::vector<KeptRecord>& Records,
                         std::string& Problem) {
  if (!FindEndRecord(Source, Problem)) return false;
  const uint64_t total = fEntryCount;
  std::string name;
  for (uint64_t i = 0; i < total; ++i) {
    HeaderPos = i == 0 ? fDirOffset : NextHeaderPos;
    if (!ReadHeader(&Source, name)) {
      Problem = "central directory record " + std::to_string(i + 1) + " of " +
                std::to_string(total) + " unreadable";
      // A program put before an archive without adjusting its offsets
      // leaves the directory later in the file than the end record says.
      if (i == 0 && fEndPosition > fDirOffset + fDirSize)
        Problem += ": its offsets do not count from the start of the file (a self-extractor "
                   "whose offsets were not adjusted, or data added before the archive)";
      return false;
    }
    if (!ReadCentralValues(fRecord.Header, fRecord.Values)) {
      Problem = "central directory record " + std::to_string(i + 1) +
                " leaves a size or offset to a Zip64 extra field it does not have";
      return false;
    }
    Records.push_back(fRecord);
  }
  // Counts are 16-bit: a directory with another record after the last one
  // counted holds more entries than the end record says, and keeping only
  // the counted ones would lose the rest.
  const uint64_t next = total == 0 ? fDirOffset : NextHeaderPos;
  uint8_t signature[4];
  if (ReadAt(Source, next, signature, 4) && GetLE32(signature) == kCentralSignature) {
    Problem = "the central directory holds more records than its end record counts";
    return false;
  }
  return true;
}

// A kept entry is copied byte for byte later, so everything the copy will
// read must lie in the archive, before the directory.
bool TZip::CheckLocalHeader(Stream& Source, KeptRecord& Record, std::string& Problem) {
  const uint8_t* c = Record.Header.data();
  const uint64_t offset = Record.Values.Offset;
  const uint64_t packed = Record.Values.Packed;
  const uint64_t size = Record.Values.Size;
  const std::string where = "entry at offset " + std::to_string(offset);
  const uint64_t dirOffset = fDirOffset;
  uint8_t local[kLocalSize];
  if (offset + kLocalSize > dirOffset || packed > dirOffset ||
      !ReadAt(Source, offset, local, kLocalSize) || GetLE32(local) != kLocalSignature) {
    Problem = where + ": no local header there";
    return false;
  }
  const uint64_t dataEnd = offset + kLocalSize +
                           GetLE16(local + kLocNameLength) +
                           GetLE16(local + kLocExtraLength) + packed;
  if (dataEnd > dirOffset) {
    Problem = where + ": data runs past the directory";
    return false;
  }
  // A data descriptor after the data belongs to the entry and is copied
  // with it, whole: a streaming reader needs every byte of it. It may carry
  // a signature, and 32- or 64-bit sizes (Zip64 streams write those even for
  // small entries); the form whose CRC and sizes repeat the central
  // record's is the one there.
  uint32_t descriptor = 0;
  if (GetLE16(local + kLocFlags) & kFlagDescriptor) {
    uint8_t d[24] = {};
    const auto room = static_cast<uint32_t>(std::min<uint64_t>(sizeof d, dirOffset - dataEnd));
    if (room >= 4 && ReadAt(Source, dataEnd, d, room)) {
      const uint32_t crc = GetLE32(c + kCenCrc);
      auto matches = [&](uint32_t at, bool wide) {
        const uint32_t length = at + (wide ? 20 : 12);
        if (length > room || GetLE32(d + at) != crc) return 0u;
        const bool same = wide ? GetLE64(d + at + 4) == packed && GetLE64(d + at + 12) == size
                               : GetLE32(d + at + 4) == packed && GetLE32(d + at + 8) == size;
        return same ? length : 0u;
      };
      if (GetLE32(d) == kDescriptorSignature)
        descriptor = std::max(matches(4, false), matches(4, true));
      if (descriptor == 0) descriptor = std::max(matches(0, false), matches(0, true));
    }
    // Some writers set the flag and write no descriptor: the next record
    // follows the data at once, and the entry is copied as it is. Anything
    // else there is a descriptor this reading does not know, and copying
    // the entry without it would leave streaming readers lost.
    const bool nextRecord =
        dataEnd == dirOffset || (room >= 4 && (GetLE32(d) == kLocalSignature ||
                                               GetLE32(d) == kCentralSignature));
    if (descriptor == 0 && !nextRecord) {
      Problem = where + ": its data descriptor is not where the entry ends";
      return false;
    }
  }
  Record.Occupied = packed + descriptor;
  Record.Copied = dataEnd + descriptor - offset;
  return true;
}

void TZip::AddKeptEntry(const KeptRecord& Record) {
  const uint8_t* c = Record.Header.data();
  auto entry = std::make_unique<TCompBaseHeaderObj>();
  entry->Header = Record.Header;
  entry->Size = Record.Values.Size;
  entry->PackedSize = Record.Occupied;
  entry->Date = GetLE32(c + kCenTime);
  entry->Attr = GetLE32(c + kCenExternalAttr) & kComparedAttr;
  entry->Offset = Record.Values.Offset;
  entry->CopyLength = Record.Copied;
  entry->Extra.assign(Record.Comment.begin(), Record.Comment.end());
  entry->ExtraLength = static_cast<uint16_t>(Record.Comment.size());
  entry->Action = TCompBaseHeaderObj::kCopy;
  std::string line = EntryName(Record.Header);
  // A folder entry is named with a trailing separator, but the search finds
  // the folder without one: the line must match it, or an update would add
  // the folder a second time.
  if (line.size() > 1 && IsDelimiter(line.back())) line.pop_back();
  EntryList.Add(line, std::move(entry));
  EntrySpecIndex.push_back(1);
  TotalBytes += Record.Copied;
}

void TZip::LoadEntries(Stream* Source) {
  fDirectoryLoaded = false;
  std::vector<KeptRecord> records;
  std::string problem;
  bool ok = ReadDirectory(*Source, records, problem);
  for (size_t i = 0; ok && i < records.size(); ++i)
    ok = CheckLocalHeader(*Source, records[i], problem);
  if (!ok) {
    // Not a ZIP archive, or a damaged one: committing a new archive over it
    // would lose it, so the run writes nothing and leaves it as it is.
    ReportError(ArchiveFile(), problem, kErrUnsupported);
    Discard = true;
    return;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    if (Switch == swDelete && NameSelected(EntryName(records[i].Header))) {
      ++FilesDeleted;
      continue;
    }
    AddKeptEntry(records[i]);
  }
}

// A kept entry under a new name: new local header and name, then the old
// extra field, data and descriptor unchanged.
void TZip::CopyEntry(Stream* Source, Stream* Target, int Method, int Index) {
  TCompBaseHeaderObj& entry = EntryList.Object(Index);
  if (!IsCentralRecord(entry.Header)) return;
  const std::string oldName = RecordName(entry.Header);
  const TStoredNameForm form = ZipNameForm(EntryList.Line(Index));
  std::string name = form.Bytes;
  if (!oldName.empty() && oldName.back() == '/' && (name.empty() || name.back() != '/'))
    name += '/';
  const int64_t pos = Target->Position();
  uint8_t local[kLocalSize];
  if (name.size() > 0xFFFF || pos < 0 ||
      !ReadAt(*Source, entry.Offset, local, kLocalSize) || GetLE32(local) != kLocalSignature) {
    // The archive changed since it was loaded: dropping the entry would
    // lose it, so the run ends and the archive stays as it is.
    RaiseError(ArchiveFile(), "entry could not be copied", kErrUnsupported);
    return;
  }
  const uint32_t oldNameLength = GetLE16(local + kLocNameLength);
  const uint64_t rest = GetLE16(local + kLocExtraLength) + entry.PackedSize;
  // The new name says in which form it is stored, in both records.
  const auto withNameFlag = [&](uint32_t flags) {
    return static_cast<uint16_t>(form.Utf8 ? flags | kFlagUtf8 : flags & ~kFlagUtf8);
  };
  PutLE16(local + kLocNameLength, static_cast<uint16_t>(name.size()));
  PutLE16(local + kLocFlags, withNameFlag(GetLE16(local + kLocFlags)));
  WriteHeaderBytes(Target, local, kLocalSize);
  WriteHeaderBytes(Target, name.data(), name.size());
  if (!Source->Seek(static_cast<int64_t>(entry.Offset) + kLocalSize + oldNameLength,
                    platform::Origin::Begin) ||
      CopyBlock(Source, Target, rest, ckNone, false) != rest)
    WriteFailed();

  std::vector<uint8_t> header(entry.Header.begin(), entry.Header.begin() + kCentralSize);
  PutLE16(&header[kCenNameLength], static_cast<uint16_t>(name.size()));
  PutLE16(&header[kCenFlags], withNameFlag(GetLE16(&header[kCenFlags])));
  header.insert(header.end(), name.begin(), name.end());
  header.insert(header.end(), entry.Header.begin() + kCentralSize + oldName.size(),
                entry.Header.end());
  CentralValues values;
  ReadCentralValues(entry.Header, values);  // read sound when the archive was loaded
  values.Offset = static_cast<uint64_t>(pos);
  PutCentralValues(header, values);
  entry.Header = std::move(header);
  entry.Offset = static_cast<uint64_t>(pos);
}

// A self-extractor is a program with an archive appended, its offsets
// counted from the start of the file: everything before the first entry (or
// before the directory of an archive without entries) is that program. The
// driver copies it ahead of the entries when ArchiveStart says where they
// begin; kept entries then stay where they were and new ones follow.
void TZip::CompressArchive() {
  if (Switch != swRead) {
    auto& os = platform::Current();
    if (FileHandle file = os.OpenRead(ArchiveFile(), platform::ShareMode::Read)) {
      std::vector<KeptRecord> records;
      std::string problem;
      if (ReadDirectory(*file, records, problem)) {
        uint64_t first = fDirOffset;
        for (const KeptRecord& record : records) first = std::min(first, record.Values.Offset);
        ArchiveStart = static_cast<int32_t>(std::min<uint64_t>(first, 0x7FFFFFFE)) + 1;
      }
      // An unreadable archive is reported by LoadEntries.
    }
  }
  TCompBase::CompressArchive();
}

// The driver takes a found file for unchanged when its size, time and
// attributes equal the kept entry's. A kept entry holds only the attributes
// a Windows file has; made on another host, its attributes say nothing a
// file here could match, and its time may be rounded the other way (DOS
// times count 2-second steps): those compare on size and time alone.
void TZip::FoundFile(int SpecIndex, const std::string& Folder,
                     const platform::FindData& Data) {
  if (!PostCommit && !NewArchive && AcceptAttr(Data.Attr)) {
    const std::string fullPath = Folder + Data.Name;
    SetCurrentFileName(fullPath);
    const int found = Excluded(CurrentFileName) ? -1 : EntryList.IndexOf(CurrentFileName);
    TCompBaseHeaderObj* old = found >= 0 ? &EntryList.Object(found) : nullptr;
    if (old && old->Action == TCompBaseHeaderObj::kCopy && IsCentralRecord(old->Header)) {
      const uint8_t* c = old->Header.data();
      const uint8_t host = c[kCenMadeBy + 1];
      const bool dosHost = std::find(std::begin(kDosHosts), std::end(kDosHosts), host) !=
                           std::end(kDosHosts);
      if (!dosHost || old->Attr == (Data.Attr & kComparedAttr)) old->Attr = Data.Attr;
      if (old->Date != Data.Time &&
          std::abs(DosDateToDateTime(old->Date) - DosDateToDateTime(Data.Time)) * 86400 < 2.5)
        old->Date = Data.Time;
      const bool unchanged = old->Size == Data.Size && old->Date == Data.Time &&
                             (old->Attr == Data.Attr ||
                              (old->Attr & Data.Attr & platform::kAttrDirectory));
      if (!unchanged && Password.empty() && (GetLE16(c + kCenFlags) & kFlagEncrypted)) {
        ReportError(fullPath,
                    "the archive holds this file encrypted and the run has no password, "
                    "so it would be stored unencrypted: the encrypted entry was kept", kErrUnsupported);
        return;
      }
    }
  }
  TCompBase::FoundFile(SpecIndex, Folder, Data);
}

// ---------------------------------------------------------------------------
// The directory

void TZip::WriteArchiveEnd(Stream* Target) {
  SpannedComplete = false;
  SpannedVolumes = 0;
  if (EntryNumber == 0) return;
  if (!ArchiveDriveReady()) {
    Discard = true;
    fArchiveFile.clear();
    return;
  }
  // A new archive carries no comment read from an earlier one; only a
  // comment set for it.
  if (NewArchive && !fCommentsChanged) fArchiveComment.clear();
  // Free space from the cluster counts in 64 bits: the 32-bit byte count
  // wraps on disks of 4 GiB and more, which would make a large removable
  // disk look full.
  const TDiskManager& disk = DiskManager();
  const uint64_t freeBytes = static_cast<uint64_t>(disk.DiskSpace.FreeClusters) *
                             disk.DiskSpace.SectorsPerCluster * disk.DiskSpace.BytesPerSector;
  const int64_t size = Target->Size();
  const bool spanned = disk.DriveType == platform::kDriveRemovable && size >= 0 &&
                       static_cast<uint64_t>(size) > freeBytes;
  const bool split = SplitSize > 0 && size >= 0 &&
                     static_cast<uint64_t>(size) + DirectoryBytes() > SplitSize;
  if (spanned || split) {
    if (NeedsZip64(size)) {
      // Disks and segments keep 32-bit offsets: such an archive is not split.
      ReportError(ArchiveFile(),
                  "the archive needs Zip64 records (an entry or the archive reaches 4 GiB, or "
                  "it holds 65535 entries or more), which spanned and split archives cannot "
                  "hold; nothing was written", kErrWrite);
      Discard = true;
      FilesWritten = 0;  // nothing of the run was kept
      return;
    }
    WriteSpannedArchive(Target);
    return;
  }
  if (!Target->Seek(0, platform::Origin::End)) WriteFailed();
  WriteDirectory(Target, false);
}

bool TZip::NeedsZip64(int64_t archiveSize) {
  uint64_t count = 0;
  for (int i = 0; i < EntryList.Count(); ++i) {
    TCompBaseHeaderObj& entry = EntryList.Object(i);
    if (entry.Action == TCompBaseHeaderObj::kSkip || !IsCentralRecord(entry.Header)) continue;
    ++count;
    const uint8_t* c = entry.Header.data();
    if (entry.Offset >= kAllOnes32 || GetLE32(c + kCenSize) == kAllOnes32 ||
        GetLE32(c + kCenPacked) == kAllOnes32)
      return true;
  }
  return count >= 0xFFFF || archiveSize < 0 ||
         static_cast<uint64_t>(archiveSize) + DirectoryBytes() >= kAllOnes32;
}

uint64_t TZip::DirectoryBytes() {
  uint64_t bytes = kEndSize + fArchiveComment.size();
  for (int i = 0; i < EntryList.Count(); ++i) {
    TCompBaseHeaderObj& entry = EntryList.Object(i);
    if (entry.Action == TCompBaseHeaderObj::kSkip || !IsCentralRecord(entry.Header)) continue;
    bytes += entry.Header.size();
    if (GetLE16(&entry.Header[kCenCommentLength]) != 0) bytes += entry.Extra.size();
  }
  return bytes;
}

bool TZip::WriteSpannedArchive(Stream* Source) {
  TZipSpan span(*this, *Source, SplitSize);
  return span.WriteSpannedArchive();
}

bool TZip::WriteDirectory(Stream* Target, bool EvenEmpty) {
  const int64_t start = Target->Position();
  if (start < 0) WriteFailed();
  uint64_t count = 0;
  for (int i = 0; i < EntryList.Count(); ++i) {
    TCompBaseHeaderObj& entry = EntryList.Object(i);
    if (entry.Action == TCompBaseHeaderObj::kSkip || !IsCentralRecord(entry.Header)) continue;
    // A kept entry may have moved (past 4 GiB, too): its record gets the
    // offset it has now.
    CentralValues values;
    if (ReadCentralValues(entry.Header, values)) {
      values.Offset = entry.Offset;
      PutCentralValues(entry.Header, values, GetLE32(&entry.Header[kCenSize]) == kAllOnes32);
    }
    WriteHeaderBytes(Target, entry.Header.data(), entry.Header.size());
    if (GetLE16(&entry.Header[kCenCommentLength]) != 0 && !entry.Extra.empty())
      WriteHeaderBytes(Target, entry.Extra.data(), entry.Extra.size());
    ++count;
  }
  if (count == 0 && !EvenEmpty) return false;
  const int64_t dirEnd = Target->Position();
  if (dirEnd < 0) WriteFailed();
  const auto dirOffset = static_cast<uint64_t>(start);
  const auto dirSize = static_cast<uint64_t>(dirEnd - start);
  // The Zip64 end record and its locator only when a field below cannot
  // hold its value: an archive without need stays as it always was.
  const bool zip64 = count >= 0xFFFF || dirOffset >= kAllOnes32 || dirSize >= kAllOnes32;
  if (zip64) {
    uint8_t record[kZip64EndSize] = {};
    PutLE32(record, kZip64EndSignature);
    PutLE64(record + kZ64RecordSize, kZip64EndSize - 12);
    PutLE16(record + kZ64MadeBy, kZip64Version);
    PutLE16(record + kZ64Version, kZip64Version);
    PutLE64(record + kZ64EntriesHere, count);
    PutLE64(record + kZ64EntriesTotal, count);
    PutLE64(record + kZ64DirSize, dirSize);
    PutLE64(record + kZ64DirOffset, dirOffset);
    uint8_t locator[kZip64LocatorSize] = {};
    PutLE32(locator, kZip64LocatorSignature);
    PutLE64(locator + kLocatorEndOffset, static_cast<uint64_t>(dirEnd));
    PutLE32(locator + kLocatorDisks, 1);
    WriteHeaderBytes(Target, record, sizeof record);
    WriteHeaderBytes(Target, locator, sizeof locator);
  }
  uint8_t end[kEndSize] = {};
  PutLE32(end, kEndSignature);
  const auto count16 = static_cast<uint16_t>(std::min<uint64_t>(count, 0xFFFF));
  PutLE16(end + kEndEntriesHere, count16);
  PutLE16(end + kEndEntriesTotal, count16);
  PutLE32(end + kEndDirSize, static_cast<uint32_t>(std::min<uint64_t>(dirSize, kAllOnes32)));
  PutLE32(end + kEndDirOffset, static_cast<uint32_t>(std::min<uint64_t>(dirOffset, kAllOnes32)));
  PutLE16(end + kEndCommentLength, static_cast<uint16_t>(fArchiveComment.size()));
  WriteHeaderBytes(Target, end, kEndSize);
  if (!fArchiveComment.empty())
    WriteHeaderBytes(Target, fArchiveComment.data(), fArchiveComment.size());
  return true;
}

void TZip::ReportEntries() {
  if (Switch == swDelete) return;
  for (int i = 0; i < EntryList.Count(); ++i) {
    TCompBaseHeaderObj& entry = EntryList.Object(i);
    if (entry.Action != TCompBaseHeaderObj::kNew || !IsCentralRecord(entry.Header)) continue;
    const uint8_t* c = entry.Header.data();
    Entry = TEntryInfo();
    Entry.FileName = EntryName(entry.Header);
    Entry.Date = DosDateToDateTime(GetLE32(c + kCenTime));
    CentralValues values;
    ReadCentralValues(entry.Header, values);
    Entry.Size = values.Size;
    Entry.PackedSize = values.Packed;
    Entry.Crc = GetLE32(c + kCenCrc);
    Entry.Attr = GetLE32(c + kCenExternalAttr);
    Entry.MethodName = MethodName(GetLE16(c + kCenMethod), GetLE16(c + kCenFlags));
    Entry.Offset = values.Offset;
    if (OnRead) OnRead(*this, Entry.Offset, i);
  }
}

// ---------------------------------------------------------------------------
// Comments

int TZip::ReadArchiveDirectory() {
  EntryList.Clear();
  EntrySpecIndex.clear();
  fCommentsChanged = false;
  fDirectoryLoaded = false;
  FileHandle file = OpenArchiveFile(ArchiveFile());
  if (!file) return 0;
  std::vector<KeptRecord> records;
  std::string problem;
  if (!ReadDirectory(*file, records, problem)) {
    ReportError(ArchiveFile(), problem, kErrUnsupported);
    return 0;
  }
  for (auto& record : records) {
    record.Occupied = record.Values.Packed;
    AddKeptEntry(record);
  }
  fDirectoryLoaded = true;
  return EntryList.Count();
}

std::string TZip::GetArchiveComment() {
  FileHandle file = OpenArchiveFile(ArchiveFile());
  if (!file) return {};
  const std::string held = fArchiveComment;
  std::string problem;
  const bool found = FindEndRecord(*file, problem);
  std::string comment = found ? fArchiveComment : std::string();
  // A comment set for the next RewriteDirectory stays set.
  fArchiveComment = held;
  if (!found) ReportError(ArchiveFile(), problem, kErrUnsupported);
  return comment;
}

void TZip::SetArchiveComment(const std::string& Comment) {
  fArchiveComment = Comment.substr(0, 0xFFFF);
  fCommentsChanged = true;
}

void TZip::SetEntryComment(int Index, const std::string& Comment) {
  if (Index < 0 || Index >= EntryList.Count() ||
      !IsCentralRecord(EntryList.Object(Index).Header)) {
    ReportError(ArchiveFile(), "no entry " + std::to_string(Index), kErrUnsupported);
    return;
  }
  TCompBaseHeaderObj& entry = EntryList.Object(Index);
  const std::string text = Comment.substr(0, 0xFFFF);
  entry.Extra.assign(text.begin(), text.end());
  entry.ExtraLength = static_cast<uint16_t>(text.size());
  PutLE16(&entry.Header[kCenCommentLength], entry.ExtraLength);
  fCommentsChanged = true;
}

void TZip::RewriteDirectory() {
  if (!fCommentsChanged || GetCancel()) return;
  // The directory is written where the old one began, so it must be the
  // one read from this archive (a comment may have been set before).
  if (!fDirectoryLoaded) {
    const std::string comment = fArchiveComment;
    ReadArchiveDirectory();
    if (!fDirectoryLoaded) return;
    fArchiveComment = comment;
  }
  FileHandle file = platform::Current().OpenReadWrite(ArchiveFile());
  if (!file) {
    ReportError(ArchiveFile(), platform::Current().LastErrorText(), kErrOpen);
    return;
  }
  // The directory may come out shorter than before: the file is cut after
  // it, or the old end record would still be found at the end.
  if (!file->Seek(static_cast<int64_t>(fDirOffset), platform::Origin::Begin)) WriteFailed();
  WriteDirectory(file.get(), true);
  if (!file->SetEnd() || !file->Close()) WriteFailed();
  fCommentsChanged = false;
}

}  // namespace vix
