// Code-page conversions of stored names and outside texts.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

#ifndef _WIN32
#include "support/scoped_env.h"
#endif

namespace vix::platform {
namespace {

const std::string kName = "日本語ファイル名\\表示.txt";
// The same in Shift-JIS; 表 ends in 0x5C, the byte of a backslash.
const std::string kShiftJis =
    "\x93\xFA\x96\x7B\x8C\xEA\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\\\x95\x5C\x8E\xA6.txt";
const std::string kFffd = "\xEF\xBF\xBD";

TEST(CodePage, ShiftJisNamesRoundTrip) {
  EXPECT_EQ(Utf8ToCodePage(kName, 932), kShiftJis);
  EXPECT_EQ(CodePageToUtf8(kShiftJis, 932), kName);
  EXPECT_EQ(Utf8ToCodePage("ｶﾀｶﾅ～", 932), "\xB6\xC0\xB6\xC5\x81\x60");  // half-width kana
}

TEST(CodePage, CharactersThePageCannotHoldBecomeUnderscores) {
  EXPECT_EQ(Utf8ToCodePage("a€b", 932), "a_b");
  EXPECT_EQ(Utf8ToCodePage("x😀y", 932), "x_y");  // one per character, not per unit
  EXPECT_EQ(Utf8ToCodePage("日é本", 932), "\x93\xFA_\x96\x7B");
  EXPECT_EQ(Utf8ToCodePage("café 日", 437), "caf\x82 _");
  EXPECT_EQ(Utf8ToCodePage("€ß", 1252), "\x80\xDF");
  EXPECT_EQ(Utf8ToCodePage("", 932), "");
}

TEST(CodePage, BytesThatAreNotUtf8BecomeUnderscores) {
  EXPECT_EQ(Utf8ToCodePage("a\xFF" "b", 932), "a_b");
  EXPECT_EQ(Utf8ToCodePage("a\xE6\x97" "b", 932), "a_b");  // a cut sequence is one
  EXPECT_EQ(Utf8ToCodePage("\xC0\xAF", 437), "__");        // an overlong "/"
}

TEST(CodePage, UndecodableBytesBecomeReplacementCharacters) {
  EXPECT_EQ(CodePageToUtf8("a\x81", 932), "a" + kFffd);        // lead byte at the end
  EXPECT_EQ(CodePageToUtf8("\x81\x20z", 932), kFffd + " z");   // a trail that is no trail
  EXPECT_EQ(CodePageToUtf8("\x82\xA0\x82\xA2", 932), "あい");
  EXPECT_EQ(CodePageToUtf8("caf\x82", 437), "café");
}

TEST(CodePage, Utf8PageKeepsBytesOutAndCleansThemIn) {
  EXPECT_EQ(Utf8ToCodePage(kName, 65001), kName);
  EXPECT_EQ(Utf8ToCodePage("raw\xFF", 65001), "raw\xFF");  // stored unchanged
  EXPECT_EQ(CodePageToUtf8(kName, 65001), kName);
  EXPECT_EQ(CodePageToUtf8("a\xFF" "b", 65001), "a" + kFffd + "b");
  EXPECT_EQ(CodePageToUtf8("a\xE6\x97" "b", 65001), "a" + kFffd + "b");
}

#ifndef _WIN32
TEST(CodePage, OemPageComesFromTheEnvironment) {
  {
    test::ScopedEnv env("VIX_OEMCP", nullptr);
    EXPECT_EQ(OemCodePage(), 932u);
    EXPECT_EQ(Utf8ToOem(kName), kShiftJis);
    EXPECT_EQ(OemToUtf8(kShiftJis), kName);
  }
  {
    test::ScopedEnv env("VIX_OEMCP", "850");
    EXPECT_EQ(OemCodePage(), 850u);
  }
  for (const char* utf8 : {"UTF-8", "utf8"}) {
    test::ScopedEnv env("VIX_OEMCP", utf8);
    EXPECT_EQ(OemCodePage(), 65001u);
    EXPECT_EQ(Utf8ToOem(kName), kName);
  }
  {
    test::ScopedEnv env("VIX_OEMCP", "not a page");
    EXPECT_EQ(OemCodePage(), 932u);
  }
  EXPECT_EQ(AnsiCodePage(), 65001u);
  EXPECT_EQ(Utf8ToAnsi(kName), kName);
}
#endif

}  // namespace
}  // namespace vix::platform
