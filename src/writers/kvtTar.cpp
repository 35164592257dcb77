#include "writers/kvtTar.h"

#include <algorithm>
#include <cstdlib>
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

void PutNumber(uint8_t* h, size_t off, size_t len, uint64_t value) {
  // Octal digits and a closing zero byte, while they hold the value (a
  // 12-byte size field: up to 8 GiB - 1); beyond, the GNU base-256 form
  // that readers take for such sizes: 0x80, then the value big-endian.
  const int digits = static_cast<int>(len) - 1;
  if (digits >= 22 || value >> (3 * digits) == 0) {
    FormatOctal(value, static_cast<int>(len), true, reinterpret_cast<char*>(h + off));
    return;
  }
  std::memset(h + off, 0, len);
  h[off] = 0x80;
  for (size_t i = len - 1; i > 0 && value != 0; --i, value >>= 8)
    h[off + i] = static_cast<uint8_t>(value);
}

uint64_t NumberField(const uint8_t* h, size_t off, size_t len) {
  if ((h[off] & 0x80) == 0) {
    const char* p = reinterpret_cast<const char*>(h + off);
    return ParseOctal(p, strnlen(p, len));
  }
  uint64_t value = h[off] & 0x3F;
  for (size_t i = 1; i < len; ++i) {
    if (value >> 56) return UINT64_MAX;
    value = value << 8 | h[off + i];
  }
  return value;
}

uint32_t PaddingAfter(uint64_t end) {
  return static_cast<uint32_t>((kBlock - end % kBlock) % kBlock);
}

std::string PaxRecord(const std::string& key, const std::string& value) {
  const size_t body = 1 + key.size() + 1 + value.size() + 1;  // " key=value\n"
  size_t length = body + 1;
  while (std::to_string(length).size() + body != length) length = std::to_string(length).size() + body;
  return std::to_string(length) + ' ' + key + '=' + value + '\n';
}

}  // namespace tar

namespace {

using namespace tar;

// An extended header longer than this is not one any archiver wrote: the
// entry is taken for damage rather than read into memory.
constexpr uint64_t kMaxExtension = 1 << 20;
// Old GNU sparse maps longer than this are taken for damage likewise.
constexpr int kMaxSparseBlocks = 65536;

uint64_t RoundUp(uint64_t n) { return n + PaddingAfter(n); }

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
  const uint64_t stored = OctalField(h, kChksumOff, kChksumLen);
  if (stored == TarChecksum(h)) return true;
  // Some archivers sum the bytes as signed characters.
  int64_t sum = 0;
  for (uint32_t i = 0; i < kBlock; ++i)
    sum += (i >= kChksumOff && i < kChksumOff + kChksumLen) ? ' ' : static_cast<int8_t>(h[i]);
  return sum >= 0 && stored == static_cast<uint64_t>(sum);
}

bool PosixMagic(const uint8_t* h) { return std::memcmp(h + kMagicOff, "ustar\0", 6) == 0; }
bool OldGnuMagic(const uint8_t* h) { return std::memcmp(h + kMagicOff, kMagic, kMagicLen) == 0; }

// Entry kinds that carry no data blocks whatever their size field says.
bool HasNoData(char type) { return type >= '1' && type <= '6'; }

// Kinds this writer never writes: kept as they are, never replaced by a file.
const char* ForeignKind(char type, bool paxSparse) {
  if (paxSparse) return "a sparse file";
  switch (type) {
    case '0': case '\0': case kTypeFolder: return nullptr;
    case '1': return "a hard link";
    case '2': return "a symbolic link";
    case '3': case '4': return "a device";
    case '6': return "a FIFO";
    case kTypeSparse: return "a sparse file";
    default: return "an entry of a kind this writer does not write";
  }
}

// What a kept entry's Extra holds: a marker, then its type byte.
constexpr uint8_t kKeptForeign = 1, kKeptGlobal = 2;

// The name of a pax header: its entry's name with "PaxHeaders/" before the
// last part, as other archivers form it (without their process numbers, so
// that two identical runs give identical archives).
std::string PaxHeaderName(std::string field) {
  while (!field.empty() && field.back() == '/') field.pop_back();
  const size_t slash = field.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : field.substr(0, slash + 1);
  std::string name = dir + "PaxHeaders/" + field.substr(slash == std::string::npos ? 0 : slash + 1);
  if (name.size() > kNameLen - 1) name.resize(kNameLen - 1);
  return name;
}

