// TTar: uncompressed TAR archives (ustar layout with the older GNU magic),
// optionally handed to the GZIP writer afterwards (TAR-GZIP).
#pragma once

#include <cstdint>
#include <string>

#include "archive/kvtBase.h"

namespace vix {

namespace tar {

// The 512-byte header block (offsets and lengths of its fields).
constexpr uint32_t kBlock = 512;
constexpr size_t kNameOff = 0, kNameLen = 100;
constexpr size_t kModeOff = 100, kModeLen = 8;
constexpr size_t kUidOff = 108, kUidLen = 8;
constexpr size_t kGidOff = 116, kGidLen = 8;
constexpr size_t kSizeOff = 124, kSizeLen = 12;
constexpr size_t kMtimeOff = 136, kMtimeLen = 12;
constexpr size_t kChksumOff = 148, kChksumLen = 8;
constexpr size_t kTypeOff = 156;
constexpr size_t kMagicOff = 257, kMagicLen = 8;
constexpr size_t kUnameOff = 265, kUnameLen = 32;
constexpr size_t kGnameOff = 297, kGnameLen = 32;

// "ustar" with two spaces and a zero byte: the older GNU form.
constexpr char kMagic[kMagicLen] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};
constexpr char kFileMode[] = "0033206";
constexpr char kFolderMode[] = "0040555";
constexpr char kTypeFile = '0', kTypeFolder = '5';
// GNU long names: an entry of this name and type whose data is the name,
// placed before the header whose name field holds the name's first bytes.
constexpr char kLongLinkName[] = "././@LongLink";
constexpr char kTypeLongName = 'L';
// The end of an archive: at least two zero blocks, up to a multiple of this.
constexpr uint32_t kRecord = 10240;

// Sum of the header's bytes with the checksum field counted as spaces.
uint32_t TarChecksum(const uint8_t* header);

}  // namespace tar

class TTar : public TCompBase {
 public:
  explicit TTar(TComponent* owner);

  // Owner and group written into every header.
  uint8_t UnixUID = 2;
  uint8_t UnixGID = 2;
  std::string UnixUName = "root";  // at most 32 characters are stored
  std::string UnixGName = "root";

  void SetArcType(TArcType value) override;
  uint32_t EntryOverhead(int Method) override;
  bool WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) override;
  bool ReadHeader(Stream* Source, std::string& Name) override;
  void CopyEntry(Stream* Source, Stream* Target, int Method, int Index) override;
  void LoadEntries(Stream* Source) override;
  void WriteArchiveEnd(Stream* Target) override;
  void ReportEntries() override;
  void AfterCommit() override;

 private:
  // How the last ReadHeader ended a listing.
  enum class Stop { None, End, ZeroBlock, Damaged };

  // Writes the long-name entry when `stored` does not fit the name field,
  // then fills the header's own fields (name, mode, type, magic, owner).
  void WriteNameAndPrepare(Stream* Target, const std::string& stored, bool folder);
  void WriteFilled(Stream* Target, uint32_t at);
  bool CopySourceData(Stream* Target, platform::Stream* in, const std::string& source,
                    TCompBaseHeaderObj& Entry, uint32_t& copied);
  void WritePadding(Stream* Target, uint64_t end);
  void RejectArchive(const std::string& why);

  uint8_t fHeader[tar::kBlock] = {};
  // Set by ReadHeader: where the entry's own header lies (after any
  // long-name blocks), its data size, and why a listing stopped.
  uint32_t fEntryHeaderPos = 0;
  uint32_t fEntrySize = 0;
  Stop fStop = Stop::None;
  std::string fStopReason;
};

}  // namespace vix
