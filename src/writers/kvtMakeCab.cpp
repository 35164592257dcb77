#include "writers/kvtMakeCab.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "archive/kvtBytes.h"
#include "archive/kvtNames.h"
#include "archive/kvtTime.h"
#include "writers/cabinet/cabformat.h"

namespace vix {

namespace {

// Cabinet parameters of every run.
constexpr uint32_t kMaxCabinetSize = 0x7FFFFFFF;
constexpr uint32_t kFolderThreshold = 900000;
// The attributes a cabinet keeps of a file. Others would be misread: 0x80
// (a Windows file with no other attribute) means a UTF-8 name there, 0x10
// makes readers list the file as a folder.
constexpr uint16_t kStoredAttributes = fci::A_RDONLY | fci::A_HIDDEN | fci::A_SYSTEM | fci::A_ARCH;

constexpr size_t kCabHeaderSize = 36;

std::string Comparable(const std::string& path) {
  std::string full = platform::Current().FullPath(path);
#ifdef _WIN32
  std::transform(full.begin(), full.end(), full.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
#endif
  return full;
}

}  // namespace

// The callbacks handed to the library. None lets an exception through the
// library's frames: a handler that raises (OnProgress, OnError) is caught
// here, remembered and raised again when the library call has returned.
struct CabCallbacks {
  static TMakeCab& Self(void* pv) { return *static_cast<TMakeCab*>(pv); }

  template <typename R, typename F>
  static R Guard(void* pv, R failed, F&& body) {
    TMakeCab& self = Self(pv);
    try {
      return body(self);
    } catch (...) {
      if (!self.fPending) self.fPending = std::current_exception();
      return failed;
    }
  }

  static int VIX_DIAMONDAPI FilePlaced(fci::PCCAB, char*, long, fci::BOOL, void*) { return 0; }
  static void* VIX_DIAMONDAPI Alloc(fci::ULONG cb) { return std::malloc(cb ? cb : 1); }
  static void VIX_DIAMONDAPI Free(void* memory) { std::free(memory); }

  static fci::INT_PTR VIX_DIAMONDAPI Open(char* name, int flags, int, int* err, void* pv) {
    *err = 0;
    return Guard<fci::INT_PTR>(
        pv, -1, [&](TMakeCab& self) { return self.fFileHandler->OpenCabFile(name, flags, *err); });
  }

  static fci::UINT VIX_DIAMONDAPI Read(fci::INT_PTR hf, void* memory, fci::UINT cb, int* err,
                                       void* pv) {
    *err = 0;
    return Guard<fci::UINT>(pv, static_cast<fci::UINT>(-1), [&](TMakeCab& self) {
      // No more than the source's size is asked for while that much is left,
      // so that the read which meets its end is the library's next one, not
      // one more of this one (a tree of small files pays a call per file).
      if (hf == self.fSourceHandle && self.fFileLeft > 0)
        cb = std::min<fci::UINT>(cb, self.fFileLeft);
      const fci::UINT n = self.fFileHandler->ReadCabFile(hf, memory, cb, *err);
      // Progress counts only the source being added: the library also reads
      // its temporary files through here.
      if (hf != self.fSourceHandle) return n;
      if (n == static_cast<fci::UINT>(-1)) {
        self.fSourceFailed = true;
      } else if (n == 0 && self.fFileLeft > 0) {
        // The file shrank while it was read: a read error for the library,
        // which would otherwise store the cut file as if it were whole.
        self.fSourceFailed = true;
        return static_cast<fci::UINT>(-1);
      } else if (n > 0 && self.fFileLeft > 0) {
        if (self.SourceTap.On)
          self.SourceTap.Add(static_cast<int64_t>(self.SourceTap.Bytes), memory, n);
        const uint32_t done = std::min<uint32_t>(n, self.fFileLeft);
        self.fFileLeft -= done;
        self.BytesLeft = self.BytesLeft > done ? self.BytesLeft - done : 0;
        // The bytes were read: a handler that raises must not turn them into
        // a read error for the library, which may store a cut entry then.
        try {
          self.ReportProgress(self.fFileSize - self.fFileLeft, self.fFileSize, self.TotalBytes);
        } catch (...) {
          if (!self.fPending) self.fPending = std::current_exception();
        }
      }
      return n;
    });
  }

