#include "verify/verify_archive.h"

#include "archive/kvtCrc.h"

namespace vix {

void TCompBase::TSourceTap::Add(int64_t position, const void* data, size_t count) {
  // A writer that starts a file over (stored after a failed compression,
  // a check pass before encrypting) reads it from the start again.
  if (position == 0 && Bytes > 0) Start();
  if (position < 0 || static_cast<uint64_t>(position) != Bytes) Lost = true;
  UpdateCrc32(data, count, Crc);
  Bytes += count;
}

void TCompBase::RecordSourceEntry(const std::string& name) {
  TVerifyRecord record;
  record.Name = name;
  // A source read out of order is checked as a kept entry is: its data
  // against the archive's own CRC.
  record.FromSource = SourceTap.On && !SourceTap.Lost;
  record.Size = SourceTap.Bytes;
  record.Crc32 = SourceTap.Crc ^ 0xFFFFFFFFu;
  VerifyRecords.push_back(record);
  SourceTap.On = false;
}

bool TCompBase::VerifyWritten(const std::string& path) {
  verify::Mismatch mismatch;
  auto file = platform::Current().OpenRead(path, platform::ShareMode::Read);
  if (!file) {
    mismatch.Why = "the written archive cannot be read back: " + platform::Current().LastErrorText();
  } else {
    verify::StreamAccess access(*file);
    const verify::ReadResult read = verify::ReadArchive(access, ArcType(), VerifyPassword());
    if (read.Ok()) {
      if (verify::CompareWithRecords(read, VerifyRecords, mismatch)) return true;
    } else {
      mismatch.Entry = read.FailedEntry;
      mismatch.Why = read.Error;
    }
  }
  const std::string what = mismatch.Entry.empty() ? ArchiveFile() : mismatch.Entry;
  const bool existing =
      platform::Current().GetAttributes(ArchiveFile()) != platform::kNoAttributes;
  ReportError(what,
              mismatch.Why + "; the new archive was thrown away: " +
                  (existing ? ArchiveFile() + " is as it was" : "no " + ArchiveFile() + " was made"), kErrVerifyFailed);
  return false;
}

namespace verify {

ReadResult ReadArchive(RandomAccess& file, TArcType type, const std::string& password) {
  switch (type) {
    case atZip:
    case atZipExe:
    case atJar:
      return ReadZipArchive(file, password);
    case atLzh:
    case atLha:
      return ReadLzhArchive(file);
    case atCab:
      return ReadCabArchive(file);
    case atTar:
      return ReadTarArchive(file);
    case atGZip:
      return ReadGzipArchive(file);
    default: {
      ReadResult r;
      r.Error = "this archive type has no reader for the check";
      return r;
    }
  }
}

bool CompareWithRecords(const ReadResult& archive,
                        const std::vector<TCompBase::TVerifyRecord>& records, Mismatch& out) {
  const auto& entries = archive.Entries;
  for (size_t i = 0; i < records.size(); ++i) {
    const auto& want = records[i];
    if (i >= entries.size()) {
      out = {want.Name, "the entry is missing from the archive"};
      return false;
    }
    const StoredEntry& got = entries[i];
    if (!want.FromSource) continue;
    if (!got.HasData) {
      if (want.Size != 0) {
        out = {want.Name, "the archive holds no data for it"};
        return false;
      }
      continue;
    }
    if (got.Size != want.Size) {
      out = {want.Name, "the archive holds " + std::to_string(got.Size) + " bytes of it, " +
                            std::to_string(want.Size) + " were read"};
      return false;
    }
    if (got.Crc32 != want.Crc32) {
      out = {want.Name, "its data in the archive differs from what was read (CRC-32)"};
      return false;
    }
  }
  if (entries.size() > records.size()) {
    out = {entries[records.size()].Name, "the archive holds an entry that was not written"};
    return false;
  }
  return true;
}

}  // namespace verify
}  // namespace vix
