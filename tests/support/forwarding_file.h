// A file that forwards every operation to another; a test's double
// overrides the one it changes.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace vix::test {

class ForwardingFile : public platform::File {
 public:
  explicit ForwardingFile(platform::FileHandle inner) : inner_(std::move(inner)) {}
  int64_t Read(void* buffer, size_t count) override { return inner_->Read(buffer, count); }
  int64_t Write(const void* buffer, size_t count) override { return inner_->Write(buffer, count); }
  bool Seek(int64_t distance, platform::Origin origin) override {
    return inner_->Seek(distance, origin);
  }
  int64_t Position() override { return inner_->Position(); }
  int64_t Size() override { return inner_->Size(); }
  bool SetEnd() override { return inner_->SetEnd(); }
  bool Flush() override { return inner_->Flush(); }
  bool Close() override { return inner_->Close(); }
  uint32_t DosTime(int which) override { return inner_->DosTime(which); }

 protected:
  platform::FileHandle inner_;
};

}  // namespace vix::test
