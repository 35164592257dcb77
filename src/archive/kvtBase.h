// The archive component base (TZipCommon, TCompBase), its helper objects and
// the compress driver that every writer runs on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/compress_ahead.h"
#include "archive/kvtErrors.h"
#include "archive/kvtRegister.h"
#include "archive/kvtTime.h"
#include "platform/platform.h"

namespace vix {

using platform::Stream;

enum TCompressMethod : uint8_t {
  cmStore, cmDeflate, cmFuse, cmFrozen5, cmFrozen6, cmMsZip, cmLzx, cmQuantum,
  cmUUEncode, cmXXEncode, cmBase64, cmTarred, cmGzipTar,
};
enum TDeflateType : uint8_t { dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX };
enum TStoredDirNames : uint8_t {
  sdNone, sdAbsolute, sdAbsoluteNoDrv, sdRelative, sdRelativeStoreStart, sdExplorer,
};
enum TSwitch : uint8_t { swAdd, swMove, swDelete, swRead };
enum TDateAttribute : uint8_t { daFileDate, daSysDate, daMaxFileDate };
enum TDeleteOptions : uint8_t { doFinal, doAllowUndo };
// The running checksum a block operation keeps over the data it moves: the
// CRC-16 of LZH entries, the CRC-32 of the others, or none.
enum TCrcKind : int { ckNone = 0, ckCrc16 = 16, ckCrc32 = 32 };
// Where the block operations read from (InputKind) and write to
// (OutputKind): a file handle, the component's own stream (two kinds kept
// apart for the callers' sake), the stream passed to the call, the memory
// block (reading; writing there, or to skNowhere, writes nothing).
enum TStreamKind : int {
  skFile = 0,
  skOwnStream = 1,
  skCallStream = 2,
  skOwnStreamToo = 3,
  skMemory = 4,
  skNowhere = 5
};

// A set of compress methods (bit per method).
class TMethodSet {
 public:
  TMethodSet() = default;
  TMethodSet(std::initializer_list<TCompressMethod> methods) {
    for (auto m : methods) bits_ |= 1u << m;
  }
  bool Contains(int m) const { return m >= 0 && m < 16 && (bits_ >> m) & 1u; }

 private:
  uint32_t bits_ = 0;
};

class TCompBase;

// Events. The first argument is the sender; reference parameters are the
// `var` parameters a handler may change.
using TNotifyEvent = std::function<void(TCompBase& Sender)>;
using TOnError = std::function<void(TCompBase& Sender, const std::string& FileName,
                                    const std::string& ExtendedMsg,
                                    const std::string& VolumeID, int ECode)>;
using TOnElapsedTime = std::function<void(TCompBase& Sender, float ElapsedTime)>;
using TOnBegin = std::function<void(TCompBase& Sender, const std::string& fName,
                                    int Count, bool& Extract)>;
using TOnEnd = std::function<void(TCompBase& Sender, const std::string& FN, bool CRC_PASS)>;
using TOnProgress = std::function<void(TCompBase& Sender, uint8_t ProgressByFile,
                                       uint8_t ProgressByArchive)>;
using TOnRead = std::function<void(TCompBase& Sender, uint64_t Offset, int Filenum)>;
using TOnRecurseDir = std::function<void(TCompBase& Sender, const std::string& Directory)>;
using TOnRenameFile = std::function<void(TCompBase& Sender, const std::string& OldFilename,
                                         std::string& NewFilename)>;
using TOnReplaceFile = std::function<void(
    TCompBase& Sender, const std::string& OldFN, const std::string& FN, TDateTime OldDate,
    TDateTime NewDate, uint64_t OldFileSize, uint64_t NewFileSize, int OldAttr, int NewAttr,
    bool& Replace)>;
using TOnNonWriteableArchive = std::function<void(TCompBase& Sender,
                                                  const std::string& ArchiveFile,
                                                  bool& WriteToFile)>;
using TOnDeleteFile = std::function<void(TCompBase& Sender, const std::string& FileName,
                                         int Count, int MaxCount)>;

// A gathered file whose name the archive cannot hold as it is: stored in
// UTF-8 (and marked so) in place of the OEM code page, or left out.
struct TNameNote {
  enum TKind : uint8_t {
    nkUtf8,       // stored in UTF-8: the OEM code page lacks a character
    nkNotUtf8,    // left out: the name is no UTF-8 text
    nkBackslash,  // left out: a backslash readers would take for a separator
    nkCodePage,   // left out: the OEM code page lacks a character, the format has no UTF-8 names
  };
  std::string FileName;    // the source file
  std::string StoredName;  // the name the archive gives it
  TKind Kind = nkUtf8;
  std::string Reason;      // the report's text for a file left out
  bool LeftOut() const { return Kind != nkUtf8; }
};
// Fired once per run, after the search and before anything is written, when
// some names are noted; Continue (true on entry) false writes nothing.
using TOnNameCheck = std::function<void(TCompBase& Sender, const std::vector<TNameNote>& Names,
                                        bool& Continue)>;

// The attribute filter of the file search.
class TkvtFileAttr {
 public:
  TkvtFileAttr() { SetftFileAttr(0); }

