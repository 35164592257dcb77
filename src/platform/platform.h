// The operating-system services the archive components use, in one place.
//
// Everything outside src/platform, src/app/win32 and src/shellext reaches the
// system only through this header. Strings are UTF-8 on both platforms; the
// Windows implementation converts to UTF-16 at the edge.
//
// The services sit behind the abstract class `Platform`. `Current()` returns
// the installed implementation (the real one by default); tests install a
// derived double with `ScopedPlatform` to inject faults (short writes, a
// failing rename, a full disk) or to simulate removable volumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vix::platform {

// ---------------------------------------------------------------------------
// Paths

// How a path is spelled: the delimiter and whether names carry drive letters
// and UNC prefixes. The name helpers take a style so that both spellings can
// be exercised on either platform.
struct PathStyle {
  char Delim;
  bool Drives;
};
inline constexpr PathStyle kWindowsStyle{'\\', true};
inline constexpr PathStyle kPosixStyle{'/', false};
#ifdef _WIN32
inline constexpr PathStyle kNativeStyle = kWindowsStyle;
#else
inline constexpr PathStyle kNativeStyle = kPosixStyle;
#endif

// ---------------------------------------------------------------------------
// Byte streams and file handles

enum class Origin { Begin = 0, Current = 1, End = 2 };

// A readable and writable byte stream. Files and memory blocks both are one.
class Stream {
 public:
  virtual ~Stream() = default;
  // Bytes read (0 at the end), or -1 on a read error.
  virtual int64_t Read(void* buffer, size_t count) = 0;
  // Bytes written; fewer than `count` means the write failed part-way.
  virtual int64_t Write(const void* buffer, size_t count) = 0;
  virtual bool Seek(int64_t distance, Origin origin) = 0;
  virtual int64_t Position() = 0;
  // -1 when the size cannot be read.
  virtual int64_t Size() = 0;
  // Cuts the stream at the current position.
  virtual bool SetEnd() = 0;
  // Hands buffered bytes to the system; false when that failed.
  virtual bool Flush() = 0;
};

// Reads exactly `count` bytes; false when the stream ends or fails first.
bool ReadExactly(Stream& source, void* buffer, size_t count);

// An open file. Writes are buffered inside the handle and handed to the
// system on Seek, Size, SetEnd, Flush and Close, so that the engines' small
// blocks cost no system call each. A failed deferred write makes the next
// operation that flushes fail; Close() reports it too.
class File : public Stream {
 public:
  // Flushes and closes; false when buffered bytes could not be written.
  virtual bool Close() = 0;
  // DOS stamps (local time) of the file's creation (0), last write (1) and
  // last access (2) times.
  virtual uint32_t DosTime(int which) = 0;
};

using FileHandle = std::unique_ptr<File>;

// A stream over a growable block of memory.
class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}
  int64_t Read(void* buffer, size_t count) override;
  int64_t Write(const void* buffer, size_t count) override;
  bool Seek(int64_t distance, Origin origin) override;
  int64_t Position() override { return pos_; }
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  bool SetEnd() override;
  bool Flush() override { return true; }
  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t>& Data() { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Directory search

// Attribute bits (the MS-DOS/Windows values).
enum : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrVolumeId = 0x08,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
  kAttrTemporary = 0x100,
  // Set by the POSIX layer on FIFOs, sockets and devices: reading one could
  // block forever, so the attribute filter rejects anything that carries it.
  // A bit Windows does not use: its 0x400 (reparse point) marks ordinary
  // files too, such as cloud placeholders, which must not be left out.
  kAttrSpecial = 0x40000000,
};
// What GetAttributes returns for a name that does not exist.
inline constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;

// What makes a file the same file under any of its names: device and inode
// on POSIX, volume serial and file index on Windows. Known is false where
// the system gave none; names are then all there is to compare.
struct FileId {
  uint64_t Volume = 0;
  uint64_t Index = 0;
  bool Known = false;
};
inline bool SameFileId(const FileId& a, const FileId& b) {
  return a.Known && b.Known && a.Volume == b.Volume && a.Index == b.Index;
}

