#include "writers/kvtZipSpan.h"

#include <algorithm>
#include <cstdio>

#include "archive/kvtBytes.h"
#include "archive/kvtDiskMan.h"
#include "archive/kvtErrors.h"
#include "archive/kvtNames.h"
#include "writers/kvtZipIT.h"

namespace vix {

using namespace zip;

namespace {

constexpr uint32_t kSpanningSignature = 0x08074B50;
constexpr uint32_t kLaterDiskRoom = 50000;
constexpr uint32_t kCopyChunk = 32768;

}  // namespace

TZipSpan::TZipSpan(TZip& zip, Stream& source, uint32_t splitSize)
    : fZip(zip), fSource(source), fSplitSize(splitSize) {}

TZipSpan::~TZipSpan() = default;

std::string TZipSpan::SegmentName(const std::string& archive, int number) {
  const std::string ext = ExtractFileExt(archive);
  const std::string base = archive.substr(0, archive.size() - ext.size());
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".z%02d", number);
  return base + suffix;
}

bool TZipSpan::ParseSplitSize(const std::string& text, uint32_t& size) {
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFull) return false;
  }
  if (i == 0) return false;
  const std::string unit = text.substr(i);
  if (unit == "k" || unit == "K") value <<= 10;
  else if (unit == "m" || unit == "M") value <<= 20;
  else if (unit == "g" || unit == "G") value <<= 30;
  else if (!unit.empty()) return false;
  if (value < kMinSplitSize || value > 0xFFFFFFFFull) return false;
  size = static_cast<uint32_t>(value);
  return true;
}

std::string TZipSpan::DiskFileName() const {
  return Split() ? SegmentName(fZip.ArchiveFile(), VolumeNumber) : fZip.ArchiveFile();
}

// From the cluster counts in 64 bits (the manager's byte count wraps at
// 4 GiB), capped at what a 32-bit budget holds.
uint32_t TZipSpan::FreeBytes() const {
  const TDiskSpace& s = fZip.DiskManager().DiskSpace;
  const uint64_t bytes =
      static_cast<uint64_t>(s.FreeClusters) * s.SectorsPerCluster * s.BytesPerSector;
  return static_cast<uint32_t>(std::min<uint64_t>(bytes, 0xFFFFFFFF));
}

bool TZipSpan::ReadDisk() {
  const bool ready = fZip.ArchiveDriveReady();
  SpanBudget = ready ? FreeBytes() : 0;
  if (!ready) Stopped("the drive of disk " + std::to_string(VolumeNumber) + " is not ready");
  return ready;
}

// Said once: a stop deep inside a disk change unwinds through its callers.
void TZipSpan::Stopped(const std::string& why) {
  if (fStopReported) return;
  fStopReported = true;
  const int written = DiskFile ? VolumeNumber : VolumeNumber - 1;
  std::string extended = why + ": the archive is incomplete";
  if (written > 0)
    extended += "; " + std::to_string(written) + (Split() ? " segment" : " disk") +
                (written > 1 ? "s written so far stay as they are"
                             : " written so far stays as it is");
  fZip.ReportError(DiskFileName(), extended, std::to_string(VolumeNumber), kErrUserCanceled);
}

void TZipSpan::Put(const void* data, uint32_t count) {
  if (count == 0) return;
  if (DiskFile->Write(data, count) != static_cast<int64_t>(count))
    fZip.RaiseError(DiskFileName(), platform::Current().LastErrorText(), std::to_string(VolumeNumber),
                    kErrWrite);
}

uint32_t TZipSpan::Position() {
  const int64_t position = DiskFile->Position();
  return position > 0 ? static_cast<uint32_t>(position) : 0;
}

