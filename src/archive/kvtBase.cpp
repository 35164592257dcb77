// The component base: properties, block primitives, errors and progress.
// The compress driver itself is in kvtDriver.cpp.
#include "archive/kvtBase.h"

#include <algorithm>
#include <cstring>

#include "archive/kvtCrc.h"
#include "archive/kvtNames.h"
#include "archive/kvtTime.h"

namespace vix {

namespace {

constexpr uint32_t kCopyChunk = 32768;
// A temporary file of a process that is gone is removed once it is this
// old: a process that just started may not have opened its file yet.
constexpr int kStaleTempSeconds = 60;

bool IsZipFamily(TArcType t) {
  return t == atZip || t == atZipExe || t == atZipMV || t == atJar || t == atBh || t == atBhExe;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

void UpdateCrc(TCrcKind kind, const void* buffer, size_t count) {
  if (kind == ckCrc16)
    UpdateCrc16(buffer, count, Crc16Value);
  else if (kind == ckCrc32)
    UpdateCrc32(buffer, count, Crc32Value);
}

}  // namespace

// ---------------------------------------------------------------------------
// TkvtFileAttr

void TkvtFileAttr::SetftFileAttr(int value) {
  anyFile_ = value == 0 || (value & 63) == 63 || (value & 128) != 0;
  if (!anyFile_) {
    archive_ = value & platform::kAttrArchive;
    hidden_ = value & platform::kAttrHidden;
    readOnly_ = value & platform::kAttrReadOnly;
    sysFile_ = value & platform::kAttrSystem;
    volumeId_ = value & platform::kAttrVolumeId;
    directory_ = value & platform::kAttrDirectory;
  }
  Rebuild();
}

void TkvtFileAttr::SetFlag(bool& flag, bool value) {
  flag = value;
  const bool allSet = archive_ && hidden_ && readOnly_ && sysFile_ && directory_ && zeroAttr_;
  const bool allClear =
      !archive_ && !hidden_ && !readOnly_ && !sysFile_ && !directory_ && !volumeId_ && !zeroAttr_;
  if (allSet || allClear)
    anyFile_ = true;
  else if (!value)
    anyFile_ = false;
  Rebuild();
}

void TkvtFileAttr::Rebuild() {
  if (anyFile_) {
    mask_ = 63;
  } else {
    mask_ = (archive_ ? 32 : 0) | (hidden_ ? 2 : 0) | (readOnly_ ? 1 : 0) | (sysFile_ ? 4 : 0) |
            (directory_ ? 16 : 0) | (volumeId_ ? 8 : 0);
  }
  archive_ = mask_ & 32;
  hidden_ = mask_ & 2;
  readOnly_ = mask_ & 1;
  sysFile_ = mask_ & 4;
  directory_ = mask_ & 16;
  volumeId_ = mask_ & 8;
  if (anyFile_) zeroAttr_ = true;
}

// ---------------------------------------------------------------------------
// TkvtTimer

void TkvtTimer::Start() {
  ElapsedSeconds = 0;
  StartTick = platform::Current().TickCount();
  if (StartTick == 0) StartTick = 1;  // 0 means "not running"
}

void TkvtTimer::Stop() {
  if (StartTick == 0) return;
  StopTick = platform::Current().TickCount();
  ElapsedSeconds = static_cast<float>(StopTick - StartTick) / 1000.0f;
  StartTick = 0;
}

void TkvtTimer::Pause() {
  if (StartTick > 0) PauseTick = platform::Current().TickCount();
}

void TkvtTimer::Resume() {
  if (StartTick > 0 && PauseTick > 0) {
    StartTick += platform::Current().TickCount() - PauseTick;
    PauseTick = 0;
  }
}

// ---------------------------------------------------------------------------
// TEntryList

std::string TEntryList::Key(const std::string& line) const {
  // Windows file systems ignore case; POSIX ones do not.
  return platform::kNativeStyle.Drives ? UpperAscii(line) : line;
}

void TEntryList::SetLine(int i, const std::string& line) {
  auto range = index_.equal_range(Key(lines_[i]));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == i) {
      index_.erase(it);
      break;
    }
  }
  lines_[i] = line;
  index_.emplace(Key(line), i);
}

int TEntryList::Add(const std::string& line, std::unique_ptr<TCompBaseHeaderObj> obj) {
  const int i = Count();
  lines_.push_back(line);
  objects_.push_back(std::move(obj));
  index_.emplace(Key(line), i);
  return i;
}

