// The root archive component and the archive types.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/kvtComponent.h"
#include "archive/kvtDiskMan.h"
#include "platform/platform.h"

namespace vix {

enum TArcType : uint8_t {
  atNA, atUnsupported, atFileOpenErr, atUnknown, atAce, atAceExe, atArc,
  atArcExe, atArj, atArjExe, atBh, atBhExe, atCab, atGZip, atHA, atJar,
  atJarExe, atLha, atLhaExe, atLzh, atLzhExe, atMSGZ, atPak, atPakExe, atRar,
  atRarExe, atTar, atUue, atZip, atZipExe, atZipMV, atZoo,
};
inline constexpr int kArcTypeCount = 32;

using platform::FileHandle;

class TRegisterKorvat : public TComponent {
 public:
  explicit TRegisterKorvat(TComponent* owner) : TComponent(owner) {}

  const std::string& ArchiveFile() const { return fArchiveFile; }
  virtual void SetArchiveFile(const std::string& value) { fArchiveFile = value; }
  TArcType ArcType() const { return fArcType; }
  virtual void SetArcType(TArcType value) { fArcType = value; }

  // Size of the archive as last opened by OpenArchiveForSize; 0 on failure.
  uint32_t ArchiveSize = 0;

  // Create for writing without sharing (overwrite: truncate an existing
  // file, else fail when it exists) and open for shared reading. Failures
  // are reported once (25235) and give an empty handle.
  FileHandle CreateArchiveFile(const std::string& name, bool overwrite);
  FileHandle OpenArchiveFile(const std::string& name);
  bool OpenArchiveForSize(FileHandle& handle, const std::string& name);

  // While loading from a stored form, clears a name that is no existing file.
  virtual void CheckArchiveName(std::string& value);
  bool ArchiveDriveReady();

  TDiskManager& DiskManager() { return *fDiskManager; }

  virtual void ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                           const std::string& VolumeID, int ECode) = 0;
  // The same for a fault that concerns no one disk of a spanned set.
  void ReportError(const std::string& FileName, const std::string& ExtendedMsg, int ECode) {
    ReportError(FileName, ExtendedMsg, "0", ECode);
  }

 protected:
  std::string fArchiveFile;
  TArcType fArcType = atNA;
  std::unique_ptr<TDiskManager> fDiskManager;
};

}  // namespace vix
