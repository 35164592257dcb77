// Sets an environment variable, or the time zone, for one test and restores
// it (POSIX).
#pragma once
#ifndef _WIN32

#include <stdlib.h>
#include <time.h>

#include <functional>
#include <optional>
#include <string>

namespace vix::test {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// TZ for one test; the C library (and whatever `changed` reloads) follows
// the zone in, and back out once TZ is restored.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone, std::function<void()> changed = nullptr)
      : changed_(std::move(changed)) {
    env_.emplace("TZ", zone);
    Apply();
  }
  ~ScopedTimeZone() {
    env_.reset();
    Apply();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  void Apply() {
    tzset();
    if (changed_) changed_();
  }
  std::function<void()> changed_;
  std::optional<ScopedEnv> env_;
};

}  // namespace vix::test

#endif