  static fci::UINT VIX_DIAMONDAPI Write(fci::INT_PTR hf, void* memory, fci::UINT cb, int* err,
                                        void* pv) {
    *err = 0;
    return Guard<fci::UINT>(pv, 0, [&](TMakeCab& self) {
      return self.fFileHandler->WriteCabFile(hf, memory, cb, *err);
    });
  }

  static int VIX_DIAMONDAPI Close(fci::INT_PTR hf, int* err, void* pv) {
    *err = 0;
    return Guard<int>(pv, -1, [&](TMakeCab& self) {
      if (hf == self.fSourceHandle) self.fSourceHandle = -1;
      return self.fFileHandler->CloseCabFile(hf, *err);
    });
  }

  static long VIX_DIAMONDAPI Seek(fci::INT_PTR hf, long dist, int type, int* err, void* pv) {
    *err = 0;
    return Guard<long>(pv, -1, [&](TMakeCab& self) {
      return self.fFileHandler->SeekCabFile(hf, dist, type, *err);
    });
  }

  static int VIX_DIAMONDAPI Delete(char* name, int* err, void* pv) {
    *err = 0;
    return Guard<int>(pv, -1,
                      [&](TMakeCab& self) { return self.fFileHandler->DeleteCabFile(name, *err); });
  }

  static fci::BOOL VIX_DIAMONDAPI TempName(char* buffer, int size, void* pv) {
    return Guard<fci::BOOL>(
        pv, 0, [&](TMakeCab& self) { return self.GetCabTempName(buffer, size) ? 1 : 0; });
  }

  static fci::BOOL VIX_DIAMONDAPI NextCabinet(fci::PCCAB pccab, fci::ULONG previous, void* pv) {
    return Guard<fci::BOOL>(
        pv, 0, [&](TMakeCab& self) { return self.GetNextCabinet(*pccab, previous) ? 1 : 0; });
  }

  // Never aborts on its own; a cancel request stops the file being added at
  // its next block instead of after the whole file.
  static long VIX_DIAMONDAPI Status(fci::UINT, fci::ULONG, fci::ULONG, void* pv) {
    return Guard<long>(pv, -1, [&](TMakeCab& self) { return self.GetCancel() ? -1L : 0L; });
  }