bool TZipSpan::AskInsertDisk() {
  if (!fZip.OnInsertDisk) {
    fZip.ReportError(fZip.ArchiveFile(), "OnInsertDisk", std::to_string(VolumeNumber),
                     kErrEventNotAssigned);
    return false;
  }
  for (;;) {
    bool cancel = true;
    fZip.OnInsertDisk(fZip, std::to_string(VolumeNumber), cancel);
    if (fZip.GetCancel()) {
      Stopped("cancelled");
      return false;
    }
    if (cancel) {
      Stopped("disk " + std::to_string(VolumeNumber) + " was not inserted");
      return false;
    }
    if (!ReadDisk()) return false;
    // A disk that already holds an earlier part of this set would be
    // overwritten: the user is asked again.
    const int32_t found = fZip.DiskManager().DiskNumber;
    if (VolumeNumber == 1 || found < 1 || found >= VolumeNumber) return true;
  }
}

bool TZipSpan::AskClearDisk(uint32_t required) {
  if (!fZip.OnClearDisk) {
    if (FreeBytes() >= required) return true;
    fZip.ReportError(fZip.ArchiveFile(), "OnClearDisk", std::to_string(VolumeNumber),
                     kErrEventNotAssigned);
    return false;
  }
  // Asked again only while the handler makes progress: an answer that freed
  // nothing is a refusal, not a reason to ask forever.
  for (;;) {
    const TDiskSpace& space = fZip.DiskManager().DiskSpace;
    const uint32_t before = FreeBytes();
    const uint64_t total =
        static_cast<uint64_t>(space.TotalClusters) * space.SectorsPerCluster * space.BytesPerSector;
    bool cancel = false;
    fZip.OnClearDisk(fZip, fZip.DiskManager().Drive, required, before,
                     static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFF)), cancel);
    if (fZip.GetCancel()) {
      Stopped("cancelled");
      return false;
    }
    if (!cancel) return true;
    if (!ReadDisk()) return false;
    const uint32_t now = FreeBytes();
    if (now >= required) return true;
    if (now <= before) {
      Stopped("disk " + std::to_string(VolumeNumber) + " was not cleared");
      return false;
    }
  }
}

bool TZipSpan::RequestDisk(uint32_t required) {
  fRecordsHere = 0;
  const std::string name = DiskFileName();
  if (Split()) {
    DiskFile = platform::Current().Create(name, true);
    if (DiskFile) fZip.SpannedVolumes = VolumeNumber;
    if (!DiskFile) {
      fZip.ReportError(name, platform::Current().LastErrorText(), std::to_string(VolumeNumber),
                       kErrOpen);
      return false;
    }
    SpanBudget = fSplitSize;
    return true;
  }
  bool accepted = false;
  for (;;) {
    if (!AskInsertDisk()) break;
    const TDiskSpace& space = fZip.DiskManager().DiskSpace;
    if (space.FreeBytes < space.TotalBytes && !AskClearDisk(required)) break;
    if (FreeBytes() >= required) {
      accepted = true;
      break;
    }
  }
  if (accepted) {
    SpanBudget = FreeBytes();
    DiskFile = platform::Current().Create(name, true);
    if (DiskFile) fZip.SpannedVolumes = VolumeNumber;
    if (!DiskFile) {
      fZip.ReportError(name, platform::Current().LastErrorText(), std::to_string(VolumeNumber),
                       kErrOpen);
    } else {
      const std::string label = TDiskManager::SpannedLabel(VolumeNumber);
      if (fZip.DiskManager().WriteVolumeLabel(label)) return true;
      fZip.ReportError(name, platform::Current().LastErrorText(), label, kErrSpannedLabel);
    }
  }
  fZip.fArchiveFile.clear();
  fZip.Discard = true;
  return false;
}

bool TZipSpan::NextDisk(uint32_t required) {
  if (DiskFile && !DiskFile->Close())
    fZip.RaiseError(DiskFileName(), platform::Current().LastErrorText(), std::to_string(VolumeNumber),
                    kErrWrite);
  DiskFile.reset();
  ++VolumeNumber;
  ++DiskIndex;
  return RequestDisk(required);
}