int TEntryList::IndexOf(const std::string& line) const {
  auto range = index_.equal_range(Key(line));
  int best = -1;
  for (auto it = range.first; it != range.second; ++it)
    if (best < 0 || it->second < best) best = it->second;
  return best;
}

void TEntryList::Clear() {
  lines_.clear();
  objects_.clear();
  index_.clear();
}

// ---------------------------------------------------------------------------
// TZipCommon and TCompBase: construction

TZipCommon::TZipCommon(TComponent* owner) : TRegisterKorvat(owner) {
  fDiskManager = std::make_unique<TDiskManager>();
}

TZipCommon::~TZipCommon() = default;

TCompBase::TCompBase(TComponent* owner) : TZipCommon(owner) {
  fFileAttribute.SetftDirectory(false);
  CancelFlag = &fCancel;
  fCancel = false;
  ProgressHandler = [this](uint8_t byFile, uint8_t byArchive) {
    StandardProgress(byFile, byArchive);
  };
  SetDeflateType(dtDeflateN);
}

TCompBase::~TCompBase() = default;

// ---------------------------------------------------------------------------
// Properties

void TCompBase::SetArchiveFile(const std::string& value) {
  std::string name = value;
  CheckArchiveName(name);
  if (kNativeStyle.Delim == '\\') std::replace(name.begin(), name.end(), '/', '\\');
  fArchiveFile = name;
  ArchiveStart = 1;
  fDiskManager->SetDrive(TDiskManager::DriveOfName(name));
  SetCancel(false);
}

void TCompBase::SetArcType(TArcType value) { fArcType = value; }

void TCompBase::SetCompressMethod(int value) {
  if (value >= 0 && value <= 15 && fAllowedMethods.Contains(value))
    fCompressMethod = static_cast<TCompressMethod>(value);
}

void TCompBase::SetDeflateType(TDeflateType value) {
  static constexpr int kLevels[] = {1, 2, 7, 9};
  fDeflateType = value;
  fDeflateLevel = kLevels[value & 3];
}

void TCompBase::SetDefaultExt(const std::string& value) {
  std::string ext = (value.empty() || value == ".") ? fOwnExt : value;
  if (!ext.empty() && ext.find('.') == std::string::npos) ext = "." + ext;
  ext = LowerAscii(ext.substr(0, 4));
  const std::string previous = fDefaultExt;
  fDefaultExt = ext;
  if (fArchiveFile.empty()) return;
  const std::string current = ExtractFileExt(fArchiveFile);
  if (current.empty())
    fArchiveFile += ext;
  else if (SameTextAscii(current, previous))
    fArchiveFile = ChangeFileExt(fArchiveFile, ext);
}

std::string TCompBase::DefaultDir() {
  if (Trim(fDefaultDir).empty())
    fDefaultDir = AppendBackslash(platform::Current().CurrentDirectory());
  return fDefaultDir;
}

void TCompBase::SetDefaultDir(const std::string& value) {
  std::string dir = Trim(value);
  if (dir.empty()) dir = platform::Current().CurrentDirectory();
  if (DirExists(dir))
    fDefaultDir = AppendBackslash(dir);
  else
    fDefaultDir = AppendBackslash(platform::Current().CurrentDirectory());
}

std::string TCompBase::TempDir() {
  if (fTempDir.empty() || !DirExists(fTempDir)) return GetTempDir();
  return fTempDir;
}

void TCompBase::SetTempDir(const std::string& value) {
  if (Loading()) {
    fTempDir = value;
    return;
  }
  std::string dir = value.empty() ? GetTempDir() : value;
  dir = AppendBackslash(dir);
  if (!dir.empty() && !DirExists(dir)) {
    const std::string question = MessageText(kErrDirNotExist) + "\r\r" + dir;
    if (platform::AskYesNo(question, platform::ApplicationTitle())) {
      try {
        ForceDirs(dir);
      } catch (const E_RAISE&) {
      }
    } else {
      dir.clear();
    }
  }
  if (dir.empty() || !DirExists(dir)) dir = GetTempDir();
  fTempDir = dir;
}

// ---------------------------------------------------------------------------
// Cancel, names, errors

bool TCompBase::GetCancel() { return *CancelFlag; }
void TCompBase::SetCancel(bool value) { *CancelFlag = value; }

void TCompBase::SetCurrentFileName(const std::string& FullPath) {
  CurrentFileName = StoredName(FullPath, SpecDir, DefaultDir());
}

