// The CAB writer: gathers files with the compress driver and hands them to
// the cabinet library, which compresses them and lays out the cabinet. A
// cabinet is always written anew.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/kvtBase.h"
#include "writers/kvtCabGbls.h"

namespace vix {

enum TCompressionType : uint8_t { ctStore, ctMsZip, ctLzx };

using TGetNextCabinetEvent =
    std::function<void(TCompBase& Sender, TCCAB& CabParameters, std::string& NewCabFileName,
                       int PreviousCabEstimatedSize, bool& AbortCreation)>;

// The intermediate class of the CAB writer; no behaviour of its own.
class TCabInterface : public TCompBase {
 public:
  using TCompBase::TCompBase;
};

class TMakeCab : public TCabInterface {
 public:
  explicit TMakeCab(TComponent* owner);
  ~TMakeCab() override;

  // --- published properties ------------------------------------------------
  bool FailOnIncompressible = true;
  int LzxLevel() const { return fLzxLevel; }
  void SetLzxLevel(int value);  // window bits, clamped to 15..21
  TCompressionType QuantumType = ctMsZip;
  int QuantumLevel() const { return fQuantumLevel; }
  void SetQuantumLevel(int value);  // clamped to 1..7
  int QuantumMemory() const { return fQuantumMemory; }
  void SetQuantumMemory(int value);  // clamped to 10..21
  TGetNextCabinetEvent OnGetNextCabinet;

  // Set by a run that replaced an existing cabinet: the old one went by the
  // DeleteOptions rule (to the recycle bin unless doFinal), so that a front
  // end can tell a user who meant to add to it where it is.
  bool OldCabinetReplaced = false;

  // --- overridden operations --------------------------------------------------
  void SetArcType(TArcType value) override;
  bool WriteEntry(Stream* Target, int Index, TCompBaseHeaderObj& Entry) override;
  void CompressArchive() override;
  void CopyEntry(Stream* Source, Stream* Target, int Method, int Index) override {}
  void WriteArchiveEnd(Stream* Target) override {}
  void ReportEntries() override {}
  // Leaves out the cabinet being written and the library's temporary files
  // when they lie in a folder being gathered.
  void FoundFile(int SpecIndex, const std::string& Folder,
                 const platform::FindData& Data) override;
  // A cabinet folder holds at most 65535 blocks of 32 KiB of a file's data.
  SizeLimit LargeFileLimit() const override;

  // Whether `path` starts as a cabinet does: "MSCF" and a header whose
  // fixed fields are sane. False also when it cannot be read.
  static bool LooksLikeCabinet(const std::string& path);

  // --- introduced operations ----------------------------------------------------
  // Fires OnGetNextCabinet; false (the library stops) unless a handler
  // named the next cabinet and cleared AbortCreation.
  virtual bool GetNextCabinet(TCCAB& Parameters, uint32_t PreviousSize);
  // A fresh temporary file name; false when it does not fit `size` bytes.
  virtual bool GetCabTempName(char* buffer, int size);
  // Opens a source for the library and gives its DOS stamp and attributes;
  // -1 (reported) when it cannot be opened.
  virtual fci::INT_PTR GetCabOpenInfo(const std::string& name, uint16_t& date, uint16_t& time,
                                      uint16_t& attribs, int& err);

  // The compression type word the library gets for CompressMethod.
  fci::TCOMP CompressionTypeWord() const;
  // The method's name in listings ("Stored", "MsZIP", "Lzx", "Quantum").
  std::string MethodName() const;

  TCabinetFileHandler& FileHandler() { return *fFileHandler; }
  const fci::ERF& ErrorRecord() const { return fErf; }

 private:
  static fci::TCOMP QuantumTypeNibble(TCompressionType type);
  // Raises ECabinetError when the error record holds an error.
  void CheckCabinetError();
  // Reports a failed library call of the run (a cabinet error or a raise).
  void ReportCabinetFailure(const std::string& fileName, const std::exception& e);
  void ClosePreopened();
  // Raises again what a callback caught while the library ran.
  void RethrowPending();
  // Opens the library's context; `replacing`: an existing cabinet is
  // written anew.
  void OpenContext(bool replacing);
  // The library for the run: the bound one, or the built-in one when the
  // bound one does not write the run's type as asked.
  void ChooseLibrary();
  // Whether every folder of the finished cabinet is of a type the run
  // asked for; a library that wrote another is reported.
  bool CheckFolderTypes();
  void CloseContext();
  // Flushes the cabinet and puts it in place; false (reported) when there
  // is none, and then no file counts as written.
  bool FinishCabinet();
  // Deletes the file the library wrote beside the cabinet, if still there.
  void DropCabFile();
  // Moves the complete new cabinet over the old one, which goes first by
  // the DeleteOptions rule. False (reported) when either step fails.
  bool PutCabinetInPlace();
  bool IsRunFile(const std::string& path) const;

  friend struct CabCallbacks;

  fci::ERF fErf{};
  fci::HFCI fContext = nullptr;
  // The library of the run and whether it is the bound system library.
  TCabinetEntryPoints fLibrary = CabinetEntries;
  bool fOnSystemLibrary = false;
  // The type words of the files added in the run.
  std::vector<fci::TCOMP> fTypesAdded;
  // The file the library writes: ArchiveFile, or a new name beside it.
  std::string fCabFile;
  // Every temporary name handed to the library during the run.
  std::vector<std::string> fTempNames;
  std::unique_ptr<TStreamCabinetFileHandler> fFileHandler;
  int fLzxLevel = 21;
  int fQuantumLevel = 7;
  int fQuantumMemory = 21;
  // The source being added: its handle, size and the bytes still unread.
  fci::INT_PTR fSourceHandle = -1;
  uint32_t fFileSize = 0;
  uint32_t fFileLeft = 0;
  // The current file's failure has been reported already.
  bool fFileReported = false;
  // The current file's stored name is UTF-8 with bytes beyond ASCII.
  bool fNameIsUtf8 = false;
  // A read of the current source failed.
  bool fSourceFailed = false;
  // The source WriteEntry opened, until the library asks for it.
  fci::INT_PTR fPreopened = -1;
  std::string fPreopenedName;
  // What a callback caught, to be raised when the library call returns.
  std::exception_ptr fPending;
};

}  // namespace vix