  int ftFileAttr() const { return mask_; }
  void SetftFileAttr(int value);
  bool ftArchive() const { return archive_; }
  bool ftHidden() const { return hidden_; }
  bool ftReadOnly() const { return readOnly_; }
  bool ftSysFile() const { return sysFile_; }
  bool ftCompressed() const { return true; }
  bool ftVolumeID() const { return volumeId_; }
  bool ftDirectory() const { return directory_; }
  bool ftTemporary() const { return false; }
  bool ftAnyFile() const { return anyFile_; }
  bool ftZeroAttr() const { return zeroAttr_; }
  void SetftArchive(bool v) { SetFlag(archive_, v); }
  void SetftHidden(bool v) { SetFlag(hidden_, v); }
  void SetftReadOnly(bool v) { SetFlag(readOnly_, v); }
  void SetftSysFile(bool v) { SetFlag(sysFile_, v); }
  void SetftVolumeID(bool v) { SetFlag(volumeId_, v); }
  void SetftDirectory(bool v) { SetFlag(directory_, v); }
  void SetftZeroAttr(bool v) { SetFlag(zeroAttr_, v); }
  void SetftAnyFile(bool v) {
    anyFile_ = v;
    Rebuild();
  }

 private:
  void SetFlag(bool& flag, bool value);
  void Rebuild();

  int mask_ = 63;
  bool archive_ = true, hidden_ = true, readOnly_ = true, sysFile_ = true;
  bool volumeId_ = true, directory_ = true, anyFile_ = true, zeroAttr_ = true;
};

// Elapsed time of a run, with the time message boxes stay open left out.
class TkvtTimer {
 public:
  uint32_t StartTick = 0, StopTick = 0, PauseTick = 0;
  float ElapsedSeconds = 0;
  void Start();
  void Stop();
  void Pause();
  void Resume();
};

// One entry of the archive being written.
struct TCompBaseHeaderObj {
  enum : uint8_t { kNew = 0, kCopy = 2, kSkip = 3, kRename = 4, kReplace = 5 };

  std::vector<uint8_t> Header;  // the writer's copy of the entry's header
  uint64_t Size = 0;            // source size, or stored size of a kept entry
  uint64_t PackedSize = 0;
  uint32_t Date = 0;            // DOS stamp after the DateAttribute rule
  uint32_t Attr = 0;
  uint64_t Offset = 0;          // header position in the old or new archive
  // Bytes a kept entry spans in the old archive from Offset (extended headers,
  // header, data, descriptor and padding), when the writer measured them
  // while loading; 0 leaves the driver to work it out from the header.
  uint64_t CopyLength = 0;
  std::vector<uint8_t> Extra;
  uint16_t ExtraLength = 0;
  uint8_t Action = kNew;
};

// The string list that names the entries of a run; each line owns one
// header object. Look-ups by line are hashed (runs may hold many files);
// names compare without case on Windows and with case on POSIX systems,
// as the file systems do.
class TEntryList {
 public:
  int Count() const { return static_cast<int>(lines_.size()); }
  bool Empty() const { return lines_.empty(); }
  const std::string& Line(int i) const { return lines_[i]; }
  void SetLine(int i, const std::string& line);
  TCompBaseHeaderObj& Object(int i) { return *objects_[i]; }
  int Add(const std::string& line, std::unique_ptr<TCompBaseHeaderObj> obj);
  // Index of the first line equal to `line`, or -1.
  int IndexOf(const std::string& line) const;
  void Clear();

