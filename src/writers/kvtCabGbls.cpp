#include "writers/kvtCabGbls.h"

#include <cstdio>
#include <cstring>

namespace vix {

namespace {

fci::HFCI VIX_DIAMONDAPI NoCreate(fci::PERF, fci::PFNFCIFILEPLACED, fci::PFNFCIALLOC,
                                  fci::PFNFCIFREE, fci::PFNFCIOPEN, fci::PFNFCIREAD,
                                  fci::PFNFCIWRITE, fci::PFNFCICLOSE, fci::PFNFCISEEK,
                                  fci::PFNFCIDELETE, fci::PFNFCIGETTEMPFILE, fci::PCCAB, void*) {
  return nullptr;
}
fci::BOOL VIX_DIAMONDAPI NoAddFile(fci::HFCI, char*, char*, fci::BOOL, fci::PFNFCIGETNEXTCABINET,
                                   fci::PFNFCISTATUS, fci::PFNFCIGETOPENINFO, fci::TCOMP) {
  return 1;
}
fci::BOOL VIX_DIAMONDAPI NoFlushCabinet(fci::HFCI, fci::BOOL, fci::PFNFCIGETNEXTCABINET,
                                        fci::PFNFCISTATUS) {
  return 1;
}
fci::BOOL VIX_DIAMONDAPI NoFlushFolder(fci::HFCI, fci::PFNFCIGETNEXTCABINET, fci::PFNFCISTATUS) {
  return 1;
}
fci::BOOL VIX_DIAMONDAPI NoDestroy(fci::HFCI) { return 1; }

constexpr TCabinetEntryPoints kSubstitutes = {NoCreate, NoAddFile, NoFlushCabinet, NoFlushFolder,
                                              NoDestroy};

#ifdef _WIN32
std::unique_ptr<platform::SharedLibrary> gLibrary;
#endif

template <typename T>
bool Bind(T& entry, void* address) {
  entry = reinterpret_cast<T>(address);
  return address != nullptr;
}

// Binds at program start and releases at its end.
struct StartupBinding {
  StartupBinding() { LoadCabinetLibrary(); }
  ~StartupBinding() { FreeCabinetLibrary(); }
};

}  // namespace

TCabinetEntryPoints CabinetEntries = kSubstitutes;
bool CabinetAvailable = false;

bool LoadCabinetLibrary(const char* name) {
  FreeCabinetLibrary();
  TCabinetEntryPoints bound = kSubstitutes;
  bool all = true;
#ifdef _WIN32
  if (!name) return false;
  std::unique_ptr<platform::SharedLibrary> library = platform::LoadSharedLibrary(name);
  if (!library) return false;
  auto find = [&](const char* entry) { return library->Proc(entry); };
#else
  // The built-in library answers only to the system library's name.
  if (!name || std::strcmp(name, kCabinetLibraryName) != 0) return false;
  auto find = [](const char* entry) { return fci::BuiltinProcAddress(entry); };
#endif
  all = Bind(bound.FCICreate, find("FCICreate")) && all;
  all = Bind(bound.FCIAddFile, find("FCIAddFile")) && all;
  all = Bind(bound.FCIFlushCabinet, find("FCIFlushCabinet")) && all;
  all = Bind(bound.FCIFlushFolder, find("FCIFlushFolder")) && all;
  all = Bind(bound.FCIDestroy, find("FCIDestroy")) && all;
  // A library without all five entry points is treated as missing.
  if (!all) return false;
#ifdef _WIN32
  gLibrary = std::move(library);
#endif
  CabinetEntries = bound;
  CabinetAvailable = true;
  return true;
}

void FreeCabinetLibrary() {
  CabinetEntries = kSubstitutes;
  CabinetAvailable = false;
#ifdef _WIN32
  gLibrary.reset();
#endif
}

namespace {
StartupBinding gStartupBinding;
}

namespace {
std::string CabinetErrorText(int code, int type) {
  char text[64];
  std::snprintf(text, sizeof text, "Cabinet error %d (type %d)", code, type);
  return text;
}
}  // namespace

ECabinetError::ECabinetError(int errorCode, int errorType)
    : std::runtime_error(CabinetErrorText(errorCode, errorType)),
      ErrorCode(errorCode),
      ErrorType(errorType) {}

int LastSystemError() { return platform::Current().LastErrorCode(); }

// --- TStreamCabinetFileHandler ------------------------------------------------

TStreamCabinetFileHandler::~TStreamCabinetFileHandler() {
  for (auto& entry : streams_) entry.second->Close();
}

platform::File* TStreamCabinetFileHandler::Find(fci::INT_PTR handle) const {
  auto it = streams_.find(handle);
  return it == streams_.end() ? nullptr : it->second.get();
}

fci::INT_PTR TStreamCabinetFileHandler::OpenCabFile(const std::string& name, int flags, int& err) {
  auto& sys = platform::Current();
  platform::FileHandle file;
  if (flags & fci::O_CREAT_) {
    file = sys.Create(name, true);
  } else if (flags & (fci::O_RDWR_ | fci::O_WRONLY_)) {
    file = sys.OpenReadWrite(name);
  } else {
    file = sys.OpenRead(
        name, flags & fci::O_EXCL_ ? platform::ShareMode::None : platform::ShareMode::Read);
  }
  if (!file) {
    err = LastSystemError();
    return -1;
  }
  err = 0;
  const fci::INT_PTR handle = nextHandle_++;
  streams_.emplace(handle, std::move(file));
  return handle;
}

fci::UINT TStreamCabinetFileHandler::ReadCabFile(fci::INT_PTR handle, void* buffer, fci::UINT count,
                                                 int& err) {
  platform::File* file = Find(handle);
  if (!file) {
    err = -1;
    return static_cast<fci::UINT>(-1);
  }
  const int64_t n = file->Read(buffer, count);
  if (n < 0) {
    err = LastSystemError();
    return static_cast<fci::UINT>(-1);
  }
  err = 0;
  return static_cast<fci::UINT>(n);
}

fci::UINT TStreamCabinetFileHandler::WriteCabFile(fci::INT_PTR handle, const void* buffer,
                                                  fci::UINT count, int& err) {
  platform::File* file = Find(handle);
  if (!file) {
    err = -1;
    return 0;
  }
  const int64_t n = file->Write(buffer, count);
  if (n == count) {
    err = 0;
    return count;
  }
  err = LastSystemError();
  return n < 0 ? 0 : static_cast<fci::UINT>(n);
}

int TStreamCabinetFileHandler::CloseCabFile(fci::INT_PTR handle, int& err) {
  auto it = streams_.find(handle);
  if (it == streams_.end()) {
    err = -1;
    return -1;
  }
  const bool ok = it->second->Close();
  streams_.erase(it);
  err = ok ? 0 : LastSystemError();
  return ok ? 0 : -1;
}

long TStreamCabinetFileHandler::SeekCabFile(fci::INT_PTR handle, long distance, int origin,
                                            int& err) {
  platform::File* file = Find(handle);
  if (!file || origin < fci::SEEK_SET_ || origin > fci::SEEK_END_) {
    err = -1;
    return -1;
  }
  if (!file->Seek(distance, static_cast<platform::Origin>(origin))) {
    err = LastSystemError();
    return -1;
  }
  const int64_t position = file->Position();
  err = origin == fci::SEEK_SET_ && position != distance ? LastSystemError() : 0;
  return static_cast<long>(position);
}

int TStreamCabinetFileHandler::DeleteCabFile(const std::string& name, int& err) {
  err = platform::Current().DeleteFile(name) ? 0 : LastSystemError();
  return 0;
}

}  // namespace vix