bool TCompBase::NameSelected(const std::string& Name) {
  if (Name.empty()) return false;
  auto matches = [&](const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line == "*.*" || MatchFileSpec(Name, line);
    });
  };
  return matches(fFileSpec) && !matches(fExcludeSpec);
}

void TCompBase::ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                            const std::string& VolumeID, int ECode) {
  fTimer.Pause();
  if (GetCancel()) ECode = kErrUserCanceled;
  if (OnError) OnError(*this, FileName, ExtendedMsg, VolumeID, ECode);
  fTimer.Resume();
}

void TCompBase::RaiseError(const std::string& FileName, const std::string& ExtendedMsg,
                           const std::string& VolumeID, int ECode) {
  ReportError(FileName, ExtendedMsg, VolumeID, ECode);
  if (GetCancel()) return;
  E_RAISE raised(ECode);
  raised.Reported = true;
  throw raised;
}

// The report names the file that could not be written, with the system's
// reason, and the entry being stored when it happened.
void TCompBase::WriteFailed() {
  std::string why = platform::Current().LastErrorText();
  if (!CurrentFileName.empty()) why += " (while storing " + CurrentFileName + ")";
  RaiseError(WriteTarget.empty() ? ArchiveFile() : WriteTarget, why, kErrWrite);
}

void TCompBase::ShortWrite() {
  const std::string target = WriteTarget.empty() ? ArchiveFile() : WriteTarget;
  throw E_RAISE(kErrWrite, MessageText(kErrWrite) + ": " + target + ": " +
                               platform::Current().LastErrorText());
}

// ---------------------------------------------------------------------------
// Block primitives

int64_t TCompBase::ReadBlock(Stream* Source, void* Buffer, uint32_t Count, TCrcKind CrcKind,
                             bool Decrypt) {
  Stream* from = Source;
  if (InputKind == skOwnStream || InputKind == skOwnStreamToo) from = ComponentStream;
  if (InputKind == skMemory) from = MemoryBlock;
  if (!from || Count == 0) return 0;
  const bool tap = SourceTap.On && from != SourceTap.Exclude;
  const int64_t position = tap ? from->Position() : 0;
  int64_t got = from->Read(Buffer, Count);
  if (got < 0) {
    // A file handle reports its failure; the streams of the other kinds
    // simply give nothing.
    if (InputKind == skFile) {
      if (from == EntryInput) InputFailed = true;
      return -1;
    }
    got = 0;
  }
  if (Decrypt) DecryptForRead(true, Buffer, static_cast<uint32_t>(got));
  if (tap) SourceTap.Add(position, Buffer, static_cast<size_t>(got));
  UpdateCrc(CrcKind, Buffer, static_cast<size_t>(got));
  return got;
}

int64_t TCompBase::WriteBlock(Stream* Target, void* Buffer, uint32_t Count, bool IsData,
                              TCrcKind CrcKind, bool Encrypt) {
  if (IsData && Encrypt && IsZipFamily(ArcType())) {
    auto* p = static_cast<uint8_t*>(Buffer);
    for (uint32_t i = 0; i < Count; ++i) p[i] = EncryptByte(p[i]);
  }
  if (OutputKind == skMemory || OutputKind == skNowhere) return Count;
  Stream* to = Target;
  if (OutputKind == skOwnStream || OutputKind == skOwnStreamToo) to = ComponentStream;
  if (!to) ShortWrite();
  if (Count == 0) return 0;
  if (ConvertLineEnds) {
    std::vector<uint8_t> converted;
    converted.reserve(Count + Count / 8);
    const auto* p = static_cast<const uint8_t*>(Buffer);
    for (uint32_t i = 0; i < Count; ++i) {
      if (p[i] == '\n' && (i == 0 || p[i - 1] != '\r')) converted.push_back('\r');
      converted.push_back(p[i]);
    }
    if (to->Write(converted.data(), converted.size()) != static_cast<int64_t>(converted.size()))
      ShortWrite();
  } else if (to->Write(Buffer, Count) != static_cast<int64_t>(Count)) {
    ShortWrite();
  }
  if (IsData) UpdateCrc(CrcKind, Buffer, Count);
  return Count;
}

int64_t TCompBase::WriteBlockDecrypt(Stream* Target, void* Buffer, uint32_t Count, bool IsData,
                                     TCrcKind CrcKind) {
  auto* p = static_cast<uint8_t*>(Buffer);
  for (uint32_t i = 0; i < Count; ++i) p[i] = DecryptByte(p[i]);
  return WriteBlock(Target, Buffer, Count, IsData, CrcKind, false);
}