// One directory entry as the search returns it.
struct FindData {
  uint32_t Time = 0;      // DOS stamp (local time) of the last write
  uint64_t Size = 0;      // full size; the archive layer takes what it needs
  uint32_t Attr = 0;
  std::string Name;       // file name only
  FileId Id;              // not known from a Windows search
};

// While one lives on a thread, FindFirst there reads each folder's names
// once and looks them up again for every later mask: a run handed
// thousands of names of one folder would otherwise read the whole folder
// for each. For a search that changes nothing in the folders it lists;
// where the system looks a name up itself (Windows), it does nothing.
class ListingSnapshot {
 public:
  ListingSnapshot();
  ~ListingSnapshot();
  ListingSnapshot(const ListingSnapshot&) = delete;
  ListingSnapshot& operator=(const ListingSnapshot&) = delete;
};

// An open directory search; closes itself.
class FindHandle {
 public:
  virtual ~FindHandle() = default;
  // Next entry that matches the mask; false at the end.
  virtual bool Next(FindData& out) = 0;
};

// ---------------------------------------------------------------------------
// Volumes

enum DriveTypeCode : uint8_t {
  kDriveUnknown = 0,
  kDriveNoRoot = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdRom = 5,
  kDriveRamDisk = 6,
};

struct ClusterInfo {
  uint32_t SectorsPerCluster = 0;
  uint32_t BytesPerSector = 0;
  uint32_t FreeClusters = 0;
  uint32_t TotalClusters = 0;
};

// ---------------------------------------------------------------------------
// Time

// A calendar date and time as the Windows time-zone record carries it. In a
// change-date rule Year is 0, Day is the week of the month (1..5, 5 = last)
// and DayOfWeek the weekday (Sunday = 0).
struct SystemTime {
  uint16_t Year = 0, Month = 0, DayOfWeek = 0, Day = 0;
  uint16_t Hour = 0, Minute = 0, Second = 0, Milliseconds = 0;
};

// Biases in minutes: UTC = local + Bias (+ StandardBias or DaylightBias).
struct TimeZoneInfo {
  int32_t Bias = 0;
  SystemTime StandardDate;
  int32_t StandardBias = 0;
  SystemTime DaylightDate;
  int32_t DaylightBias = 0;
};

// ---------------------------------------------------------------------------
// The services

enum class ShareMode { None, Read };

class Platform {
 public:
  virtual ~Platform() = default;

  // Files. An empty handle means failure; LastErrorText() says why.
  virtual FileHandle OpenRead(const std::string& path, ShareMode share);
  virtual FileHandle OpenReadWrite(const std::string& path);
  // overwrite true: create always (truncate); false: fail when it exists.
  virtual FileHandle Create(const std::string& path, bool overwrite);

  // Attributes; -1 (as uint32_t 0xFFFFFFFF) when the name does not exist.
  virtual uint32_t GetAttributes(const std::string& path);
  virtual bool SetAttributes(const std::string& path, uint32_t attr);
  // Moves a file; never replaces `to`. To another volume the file is
  // copied to a temporary name beside `to` and renamed once complete, so
  // that `to` never appears half-written; the original goes last.
  virtual bool MoveFile(const std::string& from, const std::string& to);
  // Renames on one volume, never copying: fails with CrossDeviceError()
  // when the names lie on different volumes. With `replace` an existing
  // `to` is replaced in one step; otherwise the rename fails when it exists.
  virtual bool RenameFile(const std::string& from, const std::string& to, bool replace);
  // The identity of a file (links followed); Known false when unreadable.
  virtual FileId Identity(const std::string& path);
  virtual bool DeleteFile(const std::string& path);
  // Moves a file to the recycle bin (the freedesktop.org Trash on Linux),
  // silently, renaming on collision.
  virtual bool RecycleFile(const std::string& path);
  virtual bool CreateDirectory(const std::string& path);
  virtual bool RemoveDirectory(const std::string& path);

