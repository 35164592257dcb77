// The disk manager: readiness, type, space and label of the archive's drive.
#pragma once

#include <cstdint>
#include <string>

#include "archive/kvtComponent.h"

namespace vix {

struct TDiskSpace {
  uint32_t SectorsPerCluster = 0;
  uint32_t BytesPerSector = 0;
  uint32_t FreeClusters = 0;
  uint32_t TotalClusters = 0;
  uint32_t TotalBytes = 0;  // computed in 32 bits: wraps on volumes of 4 GiB and more
  uint32_t FreeBytes = 0;
};

class TDiskManager : public TComponent {
 public:
  TDiskManager() : TComponent(nullptr) {}

  std::string Drive;
  std::string VolumeLabel;
  int32_t DiskNumber = 0;
  uint8_t DriveType = 0;
  TDiskSpace DiskSpace;
  bool Ready = false;
  // How drive roots are spelled (tests exercise both spellings anywhere).
  platform::PathStyle Style = platform::kNativeStyle;

  void SetDrive(const std::string& drive);
  bool Refresh();
  bool ReadVolumeInfo(const std::string& drive, std::string& label);
  uint8_t DriveTypeOf(const std::string& drive);
  bool GetDiskSpace(const std::string& drive, TDiskSpace& space);
  static int32_t DiskNumberFromLabel(const std::string& label);
  bool WriteVolumeLabel(const std::string& label);
  bool AskRetry(const std::string& drive);

  // The drive `archiveFile` lies on: its drive part when the name holds a
  // double delimiter or a ":" after its first character, else the drive of
  // the current directory.
  static std::string DriveOfName(const std::string& archiveFile,
                                 platform::PathStyle style = platform::kNativeStyle);

  // The format of the label that numbers a disk of a spanned set.
  static std::string SpannedLabel(int number);
};

}  // namespace vix
