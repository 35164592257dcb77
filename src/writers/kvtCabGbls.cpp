#include "writers/kvtCabGbls.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "writers/cabinet/cabformat.h"

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

namespace {
// What CabinetHonoursType learnt of the bound library, by type word.
std::mutex gHonouredLock;
std::map<fci::TCOMP, bool> gHonoured;

void ForgetHonoured() {
  std::lock_guard<std::mutex> lock(gHonouredLock);
  gHonoured.clear();
}
}  // namespace

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
  ForgetHonoured();
#ifdef _WIN32
  gLibrary.reset();
#endif
}

void BindCabinetEntries(const TCabinetEntryPoints& entries) {
  FreeCabinetLibrary();
  if (!entries.FCICreate || !entries.FCIAddFile || !entries.FCIFlushCabinet ||
      !entries.FCIFlushFolder || !entries.FCIDestroy)
    return;
  CabinetEntries = entries;
  CabinetAvailable = true;
}

const TCabinetEntryPoints& BuiltinCabinetEntries() {
  static constexpr TCabinetEntryPoints kBuiltin = {fci::FCICreate, fci::FCIAddFile,
                                                   fci::FCIFlushCabinet, fci::FCIFlushFolder,
                                                   fci::FCIDestroy};
  return kBuiltin;
}

bool CabinetIsBuiltin() {
  const TCabinetEntryPoints& builtin = BuiltinCabinetEntries();
  return CabinetAvailable && CabinetEntries.FCICreate == builtin.FCICreate &&
         CabinetEntries.FCIAddFile == builtin.FCIAddFile &&
         CabinetEntries.FCIFlushCabinet == builtin.FCIFlushCabinet &&
         CabinetEntries.FCIFlushFolder == builtin.FCIFlushFolder &&
         CabinetEntries.FCIDestroy == builtin.FCIDestroy;
}

namespace {
StartupBinding gStartupBinding;

// --- the probe cabinet ------------------------------------------------------

// Files in memory for the probe: the source, the library's temporary files
// and the cabinet. Nothing touches the disk.
class ProbeFiles {
 public:
  static constexpr const char* kSource = "probe.txt";
  static constexpr const char* kCabinet = "probe.cab";

  ProbeFiles() {
    // Text that every method shrinks, in more than one block.
    static const char kLine[] = "The quick folder holds a cabinet of compressed words.\r\n";
    std::vector<uint8_t>& source = files_[kSource];
    while (source.size() < 40000) source.insert(source.end(), kLine, kLine + sizeof kLine - 1);
  }
  const std::vector<uint8_t>* File(const std::string& name) const {
    auto it = files_.find(name);
    return it == files_.end() ? nullptr : &it->second;
  }

  static ProbeFiles& Of(void* pv) { return *static_cast<ProbeFiles*>(pv); }

