#include "writers/kvtTar.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/kvtNames.h"
#include "archive/kvtTime.h"
#include "writers/kvtGZip.h"

namespace vix {

namespace tar {

uint32_t TarChecksum(const uint8_t* header) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < kBlock; ++i)
    sum += (i >= kChksumOff && i < kChksumOff + kChksumLen) ? uint32_t{' '} : header[i];
  return sum;
}

}  // namespace tar

namespace {

using namespace tar;

constexpr uint32_t kCopyChunk = 32768;
// A long name longer than this is not one this system (or any file system)
// wrote: the entry is taken for damage rather than read into memory.
constexpr uint32_t kMaxLongName = 65536;

uint32_t RoundUp(uint64_t n) { return static_cast<uint32_t>((n + kBlock - 1) / kBlock * kBlock); }

// A text field up to its first zero byte.
std::string Field(const uint8_t* h, size_t off, size_t len) {
  const char* p = reinterpret_cast<const char*>(h + off);
  return std::string(p, strnlen(p, len));
}

uint64_t OctalField(const uint8_t* h, size_t off, size_t len) {
  const char* p = reinterpret_cast<const char*>(h + off);
  return ParseOctal(p, strnlen(p, len));
}

void PutOctal(uint8_t* h, size_t off, size_t len, uint64_t value) {
  FormatOctal(value, static_cast<int>(len), true, reinterpret_cast<char*>(h + off));
}

void PutText(uint8_t* h, size_t off, size_t len, const std::string& text) {
  std::memcpy(h + off, text.data(), std::min(len, text.size()));
}

bool AllZero(const uint8_t* h) {
  return std::all_of(h, h + kBlock, [](uint8_t b) { return b == 0; });
}

bool ValidHeader(const uint8_t* h) {
  return OctalField(h, kChksumOff, kChksumLen) == TarChecksum(h);
}

int32_t DosToUnix(uint32_t dos) { return LocalToUnixTime(DosStampToDateTime(dos)); }

}  // namespace

TTar::TTar(TComponent* owner) : TCompBase(owner) {
  fOwnExt = ".TAR";
  fAllowedMethods = {cmTarred, cmGzipTar};
  SetDefaultExt(fOwnExt);
  SetCompressMethod(cmTarred);
  SetArcType(atTar);
}

void TTar::SetArcType(TArcType) {
  fArcType = atTar;
  if (!Loading() && !ArchiveFile().empty() && ExtractFileExt(ArchiveFile()).empty())
    SetArchiveFile(ArchiveFile() + DefaultExt());
}

uint32_t TTar::EntryOverhead(int) { return kBlock; }

// --- writing -----------------------------------------------------------------

void TTar::WriteNameAndPrepare(Stream* Target, const std::string& stored, bool folder) {
  // User and group names are cut to their fields (the properties keep the cut value).
  if (UnixUName.size() > kUnameLen) UnixUName.resize(kUnameLen);
  if (UnixGName.size() > kGnameLen) UnixGName.resize(kGnameLen);

  if (stored.size() + 1 > kNameLen) {
    // The name and its zero byte do not fit: a long-name entry goes first.
    std::memset(fHeader, 0, kBlock);
    PutText(fHeader, kNameOff, kNameLen, kLongLinkName);
    PutOctal(fHeader, kModeOff, kModeLen, 0644);
    PutOctal(fHeader, kUidOff, kUidLen, 0);
    PutOctal(fHeader, kGidOff, kGidLen, 0);
    PutOctal(fHeader, kSizeOff, kSizeLen, stored.size() + 1);
    PutOctal(fHeader, kMtimeOff, kMtimeLen, 0);
    fHeader[kTypeOff] = kTypeLongName;
    std::memcpy(fHeader + kMagicOff, kMagic, kMagicLen);
    PutText(fHeader, kUnameOff, kUnameLen, UnixUName);
    PutText(fHeader, kGnameOff, kGnameLen, UnixGName);
    PutOctal(fHeader, kChksumOff, kChksumLen, TarChecksum(fHeader));
    std::vector<uint8_t> data(RoundUp(stored.size() + 1), 0);
    std::memcpy(data.data(), stored.data(), stored.size());
    WriteBlock(Target, fHeader, kBlock, false, 0, false);
    WriteBlock(Target, data.data(), static_cast<uint32_t>(data.size()), false, 0, false);
  }

  std::memset(fHeader, 0, kBlock);
  PutText(fHeader, kNameOff, kNameLen - 1, stored);
  std::memcpy(fHeader + kModeOff, folder ? kFolderMode : kFileMode, kModeLen);
  fHeader[kTypeOff] = folder ? kTypeFolder : kTypeFile;
  std::memcpy(fHeader + kMagicOff, kMagic, kMagicLen);
  PutText(fHeader, kUnameOff, kUnameLen, UnixUName);
  PutText(fHeader, kGnameOff, kGnameLen, UnixGName);
}

