// Input and output plumbing shared by the verifier's decoders: random
// access to an archive (a file or memory), a pulled byte source over a
// range of it, and the output window that keeps the history matches reach
// into while handing finished bytes to a sink (a CRC, a file splitter).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/platform.h"

namespace vix::verify {

class RandomAccess {
 public:
  virtual ~RandomAccess() = default;
  virtual uint64_t Size() const = 0;
  // False when the range is not wholly inside the data or cannot be read.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t count) = 0;
};

class MemoryAccess : public RandomAccess {
 public:
  MemoryAccess(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t count) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

class StreamAccess : public RandomAccess {
 public:
  explicit StreamAccess(platform::Stream& stream);
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t count) override;

 private:
  platform::Stream& stream_;
  uint64_t size_ = 0;
  uint64_t position_ = UINT64_MAX;  // where the stream stands, when known
};

// Bytes of [offset, offset + length) of a RandomAccess, pulled in chunks.
class ByteSource {
 public:
  ByteSource(RandomAccess& file, uint64_t offset, uint64_t length);
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // False at the end of the range or when it cannot be read (see Failed).
  bool Next(uint8_t& byte) {
    if (p_ == end_ && !Refill()) return false;
    byte = *p_++;
    return true;
  }
  // Copies up to `count` bytes; returns how many.
  size_t Read(uint8_t* buffer, size_t count);
  uint64_t Consumed() const { return consumed_ - static_cast<uint64_t>(end_ - p_); }
  uint64_t Left() const { return length_ - Consumed(); }
  bool Failed() const { return failed_; }
  // Applied to every piece read, in order (the ZIP decryption).
  std::function<void(uint8_t* data, size_t size)> Transform;

 private:
  bool Refill();

  RandomAccess& file_;
  uint64_t offset_, length_, consumed_ = 0;
  std::vector<uint8_t> buffer_;
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  bool failed_ = false;
};

using ByteSink = std::function<void(const uint8_t* data, size_t size)>;

// Decoded bytes: the last `reach` of them stay for back-references, the
// rest are handed to the sink in large pieces.
class OutputWindow {
 public:
  OutputWindow(size_t reach, ByteSink sink);

  void Put(uint8_t byte) {
    buffer_.push_back(byte);
    if (buffer_.size() >= limit_) Drain();
  }
  void Append(const uint8_t* data, size_t size);
  // Repeats `length` bytes from `distance` back; false when that reaches
  // before the first byte of the stream.
  bool Copy(uint32_t distance, uint32_t length);
  // Bytes available to a back-reference.
  size_t History() const { return buffer_.size(); }
  uint64_t Total() const { return dropped_ + buffer_.size(); }
  // Hands every byte decoded so far to the sink.
  void Flush();

 private:
  void Drain();

  size_t reach_, limit_;
  ByteSink sink_;
  std::vector<uint8_t> buffer_;
  size_t handed_ = 0;      // bytes of buffer_ already given to the sink
  uint64_t dropped_ = 0;   // bytes no longer in buffer_
};

// A running CRC-32 (ISO-HDLC) and byte count.
struct CrcCounter {
  uint32_t State = 0xFFFFFFFFu;
  uint64_t Bytes = 0;
  void Add(const uint8_t* data, size_t size);
  uint32_t Value() const { return State ^ 0xFFFFFFFFu; }
};

}  // namespace vix::verify