int32_t DosToUnix(uint32_t dos) { return LocalToUnixTime(DosStampToDateTime(dos)); }

}  // namespace

std::string TTar::WithoutRoot(std::string name) {
  const PathStyle style = kNativeStyle;
  if (style.Drives && name.size() >= 2 && name[1] == ':') name.erase(0, 2);
  size_t lead = 0;
  while (lead < name.size() && IsDelimiter(name[lead], style)) ++lead;
  return name.substr(lead);
}

namespace {

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

TCompBase::SizeLimit TTar::LargeFileLimit() const {
  return {UINT64_MAX, "TAR sizes are octal up to 8 GiB and base-256 beyond"};
}

void TTar::SetCurrentFileName(const std::string& FullPath) {
  CurrentFileName = WithoutRoot(StoredName(FullPath, SpecDir, DefaultDir()));
}

// Exclude and delete lines that name absolute paths select the names the
// absolute modes store, which have no root.
bool TTar::TarNameSelected(const std::string& Name) {
  if (NameSelected(Name)) return true;
  auto matches = [&](const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return MatchFileSpec(Name, WithoutRoot(line));
    });
  };
  return !Name.empty() && matches(FileSpec()) && !NameSelectedExcluded(Name);
}

bool TTar::NameSelectedExcluded(const std::string& Name) {
  return std::any_of(ExcludeSpec().begin(), ExcludeSpec().end(), [&](const std::string& line) {
    return line == "*.*" || MatchFileSpec(Name, line) || MatchFileSpec(Name, WithoutRoot(line));
  });
}

void TTar::FoundFile(int SpecIndex, const std::string& Folder, const platform::FindData& Data) {
  if (!PostCommit && AcceptAttr(Data.Attr)) {
    const std::string fullPath = Folder + Data.Name;
    SetCurrentFileName(fullPath);
    for (const std::string& line : ExcludeSpec())
      if (MatchFileSpec(CurrentFileName, WithoutRoot(StoredName(line, SpecDir, DefaultDir()))))
        return;
  }
  if (!NewArchive && !PostCommit && AcceptAttr(Data.Attr)) {
    const std::string fullPath = Folder + Data.Name;
    SetCurrentFileName(fullPath);
    const int found = EntryList.IndexOf(CurrentFileName);
    if (found >= 0) {
      const TCompBaseHeaderObj& old = EntryList.Object(found);
      if (old.Action == TCompBaseHeaderObj::kCopy && old.Extra.size() == 2 &&
          old.Extra[0] == kKeptForeign && !Excluded(CurrentFileName)) {
        ReportError(fullPath,
                    std::string("the archive holds ") +
                        ForeignKind(static_cast<char>(old.Extra[1]), old.Extra[1] == 0) +
                        " of this name, which is kept as it is; the file was not added", kErrNameNotStored);
        return;
      }
    }
  }
  TCompBase::FoundFile(SpecIndex, Folder, Data);
}

// --- writing -----------------------------------------------------------------

void TTar::WriteExtension(Stream* Target, const std::string& name, char type,
                          const std::string& data, uint32_t mtime) {
  std::memset(fHeader, 0, kBlock);
  PutText(fHeader, kNameOff, kNameLen - 1, name);
  PutOctal(fHeader, kModeOff, kModeLen, 0644);
  const bool pax = type == kTypePax;
  PutOctal(fHeader, kUidOff, kUidLen, pax ? UnixUID : 0);
  PutOctal(fHeader, kGidOff, kGidLen, pax ? UnixGID : 0);
  PutOctal(fHeader, kSizeOff, kSizeLen, data.size());
  PutOctal(fHeader, kMtimeOff, kMtimeLen, mtime);
  fHeader[kTypeOff] = type;
  std::memcpy(fHeader + kMagicOff, kMagic, kMagicLen);
  PutText(fHeader, kUnameOff, kUnameLen, UnixUName);
  PutText(fHeader, kGnameOff, kGnameLen, UnixGName);
  PutOctal(fHeader, kChksumOff, kChksumLen, TarChecksum(fHeader));
  std::vector<uint8_t> blocks(RoundUp(data.size()), 0);
  std::memcpy(blocks.data(), data.data(), data.size());
  WriteBlock(Target, fHeader, kBlock, false, ckNone, false);
  WriteBlock(Target, blocks.data(), static_cast<uint32_t>(blocks.size()), false, ckNone, false);
}

