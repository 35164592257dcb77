// TZip: the archive component that writes ZIP archives (stored and deflated
// entries, traditional encryption) and updates existing ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/kvtBase.h"
#include "archive/kvtBytes.h"
#include "archive/kvtNames.h"
#include "writers/kvtZipSpan.h"

namespace vix {

// Where a ZIP entry's records put their fields. Every value is little-endian.
namespace zip {

// Local file header, followed by the name and the extra field.
inline constexpr uint32_t kLocalSignature = 0x04034B50;
inline constexpr uint32_t kLocalSize = 30;
enum LocalField : uint32_t {
  kLocVersion = 4, kLocFlags = 6, kLocMethod = 8, kLocTime = 10, kLocCrc = 14,
  kLocPacked = 18, kLocSize = 22, kLocNameLength = 26, kLocExtraLength = 28,
};

// Central directory record, followed by the name, the extra field and the
// entry comment.
inline constexpr uint32_t kCentralSignature = 0x02014B50;
inline constexpr uint32_t kCentralSize = 46;
enum CentralField : uint32_t {
  kCenMadeBy = 4, kCenVersion = 6, kCenFlags = 8, kCenMethod = 10, kCenTime = 12,
  kCenCrc = 16, kCenPacked = 20, kCenSize = 24, kCenNameLength = 28,
  kCenExtraLength = 30, kCenCommentLength = 32, kCenDiskStart = 34,
  kCenInternalAttr = 36, kCenExternalAttr = 38, kCenOffset = 42,
};

// End of central directory record, followed by the archive comment.
inline constexpr uint32_t kEndSignature = 0x06054B50;
inline constexpr uint32_t kEndSize = 22;
enum EndField : uint32_t {
  kEndThisDisk = 4, kEndDirDisk = 6, kEndEntriesHere = 8, kEndEntriesTotal = 10,
  kEndDirSize = 12, kEndDirOffset = 16, kEndCommentLength = 20,
};

// Zip64: where a 16-bit count or a 32-bit size or offset cannot hold its
// value, the field holds all ones and the value goes to a Zip64 record. The
// end locator sits right before the end record and points at the Zip64 end
// record, which holds the directory's counts, size and offset in 64 bits.
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr uint32_t kZip64LocatorSize = 20;
enum Zip64LocatorField : uint32_t { kLocatorDisk = 4, kLocatorEndOffset = 8, kLocatorDisks = 16 };
inline constexpr uint32_t kZip64EndSignature = 0x06064B50;
inline constexpr uint32_t kZip64EndSize = 56;
enum Zip64EndField : uint32_t {
  kZ64RecordSize = 4, kZ64MadeBy = 12, kZ64Version = 14, kZ64ThisDisk = 16, kZ64DirDisk = 20,
  kZ64EntriesHere = 24, kZ64EntriesTotal = 32, kZ64DirSize = 40, kZ64DirOffset = 48,
};
// The Zip64 extra field: in a local header both sizes; in a central record
// the size, packed size and offset whose 32-bit fields hold all ones, in
// that order.
inline constexpr uint16_t kZip64Extra = 0x0001;
inline constexpr uint16_t kZip64Version = 45;  // "version needed" of a Zip64 entry
inline constexpr uint32_t kAllOnes32 = 0xFFFFFFFF;
// A file this close to 4 GiB gets Zip64 sizes in its local header: the data
// written (an encryption header, a deflate stream that does not shrink) may
// pass 4 GiB although the file does not.
inline constexpr uint64_t kZip64Margin = 1024;

// The 64-bit values of a central record: its fields, or the Zip64 extra
// field where they hold all ones. False when a value the fields leave to
// the extra field is not there.
struct CentralValues {
  uint64_t Size = 0, Packed = 0, Offset = 0;
};
bool ReadCentralValues(const std::vector<uint8_t>& Header, CentralValues& Values);
// Sets a central record's sizes and offset: in its fields where they fit,
// else (or, with `sizesInExtra`, both sizes always) in a Zip64 extra field
// that replaces any the record had; the version needed becomes 45 then.
void PutCentralValues(std::vector<uint8_t>& Header, const CentralValues& Values,
                      bool sizesInExtra = false);
// Optional signature of a data descriptor (general purpose flag bit 3).
inline constexpr uint32_t kDescriptorSignature = 0x08074B50;
// Info-ZIP's Unicode Path extra field: version 1, the CRC-32 of the stored
// name it stands for, then the name in UTF-8.
inline constexpr uint16_t kUnicodePathExtra = 0x7075;

inline constexpr uint16_t kVersion = 20;  // "version made by" and "needed"
inline constexpr uint16_t kHostNtfs = 10;  // upper byte of "version made by"
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8 = 0x0800;  // name (and comment) in UTF-8
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;
inline constexpr uint32_t kDirectoryAttr = 0x30;
// The attributes a Windows file has and an update compares: read-only,
// hidden, system and folder. Only hosts that store DOS attributes (upper
// byte of "version made by": 0 FAT, 10 NTFS, 14 VFAT) have them; others keep
// their own in the high half (a Unix mode), which means nothing here.
inline constexpr uint32_t kComparedAttr = 0x17;
inline constexpr uint8_t kDosHosts[] = {0, 10, 14};

// The end record lies within the last 64 KiB + 22 bytes of an archive (its
// comment is at most 65535 bytes).
inline constexpr uint32_t kEndSearchSize = 0xFFFF + kEndSize;

// The deflate level bits (flags bits 1-2) of each TDeflateType, in its order:
// levels 1, 2, 7 and 9.
inline constexpr uint16_t kLevelFlags[4] = {6, 4, 0, 2};

}  // namespace zip

class TZip : public TCompBase {
 public:
  explicit TZip(TComponent* owner);