  static void* VIX_DIAMONDAPI Alloc(fci::ULONG cb) { return std::malloc(cb ? cb : 1); }
  static void VIX_DIAMONDAPI Free(void* memory) { std::free(memory); }
  static int VIX_DIAMONDAPI Placed(fci::PCCAB, char*, long, fci::BOOL, void*) { return 0; }
  static fci::INT_PTR VIX_DIAMONDAPI Open(char* name, int flags, int, int* err, void* pv) {
    ProbeFiles& self = Of(pv);
    if (flags & fci::O_CREAT_) self.files_[name].clear();
    if (!self.files_.count(name)) {
      *err = 2;
      return -1;
    }
    const fci::INT_PTR handle = self.next_++;
    self.open_[handle] = {name, 0};
    return handle;
  }
  static fci::UINT VIX_DIAMONDAPI Read(fci::INT_PTR hf, void* memory, fci::UINT cb, int* err,
                                       void* pv) {
    OpenFile* f = Of(pv).Find(hf, err);
    if (!f) return static_cast<fci::UINT>(-1);
    const std::vector<uint8_t>& data = Of(pv).files_[f->name];
    const size_t n = f->at < data.size() ? std::min<size_t>(cb, data.size() - f->at) : 0;
    if (n) std::memcpy(memory, data.data() + f->at, n);
    f->at += n;
    return static_cast<fci::UINT>(n);
  }
  static fci::UINT VIX_DIAMONDAPI Write(fci::INT_PTR hf, void* memory, fci::UINT cb, int* err,
                                        void* pv) {
    OpenFile* f = Of(pv).Find(hf, err);
    if (!f) return 0;
    std::vector<uint8_t>& data = Of(pv).files_[f->name];
    if (data.size() < f->at + cb) data.resize(f->at + cb);
    if (cb) std::memcpy(data.data() + f->at, memory, cb);
    f->at += cb;
    return cb;
  }
  static int VIX_DIAMONDAPI Close(fci::INT_PTR hf, int* err, void* pv) {
    if (!Of(pv).Find(hf, err)) return -1;
    Of(pv).open_.erase(hf);
    return 0;
  }
  static long VIX_DIAMONDAPI Seek(fci::INT_PTR hf, long dist, int type, int* err, void* pv) {
    OpenFile* f = Of(pv).Find(hf, err);
    if (!f) return -1;
    const long size = static_cast<long>(Of(pv).files_[f->name].size());
    const long base = type == fci::SEEK_CUR_ ? static_cast<long>(f->at)
                      : type == fci::SEEK_END_ ? size
                                               : 0;
    if (base + dist < 0) {
      *err = 22;
      return -1;
    }
    f->at = static_cast<size_t>(base + dist);
    return static_cast<long>(f->at);
  }
  static int VIX_DIAMONDAPI Delete(char* name, int*, void* pv) {
    Of(pv).files_.erase(name);
    return 0;
  }
  static fci::BOOL VIX_DIAMONDAPI TempName(char* buffer, int size, void* pv) {
    const std::string name = "probe" + std::to_string(Of(pv).temps_++) + ".tmp";
    if (static_cast<int>(name.size()) >= size) return 0;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return 1;
  }
  static fci::BOOL VIX_DIAMONDAPI NoNextCabinet(fci::PCCAB, fci::ULONG, void*) { return 0; }
  static long VIX_DIAMONDAPI Status(fci::UINT, fci::ULONG, fci::ULONG, void*) { return 0; }
  static fci::INT_PTR VIX_DIAMONDAPI OpenInfo(char* name, fci::USHORT* date, fci::USHORT* time,
                                              fci::USHORT* attribs, int* err, void* pv) {
    *date = 0x5A21;  // a fixed stamp: the probe's bytes never vary
    *time = 0;
    *attribs = fci::A_ARCH;
    return Open(name, 0, 0, err, pv);
  }

 private:
  struct OpenFile {
    std::string name;
    size_t at;
  };
  OpenFile* Find(fci::INT_PTR hf, int* err) {
    auto it = open_.find(hf);
    if (it != open_.end()) return &it->second;
    *err = 9;
    return nullptr;
  }
  std::map<std::string, std::vector<uint8_t>> files_;
  std::map<fci::INT_PTR, OpenFile> open_;
  fci::INT_PTR next_ = 1;
  int temps_ = 0;
};

// Has the bound library write one small file with `type` into a cabinet in
// memory; true when it did and every folder it wrote is of that type.
bool ProbeType(fci::TCOMP type) {
  ProbeFiles files;
  fci::ERF erf{};
  TCCAB params;
  std::memset(&params, 0, sizeof params);
  params.cb = fci::CB_MAX_DISK;
  params.cbFolderThresh = fci::CB_MAX_DISK;
  std::memcpy(params.szCab, ProbeFiles::kCabinet, std::strlen(ProbeFiles::kCabinet));
  const TCabinetEntryPoints& lib = CabinetEntries;
  fci::HFCI context = lib.FCICreate(&erf, ProbeFiles::Placed, ProbeFiles::Alloc, ProbeFiles::Free,
                                    ProbeFiles::Open, ProbeFiles::Read, ProbeFiles::Write,
                                    ProbeFiles::Close, ProbeFiles::Seek, ProbeFiles::Delete,
                                    ProbeFiles::TempName, &params, &files);
  if (!context) return false;
  std::string source = ProbeFiles::kSource, stored = ProbeFiles::kSource;
  bool ok = lib.FCIAddFile(context, source.data(), stored.data(), 0, ProbeFiles::NoNextCabinet,
                           ProbeFiles::Status, ProbeFiles::OpenInfo, type) != 0 &&
            lib.FCIFlushCabinet(context, 0, ProbeFiles::NoNextCabinet, ProbeFiles::Status) != 0;
  lib.FCIDestroy(context);
  const std::vector<uint8_t>* cabinet = files.File(ProbeFiles::kCabinet);
  std::vector<fci::TCOMP> types;
  ok = ok && cabinet && ReadFolderTypes(cabinet->data(), cabinet->size(), types) && !types.empty();
  for (fci::TCOMP written : types) ok = ok && FolderTypeMatches(type, written);
  return ok;
}

}  // namespace