void TTar::WriteNameAndPrepare(Stream* Target, const std::string& name, bool folder,
                               uint32_t mtime, const std::string& paxRest) {
  // User and group names are cut to their fields (the properties keep the cut value).
  if (UnixUName.size() > kUnameLen) UnixUName.resize(kUnameLen);
  if (UnixGName.size() > kGnameLen) UnixGName.resize(kGnameLen);

  const TStoredNameForm form = StoredNameForm(name, TranslateOemChar, '/');
  // The name field keeps the OEM form even where a pax record holds the name.
  const std::string field = ToStoredName(name, TranslateOemChar, '/');
  const bool fits = field.size() + 1 <= kNameLen;
  std::string pax = paxRest;
  if (form.Utf8)
    pax += PaxRecord("path", form.Bytes);
  else if (!pax.empty() && !fits)
    pax += PaxRecord("path", StoredNameForm(name, false, '/').Bytes);
  if (!pax.empty())
    WriteExtension(Target, PaxHeaderName(field), kTypePax, pax, mtime);
  else if (!fits)
    WriteExtension(Target, kLongLinkName, kTypeLongName, field + '\0', 0);

  std::memset(fHeader, 0, kBlock);
  PutText(fHeader, kNameOff, kNameLen - 1, field);
  std::memcpy(fHeader + kModeOff, folder ? kFolderMode : kFileMode, kModeLen);
  fHeader[kTypeOff] = folder ? kTypeFolder : kTypeFile;
  std::memcpy(fHeader + kMagicOff, kMagic, kMagicLen);
  PutText(fHeader, kUnameOff, kUnameLen, UnixUName);
  PutText(fHeader, kGnameOff, kGnameLen, UnixGName);
}

void TTar::WritePadding(Stream* Target, uint64_t end) {
  const uint32_t pad = PaddingAfter(end);
  if (pad == 0) return;
  uint8_t zeros[kBlock] = {};
  WriteBlock(Target, zeros, pad, false, ckNone, false);
}

bool TTar::WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) {
  const bool folder = (Entry.Attr & platform::kAttrDirectory) != 0;
  if (folder && !StoreEmptySubDirs) return false;
  const std::string source = EntryList.Line(Index);
  SetCurrentFileName(source);
  if (CurrentFileName.empty()) return false;

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
  if (extract && Entry.Action != TCompBaseHeaderObj::kReplace) RenameStep(CurrentFileName);
  if (!extract) return false;

  // The size at opening is what the entry holds: a file that grows after it
  // is stored as it was then, one that shrinks is reported and left out.
  uint64_t size = 0;
  if (!folder) {
    const int64_t actual = in->Size();
    if (actual < 0) {
      ReportReadFailure(source);
      return false;
    }
    if (!CheckFileSize(source, static_cast<uint64_t>(actual))) return false;
    size = static_cast<uint64_t>(actual);
  }

  const int64_t start = Target->Position();
  if (start < 0) WriteFailed();
  Entry.Offset = static_cast<uint64_t>(start);
  const uint32_t date = ApplyDateAttribute(folder ? Entry.Date : in->DosTime(1));
  Entry.Date = date;
  const auto mtime = static_cast<uint32_t>(DosToUnix(date));

  const std::string name = folder ? AppendBackslash(CurrentFileName) : CurrentFileName;
  WriteNameAndPrepare(Target, name, folder, mtime);
  PutNumber(fHeader, kSizeOff, kSizeLen, size);
  PutOctal(fHeader, kMtimeOff, kMtimeLen, mtime);
  PutOctal(fHeader, kUidOff, kUidLen, UnixUID);
  PutOctal(fHeader, kGidOff, kGidLen, UnixGID);
  PutOctal(fHeader, kChksumOff, kChksumLen, TarChecksum(fHeader));
  const int64_t headerAt = Target->Position();
  WriteBlock(Target, fHeader, kBlock, false, ckNone, false);

  if (!folder) {
    const uint64_t copied = CopyFileData(in.get(), Target, size, ckNone, false);
    if (copied != size) {
      if (!GetCancel()) ReportReadFailure(source);
      if (!TruncateTarget(Target, start)) WriteFailed();
      return false;
    }
    WritePadding(Target, static_cast<uint64_t>(headerAt) + kBlock + size);
  }
  Entry.Size = Entry.PackedSize = size;
  Entry.Header.assign(fHeader, fHeader + kBlock);
  Entry.ExtraLength = 0;
  if (OnEnd) OnEnd(*this, ToStoredName(name, TranslateOemChar, '/'), true);
  return true;
}