  // Every non-empty entry is encrypted with this password when it is not
  // empty. Taken byte for byte (UTF-8).
  std::string Password;
  std::string VerifyPassword() const override { return Password; }
  // Space to keep free on the first disk of a spanned archive.
  uint32_t LeaveSpaceOnFirstDisk = 0;
  // When not 0, the archive is written as split segments of this many bytes
  // (ARCHIVE.z01, .z02, ..., ARCHIVE) once it does not fit into one.
  uint32_t SplitSize = 0;
  // Set when the last run wrote the archive to disks or segments.
  bool SpannedComplete = false;
  // Disks or segments the last run created (they stay after a failure).
  int SpannedVolumes = 0;
  TOnInsertDisk OnInsertDisk;
  TOnClearDisk OnClearDisk;

  void SetArcType(TArcType value) override;

  // --- the writer's part of the compress driver ---------------------------------
  uint32_t EntryOverhead(int Method) override;
  // Zip64 records hold files of any size.
  SizeLimit LargeFileLimit() const override;
  AheadPlan PlanAhead(int Index) override;
  // Whether a file of this name is stored rather than deflated.
  bool StoresAsItIs(const std::string& name) const;
  bool WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) override;
  bool ReadFirstHeader(std::string& Name, Stream* Source) override;
  bool ReadHeader(Stream* Source, std::string& Name) override;
  void LoadEntries(Stream* Source) override;
  void CopyEntry(Stream* Source, Stream* Target, int Method, int Index) override;
  void WriteArchiveEnd(Stream* Target) override;
  void ReportEntries() override;
  // An update finds a self-extractor's program (or any prefix) before the
  // first entry and keeps it: ArchiveStart is set from the archive.
  void CompressArchive() override;
  // Kept entries from other tools compare as their host allows (see
  // kComparedAttr), and an encrypted one is not replaced by plaintext.
  void FoundFile(int SpecIndex, const std::string& Folder,
                 const platform::FindData& Data) override;

  // --- comments of an existing archive --------------------------------------------
  // Reads every central record of ArchiveFile into a fresh EntryList (and the
  // archive comment); returns their number, 0 when the archive cannot be read
  // (reported).
  int ReadArchiveDirectory() override;
  // The comment of ArchiveFile as stored.
  std::string GetArchiveComment() override;
  // Both mark the directory for RewriteDirectory. Comments are stored bytes,
  // at most 65535 of them (longer ones are cut).
  void SetArchiveComment(const std::string& Comment) override;
  void SetEntryComment(int Index, const std::string& Comment) override;
  // Writes the directory read by ReadArchiveDirectory, with the changed
  // comments, over the old one in ArchiveFile.
  void RewriteDirectory() override;

