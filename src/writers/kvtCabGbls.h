// The cabinet library binding and the file handlers through which the
// library does its file input and output.
//
// The library ("cabinet.dll") is bound by name at program start: on Windows
// the system's own, elsewhere the built-in one of writers/cabinet. Callers
// see the same five entry points either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/kvtComponent.h"
#include "platform/platform.h"
#include "writers/cabinet/fci.h"

namespace vix {

using TCCAB = fci::CCAB;

// The five entry points of the bound library. While no library is bound
// they are substitutes that do nothing: create gives no context, the others
// report success.
struct TCabinetEntryPoints {
  fci::PFNFCICREATE FCICreate;
  fci::PFNFCIADDFILE FCIAddFile;
  fci::PFNFCIFLUSHCABINET FCIFlushCabinet;
  fci::PFNFCIFLUSHFOLDER FCIFlushFolder;
  fci::PFNFCIDESTROY FCIDestroy;
};
extern TCabinetEntryPoints CabinetEntries;
// True while a library with all five entry points is bound.
extern bool CabinetAvailable;

// The library's file name.
inline constexpr const char* kCabinetLibraryName = "cabinet.dll";

// Binds the library of that name (done once at program start with the
// default). A library that is missing or lacks an entry point leaves the
// substitutes bound and CabinetAvailable false. Returns CabinetAvailable.
bool LoadCabinetLibrary(const char* name = kCabinetLibraryName);
// Releases the bound library and restores the substitutes.
void FreeCabinetLibrary();
// Binds entry points of the program's own making (a test's stand-in for a
// system library); CabinetAvailable says whether all five were given.
void BindCabinetEntries(const TCabinetEntryPoints& entries);

// The built-in library of writers/cabinet, on every platform: where the
// system's library does not write a type it was asked for, the built-in one
// writes the run instead.
const TCabinetEntryPoints& BuiltinCabinetEntries();
// Whether the bound library is the built-in one.
bool CabinetIsBuiltin();
// Whether the bound library writes folders of the type `type` asks for.
// The built-in one writes every type it accepts as asked. A system library
// may accept a type it cannot write and store the data instead, reporting
// success (Wine's does for LZX and Quantum), so it is asked once per type
// word to write a small cabinet in memory, and the folder it wrote is read
// back. A library that refuses the type does not honour it either.
bool CabinetHonoursType(fci::TCOMP type);
// Whether a folder written with the type word `written` is what `asked`
// asks for: the same type, and the same window for LZX and Quantum.
bool FolderTypeMatches(fci::TCOMP asked, fci::TCOMP written);
// The type words of the folders of a cabinet, from its first bytes (those
// before its first file entry suffice); false when they are not a cabinet's.
bool ReadFolderTypes(const uint8_t* data, size_t size, std::vector<fci::TCOMP>& types);
// The same from a cabinet file; false also when it cannot be read.
bool ReadFolderTypes(const std::string& path, std::vector<fci::TCOMP>& types);

// A failed cabinet library call: its operation error and its detail.
class ECabinetError : public std::runtime_error {
 public:
  ECabinetError(int errorCode, int errorType);
  int32_t ErrorCode;
  int32_t ErrorType;
};

// The system's number for its last error (GetLastError on Windows, errno
// elsewhere); never 0, so that a failure always carries a number.
int LastSystemError();

// File access for the cabinet library. Handles are never -1; failures give
// -1 (or 0 bytes) with the error number in `err`.
class TCabinetFileHandler : public TComponent {
 public:
  using TComponent::TComponent;
  // `flags` are the C run-time open flags the library passes (fci::O_*_).
  virtual fci::INT_PTR OpenCabFile(const std::string& name, int flags, int& err) = 0;
  virtual fci::UINT ReadCabFile(fci::INT_PTR handle, void* buffer, fci::UINT count, int& err) = 0;
  virtual fci::UINT WriteCabFile(fci::INT_PTR handle, const void* buffer, fci::UINT count,
                                 int& err) = 0;
  virtual int CloseCabFile(fci::INT_PTR handle, int& err) = 0;
  virtual long SeekCabFile(fci::INT_PTR handle, long distance, int origin, int& err) = 0;
  virtual int DeleteCabFile(const std::string& name, int& err) = 0;
};

// The file handler over the platform's file streams. It owns every stream it
// opened; destroying it closes those still open.
class TStreamCabinetFileHandler : public TCabinetFileHandler {
 public:
  using TCabinetFileHandler::TCabinetFileHandler;
  ~TStreamCabinetFileHandler() override;

  // With the create flag the file is created anew (replacing a file of that
  // name); otherwise it is opened read-write with O_RDWR or O_WRONLY, else
  // for reading, shared unless O_EXCL is given.
  fci::INT_PTR OpenCabFile(const std::string& name, int flags, int& err) override;
  // A read error gives (UINT)-1 rather than 0, which the library would take
  // for the end of the file.
  fci::UINT ReadCabFile(fci::INT_PTR handle, void* buffer, fci::UINT count, int& err) override;
  fci::UINT WriteCabFile(fci::INT_PTR handle, const void* buffer, fci::UINT count,
                         int& err) override;
  // Closing hands the stream's buffered bytes to the system; when that
  // fails the result is -1, so that a cabinet cut short is not taken for
  // a complete one.
  int CloseCabFile(fci::INT_PTR handle, int& err) override;
  long SeekCabFile(fci::INT_PTR handle, long distance, int origin, int& err) override;
  int DeleteCabFile(const std::string& name, int& err) override;

  // The open stream of a handle, or null.
  platform::File* Find(fci::INT_PTR handle) const;
  size_t OpenCount() const { return streams_.size(); }

 private:
  std::map<fci::INT_PTR, platform::FileHandle> streams_;
  fci::INT_PTR nextHandle_ = 1;
};

}  // namespace vix