void TTar::WriteArchiveEnd(Stream* Target) {
  const int64_t length = Target->Size();
  if (length < 0 || !Target->Seek(0, platform::Origin::End)) WriteFailed();
  uint64_t end = (static_cast<uint64_t>(length) + kRecord - 1) / kRecord * kRecord;
  if (end - static_cast<uint64_t>(length) < 2 * kBlock) end += kRecord;
  std::vector<uint8_t> zeros(static_cast<size_t>(end - static_cast<uint64_t>(length)), 0);
  WriteBlock(Target, zeros.data(), static_cast<uint32_t>(zeros.size()), false, ckNone, false);
}

// --- reading an existing archive ---------------------------------------------

// Reads one entry from HeaderPos: any extended headers (pax 'x', GNU long
// names 'L' and 'K'), the header, any old GNU sparse-map blocks; fHeader is
// left holding the entry's own header. A global pax header ('g') that starts
// the sequence is an entry of its own.
bool TTar::ReadHeader(Stream* Source, std::string& Name) {
  NextHeaderPos = 0;
  fStop = Stop::None;
  fMember = TMemberInfo();
  TMemberInfo& m = fMember;
  const int64_t size = Source->Size();
  uint64_t pos = HeaderPos;
  m.First = pos;
  auto readAt = [&](uint64_t at, void* to, uint64_t count) {
    return at + count <= static_cast<uint64_t>(size) &&
           Source->Seek(static_cast<int64_t>(at), platform::Origin::Begin) &&
           Source->Read(to, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
  };
  auto damaged = [&](const char* why) {
    fStop = Stop::Damaged;
    fStopReason = std::string("not a TAR archive: ") + why;
    return false;
  };
  if (!readAt(pos, fHeader, kBlock)) {
    fStop = Stop::End;
    return false;
  }
  if (AllZero(fHeader)) {
    fStop = Stop::ZeroBlock;
    return false;
  }
  if (!ValidHeader(fHeader)) return damaged("a block that is not a TAR header");

  std::string longName, paxPath, sparseName;
  bool havePath = false, haveSize = false, binary = false;
  uint64_t paxSize = 0;
  for (;;) {
    const char type = static_cast<char>(fHeader[kTypeOff]);
    const bool first = pos == m.First;
    if (type != kTypePax && type != 'X' && type != kTypeLongName && type != kTypeLongLink &&
        !(type == kTypePaxGlobal && !first))
      break;
    if (type == kTypePaxGlobal && first) break;
    const uint64_t length = NumberField(fHeader, kSizeOff, kSizeLen);
    if (length > kMaxExtension) return damaged("an extended header of impossible length");
    std::string data(RoundUp(length), '\0');
    if (!data.empty() && !readAt(pos + kBlock, data.data(), data.size()))
      return damaged("an extended header cut short");
    data.resize(length);
    const uint64_t after = pos + kBlock + RoundUp(length);
    if (type == kTypeLongName) {
      longName.assign(data.c_str());
    } else if (type == kTypeLongLink) {
      m.LongLinkAt = pos;
      m.LongLinkEnd = after;
    } else if (type != kTypePaxGlobal) {
      for (size_t i = 0; i < data.size() && data[i] != '\0';) {
        size_t digits = i;
        uint64_t n = 0;
        while (digits < data.size() && data[digits] >= '0' && data[digits] <= '9' && n < kMaxExtension)
          n = n * 10 + static_cast<uint64_t>(data[digits++] - '0');
        // At least the digits, a space, "k=" and the newline.
        if (digits == i || digits >= data.size() || data[digits] != ' ' ||
            n < digits - i + 4 || n > data.size() - i || data[i + n - 1] != '\n')
          return damaged("a damaged extended header");
        const std::string record = data.substr(i, n);
        const size_t keyAt = digits - i + 1, eq = record.find('=', keyAt);
        if (eq == std::string::npos) return damaged("a damaged extended header");
        const std::string key = record.substr(keyAt, eq - keyAt);
        const std::string value = record.substr(eq + 1, record.size() - eq - 2);
        if (key == "path") {
          paxPath = value;
          havePath = true;
        } else {
          m.PaxRest += record;
          if (key == "size") {
            paxSize = std::strtoull(value.c_str(), nullptr, 10);
            haveSize = true;
          } else if (key == "GNU.sparse.name") {
            sparseName = value;
            m.PaxSparse = true;
          } else if (key.compare(0, 11, "GNU.sparse.") == 0) {
            m.PaxSparse = true;
          } else if (key == "hdrcharset") {
            binary = value == "BINARY";
          }
        }
        i += n;
      }
    }
    pos = after;
    if (!readAt(pos, fHeader, kBlock) || AllZero(fHeader) || !ValidHeader(fHeader))
      return damaged("an extended header without its entry");
  }

  m.HeaderAt = pos;
  m.Type = static_cast<char>(fHeader[kTypeOff]);
  m.Global = m.Type == kTypePaxGlobal;
  uint64_t dataAt = pos + kBlock;
  if (m.Type == kTypeSparse && OldGnuMagic(fHeader) && fHeader[kSparseExtendedOff] != 0) {
    uint8_t block[kBlock];
    int count = 0;
    do {
      if (++count > kMaxSparseBlocks || !readAt(dataAt, block, kBlock))
        return damaged("a sparse map cut short");
      dataAt += kBlock;
    } while (block[kSparseBlockExtendedOff] != 0);
  }
  m.Size = haveSize ? paxSize : NumberField(fHeader, kSizeOff, kSizeLen);
  if (m.Size > static_cast<uint64_t>(size)) return damaged("an entry larger than the file");
  m.Next = dataAt + (HasNoData(m.Type) ? 0 : RoundUp(m.Size));
  if (m.Next > static_cast<uint64_t>(size))
    return damaged("an entry that runs past the end of the file");

  if (!sparseName.empty()) {
    m.Name = sparseName;
    m.NameUtf8 = !binary;
  } else if (havePath) {
    m.Name = paxPath;
    m.NameUtf8 = !binary;
  } else if (!longName.empty()) {
    m.Name = longName;
  } else {
    m.Name = Field(fHeader, kNameOff, kNameLen);
    const std::string prefix = PosixMagic(fHeader) ? Field(fHeader, kPrefixOff, kPrefixLen) : "";
    if (!prefix.empty()) m.Name = prefix + "/" + m.Name;
  }
  NextHeaderPos = m.Next;
  Name = m.Name;
  return true;
}

void TTar::RejectArchive(const std::string& why) {
  // Replacing it would silently drop content this writer cannot read.
  ReportError(ArchiveFile(), why + "; the archive was left as it is", kErrUnsupported);
  Discard = true;
}

void TTar::LoadEntries(Stream* Source) {
  FilesDeleted = 0;
  const int64_t size = Source->Size();
  const int64_t start = ArchiveStart - 1;
  if (size <= start) return;  // an empty file becomes a new archive
  // A compressed archive is named as such; a TAR whose first name happens
  // to begin like a compressor's signature is still a TAR.
  uint8_t magic[kBlock] = {};
  if (Source->Seek(start, platform::Origin::Begin) && Source->Read(magic, 6) == 6 &&
      !(Source->Read(magic + 6, kBlock - 6) == kBlock - 6 && ValidHeader(magic))) {
    const char* packer = nullptr;
    if (magic[0] == 0x1F && magic[1] == 0x8B) packer = "gzip (a TAR-GZIP archive)";
    else if (std::memcmp(magic, "BZh", 3) == 0) packer = "bzip2";
    else if (std::memcmp(magic, "\xFD" "7zXZ\0", 6) == 0) packer = "xz";
    else if (std::memcmp(magic, "\x28\xB5\x2F\xFD", 4) == 0) packer = "zstd";
    if (packer) {
      RejectArchive(std::string("the archive is compressed with ") + packer +
                    ", and a compressed archive cannot be updated");
      return;
    }
  }
  if ((size - start) % kBlock != 0) {
    RejectArchive("not a TAR archive: its length is not a multiple of 512 bytes");
    return;
  }
  std::string name;
  for (bool more = ReadFirstHeader(name, Source); more; more = ReadNextHeader(name, Source)) {
    const TMemberInfo& m = fMember;
    std::string line;
    std::vector<uint8_t> kept;
    if (m.Global) {
      // No file name can hold this byte, so no file found matches the line.
      line = "\xFF" "global extended header at " + std::to_string(m.First);
      kept = {kKeptGlobal, static_cast<uint8_t>(m.Type)};
    } else {
      line = m.NameUtf8 ? FromStoredUtf8Name(name) : FromStoredName(name, TranslateOemChar);
      // A folder is found again without its trailing delimiter.
      if (m.Type == kTypeFolder) line = RemoveBackslash(line);
      if (ForeignKind(m.Type, m.PaxSparse))
        kept = {kKeptForeign, static_cast<uint8_t>(m.PaxSparse ? 0 : m.Type)};
    }
    if (PostCommit) {
      auto obj = std::make_unique<TCompBaseHeaderObj>();
      obj->Extra = kept;
      EntryList.Add(line, std::move(obj));
      EntrySpecIndex.push_back(1);
      continue;
    }
    if (!m.Global && Switch == swDelete && TarNameSelected(line)) {
      ++FilesDeleted;
      continue;
    }
    auto obj = std::make_unique<TCompBaseHeaderObj>();
    obj->Action = TCompBaseHeaderObj::kCopy;
    obj->Header.assign(fHeader, fHeader + kBlock);
    obj->Size = obj->PackedSize = m.Size;
    // The entry is copied from its first extended header to the end of its
    // padded data.
    obj->Offset = m.First;
    obj->CopyLength = m.Next - m.First;
    const auto mtime = static_cast<int32_t>(NumberField(fHeader, kMtimeOff, kMtimeLen));
    obj->Date = DateTimeToDosStamp(UnixTimeToLocal(mtime));
    obj->Attr = 0;
    obj->Extra = kept;
    TotalBytes += obj->CopyLength;
    EntryList.Add(line, std::move(obj));
    EntrySpecIndex.push_back(1);
  }
  if (fStop == Stop::Damaged) RejectArchive(fStopReason);
}

// A kept entry under a new name: its long-link block and its pax records
// other than the name go with it; every header field but the name stays.
void TTar::CopyEntry(Stream* Source, Stream* Target, int, int Index) {
  TCompBaseHeaderObj& entry = EntryList.Object(Index);
  HeaderPos = entry.Offset;
  std::string oldName;
  if (!ReadHeader(Source, oldName)) WriteFailed();
  const TMemberInfo m = fMember;
  uint8_t old[kBlock];
  std::memcpy(old, fHeader, kBlock);

  CurrentFileName = EntryList.Line(Index);
  if (m.LongLinkEnd > m.LongLinkAt) {
    const uint64_t count = m.LongLinkEnd - m.LongLinkAt;
    if (!Source->Seek(static_cast<int64_t>(m.LongLinkAt), platform::Origin::Begin) ||
        CopyBlock(Source, Target, count, ckNone, false) != count)
      WriteFailed();
  }
  const bool folder = m.Type == kTypeFolder;
  const auto mtime = static_cast<uint32_t>(NumberField(old, kMtimeOff, kMtimeLen));
  WriteNameAndPrepare(Target, folder ? AppendBackslash(CurrentFileName) : CurrentFileName,
                      folder, mtime, m.PaxRest);
  // Everything but the name stays as it was (a POSIX prefix would join the
  // new name to the old folder).
  std::memcpy(fHeader + kNameLen, old + kNameLen, kBlock - kNameLen);
  if (PosixMagic(old)) std::memset(fHeader + kPrefixOff, 0, kPrefixLen);
  char sum[8];
  FormatOctal(TarChecksum(fHeader), 7, true, sum);  // six digits and a zero byte
  std::memcpy(fHeader + kChksumOff, sum, 7);
  fHeader[kChksumOff + 7] = ' ';
  WriteBlock(Target, fHeader, kBlock, false, ckNone, false);
  const uint64_t count = m.Next - (m.HeaderAt + kBlock);
  if (!Source->Seek(static_cast<int64_t>(m.HeaderAt + kBlock), platform::Origin::Begin) ||
      CopyBlock(Source, Target, count, ckNone, false) != count)
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
    Entry.Size = Entry.PackedSize = NumberField(h, kSizeOff, kSizeLen);
    Entry.Crc = static_cast<uint32_t>(OctalField(h, kChksumOff, kChksumLen));
    Entry.Attr = e.Attr;
    Entry.MethodName = "Tarred";
    Entry.Offset = e.Offset;
    OnRead(*this, e.Offset, i);
  }
}

