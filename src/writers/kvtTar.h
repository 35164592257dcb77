// TTar: uncompressed TAR archives (ustar layout with the older GNU magic),
// optionally handed to the GZIP writer afterwards (TAR-GZIP).
#pragma once

#include <cstdint>
#include <string>

#include "archive/kvtBase.h"
#include "writers/kvtGZip.h"

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
// The POSIX form ("ustar", a zero byte, "00") splits long names over this
// field and the name field; the older GNU form keeps other fields there.
constexpr size_t kPrefixOff = 345, kPrefixLen = 155;
// Old GNU sparse entries: the header's "more sparse blocks follow" flag, and
// the same flag in each of those blocks.
constexpr size_t kSparseExtendedOff = 482, kSparseBlockExtendedOff = 504;

// "ustar" with two spaces and a zero byte: the older GNU form.
constexpr char kMagic[kMagicLen] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};
// A regular file readable and writable by everyone (octal 100666; extraction
// applies the reader's umask). The decimal value of that mode, 33206, written
// as octal digits would give setgid, sticky and write-only permissions.
constexpr char kFileMode[] = "0100666";
constexpr char kFolderMode[] = "0040555";
constexpr char kTypeFile = '0', kTypeFolder = '5';
// GNU long names: an entry of this name and type whose data is the name,
// placed before the header whose name field holds the name's first bytes.
constexpr char kLongLinkName[] = "././@LongLink";
constexpr char kTypeLongName = 'L';
constexpr char kTypeLongLink = 'K';
// POSIX extended headers: for the entry that follows ('x'), or for all that
// follow ('g', kept in place as an entry of its own).
constexpr char kTypePax = 'x', kTypePaxGlobal = 'g', kTypeSparse = 'S';
// The end of an archive: at least two zero blocks, up to a multiple of this.
constexpr uint32_t kRecord = 10240;

// Sum of the header's bytes with the checksum field counted as spaces.
uint32_t TarChecksum(const uint8_t* header);
// A numeric field: octal digits and a zero byte while they hold `value`,
// else the base-256 form (first byte 0x80, then the value big-endian).
void PutNumber(uint8_t* header, size_t off, size_t len, uint64_t value);
// The value of a numeric field in either form (UINT64_MAX when a base-256
// value does not fit 64 bits).
uint64_t NumberField(const uint8_t* header, size_t off, size_t len);
// Zero bytes that follow data ending at `end` (counted from the start of the
// archive) up to the next block boundary.
uint32_t PaddingAfter(uint64_t end);
// One POSIX extended-header record: "<length> <key>=<value>\n", the length
// counting itself.
std::string PaxRecord(const std::string& key, const std::string& value);

// What the blocks of one entry of an existing archive say, extended headers
// included.
struct TMemberInfo {
  uint64_t First = 0;     // the first block (an extended header, or the header)
  uint64_t HeaderAt = 0;  // the entry's own header
  uint64_t Size = 0;      // data bytes (a pax "size" record wins)
  uint64_t Next = 0;      // the block after the entry's padded data
  std::string Name;       // the full name, as stored
  bool NameUtf8 = false;  // from a pax record: UTF-8, not the OEM page
  char Type = '0';
  bool Global = false;    // a global extended header, standing alone
  bool PaxSparse = false; // a pax-described sparse file
  std::string PaxRest;    // its records other than "path"
  uint64_t LongLinkAt = 0, LongLinkEnd = 0;  // a 'K' block's span, if any
};

}  // namespace tar

class TTar : public TCompBase {
 public:
  explicit TTar(TComponent* owner);

  // Owner and group written into every header.
  uint8_t UnixUID = 2;
  uint8_t UnixGID = 2;
  std::string UnixUName = "root";  // at most 32 characters are stored
  std::string UnixGName = "root";
  // TAR-GZIP: asked before an existing x.tgz.gz is replaced (0 replaces it).
  TOnFileExists OnFileExists;

  void SetArcType(TArcType value) override;
  uint32_t EntryOverhead(int Method) override;
  SizeLimit LargeFileLimit() const override;
  bool WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) override;
  bool ReadHeader(Stream* Source, std::string& Name) override;
  void CopyEntry(Stream* Source, Stream* Target, int Method, int Index) override;
  void LoadEntries(Stream* Source) override;
  void WriteArchiveEnd(Stream* Target) override;
  void ReportEntries() override;
  void AfterCommit() override;
  // TAR-GZIP: the TAR data goes to a temporary file of the run, never under
  // a name of the user's; only the finished GZIP file is.
  bool CommitTempFile(const std::string& TempName, const std::string& ArchiveName) override;
  // TAR names never carry a drive or a leading separator: the absolute path
  // modes store the full path from its first folder.
  void SetCurrentFileName(const std::string& FullPath) override;
  // A file found on disk under the name of a kept link, device or sparse
  // entry leaves that entry as it is; it is reported, not stored. Exclude
  // lines are matched without their root, as the names are stored.
  void FoundFile(int SpecIndex, const std::string& Folder,
                 const platform::FindData& Data) override;
  // A name without its drive and leading separators.
  static std::string WithoutRoot(std::string name);

 private:
  // How the last ReadHeader ended a listing.
  enum class Stop { None, End, ZeroBlock, Damaged };

  // Writes what must precede the header for `name` (CurrentFileName's form,
  // a folder with its trailing separator): a pax header when the name needs
  // UTF-8 (with `paxRest`, other records of a kept entry), a GNU long-name
  // entry when the stored bytes do not fit the name field; then fills the
  // header's own fields (name, mode, type, magic, owner).
  void WriteNameAndPrepare(Stream* Target, const std::string& name, bool folder,
                           uint32_t mtime, const std::string& paxRest = {});
  void WriteExtension(Stream* Target, const std::string& name, char type,
                      const std::string& data, uint32_t mtime);
  void WritePadding(Stream* Target, uint64_t end);
  void RejectArchive(const std::string& why);
  bool TarNameSelected(const std::string& Name);
  bool NameSelectedExcluded(const std::string& Name);

  uint8_t fHeader[tar::kBlock] = {};
  // Set by ReadHeader: the entry read, and why a listing stopped.
  tar::TMemberInfo fMember;
  Stop fStop = Stop::None;
  std::string fStopReason;
  std::string fTarFile;  // TAR-GZIP: the committed TAR data awaiting compression
};

}  // namespace vix
