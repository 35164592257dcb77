// The compress driver: gathers files, forms stored names, merges them with
// the entries of an existing archive, writes a new archive into a temporary
// file through the writer's virtual operations and commits it.
#include <algorithm>
#include <cstring>

#include "archive/kvtBase.h"
#include "archive/kvtBytes.h"
#include "archive/kvtFind.h"
#include "archive/kvtNames.h"

namespace vix {

namespace {

using platform::FindData;

constexpr uint32_t kNotWritable = platform::kAttrReadOnly | platform::kAttrHidden |
                                  platform::kAttrSystem | platform::kAttrDirectory |
                                  platform::kAttrVolumeId;

// Only plain folders are descended into: none of read-only, hidden, system,
// volume and archive, and nothing the platform marks as special.
bool IsPlainFolder(uint32_t attr) {
  constexpr uint32_t kNotPlain = platform::kAttrReadOnly | platform::kAttrHidden |
                                 platform::kAttrSystem | platform::kAttrVolumeId |
                                 platform::kAttrArchive | platform::kAttrSpecial;
  return (attr & platform::kAttrDirectory) && !(attr & kNotPlain);
}

bool IsZipType(TArcType t) { return t == atJar || t == atZip || t == atZipExe || t == atZipMV; }

bool StartsWith(const std::string& s, const std::string& prefix, bool ignoreCase) {
  if (s.size() < prefix.size()) return false;
  return ignoreCase ? SameTextAscii(s.substr(0, prefix.size()), prefix)
                    : s.compare(0, prefix.size(), prefix) == 0;
}

// Closes the open handles and removes the temporary file on every way out
// of a run, so that neither a fatal error nor a cancel leaves one behind.
class RunFiles {
 public:
  explicit RunFiles(TCompBase& owner) : owner_(owner) {}
  ~RunFiles() {
    Source.reset();
    Temp.reset();
    if (!owner_.TempFileName.empty() &&
        platform::Current().GetAttributes(owner_.TempFileName) != platform::kNoAttributes)
      platform::Current().DeleteFile(owner_.TempFileName);
  }
  // Closes the temporary file; false when buffered bytes could not be written.
  bool CloseTemp() {
    bool ok = true;
    if (Temp) ok = Temp->Close();
    Temp.reset();
    return ok;
  }

  FileHandle Source, Temp;