 private:
  std::string Key(const std::string& line) const;
  std::vector<std::string> lines_;
  std::vector<std::unique_ptr<TCompBaseHeaderObj>> objects_;
  std::unordered_multimap<std::string, int> index_;
};

// What a writer publishes about an entry before firing OnRead.
struct TEntryInfo {
  std::string FileName;
  TDateTime Date = 0;
  uint64_t Size = 0;
  uint64_t PackedSize = 0;
  uint32_t Crc = 0;
  uint32_t Attr = 0;
  std::string MethodName;
  uint64_t Offset = 0;
};

class TZipCommon : public TRegisterKorvat {
 public:
  explicit TZipCommon(TComponent* owner);
  ~TZipCommon() override;

  bool TranslateOemChar = true;
  TOnElapsedTime OnElapsedTime;
  TOnError OnError;

 protected:
  TkvtTimer fTimer;
};

class TCompBase : public TZipCommon {
 public:
  explicit TCompBase(TComponent* owner);
  ~TCompBase() override;

  // --- published properties ------------------------------------------------
  const std::vector<std::string>& ExcludeSpec() const { return fExcludeSpec; }
  void SetExcludeSpec(const std::vector<std::string>& v) { fExcludeSpec = v; }
  TkvtFileAttr& FileAttribute() { return fFileAttribute; }
  TDateAttribute DateAttribute = daFileDate;
  TDeleteOptions DeleteOptions = doAllowUndo;

  TCompressMethod CompressMethod() const { return fCompressMethod; }
  void SetCompressMethod(int value);
  TDeflateType DeflateType() const { return fDeflateType; }
  void SetDeflateType(TDeflateType value);
  int DeflateLevel() const { return fDeflateLevel; }
  std::string DefaultDir();
  void SetDefaultDir(const std::string& value);
  const std::string& DefaultExt() const { return fDefaultExt; }
  void SetDefaultExt(const std::string& value);
  const std::vector<std::string>& FileSpec() const { return fFileSpec; }
  void SetFileSpec(const std::vector<std::string>& v) { fFileSpec = v; }
  bool RecurseDirs = false;
  TStoredDirNames StoredDirNames = sdRelative;
  bool StoreEmptySubDirs = false;
  bool StoreAlreadyCompressedFiles = true;
  TSwitch Switch = swAdd;
  std::string TempDir();
  void SetTempDir(const std::string& value);
  bool VerifyBeforeDelete = true;
  // Re-reads the finished temporary archive with decoders of our own and
  // compares every entry with what was read from its source before the
  // archive is committed; a mismatch keeps the old archive.
  bool Verify = false;
  // Threads that compress: 0 uses every core, 1 compresses on the calling
  // thread alone. Archives are the same bytes whatever the count.
  unsigned Threads = 0;

  TNotifyEvent OnActivate, OnDeactivate;
  TOnDeleteFile OnDeleteFile;
  TOnBegin OnBegin;
  TOnEnd OnEnd;
  TOnProgress OnProgress;
  TOnRead OnRead;
  TOnRecurseDir OnRecurseDir;
  TOnRenameFile OnRenameFile, OnRenameDupFile;
  TOnReplaceFile OnReplaceFile;
  TOnNonWriteableArchive OnNonWriteableArchive;
  TOnNameCheck OnNameCheck;

  // --- public state ----------------------------------------------------------
  // The user's stop request, reached through CancelFlag so that a helper
  // component can share its driver's flag.
  bool* CancelFlag;
  std::string CurrentFileName;
  int32_t ArchiveStart = 1;
  TStreamKind InputKind = skFile, OutputKind = skFile;
  bool ConvertLineEnds = false;
  uint8_t ProgressByFile = 0, ProgressByArchive = 0;
  std::function<void(uint8_t ByFile, uint8_t ByArchive)> ProgressHandler;
  TEntryInfo Entry;
  // The component's own stream for input and output kinds 1 and 3, and the
  // memory block of input kind 4.
  Stream* ComponentStream = nullptr;
  Stream* MemoryBlock = nullptr;