bool TZipSpan::CopyToDisks(uint32_t count) {
  std::vector<uint8_t> buffer(std::min(count, kCopyChunk));
  while (count > 0) {
    if (fZip.GetCancel()) return false;
    platform::PumpMessages();
    const uint32_t chunk = std::min(count, kCopyChunk);
    if (!platform::ReadExactly(fSource, buffer.data(), chunk)) {
      fZip.ReportError(fZip.TempFileName, "the temporary archive ended early",
                       std::to_string(VolumeNumber), kErrWrite);
      return false;
    }
    uint32_t done = 0;
    while (chunk - done > SpanBudget) {
      Put(buffer.data() + done, SpanBudget);
      done += SpanBudget;
      count -= SpanBudget;
      SpanBudget = 0;
      if (!NextDisk(kLaterDiskRoom)) return false;
    }
    Put(buffer.data() + done, chunk - done);
    SpanBudget -= chunk - done;
    count -= chunk - done;
  }
  return true;
}

bool TZipSpan::WriteSplit(const void* data, uint32_t count, uint32_t required) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t done = 0;
  while (count - done > SpanBudget) {
    Put(p + done, SpanBudget);
    done += SpanBudget;
    SpanBudget = 0;
    if (!NextDisk(required)) return false;
  }
  Put(p + done, count - done);
  SpanBudget -= count - done;
  return true;
}