void TCompBase::DecryptForRead(bool Flag, void* Buffer, uint32_t Count) {
  if (!Flag) return;
  auto* p = static_cast<uint8_t*>(Buffer);
  for (uint32_t i = 0; i < Count; ++i) p[i] = DecryptByte(p[i]);
}

TDateTime TCompBase::DosDateToDateTime(uint32_t DosDate) { return DosStampToDateTime(DosDate); }

std::string TCompBase::VolumeName(const std::string& Name, int Number) { return Name; }

void TCompBase::ClearExtensionList() { fExtensionList.clear(); }

// ---------------------------------------------------------------------------
// Progress and copying

int64_t TCompBase::ReadEntryData(Stream* Input, void* Buffer, uint32_t Count, TCrcKind CrcKind,
                                 uint64_t fileTotal) {
  const auto want = static_cast<uint32_t>(std::min<uint64_t>(Count, InputLeft));
  const int64_t n = ReadBlock(Input, Buffer, want, CrcKind, false);
  if (n > 0) CountEntryRead(static_cast<uint64_t>(n), fileTotal);
  return n;
}

void TCompBase::CountEntryRead(uint64_t got, uint64_t fileTotal) {
  InputLeft -= got;
  BytesLeft -= std::min(BytesLeft, got);
  ReportProgress(fileTotal - InputLeft, fileTotal, TotalBytes);
}

void TCompBase::ReportProgress(uint64_t Done, uint64_t Total, uint64_t ArchiveTotal) {
  ProgressByFile = Percent(static_cast<double>(Done), static_cast<double>(Total));
  ProgressByArchive =
      Percent(static_cast<double>(ArchiveTotal) - static_cast<double>(BytesLeft),
              static_cast<double>(ArchiveTotal));
  if (ProgressHandler) ProgressHandler(ProgressByFile, ProgressByArchive);
}

void TCompBase::StandardProgress(uint8_t ByFile, uint8_t ByArchive) {
  platform::PumpMessages();
  if (OnProgress) OnProgress(*this, ByFile, ByArchive);
}

uint64_t TCompBase::CopyBlock(Stream* Source, Stream* Target, uint64_t Count, TCrcKind CrcKind,
                              bool Encrypt) {
  uint64_t copied = 0;
  try {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(Count, kCopyChunk)));
    while (copied < Count) {
      const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(Count - copied, kCopyChunk));
      const int64_t got = ReadBlock(Source, buffer.data(), chunk, CrcKind, false);
      if (got != chunk) {
        // What is copied comes from the existing archive.
        const std::string why = got < 0 ? platform::Current().LastErrorText()
                                        : std::string("the file ends early");
        RaiseError(ArchiveFile(), "reading it failed: " + why, kErrWrite);
        break;  // cancelled: RaiseError returned
      }
      WriteBlock(Target, buffer.data(), chunk, true, ckNone, Encrypt);
      copied += chunk;
      BytesLeft = BytesLeft > chunk ? BytesLeft - chunk : 0;
      ReportProgress(copied, Count, TotalBytes);
    }
  } catch (...) {
    // The caller compares the count with what it asked for and reports.
  }
  return copied;
}

uint64_t TCompBase::CopyFileData(Stream* Source, Stream* Target, uint64_t Count, TCrcKind CrcKind,
                                 bool Encrypt) {
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(Count, kCopyChunk)));
  uint64_t copied = 0;
  while (copied < Count && !GetCancel()) {
    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(Count - copied, kCopyChunk));
    const int64_t got = ReadBlock(Source, buffer.data(), chunk, CrcKind, false);
    if (got <= 0) break;
    WriteBlock(Target, buffer.data(), static_cast<uint32_t>(got), true, ckNone, Encrypt);
    copied += static_cast<uint64_t>(got);
    BytesLeft -= std::min(BytesLeft, static_cast<uint64_t>(got));
    ReportProgress(copied, Count, TotalBytes);
    if (got < chunk) break;
  }
  return copied;
}

std::string TCompBase::NewTempFileName() {
  auto& os = platform::Current();
  fTempFailureName.clear();
  fTempFailureReason.clear();
  std::string folder = GetTempDir();
  if (folder.empty()) {
    fTempFailureReason = "the system names no temporary folder: " + os.LastErrorText();
    return {};
  }
  fTempFailureName = folder;
  bool made = false;
  if (!DirExists(folder)) {
    try {
      made = ForceDirs(folder);
    } catch (const E_RAISE&) {
    }
    if (!made) {
      fTempFailureReason = "the temporary folder cannot be created: " + os.LastErrorText();
      return {};
    }
  }
  // Files that runs killed before they could clean up left behind.
  os.RemoveStaleTempFiles(folder, "kvt", kStaleTempSeconds);
  std::string name = os.UniqueTempFile(folder, "kvt");
  if (name.empty()) {
    fTempFailureReason = "no temporary file can be made there: " + os.LastErrorText();
    return {};
  }
  RememberRunFile(name);
  return name;
}