void TTar::WritePadding(Stream* Target, uint64_t end) {
  const uint32_t pad = RoundUp(end) - static_cast<uint32_t>(end);
  if (pad == 0) return;
  uint8_t zeros[kBlock] = {};
  if (!Target->Seek(static_cast<int64_t>(end), platform::Origin::Begin)) WriteFailed();
  WriteBlock(Target, zeros, pad, false, 0, false);
}

// Copies the source from its first byte to its end, however long it is now:
// the header then records what was stored, whatever the gathered size said.
bool TTar::CopySourceData(Stream* Target, platform::Stream* in, const std::string& source,
                        TCompBaseHeaderObj& Entry, uint32_t& copied) {
  copied = 0;
  std::vector<uint8_t> buffer(kCopyChunk);
  for (;;) {
    if (GetCancel()) return false;
    const uint32_t want = std::min<uint32_t>(kCopyChunk, 0xFFFFFFFFu - copied);
    if (want == 0) break;
    const int64_t got = ReadBlock(in, buffer.data(), want, 0, false);
    if (got < 0) {
      ReportReadFailure(source);
      return false;
    }
    if (got == 0) break;
    WriteBlock(Target, buffer.data(), static_cast<uint32_t>(got), true, 0, false);
    copied += static_cast<uint32_t>(got);
    BytesLeft -= std::min(BytesLeft, static_cast<uint32_t>(got));
    ReportProgress(copied, Entry.Size, TotalBytes);
  }
  return true;
}

void TTar::WriteFilled(Stream* Target, uint32_t at) {
  if (!Target->Seek(at, platform::Origin::Begin)) WriteFailed();
  WriteBlock(Target, fHeader, kBlock, false, 0, false);
}

bool TTar::WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  const bool folder = (Entry.Attr & platform::kAttrDirectory) != 0;
  if (folder && !StoreEmptySubDirs) return false;
  const std::string source = EntryList.Line(Index);
  CurrentFileName = source;  // TAR stores the source path itself

  FileHandle in;
  if (!folder) {
    in = OpenSource(source);
    if (!in) {
      BytesLeft -= std::min(BytesLeft, Entry.Size);
      if (EntryNumber > 0) --EntryNumber;
      return false;
    }
  }

  bool extract = true;
  if (OnBegin) OnBegin(*this, CurrentFileName, static_cast<int>(EntryNumber), extract);
  if (extract && Entry.Action != TCompBaseHeaderObj::kReplace && OnRenameFile) {
    std::string renamed = CurrentFileName;
    OnRenameFile(*this, CurrentFileName, renamed);
    if (!renamed.empty()) CurrentFileName = renamed;
  }
  if (!extract) return false;

  const int64_t start = Target->Position();
  if (start < 0 || start > 0xFFFFFFFFll) WriteFailed();
  Entry.Offset = static_cast<uint32_t>(start);
  const uint32_t date = ApplyDateAttribute(folder ? Entry.Date : in->DosTime(1));
  Entry.Date = date;

  std::string stored = CurrentFileName;
  if (folder) stored = AppendBackslash(stored);
  stored = ToStoredName(stored, TranslateOemChar, '/');

  WriteNameAndPrepare(Target, stored, folder);
  const int64_t headerAt = Target->Position();
  WriteBlock(Target, fHeader, kBlock, false, 0, false);

  uint32_t copied = 0;
  if (!folder && !CopySourceData(Target, in.get(), source, Entry, copied)) {
    if (!TruncateTarget(Target, Entry.Offset)) WriteFailed();
    return false;
  }
  Entry.Size = Entry.PackedSize = copied;

  PutOctal(fHeader, kSizeOff, kSizeLen, copied);
  PutOctal(fHeader, kMtimeOff, kMtimeLen, static_cast<uint32_t>(DosToUnix(date)));
  PutOctal(fHeader, kUidOff, kUidLen, UnixUID);
  PutOctal(fHeader, kGidOff, kGidLen, UnixGID);
  PutOctal(fHeader, kChksumOff, kChksumLen, TarChecksum(fHeader));
  WriteFilled(Target, static_cast<uint32_t>(headerAt));
  if (!folder) WritePadding(Target, static_cast<uint64_t>(headerAt) + kBlock + copied);
  else if (!Target->Seek(0, platform::Origin::End)) WriteFailed();

  Entry.Header.assign(fHeader, fHeader + kBlock);
  Entry.ExtraLength = 0;
  if (OnEnd) OnEnd(*this, stored, true);
  return true;
}