  // Starts a search for `mask` (wildcards "*" and "?", DOS rules) in
  // `folder`. Null when the folder cannot be read or searched, with the
  // system's reason in LastErrorText(). Entries "." and ".." are returned
  // too, as the system does.
  virtual std::unique_ptr<FindHandle> FindFirst(const std::string& folder,
                                                const std::string& mask);

  // The temporary folder with a trailing delimiter; empty when unknown.
  virtual std::string TempFolder();
  // Creates a new empty file named `prefix` + process id + "-" + a unique
  // part + ".tmp" in `folder`; returns its path, or empty on failure. The
  // process id lets a later run tell a file of a live run from one that a
  // killed run left behind.
  virtual std::string UniqueTempFile(const std::string& folder,
                                     const std::string& prefix);
  // Deletes the files UniqueTempFile made in `folder` with `prefix` whose
  // process is gone and that are older than `minAgeSeconds`; files of a
  // live process are never touched. Returns the number deleted.
  virtual int RemoveStaleTempFiles(const std::string& folder, const std::string& prefix,
                                   int minAgeSeconds);
  virtual std::string CurrentDirectory();
  virtual bool SetCurrentDirectory(const std::string& path);
  // Absolute form of `path` (relative to the current directory), with
  // "." and ".." resolved; the name itself is not checked.
  virtual std::string FullPath(const std::string& path);

  // Volumes. `root` is a drive root with its trailing delimiter.
  virtual bool VolumeInformation(const std::string& root, std::string& label);
  virtual uint8_t DriveType(const std::string& root);
  virtual bool DiskFreeSpace(const std::string& root, ClusterInfo& info);
  virtual bool SetVolumeLabel(const std::string& root, const std::string& label);
  // Turns the system's critical-error dialogs off (true) or on; returns the
  // previous mode to restore.
  virtual uint32_t SetCriticalErrorMode(uint32_t mode);

  // Time.
  virtual TimeZoneInfo TimeZone();
  // Milliseconds since some fixed moment (wraps at 2^32).
  virtual uint32_t TickCount();
  // The current local date and time as a DOS stamp.
  virtual uint32_t NowDosStamp();

  // Sets a file's last-write time (seconds since 1970-01-01 UTC).
  virtual bool SetLastWriteTime(const std::string& path, int64_t unixSeconds);

  // The system's text for its last error code (errno / GetLastError).
  virtual std::string LastErrorText();
  // The system's last error code (errno / GetLastError); never 0 after a
  // failure that set none.
  virtual int LastErrorCode();

 protected:
  // Copies a file to another volume for MoveFile (see there).
  bool MoveAcrossVolumes(const std::string& from, const std::string& to);
  // Gives `to` the permissions and last-write time of `from`.
  virtual void CopyFileMetadata(const std::string& from, const std::string& to);
};

// The system's error codes for a rename between volumes (EXDEV,
// ERROR_NOT_SAME_DEVICE), a full disk (ENOSPC, ERROR_DISK_FULL) and a name
// that exists (EEXIST, ERROR_ALREADY_EXISTS).
int CrossDeviceError();
int DiskFullError();
int FileExistsError();
// The process id in a name UniqueTempFile made with `prefix`; 0 for any
// other name.
long TempFileOwner(const std::string& name, const std::string& prefix);
// Sets the system's last error code (errno / SetLastError).
void SetLastErrorCode(int code);


// A shared library loaded by name; unloaded when the object goes.
class SharedLibrary {
 public:
  virtual ~SharedLibrary() = default;
  // The address of an exported function, or null.
  virtual void* Proc(const char* name) = 0;
};

// Loads a library from the system's search path, with the system's
// critical-error dialogs off; null when it cannot be loaded.
std::unique_ptr<SharedLibrary> LoadSharedLibrary(const std::string& name);

// The installed services.
Platform& Current();

