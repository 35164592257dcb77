// The File Compression Interface (FCI) of the platform's cabinet library:
// its types, callback signatures and five entry points, as the published
// interface documentation describes them.
//
// On Windows the writer binds these entry points from the system's
// "cabinet.dll" by name, so the types here must match that library's binary
// interface: __cdecl calls, 32-bit ULONG and long, structures whose fields
// need no padding. The same five entry points are implemented by the
// built-in library in this folder (elsewhere the only one; on Windows it
// writes the types the system's library does not), which does all its file input and
// output and its memory allocation through the caller's callbacks.
#pragma once

#include <cstdint>

#ifdef _WIN32
#define VIX_DIAMONDAPI __cdecl
#else
#define VIX_DIAMONDAPI
#endif

namespace vix::fci {

using BOOL = int;
using UINT = unsigned int;
using ULONG = uint32_t;
using USHORT = uint16_t;
using INT_PTR = intptr_t;
using TCOMP = unsigned short;
using HFCI = void*;

// Error record; the library keeps the pointer it was given at creation and
// fills it whenever a call fails.
struct ERF {
  int erfOper;  // one of the FCIERR_ values
  int erfType;  // detail: usually the C run-time error number of the failure
  BOOL fError;  // TRUE when the record holds an error
};
using PERF = ERF*;

enum : int {
  FCIERR_NONE = 0,
  FCIERR_OPEN_SRC = 1,          // the file to be stored could not be opened
  FCIERR_READ_SRC = 2,          // ... could not be read
  FCIERR_ALLOC_FAIL = 3,        // out of memory
  FCIERR_TEMP_FILE = 4,         // a temporary file could not be created or used
  FCIERR_BAD_COMPR_TYPE = 5,    // unknown or unsupported compression type
  FCIERR_CAB_FILE = 6,          // the cabinet could not be created or written
  FCIERR_USER_ABORT = 7,        // a callback asked to stop
  FCIERR_MCI_FAIL = 8,          // the compressor failed
  FCIERR_CAB_FORMAT_LIMIT = 9,  // a size or count beyond what the format holds
};

inline constexpr int CB_MAX_CHUNK = 32768;           // uncompressed bytes per data block
inline constexpr uint32_t CB_MAX_DISK = 0x7FFFFFFF;  // largest cabinet
inline constexpr int CB_MAX_FILENAME = 256;          // buffers hold 255 bytes + NUL
inline constexpr int CB_MAX_CABINET_NAME = 256;
inline constexpr int CB_MAX_CAB_PATH = 256;
inline constexpr int CB_MAX_DISK_NAME = 256;

// Cabinet parameters. The file written is szCabPath followed by szCab, so a
// non-empty szCabPath ends with the path delimiter.
struct CCAB {
  ULONG cb;                // largest size of one cabinet; 0 means CB_MAX_DISK
  ULONG cbFolderThresh;    // a folder is closed once it holds this many bytes
  UINT cbReserveCFHeader;  // 0..60000 application bytes in the header
  UINT cbReserveCFFolder;  // 0..255 per folder
  UINT cbReserveCFData;    // 0..255 per data block
  int iCab;                // sequence number of the cabinet, kept by the caller
  int iDisk;
  int fFailOnIncompressible;
  USHORT setID;  // shared by every cabinet of one set
  char szDisk[CB_MAX_DISK_NAME];
  char szCab[CB_MAX_CABINET_NAME];
  char szCabPath[CB_MAX_CAB_PATH];
};
using PCCAB = CCAB*;

// Compression type words: type in bits 0-3, Quantum level in bits 4-7, LZX
// window bits or Quantum memory bits in bits 8-12.
enum : TCOMP {
  tcompMASK_TYPE = 0x000F,
  tcompTYPE_NONE = 0x0000,
  tcompTYPE_MSZIP = 0x0001,
  tcompTYPE_QUANTUM = 0x0002,
  tcompTYPE_LZX = 0x0003,
  tcompBAD = 0x000F,
  tcompMASK_LZX_WINDOW = 0x1F00,
  tcompLZX_WINDOW_LO = 0x0F00,
  tcompLZX_WINDOW_HI = 0x1500,
  tcompSHIFT_LZX_WINDOW = 8,
  tcompMASK_QUANTUM_LEVEL = 0x00F0,
  tcompQUANTUM_LEVEL_LO = 0x0010,
  tcompQUANTUM_LEVEL_HI = 0x0070,
  tcompSHIFT_QUANTUM_LEVEL = 4,
  tcompMASK_QUANTUM_MEM = 0x1F00,
  tcompQUANTUM_MEM_LO = 0x0A00,
  tcompQUANTUM_MEM_HI = 0x1500,
  tcompSHIFT_QUANTUM_MEM = 8,
  tcompMASK_RESERVED = 0xE000,
};
constexpr TCOMP TCOMPfromLZXWindow(int bits) {
  return static_cast<TCOMP>((bits << tcompSHIFT_LZX_WINDOW) | tcompTYPE_LZX);
}
constexpr TCOMP TCOMPfromTypeLevelMemory(int type, int level, int memory) {
  return static_cast<TCOMP>((memory << tcompSHIFT_QUANTUM_MEM) |
                            (level << tcompSHIFT_QUANTUM_LEVEL) | type);
}

// File attributes stored with each file.
enum : USHORT {
  A_RDONLY = 0x01,
  A_HIDDEN = 0x02,
  A_SYSTEM = 0x04,
  A_ARCH = 0x20,
  A_EXEC = 0x40,         // run after extraction (FCIAddFile's fExecute)
  A_NAME_IS_UTF = 0x80,  // the stored name is UTF-8
};

// Flags of the open callback, with the C run-time's values.
enum : int {
  O_RDONLY_ = 0x0000,
  O_WRONLY_ = 0x0001,
  O_RDWR_ = 0x0002,
  O_APPEND_ = 0x0008,
  O_CREAT_ = 0x0100,
  O_TRUNC_ = 0x0200,
  O_EXCL_ = 0x0400,
  O_BINARY_ = 0x8000,
  S_IREAD_ = 0x0100,
  S_IWRITE_ = 0x0080,
};
// Origins of the seek callback.
enum : int { SEEK_SET_ = 0, SEEK_CUR_ = 1, SEEK_END_ = 2 };

// Kinds of the status callback.
enum : UINT {
  statusFile = 0,     // a data block was compressed: cb1 compressed, cb2 uncompressed size
  statusFolder = 1,   // folder data copied into the cabinet: cb1 so far, cb2 total
  statusCabinet = 2,  // a cabinet was written: cb1 estimate, cb2 actual size
};

// Callbacks. `pv` is the context pointer given to FCICreate. Failures are
// returned as -1 (or 0 bytes, or FALSE) with the error number in *err.
using PFNFCIFILEPLACED = int(VIX_DIAMONDAPI*)(PCCAB pccab, char* pszFile, long cbFile,
                                              BOOL fContinuation, void* pv);
using PFNFCIALLOC = void*(VIX_DIAMONDAPI*)(ULONG cb);
using PFNFCIFREE = void(VIX_DIAMONDAPI*)(void* memory);
using PFNFCIOPEN = INT_PTR(VIX_DIAMONDAPI*)(char* pszFile, int oflag, int pmode, int* err,
                                            void* pv);
using PFNFCIREAD = UINT(VIX_DIAMONDAPI*)(INT_PTR hf, void* memory, UINT cb, int* err, void* pv);
using PFNFCIWRITE = UINT(VIX_DIAMONDAPI*)(INT_PTR hf, void* memory, UINT cb, int* err, void* pv);
using PFNFCICLOSE = int(VIX_DIAMONDAPI*)(INT_PTR hf, int* err, void* pv);
using PFNFCISEEK = long(VIX_DIAMONDAPI*)(INT_PTR hf, long dist, int seektype, int* err, void* pv);
using PFNFCIDELETE = int(VIX_DIAMONDAPI*)(char* pszFile, int* err, void* pv);
using PFNFCIGETTEMPFILE = BOOL(VIX_DIAMONDAPI*)(char* pszTempName, int cbTempName, void* pv);
using PFNFCIGETNEXTCABINET = BOOL(VIX_DIAMONDAPI*)(PCCAB pccab, ULONG cbPrevCab, void* pv);
using PFNFCISTATUS = long(VIX_DIAMONDAPI*)(UINT typeStatus, ULONG cb1, ULONG cb2, void* pv);
using PFNFCIGETOPENINFO = INT_PTR(VIX_DIAMONDAPI*)(char* pszName, USHORT* pdate, USHORT* ptime,
                                                   USHORT* pattribs, int* err, void* pv);

// The five entry points, as pointer types for binding by name.
using PFNFCICREATE = HFCI(VIX_DIAMONDAPI*)(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna,
                                           PFNFCIFREE pfnf, PFNFCIOPEN pfnopen, PFNFCIREAD pfnread,
                                           PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
                                           PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete,
                                           PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab, void* pv);
using PFNFCIADDFILE = BOOL(VIX_DIAMONDAPI*)(HFCI hfci, char* pszSourceFile, char* pszFileName,
                                            BOOL fExecute, PFNFCIGETNEXTCABINET pfnfcignc,
                                            PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                                            TCOMP typeCompress);
using PFNFCIFLUSHCABINET = BOOL(VIX_DIAMONDAPI*)(HFCI hfci, BOOL fGetNextCab,
                                                 PFNFCIGETNEXTCABINET pfnfcignc,
                                                 PFNFCISTATUS pfnfcis);
using PFNFCIFLUSHFOLDER = BOOL(VIX_DIAMONDAPI*)(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc,
                                                PFNFCISTATUS pfnfcis);
using PFNFCIDESTROY = BOOL(VIX_DIAMONDAPI*)(HFCI hfci);

// The built-in library.
//
// FCICreate makes a context that writes one cabinet at a time; NULL with
// *perf filled on failure. FCIAddFile appends a file to the current folder
// (a different type word starts a new folder); it supports NONE, MSZIP and
// LZX with a window of 15 to 21 bits, one 32 KiB frame per data block, and
// fails with FCIERR_BAD_COMPR_TYPE for Quantum and for any type word with
// parameter bits its type does not use.
// A file that fails is taken out whole: the folder is as it was before the
// call, except that blocks of earlier files may have been written meanwhile
// (the last blocks of a file are written while later ones are added, so a
// write error or a stop from the status callback met there fails the call
// being made, and the block stays for a later call).
// FCIFlushFolder closes the current folder; FCIFlushCabinet writes the
// cabinet (nothing when no file was added); FCIDestroy frees the context and
// deletes its temporary files.
HFCI FCICreate(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
               PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
               PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab,
               void* pv);
BOOL FCIAddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, BOOL fExecute,
                PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                TCOMP typeCompress);
BOOL FCIFlushCabinet(HFCI hfci, BOOL fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                     PFNFCISTATUS pfnfcis);
BOOL FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis);
BOOL FCIDestroy(HFCI hfci);

// Sets how many threads the built-in library's context compresses a
// folder's MSZIP blocks on: 0 (the default) every core, 1 the calling thread
// alone. The cabinet's bytes, and the order of the callbacks, are the same
// whatever the count; every callback is made on the calling thread. Only for
// a context FCICreate above made (not a system library's); FALSE for any
// other handle.
BOOL SetBuiltinThreads(HFCI hfci, unsigned threads);

// The built-in library's export table: the entry point of that name
// ("FCICreate", ...), or null, as a library loader would give it.
void* BuiltinProcAddress(const char* name);

}  // namespace vix::fci