bool TTar::CommitTempFile(const std::string& TempName, const std::string& ArchiveName) {
  fTarFile.clear();
  if (CompressMethod() != cmGzipTar) return TCompBase::CommitTempFile(TempName, ArchiveName);
  auto& os = platform::Current();
  if (Discard || (FilesWritten == 0 && (Switch != swDelete || EntryNumber == 0))) {
    os.DeleteFile(TempName);
    return true;
  }
  // Beside the archive, so that the GZIP step's output lands on its volume;
  // named as the run's own, so that a later run removes it if this one is
  // killed.
  const std::string tarFile = TempFileBeside(ArchiveName);
  if (tarFile.empty()) return false;
  if (!ReplaceFileWith(TempName, tarFile)) {
    platform::KeepLastError keep;
    os.DeleteFile(tarFile);
    return false;
  }
  fTarFile = tarFile;
  return true;
}

void TTar::AfterCommit() {
  if (fTarFile.empty()) return;
  // The TAR data goes whatever the GZIP step does: it was never the user's.
  struct Intermediate {
    std::string& name;
    ~Intermediate() {
      auto& os = platform::Current();
      if (os.GetAttributes(name) != platform::kNoAttributes) os.DeleteFile(name);
      name.clear();
    }
  } intermediate{fTarFile};
  std::string output = ArchiveFile() + ".gz";
  int reported = 0;
  int written = 0;
  try {
    TGZip gzip(nullptr);
    gzip.CancelFlag = CancelFlag;  // one cancel request stops both
    gzip.Verify = Verify;
    gzip.SetArchiveFile(ChangeFileExt(ArchiveFile(), gzip.DefaultExt()));
    output = ArchiveFile() + gzip.DefaultExt();
    gzip.SetFileSpec({fTarFile});
    gzip.MemberName = ExtractFileName(ArchiveFile());
    gzip.Switch = swMove;
    gzip.DeleteOptions = doFinal;
    gzip.RecurseDirs = false;
    gzip.StoredDirNames = sdNone;
    gzip.SetDefaultDir(DefaultDir());
    gzip.OnBegin = OnBegin;
    gzip.OnEnd = OnEnd;
    gzip.OnRead = OnRead;
    gzip.OnProgress = OnProgress;
    gzip.OnFileExists = OnFileExists;
    gzip.OnError = [this, &reported](TCompBase& s, const std::string& file,
                                     const std::string& extended, const std::string& value,
                                     int code) {
      ++reported;
      if (OnError) OnError(s, file, extended, value, code);
    };
    written = gzip.Compress();
  } catch (...) {
    // Errors of the GZIP step have reached OnError.
  }
  if (written > 0) return;
  // No archive came of the run: the sources of a move stay, and the caller
  // is not told that files were written.
  MoveList.clear();
  FilesWritten = 0;
  if (reported > 0 || GetCancel()) return;
  const bool exists = platform::Current().GetAttributes(output) != platform::kNoAttributes;
  ReportError(output,
              exists ? "the file exists and OnFileExists did not allow replacing it; "
                       "nothing was written"
                     : "OnBegin declined the GZIP file; nothing was written", kErrWrite);
}

}  // namespace vix
