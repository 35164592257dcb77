#include "writers/kvtGZip.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/kvtBytes.h"
#include "archive/kvtCrc.h"
#include "archive/kvtNames.h"
#include "archive/kvtTime.h"
#include "engines/deflate.h"

namespace vix {

namespace {

using namespace gzip;

constexpr uint32_t kNotWritable = platform::kAttrReadOnly | platform::kAttrHidden |
                                  platform::kAttrSystem | platform::kAttrDirectory |
                                  platform::kAttrVolumeId;

// The DOS stamp of an existing file's last write; 0 when it cannot be found.
uint32_t FileDosStamp(const std::string& path) {
  auto search = platform::Current().FindFirst(ExtractFilePath(path), ExtractFileName(path));
  platform::FindData data;
  return search && search->Next(data) ? data.Time : 0;
}

}  // namespace

TGZip::TGZip(TComponent* owner) : TCompBase(owner) {
  fOwnExt = ".GZ";
  fAllowedMethods = {cmDeflate};
  SetDefaultExt(fOwnExt);
  SetDeflateType(dtDeflateN);
  SetCompressMethod(cmDeflate);
  SetArcType(atGZip);
}

void TGZip::SetArcType(TArcType) {
  fArcType = atGZip;
  if (!Loading() && !ArchiveFile().empty() &&
      !SameTextAscii(ExtractFileExt(ArchiveFile()), DefaultExt()))
    SetArchiveFile(ArchiveFile() + DefaultExt());
}

void TGZip::FoundFile(int SpecIndex, const std::string& Folder, const platform::FindData& Data) {
  if (!AcceptAttr(Data.Attr)) return;
  // The folder the file was found in (the spec line's own folder unless the
  // search recursed), so that the listed path names the file.
  const std::string path = Folder + Data.Name;
  if (!CheckFileSize(path, Data.Size)) return;
  MaxDate = std::max(MaxDate, Data.Time);
  auto obj = std::make_unique<TCompBaseHeaderObj>();
  obj->Size = obj->PackedSize = Data.Size;
  obj->Date = ApplyDateAttribute(Data.Time);
  obj->Attr = Data.Attr;
  TotalBytes += obj->Size;
  EntryList.Add(path, std::move(obj));
  EntrySpecIndex.push_back(SpecIndex + 1);
}

TCompBase::SizeLimit TGZip::LargeFileLimit() const {
  return {UINT64_MAX, "a GZIP member has no size limit"};
}

void TGZip::CompressArchive() {
  InputKind = skFile;
  OutputKind = skFile;
  if (ArchiveFile().empty() || FileSpec().empty()) return;
  if (Switch == swDelete) {
    ReportError(ArchiveFile(), "a GZIP file holds one file: there is nothing to delete from it",
                kErrUnsupported);
    return;
  }
  if (Switch == swRead) {
    RunSwRead();
    return;
  }
  if (OnActivate) OnActivate(*this);
  if (OnElapsedTime) fTimer.Start();
  fOutput.clear();
  try {
    CompressGZipFiles();
  } catch (const E_RAISE& e) {
    // A fatal error ends the run without being passed on, so OnError must
    // hear of it (a short write inside the engine raises unreported); the
    // message names the work file and the system's reason.
    if (!e.Reported) ReportError(fOutput.empty() ? ArchiveFile() : fOutput, e.what(), e.Code);
  } catch (...) {
  }
  if (OnElapsedTime) {
    fTimer.Stop();
    OnElapsedTime(*this, fTimer.ElapsedSeconds);
  }
  if (OnDeactivate) OnDeactivate(*this);
}

bool TGZip::MayOverwrite(const std::string& output) {
  if (!OnFileExists) {
    ReportError(output,
                "the file exists and no OnFileExists handler allowed replacing it; it was left "
                "as it was and nothing more was written", kErrEventNotAssigned);
    return false;
  }
  int overwriteMode = 0;
  OnFileExists(*this, output, DosStampToDateTime(FileDosStamp(output)), overwriteMode);
  if (overwriteMode != 0 || GetCancel()) return false;
  auto& os = platform::Current();
  if (os.GetAttributes(output) & kNotWritable) {
    if (!OnNonWriteableArchive) {
      ReportError(output, "OnNonWriteableArchive", kErrEventNotAssigned);
      return false;
    }
    bool writeToFile = false;
    OnNonWriteableArchive(*this, output, writeToFile);
    if (!writeToFile || !os.SetAttributes(output, platform::kAttrArchive)) return false;
  }
  return true;
}

void TGZip::CompressGZipFiles() {
  if (!SearchSpecs() || GetCancel()) return;
  BytesLeft = TotalBytes;

  auto& os = platform::Current();
  AheadRun ahead(*this);
  for (int i = 0; i < EntryList.Count(); ++i) {
    platform::PumpMessages();
    if (GetCancel()) return;
    EntryNumber = static_cast<uint32_t>(i + 1);
    const std::string path = EntryList.Line(i);
    std::string output = ExtractFilePath(ArchiveFile()) +
                         (MemberName.empty() ? ExtractFileName(path) : MemberName) + DefaultExt();

    bool extract = true;
    if (OnBegin) OnBegin(*this, output, static_cast<int>(EntryNumber), extract);
    if (!extract) continue;
    if (OnRenameFile) {
      std::string renamed = output;
      OnRenameFile(*this, output, renamed);
      if (!renamed.empty()) output = renamed;
    }
    if (os.GetAttributes(output) != platform::kNoAttributes && !MayOverwrite(output)) return;

    FileHandle input = OpenSource(path);
    if (!input) continue;
    const int64_t size = input->Size();
    if (size < 0 || !CheckFileSize(path, static_cast<uint64_t>(size))) continue;
    fInputSize = static_cast<uint64_t>(size);
    // The member is written beside the output and moved into place once it
    // is complete: a cancel or a failure never leaves a partial file, nor
    // costs an existing one.
    const std::string work = TempFileBeside(output);
    struct WorkFile {
      const std::string& name;
      ~WorkFile() {
        auto& os = platform::Current();
        if (!name.empty() && os.GetAttributes(name) != platform::kNoAttributes) os.DeleteFile(name);
      }
    } workGuard{work};
    FileHandle out = work.empty() ? nullptr : CreateArchiveFile(work, true);
    if (!out) {
      if (work.empty()) ReportError(output, os.LastErrorText(), kErrOpen);
      continue;  // the input stays
    }

    const int spec = EntrySpecIndex[i];
    SpecDir = spec >= 1 && spec <= static_cast<int>(FileSpec().size())
                  ? ExtractFilePath(FileSpec()[spec - 1])
                  : std::string();
    SetCurrentFileName(path);
    if (!MemberName.empty()) CurrentFileName = MemberName;
    fOutput = output;
    WriteTarget = work;
    fMemberDate = EntryList.Object(i).Date;
    if (Verify) SourceTap.Start();
    AheadIndex = i;
    const EngineStatus status = WriteGZipMember(*input, *out);
    AheadIndex = -1;
    if (!out->Close()) WriteFailed();
    out.reset();
    input.reset();
    if (GetCancel()) return;
    if (status == EngineStatus::ReadFailed) {
      ReportReadFailure(path);
      continue;
    }
    if (Verify) {
      VerifyRecords.clear();
      RecordSourceEntry(CurrentFileName);
      if (!VerifyWritten(work)) continue;  // the output stays as it was
    }
    if (!ReplaceFileWith(work, output)) {
      ReportError(output, os.LastErrorText(), kErrWrite);
      continue;
    }
    // A date left as it was harms nothing, so a failure is not reported.
    if (DateAttribute == daFileDate)
      platform::Current().SetLastWriteTime(output, GetLE32(fHeader + kMtimeOff));
    ++FilesWritten;

    if (Switch == swMove) DeleteByOptions(path);
    const uint32_t written = GetLE32(fTrailer);
    if (OnEnd) OnEnd(*this, CurrentFileName, written == (Crc32Value ^ 0xFFFFFFFFu));
  }
}

AheadPlan TGZip::PlanAhead(int Index) {
  AheadPlan plan;
  if (EntryList.Object(Index).Size > LargeFileLimit().Largest) return plan;
  plan.engine = AheadPlan::kDeflate;
  plan.DeflateLevel = DeflateLevel();
  plan.Crc32 = true;
  return plan;
}

EngineStatus TGZip::WriteGZipMember(platform::File& input, platform::File& output) {
  const uint32_t mtime = static_cast<uint32_t>(LocalToUnixTime(DosStampToDateTime(fMemberDate)));
  std::memset(fHeader, 0, kHeaderSize);
  fHeader[kIdOff] = kId1;
  fHeader[kIdOff + 1] = kId2;
  fHeader[kCmOff] = kCmDeflate;
  fHeader[kFlgOff] = 0;
  PutLE32(fHeader + kMtimeOff, mtime);
  fHeader[kXflOff] = 0;
  fHeader[kOsOff] = 0;
  WriteBlock(&output, fHeader, kHeaderSize, false, ckNone, false);

  PackedBytes = 0;
  Crc32Value = 0xFFFFFFFFu;
  InputLeft = fInputSize;
  EngineResult result;
  if (fInputSize == 0) {
    // A complete member for an empty file: an empty final block, then the
    // CRC and size of no data, so that readers accept it.
    uint8_t empty[sizeof kEmptyDeflate];
    std::memcpy(empty, kEmptyDeflate, sizeof empty);
    PackedBytes += static_cast<uint32_t>(WriteBlock(&output, empty, sizeof empty, true, ckNone, false));
  } else {
    std::string name = CurrentFileName;
    name.push_back('\0');
    WriteBlock(&output, name.data(), static_cast<uint32_t>(name.size()), false, ckNone, false);
    fHeader[kFlgOff] = kFlgName;
    result = DeflateFile(*this, &input, &output, false, false);
    if (result.Status == EngineStatus::WriteFailed) throw E_RAISE(kErrWrite, result.Why);
  }
  // The bytes actually read: a file that shrank while being read still
  // gives a member whose trailer matches its data.
  const uint64_t read = result.BytesRead;
  PutLE32(fTrailer, Crc32Value ^ 0xFFFFFFFFu);
  PutLE32(fTrailer + 4, static_cast<uint32_t>(read));  // ISIZE: the size modulo 2^32
  WriteBlock(&output, fTrailer, sizeof fTrailer, false, ckNone, false);
  if (fHeader[kFlgOff] != 0) {
    if (!output.Seek(0, platform::Origin::Begin)) WriteFailed();
    WriteBlock(&output, fHeader, kHeaderSize, false, ckNone, false);
  }

  if (OnRead) {
    Entry = TEntryInfo();
    Entry.FileName = CurrentFileName;
    Entry.PackedSize = PackedBytes;
    Entry.Size = read;
    Entry.Crc = GetLE32(fTrailer);
    // The method name is chosen from the flag byte: FNAME alone is "DeflateN".
    const uint8_t flg = fHeader[kFlgOff];
    Entry.MethodName = (flg & 6) == 6 ? "DeflateS" : (flg & 4) ? "DeflateF"
                     : (flg & 2)      ? "DeflateX"
                                      : "DeflateN";
    Entry.Date = UnixTimeToLocal(static_cast<int32_t>(mtime));
    OnRead(*this, 0, 1);
  }
  return result.Status;
}

}  // namespace vix