  // Per-entry state the engines read and update.
  uint64_t InputLeft = 0;      // bytes of the current file still to read
  uint64_t PackedBytes = 0;    // compressed bytes written for the entry
  // The file an entry's data comes from. CopyFileData takes a failed read
  // for the end of the data (the engines tell it in their EngineResult);
  // ReadBlock keeps it in InputFailed instead of losing it. WatchInput sets
  // both for the length of one entry.
  Stream* EntryInput = nullptr;
  bool InputFailed = false;
  class WatchInput {
   public:
    WatchInput(TCompBase& owner, Stream* input) : owner_(owner) {
      owner_.EntryInput = input;
      owner_.InputFailed = false;
    }
    ~WatchInput() { owner_.EntryInput = nullptr; }
    WatchInput(const WatchInput&) = delete;
    WatchInput& operator=(const WatchInput&) = delete;

   private:
    TCompBase& owner_;
  };

  // --- verification (valid during Compress with Verify set) -------------------
  // What the finished archive must hold, one record per entry in archive
  // order: for an entry written from a file the bytes read from it, for an
  // entry kept from the old archive nothing (its own CRC is checked).
  struct TVerifyRecord {
    std::string Name;
    bool FromSource = false;
    uint64_t Size = 0;
    uint32_t Crc32 = 0;
  };
  std::vector<TVerifyRecord> VerifyRecords;
  // The running count of what an entry reads from its source (ReadBlock
  // feeds it; a source read out of order, other than from its start again,
  // cannot be compared).
  struct TSourceTap {
    bool On = false, Lost = false;
    Stream* Exclude = nullptr;  // the old archive, read in the same run
    uint64_t Bytes = 0;
    uint32_t Crc = 0xFFFFFFFFu;
    void Start() {
      On = true;
      Lost = false;
      Bytes = 0;
      Crc = 0xFFFFFFFFu;
    }
    void Add(int64_t position, const void* data, size_t count);
  } SourceTap;
  // Ends the tap of an entry and records it.
  void RecordSourceEntry(const std::string& name);
  // Checks the finished archive `path` against VerifyRecords; false, with
  // a report (26860) naming the entry, when it does not hold them.
  bool VerifyWritten(const std::string& path);
  // The password that decrypts the archive's entries (ZIP).
  virtual std::string VerifyPassword() const { return {}; }

  // --- compression ahead (during the writing of entries, with several threads)
  // The workers running the engines ahead of the writer, and the entry the
  // writer is at (its place in EntryList; -1 between entries).
  std::unique_ptr<CompressAhead> Ahead;
  int AheadIndex = -1;
  uint32_t EntriesPlayedAhead = 0;  // in the last run
  // The threads Threads asks for: every core for 0.
  unsigned ThreadCount() const;
  // How the writer will compress entry `Index` of EntryList (a file of
  // Size bytes); kNone for one it stores or does not write.
  virtual AheadPlan PlanAhead(int Index);
  // Starts Ahead over the files of EntryList the run will compress, when
  // there are some and ThreadCount() is more than one; AheadRun ends it.
  void StartAhead();
  class AheadRun {
   public:
    explicit AheadRun(TCompBase& owner) : owner_(owner) { owner_.StartAhead(); }
    ~AheadRun() {
      owner_.Ahead.reset();
      owner_.AheadIndex = -1;
    }
    AheadRun(const AheadRun&) = delete;
    AheadRun& operator=(const AheadRun&) = delete;

