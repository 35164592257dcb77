// File times and shared libraries.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace vix::platform {
namespace {

TEST(SetLastWriteTime, SearchSeesTheNewTime) {
  test::TempDir dir;
  const std::string file = dir.WriteFile("dated.txt", "x");
  // 2001-02-03 04:05:06 UTC; the search reports local time, so compare with
  // the C library's view of the same instant.
  const int64_t when = 981173106;
  ASSERT_TRUE(Current().SetLastWriteTime(file, when));
  const time_t t = static_cast<time_t>(when);
  const std::tm* local = std::localtime(&t);
  ASSERT_NE(local, nullptr);
  const uint32_t expected = static_cast<uint32_t>(local->tm_year - 80) << 25 |
                            static_cast<uint32_t>(local->tm_mon + 1) << 21 |
                            static_cast<uint32_t>(local->tm_mday) << 16 |
                            static_cast<uint32_t>(local->tm_hour) << 11 |
                            static_cast<uint32_t>(local->tm_min) << 5 |
                            static_cast<uint32_t>(local->tm_sec / 2);
  auto search = Current().FindFirst(dir.Path(), "dated.txt");
  FindData data;
  ASSERT_TRUE(search && search->Next(data));
  EXPECT_EQ(data.Time, expected);
  EXPECT_FALSE(Current().SetLastWriteTime(dir.Join("missing"), when));
}

TEST(SharedLibrary, LoadsASystemLibraryAndFindsItsFunctions) {
#ifdef _WIN32
  const char* name = "kernel32.dll";
  const char* function = "GetTickCount";
#else
  const char* name = "libc.so.6";
  const char* function = "strlen";
#endif
  auto library = LoadSharedLibrary(name);
  ASSERT_TRUE(library);
  EXPECT_NE(library->Proc(function), nullptr);
  EXPECT_EQ(library->Proc("NoSuchFunctionAnywhere"), nullptr);
  EXPECT_FALSE(LoadSharedLibrary("no-such-library-here"));
}

}  // namespace
}  // namespace vix::platform
