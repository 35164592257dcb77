// The disk manager: readiness, type, space and label of the archive's drive.
#include "archive/kvtDiskMan.h"

#include <cstdio>

#include "archive/kvtErrors.h"
#include "archive/kvtNames.h"

namespace vix {
namespace {

constexpr char kSpannedMarker[] = "PKBACK# ";

}  // namespace

void TDiskManager::SetDrive(const std::string& drive) {
  Drive = drive;
  Refresh();
}

bool TDiskManager::Refresh() {
  Ready = false;
  std::string label;
  while (!ReadVolumeInfo(Drive, label))
    if (!AskRetry(Drive)) return false;
  VolumeLabel = label;
  DiskNumber = DiskNumberFromLabel(label);
  DriveType = DriveTypeOf(Drive);
  while (!GetDiskSpace(Drive, DiskSpace))
    if (!AskRetry(Drive)) return false;
  Ready = true;
  return true;
}

bool TDiskManager::ReadVolumeInfo(const std::string& drive, std::string& label) {
  if (drive.empty()) return false;
  platform::CriticalErrorsOff quiet;
  return platform::Current().VolumeInformation(AppendBackslash(drive, Style), label);
}

uint8_t TDiskManager::DriveTypeOf(const std::string& drive) {
  if (drive.empty()) return platform::kDriveNoRoot;
  return platform::Current().DriveType(AppendBackslash(drive, Style));
}

bool TDiskManager::GetDiskSpace(const std::string& drive, TDiskSpace& space) {
  // A share's space is not asked for: the answer could be slow or wrong.
  if (DriveType == platform::kDriveRemote) return true;
  space = TDiskSpace();
  // An empty root would name the current drive to the system.
  if (drive.empty()) return false;
  platform::ClusterInfo info;
  bool ok;
  {
    platform::CriticalErrorsOff quiet;
    ok = platform::Current().DiskFreeSpace(AppendBackslash(drive, Style), info);
  }
  space.SectorsPerCluster = info.SectorsPerCluster;
  space.BytesPerSector = info.BytesPerSector;
  space.FreeClusters = info.FreeClusters;
  space.TotalClusters = info.TotalClusters;
  const uint32_t clusterBytes = info.BytesPerSector * info.SectorsPerCluster;
  space.TotalBytes = clusterBytes * info.TotalClusters;
  space.FreeBytes = clusterBytes * info.FreeClusters;
  return ok;
}

int32_t TDiskManager::DiskNumberFromLabel(const std::string& label) {
  const size_t marker = label.rfind(kSpannedMarker);
  if (marker == std::string::npos) return 0;
  const std::string digits = label.substr(marker + sizeof(kSpannedMarker) - 1);
  if (digits.empty() || !IsAllDigits(digits)) return 0;
  int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return 0;  // no disk of a set carries such a number
  }
  return static_cast<int32_t>(value);
}

bool TDiskManager::WriteVolumeLabel(const std::string& label) {
  bool ok = true;
  if (label != VolumeLabel) {
    platform::CriticalErrorsOff quiet;
    ok = platform::Current().SetVolumeLabel(AppendBackslash(Drive, Style), label);
  }
  if (ok) Refresh();
  return ok;
}

bool TDiskManager::AskRetry(const std::string& drive) {
  // Drive letters are shown in capitals; a POSIX folder keeps its case,
  // which is part of its name.
  std::string root = AppendBackslash(drive, Style);
  if (Style.Drives) root = UpperAscii(root);
  const std::string text = root + MessageText(kErrNotAccessible) + "\r\n\r\n" +
                           platform::Current().LastErrorText();
  return platform::AskRetryCancel(text, platform::ApplicationTitle());
}

std::string TDiskManager::DriveOfName(const std::string& archiveFile, platform::PathStyle style) {
  platform::Platform& system = platform::Current();
  if (style.Drives) {
    bool doubleDelimiter = false;
    for (size_t i = 1; i < archiveFile.size(); ++i)
      doubleDelimiter = doubleDelimiter ||
                        (IsDelimiter(archiveFile[i - 1], style) && IsDelimiter(archiveFile[i], style));
    const size_t colon = archiveFile.find(':', 1);
    if (doubleDelimiter || colon != std::string::npos) return ExtractFileDrive(archiveFile, style);
    return ExtractFileDrive(system.CurrentDirectory(), style);
  }
  // Without drives, the "drive" is the file system the archive's folder lies
  // on; a folder still to be created lies on the one of its nearest existing
  // ancestor.
  bool hasFolder = false;
  for (char c : archiveFile) hasFolder = hasFolder || IsDelimiter(c, style);
  if (!hasFolder) return system.CurrentDirectory();
  std::string folder = ExtractFileDir(system.FullPath(archiveFile), style);
  while (!DirExists(folder)) {
    const std::string parent = ExtractFileDir(folder, style);
    if (parent.empty() || parent == folder) break;
    folder = parent;
  }
  return folder;
}

std::string TDiskManager::SpannedLabel(int number) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%.3d", number);
  return kSpannedMarker + std::string(digits);
}

}  // namespace vix
