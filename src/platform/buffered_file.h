// The buffered file handle both platforms hand out: the buffering policy
// lives here once, over a small set of raw calls each platform supplies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace vix::platform::detail {

// One open system handle. Every call is a single system call (repeated only
// where the system asks for a retry, or to split a count it cannot take at
// once) and leaves the reason for a failure in the system's last error.
class RawFile {
 public:
  virtual ~RawFile() = default;
  // Bytes one call read (0 at the end), or -1.
  virtual int64_t ReadSome(void* buffer, size_t count) = 0;
  // Bytes one call wrote, or -1.
  virtual int64_t WriteSome(const void* data, size_t count) = 0;
  // The new position, or -1.
  virtual int64_t Seek(int64_t distance, Origin origin) = 0;
  // The position, or -1.
  virtual int64_t Tell() = 0;
  virtual int64_t Size() = 0;
  // Cuts the file at the current position.
  virtual bool Truncate() = 0;
  // Releases the handle; called once, and nothing is called after it.
  virtual bool Close() = 0;
  virtual uint32_t DosTime(int which) = 0;
};

// A File that gathers small writes in memory and hands them to the system
// in large pieces (see File for when). Writes of a buffer's size or more
// go to the system directly, after what is already buffered.
class BufferedFile final : public File {
 public:
  // Large enough that the engines' small blocks rarely reach the system.
  static constexpr size_t kBufferSize = 64 * 1024;

  BufferedFile(std::unique_ptr<RawFile> raw, bool writable);
  ~BufferedFile() override;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  int64_t Read(void* buffer, size_t count) override;
  int64_t Write(const void* buffer, size_t count) override;
  bool Seek(int64_t distance, Origin origin) override;
  int64_t Position() override;
  int64_t Size() override;
  bool SetEnd() override;
  bool Flush() override;
  bool Close() override;
  uint32_t DosTime(int which) override;

 private:
  bool FlushBuffer();
  size_t WriteAll(const uint8_t* data, size_t count);

  std::unique_ptr<RawFile> raw_;  // empty once closed
  bool writable_;
  std::vector<uint8_t> buffer_;
  bool failed_ = false;
  int error_ = 0;
  // The system's position, kept here so that asking for it costs no call
  // (the handle comes just opened, at its start); -1 after a failed seek.
  int64_t at_ = 0;
};

// Supplied by each platform, in the system's own codes:
// the calling thread's last error as the system left it (errno,
// GetLastError), the code for a handle that is closed, and the code for a
// write on a handle opened for reading only.
int SystemErrorCode();
int ClosedHandleError();
int NotWritableError();

}  // namespace vix::platform::detail