void TTar::WriteArchiveEnd(Stream* Target) {
  const int64_t length = Target->Size();
  if (length < 0 || !Target->Seek(0, platform::Origin::End)) WriteFailed();
  uint64_t end = (static_cast<uint64_t>(length) + kRecord - 1) / kRecord * kRecord;
  if (end - static_cast<uint64_t>(length) < 2 * kBlock) end += kRecord;
  std::vector<uint8_t> zeros(static_cast<size_t>(end - static_cast<uint64_t>(length)), 0);
  WriteBlock(Target, zeros.data(), static_cast<uint32_t>(zeros.size()), false, 0, false);
}

// --- reading an existing archive ---------------------------------------------

bool TTar::ReadHeader(Stream* Source, std::string& Name) {
  NextHeaderPos = 0;
  fStop = Stop::None;
  const int64_t size = Source->Size();
  uint64_t pos = HeaderPos;
  auto readBlock = [&](uint64_t at) {
    return at + kBlock <= static_cast<uint64_t>(size) &&
           Source->Seek(static_cast<int64_t>(at), platform::Origin::Begin) &&
           Source->Read(fHeader, kBlock) == kBlock;
  };
  auto damaged = [&](const char* why) {
    fStop = Stop::Damaged;
    fStopReason = why;
    return false;
  };
  if (!readBlock(pos)) {
    fStop = Stop::End;
    return false;
  }
  if (AllZero(fHeader)) {
    fStop = Stop::ZeroBlock;
    return false;
  }
  if (!ValidHeader(fHeader)) return damaged("a block that is not a TAR header");

  std::string longName;
  bool haveLongName = false;
  while (fHeader[kTypeOff] == kTypeLongName && Field(fHeader, kNameOff, kNameLen) == kLongLinkName) {
    const uint64_t length = OctalField(fHeader, kSizeOff, kSizeLen);
    if (length == 0 || length > kMaxLongName) return damaged("a long name of impossible length");
    std::vector<char> text(RoundUp(length));
    if (pos + kBlock + text.size() > static_cast<uint64_t>(size) ||
        Source->Read(text.data(), text.size()) != static_cast<int64_t>(text.size()))
      return damaged("a long name cut short");
    longName.assign(text.data(), strnlen(text.data(), length));
    haveLongName = true;
    pos += kBlock + text.size();
    if (!readBlock(pos) || AllZero(fHeader) || !ValidHeader(fHeader))
      return damaged("a long name without its entry");
  }

  const uint64_t dataSize = OctalField(fHeader, kSizeOff, kSizeLen);
  const uint64_t next = pos + kBlock + RoundUp(dataSize);
  if (dataSize > 0xFFFFFFFFull || next > static_cast<uint64_t>(size))
    return damaged("an entry that runs past the end of the file");
  fEntryHeaderPos = static_cast<uint32_t>(pos);
  fEntrySize = static_cast<uint32_t>(dataSize);
  NextHeaderPos = static_cast<uint32_t>(next);
  Name = haveLongName ? longName : Field(fHeader, kNameOff, kNameLen);
  return true;
}

void TTar::RejectArchive(const std::string& why) {
  // Replacing it would silently drop content this writer cannot read.
  ReportError(ArchiveFile(), "not a TAR archive: " + why, "0", kErrUnsupported);
  Discard = true;
}

void TTar::LoadEntries(Stream* Source) {
  FilesDeleted = 0;
  const int64_t size = Source->Size();
  const int64_t start = ArchiveStart - 1;
  if (size <= start) return;  // an empty file becomes a new archive
  if ((size - start) % kBlock != 0) {
    RejectArchive("its length is not a multiple of 512 bytes");
    return;
  }
  std::string name;
  for (bool more = ReadFirstHeader(name, Source); more; more = ReadNextHeader(name, Source)) {
    std::string line = FromStoredName(name, TranslateOemChar);
    // A folder is found again without its trailing delimiter.
    if (fHeader[kTypeOff] == kTypeFolder) line = RemoveBackslash(line);
    if (PostCommit) {
      EntryList.Add(line, std::make_unique<TCompBaseHeaderObj>());
      EntrySpecIndex.push_back(1);
      continue;
    }
    if (Switch == swDelete && NameSelected(line)) {
      ++FilesDeleted;
      continue;
    }
    auto obj = std::make_unique<TCompBaseHeaderObj>();
    obj->Action = TCompBaseHeaderObj::kCopy;
    obj->Header.assign(fHeader, fHeader + kBlock);
    obj->Size = fEntrySize;
    // What follows the entry's first block: any long-name blocks, the
    // entry's own header and its data (the driver copies 512 + this).
    obj->PackedSize = fEntryHeaderPos - HeaderPos + fEntrySize;
    obj->Offset = HeaderPos;
    const auto mtime = static_cast<int32_t>(OctalField(fHeader, kMtimeOff, kMtimeLen));
    obj->Date = DateTimeToDosStamp(UnixTimeToLocal(mtime));
    obj->Attr = 0;
    TotalBytes += kBlock + obj->PackedSize;
    EntryList.Add(line, std::move(obj));
    EntrySpecIndex.push_back(1);
  }
  if (fStop == Stop::Damaged) RejectArchive(fStopReason);
}

