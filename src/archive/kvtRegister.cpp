#include "archive/kvtRegister.h"

#include "archive/kvtErrors.h"

namespace vix {

FileHandle TRegisterKorvat::CreateArchiveFile(const std::string& name, bool overwrite) {
  FileHandle h = platform::Current().Create(name, overwrite);
  if (!h) ReportError(name, platform::Current().LastErrorText(), kErrOpen);
  return h;
}

FileHandle TRegisterKorvat::OpenArchiveFile(const std::string& name) {
  FileHandle h = platform::Current().OpenRead(name, platform::ShareMode::Read);
  if (!h) ReportError(name, platform::Current().LastErrorText(), kErrOpen);
  return h;
}

bool TRegisterKorvat::OpenArchiveForSize(FileHandle& handle, const std::string& name) {
  handle = OpenArchiveFile(name);
  ArchiveSize = 0;
  if (!handle) return false;
  const int64_t size = handle->Size();
  ArchiveSize = size > 0 ? static_cast<uint32_t>(size) : 0;
  return true;
}

void TRegisterKorvat::CheckArchiveName(std::string& value) {
  if (!Loading()) return;
  const uint32_t attr = platform::Current().GetAttributes(value);
  if (attr == platform::kNoAttributes || (attr & platform::kAttrDirectory)) value.clear();
}

bool TRegisterKorvat::ArchiveDriveReady() {
  fDiskManager->SetDrive(TDiskManager::DriveOfName(fArchiveFile));
  return fDiskManager->Ready;
}

}  // namespace vix
