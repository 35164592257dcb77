// TGZip: one GZIP file (RFC 1952, a single member) per input file, in the
// folder of ArchiveFile. Also the second half of the TAR-GZIP step.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/kvtBase.h"
#include "engines/engine_result.h"

namespace vix {

namespace gzip {

// The member header (RFC 1952 2.3).
constexpr uint32_t kHeaderSize = 10;
constexpr size_t kIdOff = 0, kCmOff = 2, kFlgOff = 3, kMtimeOff = 4, kXflOff = 8, kOsOff = 9;
constexpr uint8_t kId1 = 0x1F, kId2 = 0x8B, kCmDeflate = 8, kFlgName = 8;
// An empty deflate stream: one final block with fixed codes holding only the end code.
constexpr uint8_t kEmptyDeflate[2] = {0x03, 0x00};

}  // namespace gzip

class TGZip;

// Asked before an existing output file is replaced; OverwriteMode 0 overwrites,
// anything else ends the run.
using TOnFileExists = std::function<void(TCompBase& Sender, const std::string& FileName,
                                         TDateTime FileDate, int& OverwriteMode)>;

class TGZip : public TCompBase {
 public:
  explicit TGZip(TComponent* owner);

  TOnFileExists OnFileExists;
  // For a run of one input under a temporary name (the TAR-GZIP step): the
  // name the input stands for, used in its place for the output file's name,
  // the name stored in the member and the name reported.
  std::string MemberName;

  void SetArcType(TArcType value) override;
  void CompressArchive() override;  // CompressGZipFiles
  void FoundFile(int SpecIndex, const std::string& Folder,
                 const platform::FindData& Data) override;  // AddGZipFile

  // A member holds input of any size: its trailer keeps the size modulo 2^32.
  SizeLimit LargeFileLimit() const override;
  AheadPlan PlanAhead(int Index) override;

  // Writes one member for the open input into the newly created output.
  // ReadFailed when the input could not be read in full (the member then
  // holds what was read), Cancelled on a cancel, else Done. A failed write
  // raises E_RAISE.
  EngineStatus WriteGZipMember(platform::File& input, platform::File& output);

 private:
  void CompressGZipFiles();
  // False when the run has to end at this file.
  bool MayOverwrite(const std::string& output);

  std::string fOutput;  // the output file being written
  uint8_t fHeader[gzip::kHeaderSize] = {};
  uint8_t fTrailer[8] = {};  // CRC-32 and size of the last member
  uint64_t fInputSize = 0;
  uint32_t fMemberDate = 0;  // DOS stamp of the input being written
};

}  // namespace vix