bool TZipSpan::WriteSpannedArchive() {
  fZip.Discard = true;
  std::fill(std::begin(EndRecord), std::end(EndRecord), 0);
  VolumeNumber = 1;
  DiskIndex = 0;

  // Each entry spans the temporary archive from its local header to the
  // next entry (or the end): descriptors and local extra fields included.
  std::vector<int> kept;
  std::vector<uint32_t> offsets;
  for (int i = 0; i < fZip.EntryList.Count(); ++i) {
    TCompBaseHeaderObj& entry = fZip.EntryList.Object(i);
    if (entry.Action == TCompBaseHeaderObj::kSkip || entry.Header.size() < kCentralSize)
      continue;
    kept.push_back(i);
    offsets.push_back(GetLE32(&entry.Header[kCenOffset]));
  }
  if (kept.size() > 0xFFFF) {
    fZip.ReportError(fZip.ArchiveFile(),
                     std::to_string(kept.size()) +
                         " entries; a ZIP archive holds at most 65535 entries", kErrWrite);
    return false;
  }
  std::vector<uint32_t> ends(offsets);
  std::sort(ends.begin(), ends.end());
  const int64_t sourceSize = fSource.Size();
  const uint32_t sourceEnd = sourceSize > 0 ? static_cast<uint32_t>(sourceSize) : 0;

  const uint32_t leave = Split() ? 0 : fZip.LeaveSpaceOnFirstDisk;
  if (!RequestDisk(Split() ? 0 : leave + kLaterDiskRoom)) return false;
  SpanBudget -= std::min(SpanBudget, leave);

  const uint32_t units = static_cast<uint32_t>(kept.size()) + 2;
  fZip.BytesLeft = units;
  for (size_t k = 0; k < kept.size(); ++k) {
    if (fZip.GetCancel()) {
      Stopped("cancelled");
      return false;
    }
    std::vector<uint8_t>& header = fZip.EntryList.Object(kept[k]).Header;
    const uint32_t offset = offsets[k];
    const auto next = std::upper_bound(ends.begin(), ends.end(), offset);
    const uint32_t end = next == ends.end() ? sourceEnd : *next;
    uint8_t local[kLocalSize];
    if (end < offset + kLocalSize ||
        !fSource.Seek(offset, platform::Origin::Begin) ||
        !platform::ReadExactly(fSource, local, kLocalSize) || GetLE32(local) != kLocalSignature ||
        !fSource.Seek(offset, platform::Origin::Begin)) {
      fZip.ReportError(fZip.TempFileName, "entry " + std::to_string(k + 1) + " unreadable", kErrWrite);
      return false;
    }
    if (k == 0) {
      uint8_t signature[4];
      PutLE32(signature, kSpanningSignature);
      Put(signature, 4);
      SpanBudget -= std::min<uint32_t>(SpanBudget, 4);
    }
    // The local header with its name and extra field stays on one disk.
    const uint32_t headerLength =
        kLocalSize + GetLE16(local + kLocNameLength) + GetLE16(local + kLocExtraLength);
    if (SpanBudget < std::min(headerLength, end - offset) && !NextDisk(headerLength))
      return false;
    PutLE32(&header[kCenOffset], Position());
    PutLE16(&header[kCenDiskStart], static_cast<uint16_t>(DiskIndex));
    if (!CopyToDisks(end - offset)) {
      if (fZip.GetCancel()) Stopped("cancelled");
      return false;
    }
    fZip.BytesLeft = units - static_cast<uint32_t>(k + 1);
    fZip.ReportProgress(1, 1, units);
  }

  // The directory starts on the disk whose number the end record gives.
  if (SpanBudget == 0 && !NextDisk(kCentralSize)) return false;
  const uint16_t directoryDisk = static_cast<uint16_t>(DiskIndex);
  const uint32_t directoryOffset = Position();
  uint32_t directorySize = 0;
  for (int index : kept) {
    if (fZip.GetCancel()) {
      Stopped("cancelled");
      return false;
    }
    TCompBaseHeaderObj& entry = fZip.EntryList.Object(index);
    if (SpanBudget == 0 && !NextDisk(kCentralSize)) return false;
    ++fRecordsHere;
    // The kept central records carry the comment separately.
    if (!WriteSplit(entry.Header.data(), static_cast<uint32_t>(entry.Header.size()),
                    kCentralSize))
      return false;
    directorySize += static_cast<uint32_t>(entry.Header.size());
    if (GetLE16(&entry.Header[kCenCommentLength]) != 0 && !entry.Extra.empty()) {
      if (!WriteSplit(entry.Extra.data(), static_cast<uint32_t>(entry.Extra.size()),
                      kCentralSize))
        return false;
      directorySize += static_cast<uint32_t>(entry.Extra.size());
    }
  }
  fZip.BytesLeft = 1;
  fZip.ReportProgress(1, 1, units);

  // Readers find the end record by searching the last disk: it is never
  // split.
  if (SpanBudget < kEndSize && !NextDisk(kEndSize)) return false;
  PutLE32(EndRecord, kEndSignature);
  PutLE16(EndRecord + kEndThisDisk, static_cast<uint16_t>(DiskIndex));
  PutLE16(EndRecord + kEndDirDisk, directoryDisk);
  PutLE16(EndRecord + kEndEntriesHere, static_cast<uint16_t>(fRecordsHere));
  PutLE16(EndRecord + kEndEntriesTotal, static_cast<uint16_t>(kept.size()));
  PutLE32(EndRecord + kEndDirSize, directorySize);
  PutLE32(EndRecord + kEndDirOffset, directoryOffset);
  if (!WriteSplit(EndRecord, kEndSize, kEndSize)) return false;
  fZip.BytesLeft = 0;
  fZip.ReportProgress(1, 1, units);

  if (!DiskFile->Close())
    fZip.RaiseError(DiskFileName(), platform::Current().LastErrorText(), std::to_string(VolumeNumber),
                    kErrWrite);
  DiskFile.reset();
  if (Split() && !TCompBase::ReplaceFileWith(DiskFileName(), fZip.ArchiveFile())) {
    fZip.ReportError(fZip.ArchiveFile(),
                     "the last segment stays as " + DiskFileName() + ": " +
                         platform::Current().LastErrorText(), kErrWrite);
    return false;
  }
  fZip.SpannedComplete = true;
  return true;
}

}  // namespace vix