 private:
  TCompBase& owner_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The wrapper

int TCompBase::Compress() {
  ResetRun();
  InputKind = skFile;
  OutputKind = skFile;
  if (!ArchiveFile().empty()) {
    struct ListsGuard {
      TCompBase& c;
      ~ListsGuard() {
        c.EntryList.Clear();
        c.EntrySpecIndex.clear();
        c.MoveList.clear();
      }
    } lists{*this};
    RememberRunFile(ArchiveFile());
    CompressArchive();
  }
  EntryNumber = Switch == swDelete ? FilesDeleted : FilesWritten;
  return static_cast<int>(EntryNumber);
}

void TCompBase::ResetRun() {
  EntryNumber = FilesWritten = FilesDeleted = 0;
  TotalBytes = BytesLeft = NewBytes = MaxDate = 0;
  SpecDir.clear();
  PostCommit = Discard = false;
  VerifyRecords.clear();
  SourceTap = TSourceTap();
  TempFileName.clear();
  WriteTarget.clear();
  fRunFiles.clear();
  fUnreadableFolders.clear();
  fLeftOutNames.clear();
  EntryList.Clear();
  EntrySpecIndex.clear();
  MoveList.clear();
  fSearchCancelled = false;
  ProgressHandler = [this](uint8_t byFile, uint8_t byArchive) {
    StandardProgress(byFile, byArchive);
  };
  SetCancel(false);
}

// ---------------------------------------------------------------------------
// The default driver

void TCompBase::CompressArchive() {
  if (Switch == swRead) {
    RunSwRead();
    return;
  }
  auto& os = platform::Current();
  const uint32_t attr = os.GetAttributes(ArchiveFile());
  NewArchive = attr == platform::kNoAttributes;
  if (NewArchive && Switch == swDelete) {
    ReportError(ArchiveFile(), "", kErrNothingToDo);
    return;
  }
  if (!NewArchive && ((attr & kNotWritable) || GetCancel())) {
    if (!OnNonWriteableArchive) {
      ReportError(ArchiveFile(), "OnNonWriteableArchive", kErrEventNotAssigned);
      return;
    }
    bool writeToFile = false;
    OnNonWriteableArchive(*this, ArchiveFile(), writeToFile);
    if (!writeToFile || !os.SetAttributes(ArchiveFile(), platform::kAttrArchive)) return;
  }

  RunFiles files(*this);
  TempFileName = NewTempFileName();
  if (OnActivate) OnActivate(*this);
  if (TempFileName.empty()) {
    RaiseError(fTempFailureName, fTempFailureReason, kErrOpen);
    EndEvents();
    return;
  }
  files.Temp = CreateArchiveFile(TempFileName, true);
  if (!files.Temp) {
    RaiseError(TempFileName, platform::Current().LastErrorText(), kErrOpen);
    EndEvents();
    return;
  }
  WriteTarget = TempFileName;

  bool commitOld = false;  // the old archive could not be opened
  if (!NewArchive) {
    files.Source = OpenArchiveFile(ArchiveFile());
    SourceTap.Exclude = files.Source.get();
    if (!files.Source) {
      commitOld = true;
    } else {
      if (ArchiveStart > 1) {
        const uint32_t prefix = static_cast<uint32_t>(ArchiveStart - 1);
        if (CopyBlock(files.Source.get(), files.Temp.get(), prefix, ckNone, false) != prefix)
          WriteFailed();
        files.Source->Seek(prefix, platform::Origin::Begin);
      }
      if (Switch == swDelete) fExcludeSpec.clear();
      LoadEntries(files.Source.get());
    }
  }

  if (commitOld) {
    WriteArchiveEnd(files.Temp.get());
  } else if (Discard) {
    // The writer could not read the existing archive: nothing is written.
  } else if (Switch == swDelete && EntryList.Empty() && FilesDeleted > 0) {
    // Every entry was selected: the archive itself goes.
    files.Source.reset();
    DeleteByOptions(ArchiveFile());
    WriteArchiveEnd(files.Temp.get());
  } else {
    ProcessEntries(files.Source.get(), files.Temp.get());
    // A cancelled run keeps nothing of what it wrote: kept entries come
    // first, so committing a partial archive could drop some of them.
    if (GetCancel()) Discard = true;
    if (!Discard) WriteArchiveEnd(files.Temp.get());
  }
  files.Source.reset();
  if (!files.CloseTemp() && !Discard) WriteFailed();
  if (GetCancel()) Discard = true;
  PostCommit = false;

  const bool spannedNotReady = ArcType() == atZipMV && !ArchiveDriveReady();
  // The finished archive is read back before it replaces anything (a run
  // that writes nothing commits nothing, and spanned disks are written as
  // they are committed).
  const bool committing = !(FilesWritten == 0 && (Switch != swDelete || EntryNumber == 0));
  if (Verify && !Discard && committing && ArcType() != atZipMV && !VerifyWritten(TempFileName)) {
    Discard = true;
    FilesWritten = 0;  // nothing the run wrote was kept (a move deletes nothing)
  }
  if (!spannedNotReady) {
    WriteTarget = ArchiveFile();
    if (!Discard && !CommitTempFile(TempFileName, ArchiveFile())) WriteFailed();
    if (Discard) {
      os.DeleteFile(TempFileName);
    } else {
      PostCommit = true;
      ReportEntries();
      AfterCommit();
      if (Switch == swMove) {
        const int count = static_cast<int>(MoveList.size());
        for (int i = 0; i < count; ++i) {
          if (DeleteByOptions(MoveList[i]) && OnDeleteFile)
            OnDeleteFile(*this, MoveList[i], count, i);
        }
      }
    }
  }
  EndEvents();
}

void TCompBase::EndEvents() {
  if (OnDeactivate) OnDeactivate(*this);
  if (OnElapsedTime) {
    fTimer.Stop();
    OnElapsedTime(*this, fTimer.ElapsedSeconds);
  }
}

void TCompBase::RunSwRead() {
  if (!OnRead) {
    ReportError(ArchiveFile(), "OnRead", kErrEventNotAssigned);
    return;
  }
  FileHandle source = OpenArchiveFile(ArchiveFile());
  if (!source) return;
  std::string name;
  bool more = ReadFirstHeader(name, source.get());
  while (more && !GetCancel()) {
    ListEntry(name);
    ++EntryNumber;
    OnRead(*this, static_cast<uint64_t>(source->Position()), static_cast<int>(EntryNumber));
    more = ReadNextHeader(name, source.get());
  }
}

bool TCompBase::CommitTempFile(const std::string& TempName, const std::string& ArchiveName) {
  auto& os = platform::Current();
  if (Discard || (FilesWritten == 0 && (Switch != swDelete || EntryNumber == 0))) {
    os.DeleteFile(TempName);
    return true;
  }
  return ReplaceFileWith(TempName, ArchiveName);
}

bool TCompBase::RenameStep(std::string& name) {
  constexpr int kMaxRenameQuestions = 100;
  if (!OnRenameFile) return false;
  const std::string folder = ExtractFilePath(name);
  for (int question = 0; question < kMaxRenameQuestions; ++question) {
    std::string answer = name;
    OnRenameFile(*this, name, answer);
    const std::string file = ExtractFileName(answer);
    const std::string renamed = folder + file;
    if (file.empty() || SameTextAscii(renamed, name)) return false;
    if (EntryList.IndexOf(renamed) >= 0) continue;
    name = renamed;
    return true;
  }
  return false;
}

std::string TCompBase::UniqueFileBeside(const std::string& target) {
  auto& os = platform::Current();
  std::string folder = ExtractFilePath(target);
  if (folder.empty()) folder = AppendBackslash(os.CurrentDirectory());
  os.RemoveStaleTempFiles(folder, "kvt", 60);
  return os.UniqueTempFile(folder, "kvt");
}

std::string TCompBase::TempFileBeside(const std::string& target) {
  std::string name = UniqueFileBeside(target);
  if (!name.empty()) RememberRunFile(name);
  return name;
}

bool TCompBase::ReplaceFileWith(const std::string& TempName, const std::string& Target) {
  auto& os = platform::Current();
  // A failure that may pass (a scanner holding the file) gets one retry.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (os.RenameFile(TempName, Target, true)) return true;
    if (os.LastErrorCode() == platform::CrossDeviceError()) break;
  }
  if (os.LastErrorCode() != platform::CrossDeviceError()) return false;
  // Another volume: the complete file is brought beside Target first, so
  // that Target is only ever replaced by a rename.
  std::string folder = ExtractFilePath(Target);
  if (folder.empty()) folder = AppendBackslash(os.CurrentDirectory());
  const std::string beside = os.UniqueTempFile(folder, "kvt");
  if (beside.empty()) return false;
  if (!os.DeleteFile(beside)) return false;
  if (os.MoveFile(TempName, beside) && os.RenameFile(beside, Target, true)) return true;
  platform::KeepLastError keep;
  if (os.GetAttributes(beside) != platform::kNoAttributes) os.DeleteFile(beside);
  return false;
}

void TCompBase::RememberRunFile(const std::string& path) {
  if (path.empty()) return;
  auto& os = platform::Current();
  platform::KeepLastError keep;
  fRunFiles.push_back({os.FullPath(path), os.Identity(path)});
}

void TCompBase::LearnRunFileIds() {
  // The archive may only come into being during the run.
  for (RunFile& own : fRunFiles)
    if (!own.Id.Known) own.Id = platform::Current().Identity(own.Path);
}

bool TCompBase::IsRunFile(const std::string& fullPath, const platform::FileId& id) const {
  if (fRunFiles.empty()) return false;
  const bool ignoreCase = kNativeStyle.Drives;
  for (const RunFile& own : fRunFiles) {
    if (id.Known && own.Id.Known) {
      if (platform::SameFileId(id, own.Id)) return true;
      continue;
    }
    if (ignoreCase ? SameTextAscii(fullPath, own.Path) : fullPath == own.Path) return true;
  }
  return false;
}

void TCompBase::ReportUnreadableFolder(const std::string& folder, const std::string& reason) {
  const std::string name = RemoveBackslash(folder);
  if (std::find(fUnreadableFolders.begin(), fUnreadableFolders.end(), name) !=
      fUnreadableFolders.end())
    return;
  fUnreadableFolders.push_back(name);
  ReportError(name, "the folder cannot be read: " + reason + "; nothing in it was stored",
              kErrNotAccessible);
}

// ---------------------------------------------------------------------------
// Gathering and writing

void TCompBase::ProcessEntries(Stream* Source, Stream* Target) {
  if (Switch != swDelete) {
    if (!SearchSpecs()) return;
    // Nothing is written yet: a stop here leaves an old archive as it was.
    if (!GetCancel() && !CheckNames()) {
      Discard = true;
      return;
    }
  }
  BytesLeft = TotalBytes;
  if (OnElapsedTime) fTimer.Start();

  int previousSpec = -1;
  AheadRun ahead(*this);
  for (int i = 0; i < EntryList.Count(); ++i) {
    EntryNumber = static_cast<uint32_t>(i + 1);
    TCompBaseHeaderObj& entry = EntryList.Object(i);
    if (GetCancel()) {
      if (Ahead) Ahead->Stop();
      entry.Action = TCompBaseHeaderObj::kSkip;
      continue;
    }
    const int spec = EntrySpecIndex[i];
    if (spec != previousSpec) {
      previousSpec = spec;
      SpecDir = spec >= 1 && spec <= static_cast<int>(fFileSpec.size())
                    ? ExtractFilePath(fFileSpec[spec - 1])
                    : std::string();
    }
    switch (entry.Action) {
      case TCompBaseHeaderObj::kCopy: {
        if (Verify) VerifyRecords.push_back({EntryList.Line(i), false, 0, 0});
        const std::string stored =
            TranslateOemChar ? platform::Utf8ToOem(EntryList.Line(i)) : EntryList.Line(i);
        if (!Source->Seek(entry.Offset, platform::Origin::Begin)) WriteFailed();
        uint64_t count = uint64_t{EntryOverhead(0)} + entry.PackedSize;
        if (entry.CopyLength > 0) {
          count = entry.CopyLength;
          if (IsZipType(ArcType()) && entry.Header.size() >= 46) {
            // The ZIP writer's directory takes the new place from Offset
            // (in a Zip64 field past 4 GiB).
            const int64_t at = Target->Position();
            entry.Offset = static_cast<uint64_t>(at);
            if (at < 0xFFFFFFFF) PutLE32(entry.Header.data() + 42, static_cast<uint32_t>(at));
          }
        } else if (IsZipType(ArcType())) {
          uint8_t local[30];
          if (Source->Read(local, sizeof local) != sizeof local ||
              !Source->Seek(entry.Offset, platform::Origin::Begin)) {
            WriteFailed();
            break;
          }
          count += GetLE16(local + 26) + GetLE16(local + 28);
          if (entry.Header.size() >= 46) {
            const int64_t at = Target->Position();
            entry.Offset = static_cast<uint64_t>(at);
            if (at < 0xFFFFFFFF) PutLE32(entry.Header.data() + 42, static_cast<uint32_t>(at));
          }
        } else if (ArcType() == atTar) {
          count += (512 - (entry.Offset + count) % 512) % 512;
        } else {
          count += stored.size();
        }
        if (CopyBlock(Source, Target, count, ckNone, false) != count)
          WriteFailed();
        break;
      }
      case TCompBaseHeaderObj::kRename:
        if (Verify) VerifyRecords.push_back({EntryList.Line(i), false, 0, 0});
        if (!Source->Seek(entry.Offset, platform::Origin::Begin)) WriteFailed();
        CopyEntry(Source, Target, 0, i);
        break;
      case TCompBaseHeaderObj::kSkip:
        break;
      default:
        if (Verify) SourceTap.Start();
        AheadIndex = i;
        const bool written = WriteEntry(Target, i, entry);
        AheadIndex = -1;
        if (written) {
          if (Verify) RecordSourceEntry(CurrentFileName);
          ++FilesWritten;
          // Folders never go: a folder with more attributes than 16 is one too,
          // and deleting it would take files that were not stored.
          if (Switch == swMove && !(entry.Attr & platform::kAttrDirectory))
            MoveList.push_back(EntryList.Line(i));
          EntryList.SetLine(i, CurrentFileName);
        } else {
          SourceTap.On = false;
          entry.Action = TCompBaseHeaderObj::kSkip;
        }
        break;
    }
  }
}

void TCompBase::SearchSpec(int Index) {
  auto& os = platform::Current();
  const PathStyle style = kNativeStyle;
  std::string line = fFileSpec[Index];
  const bool rooted = !line.empty() && IsDelimiter(line[0], style);
  if (!rooted && ExtractFilePath(line, style).empty()) {
    if (!DirExists(DefaultDir())) SetDefaultDir("");
    line = AppendBackslash(DefaultDir(), style) + line;
  } else if (style.Drives) {
    const std::string cwd = os.CurrentDirectory();
    if (rooted && !(line.size() > 1 && IsDelimiter(line[1], style))) {
      line = cwd.substr(0, 2) + line;
    } else if (line.size() > 2 && line[1] == ':' && !IsDelimiter(line[2], style)) {
      line.insert(2, 1, style.Delim);
    }
  }
  if (!IsDelimiter(line[0], style) && !(style.Drives && line.size() > 1 && line[1] == ':')) {
    // A line relative to the current directory: the search makes its folder
    // absolute, and so does SpecDir, so that names are stored relative to it
    // rather than as full paths.
    line = AppendBackslash(os.FullPath(ExtractFilePath(line, style)), style) +
           ExtractFileName(line, style);
  }
  SpecDir = ExtractFilePath(line, style);
  fFileSpec[Index] = line;
  SearchFolder(Index, SpecDir, ExtractFileName(line, style));
}

bool TCompBase::SearchSpecs() {
  // The search creates nothing in the folders it lists.
  platform::ListingSnapshot snapshot;
  for (size_t i = 0; i < fFileSpec.size(); ++i) {
    platform::PumpMessages();
    if (GetCancel()) return false;
    SearchSpec(static_cast<int>(i));
  }
  return true;
}

void TCompBase::SearchFolder(int SpecIndex, const std::string& Folder, const std::string& Mask) {
  auto& os = platform::Current();
  const std::string folder = AppendBackslash(os.FullPath(Folder));
  platform::CriticalErrorsOff quiet;
  // Nothing of the run is created while one folder is listed.
  LearnRunFileIds();
  // A mask that takes every name lists the subfolders too: the folder is
  // read once, not twice (with thousands of entries each costs a call).
  const bool everyName = Mask == "*" || Mask == "*.*";
  std::vector<std::string> subfolders;
  TSearchRec rec;
  int r = FindFirstEntry(folder, Mask, 0x3F, rec);
  if (r == kFindCannotRead) {
    ReportUnreadableFolder(folder, rec.Error);
    return;
  }
  for (; r == kFindOk; r = FindNextEntry(rec)) {
    platform::PumpMessages();
    if (GetCancel()) {
      fSearchCancelled = true;
      return;
    }
    if (IsDotEntry(rec.Name)) continue;
    if (everyName && IsPlainFolder(rec.Attr)) subfolders.push_back(rec.Name);
    if (IsRunFile(folder + rec.Name, rec.Id)) continue;
    // A folder stored as an entry must be one whose content could be seen.
    if ((rec.Attr & platform::kAttrDirectory) && StoreEmptySubDirs && AcceptAttr(rec.Attr) &&
        !FolderReadable(folder + rec.Name))
      continue;
    FoundFile(SpecIndex, folder, FindData{rec.Time, rec.FullSize, rec.Attr, rec.Name, rec.Id});
  }
  FindCloseEntry(rec);
  if (!RecurseDirs || fSearchCancelled) return;
  if (!everyName) {
    r = FindFirstEntry(folder, "*", 0x3F, rec);
    if (r == kFindCannotRead) {
      ReportUnreadableFolder(folder, rec.Error);
      return;
    }
    for (; r == kFindOk; r = FindNextEntry(rec))
      if (!IsDotEntry(rec.Name) && IsPlainFolder(rec.Attr)) subfolders.push_back(rec.Name);
    FindCloseEntry(rec);
  }
  for (const auto& name : subfolders) {
    if (GetCancel() || fSearchCancelled) return;
    SearchFolder(SpecIndex, AppendBackslash(folder + name), Mask);
  }
}

bool TCompBase::FolderReadable(const std::string& folder) {
  TSearchRec rec;
  const int r = FindFirstEntry(AppendBackslash(folder), "*", 0x3F, rec);
  FindCloseEntry(rec);
  if (r != kFindCannotRead) return true;
  ReportUnreadableFolder(folder, rec.Error);
  return false;
}

void TCompBase::FoundFile(int SpecIndex, const std::string& Folder, const FindData& Data) {
  if (!AcceptAttr(Data.Attr)) return;
  const std::string fullPath = Folder + Data.Name;
  SetCurrentFileName(fullPath);
  if (PostCommit) {
    if (!VerifyBeforeDelete || EntryList.IndexOf(CurrentFileName) >= 0)
      DeleteByOptions(fullPath);
    return;
  }
  if (Excluded(CurrentFileName)) return;
  if (!NameStorable(CurrentFileName, fullPath)) return;
  if (!CheckFileSize(fullPath, Data.Size)) return;
  const uint32_t date = Data.Time;
  MaxDate = std::max(MaxDate, date);
  const uint64_t size = Data.Size;
  if (AddEntry(SpecIndex, fullPath, true, Data.Attr, date, size) == -1) TotalBytes += size;
}

bool TCompBase::AcceptAttr(uint32_t Attr) {
  if (Attr & (platform::kAttrTemporary | platform::kAttrSpecial)) return false;
  if (Attr & platform::kAttrDirectory) return fFileAttribute.ftDirectory();
  if (Attr & platform::kAttrArchive) return fFileAttribute.ftArchive();
  constexpr uint32_t kZeroGroup = platform::kAttrReadOnly | platform::kAttrHidden |
                                  platform::kAttrSystem | platform::kAttrVolumeId |
                                  platform::kAttrNormal;
  if (Attr == 0 || (Attr & kZeroGroup)) return fFileAttribute.ftZeroAttr();
  return false;
}

// A pattern with a folder part names files of that folder only (relative
// to the spec's folder, as stored names are); one without names files of
// its name in every folder.
bool TCompBase::Excluded(const std::string& Name) {
  const std::string dd = DefaultDir();
  return std::any_of(fExcludeSpec.begin(), fExcludeSpec.end(), [&](const std::string& line) {
    const std::string pattern = StoredName(line, SpecDir, dd);
    if (ExtractFilePath(pattern).empty()) return MatchFileSpec(ExtractFileName(Name), pattern);
    return !ExtractFilePath(Name).empty() && MatchFileSpec(Name, pattern);
  });
}

bool TCompBase::NameStorable(const std::string& Name, const std::string& FullPath) {
  TNameNote note{FullPath, Name, TNameNote::nkUtf8, ""};
  if (!IsValidUtf8(Name)) {
    note.Kind = TNameNote::nkNotUtf8;
    note.Reason = "the name is not valid UTF-8 text, so no archive can store it faithfully";
  } else if (kNativeStyle.Delim != '\\' && Name.find('\\') != std::string::npos) {
    note.Kind = TNameNote::nkBackslash;
    note.Reason = "the name holds a backslash, which archive readers take for a folder separator";
  } else if (TranslateOemChar && !StoresUtf8Names() && !OemHoldsName(Name)) {
    note.Kind = TNameNote::nkCodePage;
    note.Reason = "the name holds characters that code page " +
                  std::to_string(platform::OemCodePage()) +
                  " cannot hold, and this archive format cannot store names in UTF-8";
  } else {
    return true;
  }
  fLeftOutNames.push_back(std::move(note));
  return false;
}

bool TCompBase::StoredInUtf8(const std::string& Name) {
  // Without the code-page step, or where the OEM page is UTF-8 itself, UTF-8
  // is the form every name was meant to have.
  constexpr unsigned kUtf8CodePage = 65001;
  return TranslateOemChar && StoresUtf8Names() && platform::OemCodePage() != kUtf8CodePage &&
         StoredNameForm(Name, true, '/').Utf8;
}

bool TCompBase::CheckNames() {
  std::vector<TNameNote> notes;
  {
    // The writers form each stored name under its spec's folder; so does
    // this pass, leaving the state as the search left it.
    const std::string specDir = SpecDir, current = CurrentFileName;
    for (int i = 0; i < EntryList.Count(); ++i) {
      const uint8_t action = EntryList.Object(i).Action;
      if (action != TCompBaseHeaderObj::kNew && action != TCompBaseHeaderObj::kReplace) continue;
      const int spec = EntrySpecIndex[i];
      SpecDir = spec >= 1 && spec <= static_cast<int>(fFileSpec.size())
                    ? ExtractFilePath(fFileSpec[spec - 1])
                    : std::string();
      SetCurrentFileName(EntryList.Line(i));
      if (StoredInUtf8(CurrentFileName))
        notes.push_back({EntryList.Line(i), CurrentFileName, TNameNote::nkUtf8, ""});
    }
    SpecDir = specDir;
    CurrentFileName = current;
  }
  notes.insert(notes.end(), fLeftOutNames.begin(), fLeftOutNames.end());
  fLeftOutNames.clear();
  bool go = true;
  if (!notes.empty() && OnNameCheck) {
    fTimer.Pause();
    OnNameCheck(*this, notes, go);
    fTimer.Resume();
  }
  if (!go) return false;
  for (const TNameNote& note : notes)
    if (note.LeftOut())
      ReportError(note.FileName, note.Reason + "; the file was left out", kErrNameNotStored);
  return true;
}

std::string TCompBase::StoredName(const std::string& FullPath, const std::string& SpecDir,
                                  const std::string& DefaultDir, PathStyle style) {
  const bool ignoreCase = style.Drives;
  auto dropFront = [&](size_t n) { return n >= FullPath.size() ? std::string() : FullPath.substr(n); };
  switch (StoredDirNames) {
    case sdNone:
      return ExtractFileName(FullPath, style);
    case sdAbsolute:
      return FullPath;
    case sdAbsoluteNoDrv: {
      if (!style.Drives) return FullPath;
      const size_t colon = FullPath.find(':');
      if (colon != std::string::npos) return FullPath.substr(colon + 1);
      if (IsUncPath(FullPath, style)) {
        // \\server\share\rest -> \rest
        size_t p = FullPath.find_first_of("\\/", 2);
        if (p != std::string::npos) p = FullPath.find_first_of("\\/", p + 1);
        return p == std::string::npos ? std::string() : FullPath.substr(p);
      }
      return FullPath;
    }
    case sdRelative:
      return StartsWith(FullPath, SpecDir, ignoreCase) ? FullPath.substr(SpecDir.size())
                                                       : FullPath;
    case sdRelativeStoreStart: {
      const std::string last = ExtractFileName(RemoveBackslash(SpecDir, style), style);
      const long n = static_cast<long>(SpecDir.size()) - (1 + static_cast<long>(last.size()));
      return dropFront(n > 0 ? static_cast<size_t>(n) : 0);
    }
    case sdExplorer:
      if (!SpecDir.empty() && !DefaultDir.empty() &&
          (ignoreCase ? SameTextAscii(SpecDir, DefaultDir) : SpecDir == DefaultDir))
        return StartsWith(FullPath, SpecDir, ignoreCase) ? FullPath.substr(SpecDir.size())
                                                         : FullPath;
      return dropFront(DefaultDir.size());
  }
  return FullPath;
}

uint32_t TCompBase::ApplyDateAttribute(uint32_t Date) {
  switch (DateAttribute) {
    case daSysDate:
      return platform::Current().NowDosStamp();
    case daMaxFileDate:
      return MaxDate;
    default:
      return Date;
  }
}

int TCompBase::AddEntry(int SpecIndex, const std::string& FullPath, bool Add, uint32_t Attr,
                        uint32_t Date, uint64_t Size) {
  if (!EntryList.Empty()) {
    int found = -1;
    if (!NewArchive) found = EntryList.IndexOf(CurrentFileName);
    if (found < 0) found = EntryList.IndexOf(FullPath);
    if (found >= 0) {
      TCompBaseHeaderObj& old = EntryList.Object(found);
      if (old.Action == TCompBaseHeaderObj::kNew) {
        if (Add) return found;  // the same file found twice
      } else {
        bool replaced = false;
        // Writers store a folder with fixed attributes, so a folder that also
        // carries read-only or archive on disk is not changed for that.
        const bool sameAttr =
            old.Attr == Attr || (old.Attr & Attr & platform::kAttrDirectory) != 0;
        const bool unchanged =
            old.Size == Size && old.Date == Date && (ArcType() == atTar || sameAttr);
        if (!unchanged) {
          if (OnReplaceFile) {
            bool replace = false;
            OnReplaceFile(*this, CurrentFileName, FullPath, DosDateToDateTime(old.Date),
                          DosDateToDateTime(Date), old.Size, Size,
                          static_cast<int>(ArcType() == atTar ? Attr : old.Attr),
                          static_cast<int>(Attr), replace);
            if (replace) {
              TotalBytes = TotalBytes - old.Size + Size;
              old.Size = old.PackedSize = Size;
              old.Date = ApplyDateAttribute(Date);
              old.Attr = Attr;
              old.Action = TCompBaseHeaderObj::kReplace;
              EntryList.SetLine(found, FullPath);
              replaced = true;
            }
          } else {
            ReportError(CurrentFileName, "OnReplaceFile", kErrEventNotAssigned);
          }
        }
        if (replaced) return found;
        if (!OnRenameDupFile) return found;
        const std::string oldLine = EntryList.Line(found);
        const std::string oldName = ExtractFileName(oldLine);
        std::string newName;
        for (;;) {
          newName.clear();
          OnRenameDupFile(*this, oldLine, newName);
          if (newName.empty() || SameTextAscii(newName, oldName)) break;
          if (EntryList.IndexOf(ExtractFilePath(oldLine) + newName) < 0) break;
        }
        if (newName.empty() || SameTextAscii(newName, oldName)) return found;
        old.Action = TCompBaseHeaderObj::kRename;
        EntryList.SetLine(found, ExtractFilePath(oldLine) + newName);
      }
    }
  }
  const uint32_t headerSize = HeaderSizeOf(ArcType());
  if (Add && headerSize > 0) {
    auto obj = std::make_unique<TCompBaseHeaderObj>();
    obj->Header.assign(headerSize, 0);
    obj->Size = obj->PackedSize = Size;
    obj->Date = ApplyDateAttribute(Date);
    obj->Attr = Attr;
    EntryList.Add(FullPath, std::move(obj));
    EntrySpecIndex.push_back(SpecIndex + 1);
    NewBytes += Size;
  }
  return -1;
}

}  // namespace vix