// ---------------------------------------------------------------------------
// Default virtual operations

bool TCompBase::ReadFirstHeader(std::string& Name, Stream* Source) {
  HeaderPos = static_cast<uint64_t>(ArchiveStart - 1);
  return ReadHeader(Source, Name);
}

uint32_t TCompBase::EntryOverhead(int Method) { return 0; }

bool TCompBase::ReadNextHeader(std::string& Name, Stream* Source) {
  if (NextHeaderPos == 0) return false;
  HeaderPos = NextHeaderPos;
  return ReadHeader(Source, Name);
}

bool TCompBase::WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) { return true; }
bool TCompBase::ReadHeader(Stream* Source, std::string& Name) { return false; }
void TCompBase::ListEntry(const std::string& Name) {}
void TCompBase::CopyEntry(Stream* Source, Stream* Target, int Method, int Index) {}
void TCompBase::LoadEntries(Stream* Source) {}
void TCompBase::RewriteDirectory() { ReportError(ArchiveFile(), "", kErrUnsupported); }
void TCompBase::WriteArchiveEnd(Stream* Target) {}
void TCompBase::ReportEntries() {}
void TCompBase::AfterCommit() {}

void TCompBase::GetEntryInfo(int Index, std::string& Name, uint16_t& ExtraLength,
                             std::vector<uint8_t>& Extra) {
  if (Index < 0 || Index >= EntryList.Count()) return;
  Name = EntryList.Line(Index);
  ExtraLength = EntryList.Object(Index).ExtraLength;
  Extra = EntryList.Object(Index).Extra;
}

void TCompBase::SetEntryComment(int Index, const std::string& Comment) {
  ReportError(ArchiveFile(), "", kErrUnsupported);
}

void TCompBase::SetArchiveComment(const std::string& Comment) {
  ReportError(ArchiveFile(), "", kErrUnsupported);
}

int TCompBase::ReadArchiveDirectory() {
  ReportError(ArchiveFile(), "", kErrUnsupported);
  return 0;
}

std::string TCompBase::GetArchiveComment() {
  ReportError(ArchiveFile(), "", kErrUnsupported);
  return {};
}

int TCompBase::UnsupportedOperation(const std::string& Name) {
  ReportError(Name, "", kErrUnsupported);
  return 0;
}

// ---------------------------------------------------------------------------
// Helpers for the writers

FileHandle TCompBase::OpenSource(const std::string& path) { return OpenArchiveFile(path); }

void TCompBase::ReportReadFailure(const std::string& path) {
  ReportError(path, "the file could not be read in full; it was left out", kErrOpen);
}

bool TCompBase::TruncateTarget(Stream* Target, int64_t Offset) {
  return Target->Seek(Offset, platform::Origin::Begin) && Target->SetEnd();
}

TCompBase::SizeLimit TCompBase::LargeFileLimit() const {
  return {0xFFFFFFFFull, "its size fields have 32 bits"};
}

bool TCompBase::CheckFileSize(const std::string& path, uint64_t size) {
  const SizeLimit limit = LargeFileLimit();
  if (size <= limit.Largest) return true;
  ReportError(path,
              "the file is too large for this archive format (" + std::to_string(size) +
                  " bytes; at most " + std::to_string(limit.Largest) + " bytes fit: " +
                  limit.Why + "); it was left out", kErrOpen);
  return false;
}

uint32_t TCompBase::HeaderSizeOf(TArcType type) {
  switch (type) {
    case atLha: case atLhaExe: case atLzh: case atLzhExe: case atBh: case atBhExe:
      return 37;
    case atCab:
      return 36;
    case atJar: case atZip: case atZipExe: case atZipMV:
      return 46;
    case atRar: case atRarExe:
      return 32;
    case atTar:
      return 512;
    default:
      return 0;
  }
}

bool TCompBase::DeleteByOptions(const std::string& path) {
  auto& os = platform::Current();
  return DeleteOptions == doAllowUndo ? os.RecycleFile(path) : os.DeleteFile(path);
}

}  // namespace vix