   private:
    TCompBase& owner_;
  };
  // The run done ahead for the current entry, when it fits: `input` at its
  // start, InputLeft bytes announced, the running CRC at its start value,
  // and `plan` what the engine binding is about to do.
  std::unique_ptr<CompressAhead::Ticket> TakeAhead(Stream* input, const AheadPlan& plan);
  // Plays `ticket` back: reads counted (InputLeft, BytesLeft, progress) as
  // ReadEntryData counts them, stream bytes to `write`, a cancel checked
  // after each; then the CRC of `kind` and the verification tap set as the
  // reads would have left them. `result` holds the counts so far when
  // `write` throws.
  void PlayAhead(CompressAhead::Ticket& ticket, Stream* input, TCrcKind kind,
                 const std::function<void(const uint8_t*, uint32_t)>& write, EngineResult& result);

  // --- driver state (valid during Compress) ----------------------------------
  TEntryList EntryList;
  std::vector<int> EntrySpecIndex;
  std::vector<std::string> MoveList;
  std::string SpecDir;
  bool NewArchive = false;
  bool PostCommit = false;
  // Set by a writer to throw the temporary file away instead of committing
  // it. A writer whose LoadEntries finds the existing archive unreadable
  // reports 25242 and sets it: the driver then writes nothing more and the
  // archive stays exactly as it was.
  bool Discard = false;
  std::string TempFileName;
  // The file being written, which a write failure names: the temporary
  // file while the driver writes it, the archive while it is committed or
  // written in place (empty: the archive).
  std::string WriteTarget;
  uint32_t FilesWritten = 0, FilesDeleted = 0, EntryNumber = 0;
  // Byte counts of the run, for progress: files and archives may be of any size.
  uint64_t TotalBytes = 0, BytesLeft = 0, NewBytes = 0;
  uint32_t MaxDate = 0;
  // Position of the header being read in an existing archive, and of the
  // next one (set by ReadHeader; 0 when there is none).
  uint64_t HeaderPos = 0, NextHeaderPos = 0;

  // --- operations --------------------------------------------------------------
  int Compress();

  void SetArchiveFile(const std::string& value) override;
  void SetArcType(TArcType value) override;
  virtual bool GetCancel();
  virtual void SetCancel(bool value);
  bool Cancel() { return GetCancel(); }
  virtual void SetCurrentFileName(const std::string& FullPath);
  virtual bool NameSelected(const std::string& Name);