  // The stored form of a name: OEM code page when TranslateOemChar and the
  // page holds it, else UTF-8 marked with kFlagUtf8; "/" separators.
  TStoredNameForm ZipNameForm(const std::string& name) const;
  std::string ZipName(const std::string& name) const { return ZipNameForm(name).Bytes; }
  // The name of a central record (46 bytes, name, extra field) as the
  // program holds names: UTF-8 when the record marks it so (flag bit 11, or
  // a Unicode Path extra field that matches the stored name), else the
  // stored bytes read as the OEM code page when TranslateOemChar.
  std::string EntryName(const std::vector<uint8_t>& Header) const;

 protected:
  // Spanned output takes over here when the finished archive does not fit
  // its removable disk. Returns true when it wrote the archive to the disks.
  virtual bool WriteSpannedArchive(Stream* Source);

 private:
  friend class TZipSpan;
  // Bytes the directory and end record of the entries not skipped take.
  uint64_t DirectoryBytes();
  // Whether the entries or an archive of `archiveSize` bytes before its
  // directory need Zip64 records.
  bool NeedsZip64(int64_t archiveSize);
  // Reads the Zip64 end record the locator before the end record at
  // `endAt` points to; false, with the problem, when it is not sound.
  bool ReadZip64End(Stream& Source, uint64_t endAt, std::string& Problem);

  // One central record as read from an existing archive.
  struct KeptRecord {
    std::vector<uint8_t> Header;  // 46-byte record, name and extra field
    std::string Comment;
    zip::CentralValues Values;    // sizes and offset in 64 bits
    uint64_t Occupied = 0;        // bytes after the local header's name and extra
    uint64_t Copied = 0;          // bytes from the local header to the descriptor's end
  };
  bool FindEndRecord(Stream& Source, std::string& Problem);
  bool ReadDirectory(Stream& Source, std::vector<KeptRecord>& Records, std::string& Problem);
  bool CheckLocalHeader(Stream& Source, KeptRecord& Record, std::string& Problem);
  void AddKeptEntry(const KeptRecord& Record);

  // One file entry on its way into the archive: where it starts, its stored
  // name, and the local header, whose method, CRC and sizes come last.
  struct NewFileEntry {
    std::string Path;  // the file as gathered
    uint64_t Start = 0;
    std::string Name;  // stored form
    uint16_t NameFlag = 0;
    uint64_t Size = 0;  // when the file was opened
    uint16_t Flags = 0;
    uint16_t Method = zip::kMethodStored;
    uint32_t Crc = 0;
    uint64_t Packed = 0, Read = 0;
    uint8_t Local[zip::kLocalSize] = {};
    // Local header with a Zip64 extra field (both sizes) after the name.
    bool Zip64 = false;
    bool Encrypted() const { return Flags & zip::kFlagEncrypted; }
  };
  bool WriteFileEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry);
  bool PrepareFileEntry(Stream* Target, platform::File& input, NewFileEntry& e);
  void WriteLocalHeader(Stream* Target, const TCompBaseHeaderObj& Entry, NewFileEntry& e);
  bool WriteFileData(Stream* Target, platform::File& input, NewFileEntry& e);
  bool CopyOrDeflate(Stream* Target, platform::File& input, NewFileEntry& e);
  bool CompleteLocalHeader(Stream* Target, bool ok, NewFileEntry& e);
  bool WriteFolderEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry);
  bool BeginEntry(const std::string& Path);
  void WriteHeaderBytes(Stream* Target, const void* Data, size_t Count);
  void PutCentralRecord(TCompBaseHeaderObj& Entry, const uint8_t* Local,
                        const std::string& Name, uint32_t ExternalAttr,
                        const zip::CentralValues& Values, bool SizesInExtra = false);
  // The local header and name, and its Zip64 extra field with the sizes.
  void WriteLocalRecord(Stream* Target, NewFileEntry& e);
  // The central records of the entries not skipped and the end record; with
  // no such entry nothing, unless EvenEmpty (an archive that stays one).
  bool WriteDirectory(Stream* Target, bool EvenEmpty);

  std::string fArchiveComment;
  // The end record of the archive being read.
  uint8_t fEnd[zip::kEndSize] = {};
  // Where the directory ends at the latest (the end record, or the Zip64
  // end record), and its place and count, from the Zip64 end record when
  // there is one.
  uint64_t fEndPosition = 0;
  uint64_t fDirOffset = 0, fDirSize = 0, fEntryCount = 0;
  KeptRecord fRecord;  // the record ReadHeader read last
  bool fCommentsChanged = false;
  // EntryList and the end record are those ReadArchiveDirectory read.
  bool fDirectoryLoaded = false;
};

}  // namespace vix
