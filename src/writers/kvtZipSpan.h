// Spanned and split ZIP output: the finished temporary archive copied entry
// by entry onto a sequence of removable disks (or of segment files), with
// the central directory and the end record on the last ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/kvtBase.h"

namespace vix {

class TZip;

// The user is asked for disk VolumeName ("1", "2", ...); Cancel starts true
// and a handler that had the disk inserted sets it false.
using TOnInsertDisk =
    std::function<void(TCompBase& Sender, const std::string& VolumeName, bool& Cancel)>;
// The inserted disk holds other files. Cancel starts false: left false, the
// disk is taken as it is (another is asked for when it has too little room);
// set true, the disk is read again after the handler freed space on it, and
// a handler that freed nothing stops the output.
using TOnClearDisk =
    std::function<void(TCompBase& Sender, const std::string& Drive, uint32_t RequiredSpace,
                       uint32_t FreeSpace, uint32_t TotalSpace, bool& Cancel)>;

class TZipSpan {
 public:
  // Split output when SplitSize > 0: segment files ARCHIVE.z01, .z02, ...
  // of SplitSize bytes each and the last one named ARCHIVE itself.
  TZipSpan(TZip& zip, Stream& source, uint32_t splitSize);
  ~TZipSpan();

  bool WriteSpannedArchive();

  bool RequestDisk(uint32_t required);
  bool AskInsertDisk();
  bool AskClearDisk(uint32_t required);
  bool NextDisk(uint32_t required);
  bool CopyToDisks(uint32_t count);
  // A directory block; a change of disk inside it requires `required` bytes
  // on the next one. Whole blocks (the end record) pass SpanBudget + 1.
  bool WriteSplit(const void* data, uint32_t count, uint32_t required);

  FileHandle DiskFile;
  int VolumeNumber = 1;
  int DiskIndex = 0;
  uint32_t SpanBudget = 0;
  uint8_t EndRecord[22] = {};

  // A segment size as typed: bytes, or a number with k, M or G (powers of
  // 1024). False for anything else, or outside kMinSplitSize..4 GiB - 1.
  static bool ParseSplitSize(const std::string& text, uint32_t& size);
  static constexpr uint32_t kMinSplitSize = 65536;

  // The name of split segment `number` (1-based) of `archive`.
  static std::string SegmentName(const std::string& archive, int number);

 private:
  bool Split() const { return fSplitSize > 0; }
  std::string DiskFileName() const;
  uint32_t FreeBytes() const;
  bool ReadDisk();
  void Put(const void* data, uint32_t count);
  uint32_t Position();
  void Stopped(const std::string& why);

  TZip& fZip;
  Stream& fSource;
  uint32_t fSplitSize;
  uint32_t fRecordsHere = 0;  // central records that start on the current disk
  bool fStopReported = false;
};

}  // namespace vix