bool CabinetHonoursType(fci::TCOMP type) {
  if (!CabinetAvailable) return false;
  if (CabinetIsBuiltin()) return true;
  std::lock_guard<std::mutex> lock(gHonouredLock);
  auto known = gHonoured.find(type);
  if (known != gHonoured.end()) return known->second;
  const bool honoured = ProbeType(type);
  gHonoured[type] = honoured;
  return honoured;
}

bool FolderTypeMatches(fci::TCOMP asked, fci::TCOMP written) {
  const fci::TCOMP kind = asked & fci::tcompMASK_TYPE;
  fci::TCOMP mask = fci::tcompMASK_TYPE;
  if (kind == fci::tcompTYPE_LZX) mask |= fci::tcompMASK_LZX_WINDOW;
  if (kind == fci::tcompTYPE_QUANTUM) mask |= fci::tcompMASK_QUANTUM_MEM;
  return (asked & mask) == (written & mask);
}

bool ReadFolderTypes(const uint8_t* data, size_t size, std::vector<fci::TCOMP>& types) {
  using namespace cab;
  types.clear();
  if (size < kHdrSize || std::memcmp(data, "MSCF", 4) != 0) return false;
  const uint16_t flags = GetLE16(data + kHdrFlags);
  const unsigned folders = GetLE16(data + kHdrFolderCount);
  size_t at = kHdrSize;
  size_t folderReserve = 0;
  if (flags & kFlagReservePresent) {
    if (size < kHdrSize + kHdrReserveFieldsSize) return false;
    folderReserve = data[kHdrReserveFolderSize];
    at += kHdrReserveFieldsSize + GetLE16(data + kHdrReserveHeaderSize);
  }
  // The names of the previous and the next cabinet and their disks.
  const int names = ((flags & kFlagPrevCabinet) ? 2 : 0) + ((flags & kFlagNextCabinet) ? 2 : 0);
  for (int i = 0; i < names; ++i) {
    const void* end = at < size ? std::memchr(data + at, 0, size - at) : nullptr;
    if (!end) return false;
    at = static_cast<const uint8_t*>(end) - data + 1;
  }
  const size_t step = kFolderSize + folderReserve;
  if (at > size || (size - at) / step < folders) return false;
  for (unsigned i = 0; i < folders; ++i, at += step)
    types.push_back(GetLE16(data + at + kFolderCompression));
  return true;
}

bool ReadFolderTypes(const std::string& path, std::vector<fci::TCOMP>& types) {
  types.clear();
  auto file = platform::Current().OpenRead(path, platform::ShareMode::Read);
  if (!file) return false;
  uint8_t header[cab::kHdrSize];
  if (file->Read(header, sizeof header) != static_cast<int64_t>(sizeof header)) return false;
  // Everything before the first file entry: the header, its reserve, the
  // cabinet names and the folder table.
  const uint32_t before = GetLE32(header + cab::kHdrFilesOffset);
  const int64_t size = file->Size();
  if (before < sizeof header || before > size) return false;
  std::vector<uint8_t> head(before);
  if (!file->Seek(0, platform::Origin::Begin) ||
      file->Read(head.data(), before) != static_cast<int64_t>(before))
    return false;
  return ReadFolderTypes(head.data(), head.size(), types);
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