  // Writes Count bytes of Buffer to the output selected by OutputKind. With
  // IsData and Encrypt set on a ZIP-family archive the bytes are encrypted
  // in place first. A short write raises E_RAISE (25136) at once.
  virtual int64_t WriteBlock(Stream* Target, void* Buffer, uint32_t Count, bool IsData,
                             TCrcKind CrcKind, bool Encrypt);
  virtual TDateTime DosDateToDateTime(uint32_t DosDate);
  virtual int64_t WriteBlockDecrypt(Stream* Target, void* Buffer, uint32_t Count,
                                    bool IsData, TCrcKind CrcKind);
  virtual std::string VolumeName(const std::string& Name, int Number);
  // Reads up to Count bytes from the input selected by InputKind and updates
  // the running checksum of CrcKind. -1 on a read error of a file.
  virtual int64_t ReadBlock(Stream* Source, void* Buffer, uint32_t Count, TCrcKind CrcKind,
                            bool Decrypt);
  virtual void ClearExtensionList();
  virtual void DecryptForRead(bool Flag, void* Buffer, uint32_t Count);
  virtual void RaiseError(const std::string& FileName, const std::string& ExtendedMsg,
                          const std::string& VolumeID, int ECode);
  void ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                   const std::string& VolumeID, int ECode) override;
  using TZipCommon::ReportError;
  void RaiseError(const std::string& FileName, const std::string& ExtendedMsg, int ECode) {
    RaiseError(FileName, ExtendedMsg, "0", ECode);
  }
  virtual bool ReadFirstHeader(std::string& Name, Stream* Source);
  virtual uint32_t EntryOverhead(int Method);
  virtual bool ReadNextHeader(std::string& Name, Stream* Source);
  virtual bool WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry);
  virtual bool ReadHeader(Stream* Source, std::string& Name);
  virtual void CompressArchive();
  virtual void ListEntry(const std::string& Name);
  virtual void CopyEntry(Stream* Source, Stream* Target, int Method, int Index);
  virtual void LoadEntries(Stream* Source);
  virtual void RewriteDirectory();
  virtual void WriteArchiveEnd(Stream* Target);
  virtual void ReportEntries();
  virtual void AfterCommit();
  virtual void GetEntryInfo(int Index, std::string& Name, uint16_t& ExtraLength,
                            std::vector<uint8_t>& Extra);
  virtual void SetEntryComment(int Index, const std::string& Comment);
  virtual void SetArchiveComment(const std::string& Comment);
  virtual int ReadArchiveDirectory();
  virtual bool CommitTempFile(const std::string& TempName, const std::string& ArchiveName);
  virtual std::string GetArchiveComment();
  virtual int UnsupportedOperation(const std::string& Name);
  // Whether the format can mark a stored name as UTF-8. A writer that cannot
  // leaves out (and reports) a file whose name the OEM code page lacks.
  virtual bool StoresUtf8Names() const { return true; }

  void WriteFailed();
  // Raises, without OnError, the failure of a block write (see WriteBlock).
  [[noreturn]] void ShortWrite();
  void ReportProgress(uint64_t Done, uint64_t Total, uint64_t ArchiveTotal);
  // An engine's read of the current file: never past InputLeft (the size the
  // entry announces, even when the file grew), counted off InputLeft and
  // BytesLeft, with progress against the file's `fileTotal`. ReadBlock's
  // result.
  int64_t ReadEntryData(Stream* Input, void* Buffer, uint32_t Count, TCrcKind CrcKind,
                        uint64_t fileTotal);
  // ReadEntryData's count of `got` bytes read.
  void CountEntryRead(uint64_t got, uint64_t fileTotal);
  void StandardProgress(uint8_t ByFile, uint8_t ByArchive);
  uint64_t CopyBlock(Stream* Source, Stream* Target, uint64_t Count, TCrcKind CrcKind,
                     bool Encrypt);
  // Copies the data of a source file, as CopyBlock does, but tells a short
  // source from a failed write: it stops early when the file ends or cannot
  // be read (it shrank or vanished) and returns the bytes copied, while a
  // short write raises E_RAISE as WriteBlock does. Stops on a cancel.
  uint64_t CopyFileData(Stream* Source, Stream* Target, uint64_t Count, TCrcKind CrcKind,
                        bool Encrypt);
  std::string NewTempFileName();

  // --- gathering steps, available to the overriding drivers --------------------
  bool AcceptAttr(uint32_t Attr);
  std::string StoredName(const std::string& FullPath, const std::string& SpecDir,
                         const std::string& DefaultDir,
                         platform::PathStyle style = platform::kNativeStyle);
  bool Excluded(const std::string& Name);
  // False when `Name` (a stored name of `FullPath`) cannot be stored
  // faithfully: it is not UTF-8, a folder name in it holds a backslash on a
  // system where that is no separator (readers would split it), or it needs
  // UTF-8 that the format cannot mark. The file is noted for CheckNames,
  // which reports it.
  bool NameStorable(const std::string& Name, const std::string& FullPath);
  // True when the writer stores `Name` (a stored name) in UTF-8 because the
  // OEM code page it translates names to lacks one of its characters.
  bool StoredInUtf8(const std::string& Name);
  // The name check between the search and the writing: the names to be
  // stored in UTF-8 and the files left out go to OnNameCheck; the files
  // left out are then reported. False when the handler stopped the run.
  bool CheckNames();
  int AddEntry(int SpecIndex, const std::string& FullPath, bool Add, uint32_t Attr,
               uint32_t Date, uint64_t Size);
  void SearchSpec(int Index);
  // Every spec line in turn, each folder read once; false when a cancel
  // stopped it before a line.
  bool SearchSpecs();
  // The per-file handler of the file search (the standard one unless a
  // writer installs its own by overriding).
  virtual void FoundFile(int SpecIndex, const std::string& Folder,
                         const platform::FindData& Data);
  // The DOS stamp a new entry gets by the DateAttribute rule.
  uint32_t ApplyDateAttribute(uint32_t Date);
  // The header buffer size of a new entry for this archive type.
  static uint32_t HeaderSizeOf(TArcType type);

  // Puts TempName in Target's place. Target is replaced in one rename on
  // its own volume, and only by a complete file: from another volume the
  // file is first copied beside Target. False, with the system's reason
  // in LastErrorText(), when Target is as it was; TempName is then left
  // for its owner to delete, and nothing else is left behind.
  static bool ReplaceFileWith(const std::string& TempName, const std::string& Target);
  // A new unique "kvt" file in the folder of `target` (the current folder
  // for a bare name), so that a move onto the target stays on its volume.
  // Empty when none can be made. The run never gathers it.
  std::string TempFileBeside(const std::string& target);
  // The same file for a caller outside a run (stale ones are cleared too).
  static std::string UniqueFileBeside(const std::string& target);
  // Files of the run itself (the archive, its temporary files), which the
  // file search never gathers: compared by identity where the system gives
  // one, else by full name.
  void RememberRunFile(const std::string& path);
  // Identities of the run's files that exist by now, for IsRunFile.
  void LearnRunFileIds();
  bool IsRunFile(const std::string& fullPath, const platform::FileId& id) const;

  // The rename step: offers `name` to OnRenameFile; only the file part of
  // the answer counts, joined to the folder of `name`. An answer that names
  // another line of the entry list is asked again, a bounded number of
  // times (a handler that keeps giving such names must not hang the run).
  // True when `name` was changed.
  bool RenameStep(std::string& name);

  // Moves a committed or given file away by the DeleteOptions rule.
  bool DeleteByOptions(const std::string& path);

 protected:
  // Writers' own extension (".zip"); DefaultExt falls back to it.
  std::string fOwnExt;
  TMethodSet fAllowedMethods;
  TCompressMethod fCompressMethod = cmStore;

  // Helpers for the writers.
  // Opens a gathered source file; reports 25235 and returns empty on failure.
  FileHandle OpenSource(const std::string& path);
  // Reports a source file that could not be read in full (it vanished or
  // shrank while being stored): 25235 with the reason; the writer then
  // drops the entry.
  void ReportReadFailure(const std::string& path);
  // Drops whatever an entry wrote after Offset (the entry is being skipped).
  bool TruncateTarget(Stream* Target, int64_t Offset);
  // True when the format holds a file of `size` bytes; else reports the
  // file, with the reason LargeFileLimit gives, and returns false.
  bool CheckFileSize(const std::string& path, uint64_t size);
  // The largest file the format holds, and why no larger one fits (the
  // default: 32-bit size fields).
  struct SizeLimit {
    uint64_t Largest;
    const char* Why;
  };
  virtual SizeLimit LargeFileLimit() const;

  // The driver's steps.
  void ProcessEntries(Stream* Source, Stream* Target);
  void SearchFolder(int SpecIndex, const std::string& Folder, const std::string& Mask);
  // False, with a report, for a folder that cannot be read or searched.
  bool FolderReadable(const std::string& folder);
  void EndEvents();
  void RunSwRead();

 private:
  void ResetRun();

  bool fCancel = false;
  TDeflateType fDeflateType = dtDeflateN;
  int fDeflateLevel = 7;
  std::string fDefaultDir;
  std::string fDefaultExt;
  std::string fTempDir;
  std::vector<std::string> fFileSpec;
  std::vector<std::string> fExcludeSpec;
  std::vector<std::string> fExtensionList;
  TkvtFileAttr fFileAttribute;
  bool fSearchCancelled = false;
  struct RunFile {
    std::string Path;
    platform::FileId Id;
  };
  std::vector<RunFile> fRunFiles;
  // Files NameStorable left out in this run, for CheckNames.
  std::vector<TNameNote> fLeftOutNames;
  // Folders already reported as unreadable in this run.
  std::vector<std::string> fUnreadableFolders;
  // Why NewTempFileName failed: the folder and the system's reason.
  std::string fTempFailureName, fTempFailureReason;
  // Reports a folder that cannot be read or searched, once per run.
  void ReportUnreadableFolder(const std::string& folder, const std::string& reason);
};

}  // namespace vix