// Keeps the system's last error code across clean-up calls.
class KeepLastError {
 public:
  KeepLastError() : saved_(Current().LastErrorCode()) {}
  ~KeepLastError() { SetLastErrorCode(saved_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  int saved_;
};

// Installs a replacement for the lifetime of the object (tests).
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& replacement);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

// Restores the critical-error mode on every path.
class CriticalErrorsOff {
 public:
  CriticalErrorsOff();
  ~CriticalErrorsOff();
  CriticalErrorsOff(const CriticalErrorsOff&) = delete;
  CriticalErrorsOff& operator=(const CriticalErrorsOff&) = delete;

 private:
  uint32_t previous_;
};

// ---------------------------------------------------------------------------
// Code pages (UTF-8 inside the program)

// The OEM code page stored names are converted to: GetOEMCP() on Windows;
// on Linux 932 unless VIX_OEMCP names another page or "UTF-8" (65001).
unsigned OemCodePage();
// The ANSI code page of texts that leave the program (65001 on Linux).
unsigned AnsiCodePage();
// UTF-8 to a code page; characters the page cannot hold become "_".
std::string Utf8ToCodePage(const std::string& text, unsigned codePage);
// A code page to UTF-8; undecodable bytes become U+FFFD.
std::string CodePageToUtf8(const std::string& text, unsigned codePage);
inline std::string Utf8ToOem(const std::string& t) { return Utf8ToCodePage(t, OemCodePage()); }
inline std::string OemToUtf8(const std::string& t) { return CodePageToUtf8(t, OemCodePage()); }
inline std::string Utf8ToAnsi(const std::string& t) { return Utf8ToCodePage(t, AnsiCodePage()); }
inline std::string AnsiToUtf8(const std::string& t) { return CodePageToUtf8(t, AnsiCodePage()); }

// ---------------------------------------------------------------------------
// The running program (front ends)

// The program's own full path; empty when the system does not say.
std::string ProgramPath();
// An environment variable in UTF-8; empty when it is not set.
std::string EnvironmentVariable(const std::string& name);
// The program's arguments in UTF-8, the program name first: on Windows read
// from the wide command line (so any name survives), elsewhere argv.
std::vector<std::string> ProgramArguments(int argc, char** argv);
// Special folders by their CSIDL number. Linux: 16 the XDG desktop folder,
// 26 the XDG configuration folder. Empty when it cannot be resolved.
inline constexpr int kCsidlDesktopDirectory = 16;
inline constexpr int kCsidlAppData = 26;
std::string SpecialFolderPath(int csidl);

// Terminals: 0 standard input, 1 output, 2 error.
bool IsTerminal(int stream);
// Columns of the terminal on standard error; 80 when unknown.
int TerminalColumns();
// Reads one line from the terminal without echo; false at the end of input.
bool ReadSecretLine(std::string& line);
// Reads one line from standard input; gives up (false) when `stop` turns
// true while waiting, or at the end of input.
bool ReadLineUnless(std::string& line, const std::function<bool()>& stop);

// ---------------------------------------------------------------------------
// User-interface hooks, installed by the front end. The defaults do nothing
// and give the safe answer (No, Cancel), which is also what tests get unless
// they script an answer.

enum class MsgIcon { None, Information, Warning, Stop, Question };
enum class Answer { Ok, Yes, No, Retry, Cancel };

struct UiHooks {
  std::function<void()> PumpMessages;
  std::function<void(const std::string& text, const std::string& caption, MsgIcon)> MessageBox;
  std::function<Answer(const std::string& text, const std::string& caption)> AskYesNo;
  std::function<Answer(const std::string& text, const std::string& caption)> AskRetryCancel;
};

UiHooks& Ui();
void PumpMessages();
void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon);
bool AskYesNo(const std::string& text, const std::string& caption);       // true for Yes
bool AskRetryCancel(const std::string& text, const std::string& caption); // true for Retry
// The application's title, used as the caption of questions.
std::string& ApplicationTitle();

}  // namespace vix::platform