void TTar::CopyEntry(Stream* Source, Stream* Target, int, int Index) {
  TCompBaseHeaderObj& entry = EntryList.Object(Index);
  // The entry's own header follows any long-name blocks.
  const uint32_t headerAt = entry.Offset + (entry.PackedSize - entry.Size);
  if (!Source->Seek(headerAt, platform::Origin::Begin) ||
      Source->Read(fHeader, kBlock) != kBlock)
    WriteFailed();
  uint8_t old[kBlock];
  std::memcpy(old, fHeader, kBlock);

  std::string line = EntryList.Line(Index);
  std::replace(line.begin(), line.end(), '\\', '/');
  SetCurrentFileName(line);
  const bool folder = old[kTypeOff] == kTypeFolder;
  const std::string stored = ToStoredName(
      folder ? AppendBackslash(CurrentFileName) : CurrentFileName, TranslateOemChar, '/');
  WriteNameAndPrepare(Target, stored, folder);
  // Everything but the name stays as it was.
  std::memcpy(fHeader + kNameLen, old + kNameLen, kBlock - kNameLen);
  char sum[8];
  FormatOctal(TarChecksum(fHeader), 7, true, sum);  // six digits and a zero byte
  std::memcpy(fHeader + kChksumOff, sum, 7);
  fHeader[kChksumOff + 7] = ' ';
  WriteBlock(Target, fHeader, kBlock, false, 0, false);
  const uint32_t count = RoundUp(entry.Size);
  if (!Source->Seek(headerAt + kBlock, platform::Origin::Begin) ||
      CopyBlock(Source, Target, count, 0, false) != count)
    WriteFailed();
}

// --- after the run -------------------------------------------------------------

void TTar::ReportEntries() {
  if (!OnRead || Switch == swDelete) return;
  for (int i = 0; i < EntryList.Count(); ++i) {
    TCompBaseHeaderObj& e = EntryList.Object(i);
    if (e.Action != TCompBaseHeaderObj::kNew || e.Header.size() < kBlock) continue;
    const uint8_t* h = e.Header.data();
    Entry = TEntryInfo();
    Entry.FileName = FromStoredName(EntryList.Line(i), false);
    Entry.Date = UnixTimeToLocal(static_cast<int32_t>(OctalField(h, kMtimeOff, kMtimeLen)));
    Entry.Size = Entry.PackedSize = static_cast<uint32_t>(OctalField(h, kSizeOff, kSizeLen));
    Entry.Crc = static_cast<uint32_t>(OctalField(h, kChksumOff, kChksumLen));
    Entry.Attr = e.Attr;
    Entry.MethodName = "Tarred";
    Entry.Offset = e.Offset;
    OnRead(*this, e.Offset, i);
  }
}

void TTar::AfterCommit() {
  if (CompressMethod() != cmGzipTar) return;
  try {
    TGZip gzip(nullptr);
    gzip.CancelFlag = CancelFlag;  // one cancel request stops both
    gzip.SetArchiveFile(ChangeFileExt(ArchiveFile(), gzip.DefaultExt()));
    gzip.SetFileSpec({ArchiveFile()});
    gzip.Switch = swMove;
    // The TAR file is this run's own intermediate, not a file of the user's:
    // it is deleted, never left in the recycle bin at the archive's size.
    gzip.DeleteOptions = doFinal;
    gzip.RecurseDirs = false;
    gzip.StoredDirNames = sdNone;
    gzip.SetDefaultDir(DefaultDir());
    gzip.OnBegin = OnBegin;
    gzip.OnEnd = OnEnd;
    gzip.OnRead = OnRead;
    gzip.OnProgress = OnProgress;
    gzip.OnError = OnError;
    const int written = gzip.Compress();
    // The move normally removed the TAR file already; it must not outlive a
    // GZIP file that holds it, nor go when no GZIP file was written.
    const std::string output = ArchiveFile() + gzip.DefaultExt();
    auto& os = platform::Current();
    if (written > 0 && os.GetAttributes(output) != platform::kNoAttributes &&
        os.GetAttributes(ArchiveFile()) != platform::kNoAttributes)
      os.DeleteFile(ArchiveFile());
  } catch (...) {
    // Errors of the GZIP step have reached OnError; the TAR archive stands.
  }
}

}  // namespace vix