  static fci::INT_PTR VIX_DIAMONDAPI OpenInfo(char* name, fci::USHORT* date, fci::USHORT* time,
                                              fci::USHORT* attribs, int* err, void* pv) {
    *err = 0;
    return Guard<fci::INT_PTR>(pv, -1, [&](TMakeCab& self) {
      return self.GetCabOpenInfo(name, *date, *time, *attribs, *err);
    });
  }
};

TMakeCab::TMakeCab(TComponent* owner)
    : TCabInterface(owner), fFileHandler(std::make_unique<TStreamCabinetFileHandler>(this)) {
  fOwnExt = ".cab";
  fAllowedMethods = {cmStore, cmMsZip, cmLzx, cmQuantum};
  SetArcType(atCab);
  SetCompressMethod(cmMsZip);
  SetDefaultExt(".CAB");
}

TMakeCab::~TMakeCab() { CloseContext(); }

void TMakeCab::SetArcType(TArcType) { fArcType = atCab; }

void TMakeCab::SetLzxLevel(int value) { fLzxLevel = std::clamp(value, 15, 21); }
void TMakeCab::SetQuantumLevel(int value) { fQuantumLevel = std::clamp(value, 1, 7); }
void TMakeCab::SetQuantumMemory(int value) { fQuantumMemory = std::clamp(value, 10, 21); }

fci::TCOMP TMakeCab::QuantumTypeNibble(TCompressionType type) {
  switch (type) {
    case ctStore:
      return fci::tcompTYPE_NONE;
    case ctMsZip:
      return fci::tcompTYPE_MSZIP;
    case ctLzx:
      return fci::tcompTYPE_LZX;
  }
  return fci::tcompTYPE_MSZIP;
}

fci::TCOMP TMakeCab::CompressionTypeWord() const {
  switch (fCompressMethod) {
    case cmMsZip:
      return fci::tcompTYPE_MSZIP;
    case cmLzx:
      return fci::TCOMPfromLZXWindow(fLzxLevel);
    case cmQuantum:
      return fci::TCOMPfromTypeLevelMemory(QuantumTypeNibble(QuantumType), fQuantumLevel,
                                           fQuantumMemory);
    default:
      return fci::tcompTYPE_NONE;
  }
}

std::string TMakeCab::MethodName() const {
  switch (fCompressMethod) {
    case cmMsZip:
      return "MsZIP";
    case cmLzx:
      return "Lzx";
    case cmQuantum:
      return "Quantum";
    default:
      return "Stored";
  }
}

void TMakeCab::CheckCabinetError() {
  if (fErf.fError) throw ECabinetError(fErf.erfOper, fErf.erfType);
}

void TMakeCab::ReportCabinetFailure(const std::string& fileName, const std::exception& e) {
  int code = kErrWrite;
  if (auto* cab = dynamic_cast<const ECabinetError*>(&e)) {
    if (cab->ErrorCode == fci::FCIERR_OPEN_SRC || cab->ErrorCode == fci::FCIERR_READ_SRC)
      code = kErrOpen;
    else if (cab->ErrorCode == fci::FCIERR_BAD_COMPR_TYPE)
      code = kErrUnsupported;
  } else if (dynamic_cast<const E_RAISE*>(&e)) {
    return;  // RaiseError reported it already
  }
  ReportError(fileName, e.what(), code);
}

void TMakeCab::OpenContext(bool replacing) {
  CloseContext();
  // The library creates its cabinet under the name it is given, cutting a
  // file of that name first: an existing cabinet is only replaced once the
  // new one is complete, so the library writes beside it. (Not when the
  // cabinet may continue in others, whose links name the first.)
  fCabFile = ArchiveFile();
  if (replacing && !OnGetNextCabinet) {
    const std::string beside = TempFileBeside(ArchiveFile());
    if (!beside.empty()) fCabFile = beside;
  }
  TCCAB params;
  std::memset(&params, 0, sizeof params);
  params.cb = kMaxCabinetSize;
  params.cbFolderThresh = kFolderThreshold;
  params.fFailOnIncompressible = FailOnIncompressible ? 1 : 0;
  const std::string name = ExtractFileName(fCabFile);
  const std::string folder = ExtractFilePath(fCabFile);
  // The parameters hold 255 bytes of each: a longer name would be cut and
  // the cabinet written under another name.
  if (name.empty() || name.size() >= sizeof params.szCab ||
      folder.size() >= sizeof params.szCabPath) {
    ReportError(ArchiveFile(), "the cabinet's name or folder is too long", kErrWrite);
    throw E_RAISE(kErrWrite);
  }
  std::memcpy(params.szCab, name.data(), name.size());
  std::memcpy(params.szCabPath, folder.data(), folder.size());
  fErf = fci::ERF{};
  fContext = fLibrary.FCICreate(&fErf, CabCallbacks::FilePlaced, CabCallbacks::Alloc,
                                CabCallbacks::Free, CabCallbacks::Open, CabCallbacks::Read,
                                CabCallbacks::Write, CabCallbacks::Close, CabCallbacks::Seek,
                                CabCallbacks::Delete, CabCallbacks::TempName, &params, this);
  RethrowPending();
  if (!fContext) {
    CheckCabinetError();
    throw ECabinetError(fErf.erfOper, fErf.erfType);
  }
  // Only the built-in library takes a thread count; a system library
  // compresses on the calling thread.
  if (fLibrary.FCICreate == BuiltinCabinetEntries().FCICreate)
    fci::SetBuiltinThreads(fContext, Threads);
}

void TMakeCab::CloseContext() {
  if (!fContext) return;
  fci::HFCI context = fContext;
  fContext = nullptr;
  fLibrary.FCIDestroy(context);
  fPending = nullptr;
}

void TMakeCab::RethrowPending() {
  if (!fPending) return;
  std::exception_ptr pending = fPending;
  fPending = nullptr;
  std::rethrow_exception(pending);
}

// Flushes and destroys the context. A failure here means no cabinet: it is
// reported, and no file counts as written.
bool TMakeCab::FinishCabinet() {
  if (!fContext) return false;
  // Nothing was added: flushing would make a cabinet without files (which
  // readers refuse) or replace an existing one with it. A cancelled run
  // keeps nothing either, so that it never replaces a cabinet with part of
  // the new one.
  if (FilesWritten == 0 || GetCancel()) {
    CloseContext();
    FilesWritten = 0;
    return false;
  }
  bool ok = false;
  try {
    ok = fLibrary.FCIFlushCabinet(fContext, 0, CabCallbacks::NextCabinet,
                                  CabCallbacks::Status) != 0;
    RethrowPending();
    if (!ok) {
      CheckCabinetError();
      throw ECabinetError(fErf.erfOper, fErf.erfType);
    }
    fci::HFCI context = fContext;
    fContext = nullptr;
    if (!fLibrary.FCIDestroy(context)) {
      CheckCabinetError();
      throw ECabinetError(fErf.erfOper, fErf.erfType);
    }
  } catch (const std::exception& e) {
    ok = false;
    ReportCabinetFailure(ArchiveFile(), e);
  }
  CloseContext();
  if (ok) ok = CheckFolderTypes();
  // The finished cabinet is read back before it replaces the old one; one
  // that fails goes (a new one too). Cabinets of a set are not checked.
  if (ok && Verify && !OnGetNextCabinet && !VerifyWritten(fCabFile)) {
    ok = false;
    if (fCabFile == ArchiveFile()) platform::Current().DeleteFile(fCabFile);
  }
  if (ok) ok = PutCabinetInPlace();
  if (!ok) FilesWritten = 0;
  return ok;
}

void TMakeCab::ChooseLibrary() {
  fLibrary = CabinetEntries;
  fOnSystemLibrary = !CabinetIsBuiltin();
  fTypesAdded.clear();
  if (fOnSystemLibrary && !CabinetHonoursType(CompressionTypeWord())) {
    fLibrary = BuiltinCabinetEntries();
    fOnSystemLibrary = false;
  }
}

bool TMakeCab::CheckFolderTypes() {
  std::vector<fci::TCOMP> types;
  std::string wrong;
  if (!ReadFolderTypes(fCabFile, types)) {
    wrong = "its folders could not be read back";
  } else {
    for (fci::TCOMP written : types) {
      const bool asked = std::any_of(fTypesAdded.begin(), fTypesAdded.end(), [&](fci::TCOMP t) {
        return FolderTypeMatches(t, written);
      });
      if (asked) continue;
      char text[96];
      std::snprintf(text, sizeof text, "it holds a folder of type word 0x%04X, which was not asked",
                    written);
      wrong = text;
      break;
    }
  }
  if (wrong.empty()) return true;
  // A cabinet in another method than the one chosen is not kept as if it
  // were the one asked for.
  ReportError(ArchiveFile(),
              "the cabinet library did not write the cabinet as asked (" + wrong +
                  "); it is not kept", kErrUnsupported);
  platform::Current().DeleteFile(fCabFile);
  return false;
}

bool TMakeCab::PutCabinetInPlace() {
  if (fCabFile == ArchiveFile()) return true;
  auto& os = platform::Current();
  if (os.GetAttributes(ArchiveFile()) != platform::kNoAttributes) {
    if (!DeleteByOptions(ArchiveFile())) {
      ReportError(ArchiveFile(),
                  "the old cabinet could not be moved away, so it stays and the new one is "
                  "not written: " + os.LastErrorText(), kErrWrite);
      return false;
    }
    OldCabinetReplaced = true;
  }
  if (os.MoveFile(fCabFile, ArchiveFile())) return true;
  // The old cabinet is gone already: the new one stays where it was made.
  ReportError(ArchiveFile(),
              "the new cabinet could not take this name and is kept as " + fCabFile +
                  (OldCabinetReplaced ? " (the old one was moved away)" : "") + ": " +
                  os.LastErrorText(), kErrWrite);
  fCabFile = ArchiveFile();  // not dropped
  return false;
}

bool TMakeCab::LooksLikeCabinet(const std::string& path) {
  auto file = platform::Current().OpenRead(path, platform::ShareMode::Read);
  if (!file) return false;
  uint8_t h[kCabHeaderSize];
  const int64_t size = file->Size();
  if (size < static_cast<int64_t>(kCabHeaderSize) || file->Read(h, sizeof h) != sizeof h)
    return false;
  const uint32_t cbCabinet = GetLE32(h + 8), coffFiles = GetLE32(h + 16);
  return std::memcmp(h, "MSCF", 4) == 0 && GetLE32(h + 4) == 0 && GetLE32(h + 12) == 0 &&
         GetLE32(h + 20) == 0 && h[25] == 1 && cbCabinet >= kCabHeaderSize &&
         coffFiles >= kCabHeaderSize && coffFiles <= cbCabinet && GetLE16(h + 30) <= 7;
}

bool TMakeCab::IsRunFile(const std::string& path) const {
  const std::string full = Comparable(path);
  if (full == Comparable(ArchiveFile())) return true;
  if (!fCabFile.empty() && full == Comparable(fCabFile)) return true;
  for (const auto& name : fTempNames)
    if (full == Comparable(name)) return true;
  return false;
}

void TMakeCab::FoundFile(int SpecIndex, const std::string& Folder,
                         const platform::FindData& Data) {
  if (!PostCommit && IsRunFile(Folder + Data.Name)) return;
  TCabInterface::FoundFile(SpecIndex, Folder, Data);
}

TCompBase::SizeLimit TMakeCab::LargeFileLimit() const {
  return {cab::kMaxFolderBytes,
          "a cabinet folder holds at most 65535 blocks of 32768 bytes of uncompressed data"};
}

void TMakeCab::DropCabFile() {
  auto& os = platform::Current();
  if (fCabFile != ArchiveFile() && os.GetAttributes(fCabFile) != platform::kNoAttributes)
    os.DeleteFile(fCabFile);
  fCabFile.clear();
}

void TMakeCab::CompressArchive() {
  try {
    if (!CabinetAvailable || Switch == swDelete) {
      ReportError(ArchiveFile(),
                  CabinetAvailable ? "a cabinet is written whole: entries cannot be deleted from it"
                                   : "no cabinet library could be loaded",
                  CabinetAvailable ? kErrUnsupported : kErrCabinetLibrary);
      return;
    }
    auto& os = platform::Current();
    const bool exists = os.GetAttributes(ArchiveFile()) != platform::kNoAttributes;
    // A listing request never writes: the writer reads no cabinet headers,
    // so it lists nothing.
    if (Switch == swRead) {
      if (exists) RunSwRead();
      return;
    }
    OldCabinetReplaced = false;
    fTempNames.clear();
    // A cabinet is replaced, never any other file that has its name.
    if (exists && !LooksLikeCabinet(ArchiveFile())) {
      ReportError(ArchiveFile(), "not a cabinet; it is left as it is", kErrUnsupported);
      return;
    }
    if (exists && !IsPlainFile(ArchiveFile())) {
      bool writeToFile = false;
      if (OnNonWriteableArchive) OnNonWriteableArchive(*this, ArchiveFile(), writeToFile);
      if (!writeToFile) {
        if (!OnNonWriteableArchive) ReportError(ArchiveFile(), "it is not a plain file", kErrWrite);
        return;
      }
      if (!os.SetAttributes(ArchiveFile(), platform::kAttrArchive)) {
        ReportError(ArchiveFile(), os.LastErrorText(), kErrWrite);
        return;
      }
    }
    NewArchive = !exists;
    if (OnActivate) OnActivate(*this);
    ChooseLibrary();
    bool opened = false;
    try {
      OpenContext(exists);
      opened = true;
    } catch (const std::exception& e) {
      ReportCabinetFailure(ArchiveFile(), e);
    }
    if (opened) {
      try {
        ProcessEntries(nullptr, nullptr);
      } catch (const std::exception& e) {
        // The files added so far still make a cabinet.
        ReportCabinetFailure(ArchiveFile(), e);
      }
      if (OnElapsedTime) {
        fTimer.Stop();
        OnElapsedTime(*this, fTimer.ElapsedSeconds);
      }
      FinishCabinet();
    }
    DropCabFile();
    if (OnDeactivate) OnDeactivate(*this);
  } catch (const std::exception& e) {
    // Every failure of the run reaches the caller through OnError, none as
    // an exception.
    CloseContext();
    DropCabFile();
    ReportCabinetFailure(ArchiveFile(), e);
  }
}

bool TMakeCab::WriteEntry(Stream*, int Index, TCompBaseHeaderObj& Entry) {
  const std::string line = EntryList.Line(Index);
  fFileSize = fFileLeft = Entry.Size;
  CurrentFileName = line;
  bool extract = true;
  if (OnBegin) OnBegin(*this, line, static_cast<int>(EntryNumber), extract);
  SetCurrentFileName(line);
  // A cabinet holds no folders.
  if (!extract || (Entry.Attr & platform::kAttrDirectory)) return false;
  fFileReported = false;
  fSourceFailed = false;
  struct SourceGuard {
    TMakeCab& self;
    ~SourceGuard() {
      self.fSourceHandle = -1;
      self.ClosePreopened();
    }
  } sourceGuard{*this};
  try {
    const fci::TCOMP type = CompressionTypeWord();
    // The run's library is fixed once the cabinet is open: a type the
    // system's library would not write as asked is refused for this file.
    if (fOnSystemLibrary && !CabinetHonoursType(type))
      throw ECabinetError(fci::FCIERR_BAD_COMPR_TYPE, 0);
    std::string name = CurrentFileName;
    if (RenameStep(name)) Entry.Action = TCompBaseHeaderObj::kRename;
    // A name the OEM code page cannot hold is stored in UTF-8 and marked so;
    // without the mark readers would take its bytes for code-page text.
    const TStoredNameForm form = StoredNameForm(name, TranslateOemChar, '\\');
    std::string stored = form.Bytes;
    fNameIsUtf8 = form.Utf8;
    if (stored.size() >= static_cast<size_t>(fci::CB_MAX_FILENAME)) {
      ReportError(line,
                  "name too long for a cabinet (" + std::to_string(stored.size()) +
                      " bytes; at most " + std::to_string(fci::CB_MAX_FILENAME - 1) + " fit)", kErrOpen);
      fFileReported = true;
      if (OnEnd) OnEnd(*this, line, false);
      return false;
    }
    std::string source = line;
    // The source is opened here first: a system library may be left unable
    // to finish its cabinet after a file it could not open (Wine's is), so
    // such a file never reaches it.
    int err = 0;
    fPreopened = fFileHandler->OpenCabFile(source, fci::O_BINARY_, err);
    if (fPreopened == -1) {
      ReportError(line, platform::Current().LastErrorText(), kErrOpen);
      fFileReported = true;
      if (OnEnd) OnEnd(*this, line, false);
      return false;
    }
    fPreopenedName = source;
    const bool added = fLibrary.FCIAddFile(fContext, source.data(), stored.data(), 0,
                                          CabCallbacks::NextCabinet, CabCallbacks::Status,
                                          CabCallbacks::OpenInfo, type) != 0;
    // A read error of the source ends this file whichever way the library
    // took it: the built-in one drops the file, a system one may keep a cut
    // entry. Either way the file does not count as written, and what a
    // handler raised meanwhile belongs to this file, not to the next one.
    if (fSourceFailed) {
      fPending = nullptr;
      ReportError(line, "the file could not be read in full", kErrOpen);
      fFileReported = true;
      if (OnEnd) OnEnd(*this, line, false);
      return false;
    }
    RethrowPending();
    if (!added) {
      CheckCabinetError();
      throw ECabinetError(fErf.erfOper, fErf.erfType);
    }
    if (std::find(fTypesAdded.begin(), fTypesAdded.end(), type) == fTypesAdded.end())
      fTypesAdded.push_back(type);
    if (OnRead) OnRead(*this, 0, 0);
    if (OnEnd) OnEnd(*this, line, true);
    return true;
  } catch (const std::exception& e) {
    if (!fFileReported) ReportCabinetFailure(line, e);
    if (OnEnd) OnEnd(*this, line, false);
    return false;
  }
}

void TMakeCab::ClosePreopened() {
  if (fPreopened == -1) return;
  int err = 0;
  fFileHandler->CloseCabFile(fPreopened, err);
  fPreopened = -1;
  fPreopenedName.clear();
}

bool TMakeCab::GetNextCabinet(TCCAB& Parameters, uint32_t PreviousSize) {
  if (!OnGetNextCabinet) return false;
  bool abort = true;
  std::string next;
  OnGetNextCabinet(*this, Parameters, next, static_cast<int>(PreviousSize), abort);
  if (abort) return false;
  const std::string name = ExtractFileName(next);
  const std::string folder = AppendBackslash(ExtractFilePath(next));
  if (name.empty() || name.size() >= sizeof Parameters.szCab ||
      folder.size() >= sizeof Parameters.szCabPath)
    return false;
  std::memset(Parameters.szCab, 0, sizeof Parameters.szCab);
  std::memset(Parameters.szCabPath, 0, sizeof Parameters.szCabPath);
  std::memcpy(Parameters.szCab, name.data(), name.size());
  std::memcpy(Parameters.szCabPath, folder.data(), folder.size());
  return true;
}

bool TMakeCab::GetCabTempName(char* buffer, int size) {
  const std::string name = NewTempFileName();
  if (name.empty() || static_cast<int>(name.size()) >= size) return false;
  fTempNames.push_back(name);
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return true;
}

fci::INT_PTR TMakeCab::GetCabOpenInfo(const std::string& name, uint16_t& date, uint16_t& time,
                                      uint16_t& attribs, int& err) {
  auto& os = platform::Current();
  const uint32_t attr = os.GetAttributes(name);
  if (attr == platform::kNoAttributes) {
    ReportError(name, os.LastErrorText(), kErrOpen);
    fFileReported = true;
  }
  // The source WriteEntry opened is handed over; another name is opened.
  fci::INT_PTR handle = -1;
  if (fPreopened != -1 && name == fPreopenedName) {
    handle = fPreopened;
    fPreopened = -1;
    fPreopenedName.clear();
    err = 0;
  } else {
    handle = fFileHandler->OpenCabFile(name, fci::O_BINARY_, err);
  }
  if (handle == -1) {
    if (!fFileReported) ReportError(name, os.LastErrorText(), kErrOpen);
    fFileReported = true;
    return -1;
  }
  platform::File* file = fFileHandler->Find(handle);
  date = time = 0;
  uint32_t stamp = file->DosTime(1);
  if (stamp) {
    stamp = ApplyDateAttribute(stamp);
    date = static_cast<uint16_t>(stamp >> 16);
    time = static_cast<uint16_t>(stamp);
  }
  attribs = attr == platform::kNoAttributes ? 0 : static_cast<uint16_t>(attr & kStoredAttributes);
  if (fNameIsUtf8) attribs |= fci::A_NAME_IS_UTF;
  fSourceHandle = handle;
  // The size at opening is what must be read: the file may have changed
  // since it was gathered.
  const int64_t size = file->Size();
  fFileSize = fFileLeft = size > 0 ? static_cast<uint32_t>(size) : 0;
  if (OnRead) {
    Entry = TEntryInfo{};
    Entry.FileName = CurrentFileName;
    Entry.Size = Entry.PackedSize = size > 0 ? static_cast<uint32_t>(size) : 0;
    Entry.Date = DosStampToDateTime(stamp);
    Entry.Attr = attribs;
    Entry.MethodName = MethodName();
  }
  return handle;
}

}  // namespace vix
