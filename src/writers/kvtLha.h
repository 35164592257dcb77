// TLha: the LZH archive writer. New entries get level-0 headers with data
// stored ("-lh0-") or compressed by the LZH engine ("-lh5-", "-lh6-"); the
// entries of an existing archive are kept, whatever their header level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/kvtBase.h"

namespace vix {

// The level-0 header as written: offsets and sizes of its fields. Sizes and
// the stamp are little-endian.
namespace lha {
inline constexpr size_t kSize = 0;        // header size: 22 + n (bytes 2 .. end of the CRC)
inline constexpr size_t kSum = 1;         // byte sum of bytes 2 .. end of the CRC
inline constexpr size_t kMethod = 2;      // "-lh0-", "-lh5-", "-lh6-", "-lhd-"
inline constexpr size_t kPacked = 7;      // 32-bit packed size
inline constexpr size_t kOriginal = 11;   // 32-bit uncompressed size
inline constexpr size_t kStamp = 15;      // DOS stamp: time, then date
inline constexpr size_t kAttr = 19;       // low byte of the attributes
inline constexpr size_t kLevel = 20;      // header level
inline constexpr size_t kNameLength = 21; // n
inline constexpr size_t kName = 22;       // n name bytes, then the 16-bit CRC
inline constexpr size_t kFixed = 22;      // bytes before the name
inline constexpr size_t kEntryOverhead = kFixed + 2;
// The size byte holds 22 + n.
inline constexpr size_t kMaxName = 255 - 22;

// The byte sum the checksum field holds: bytes 2 .. end of `header`.
uint8_t HeaderSum(const uint8_t* header, size_t size);
}  // namespace lha

class TLha : public TCompBase {
 public:
  // Level-0 headers hold a file's sizes in 32 bits.
  SizeLimit LargeFileLimit() const override;
  AheadPlan PlanAhead(int Index) override;
  // The method letter a file is written with: '5', '6', or '0' (stored).
  char MethodFor(const std::string& source) const;
  explicit TLha(TComponent* owner);

  void SetArcType(TArcType value) override;
  uint32_t EntryOverhead(int Method) override;
  // Level-0 headers have no way to mark a name as UTF-8.
  bool StoresUtf8Names() const override { return false; }
  bool WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) override;
  bool ReadHeader(Stream* Source, std::string& Name) override;
  void CopyEntry(Stream* Source, Stream* Target, int Method, int Index) override;
  void LoadEntries(Stream* Source) override;
  void ReportEntries() override;

 private:
  enum class ReadState { Entry, End, Invalid };

  // What ReadHeader learnt about the header at HeaderPos.
  struct OldEntry {
    uint8_t level = 0;
    uint8_t fixed[lha::kFixed] = {};
    uint16_t crc = 0;
    uint32_t dataOffset = 0;  // from the header's start
    uint32_t packed = 0;      // data bytes only
    uint32_t original = 0;
    uint32_t stamp = 0;       // DOS stamp, also for level-2 headers
    uint8_t attr = 0;
    uint32_t length = 0;      // header and data
  };

  bool WriteFileEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry);
  bool WriteDirEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry);
  bool NameFits(const std::string& reported, const std::string& stored);
  // Writes the current header (22 fixed bytes, name, CRC) at the target's
  // position after filling in size, name length and checksum.
  void WriteLzhHeader(Stream* Target, const std::string& storedName, uint16_t crc);
  bool WriteData(const std::string& path, Stream* Source, Stream* Target, uint32_t size,
                 int64_t dataStart, char& method, uint32_t& packed);
  // The name parts one header gives, and the bytes of the level-1 extended
  // headers behind it (counted in its packed size).
  struct HeaderParts {
    std::string Folder, File;
    uint32_t Extended = 0;
  };
  bool ParseHeader(Stream* Source, std::string& name);
  bool ReadFixedPart(Stream* Source, uint8_t* fixed);
  bool ReadWholeHeader(Stream* Source, const uint8_t* fixed, int64_t left,
                       std::vector<uint8_t>& header);
  bool ParseLevel0Or1(Stream* Source, const std::vector<uint8_t>& header, int64_t archiveSize,
                      uint32_t packedField, OldEntry& e, HeaderParts& parts);
  bool ParseLevel2(std::vector<uint8_t>& header, OldEntry& e, HeaderParts& parts);
  void Invalid(const std::string& why);
  void KeepRecord(TCompBaseHeaderObj& Entry, uint16_t crc, uint32_t dataOffset);

  uint8_t fHeader[lha::kFixed] = {};  // the current header's fixed bytes
  OldEntry fOld;
  ReadState fReadState = ReadState::End;
  std::string fInvalidReason;
};

}  // namespace vix
