// Wildcard matching of names and of include/exclude list lines.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "archive/kvtNames.h"

namespace vix {
namespace {

using platform::kPosixStyle;
using platform::kWindowsStyle;

TEST(MatchWildcards, DocumentedCases) {
  EXPECT_FALSE(MatchWildcards("README", "*.*"));
  EXPECT_TRUE(MatchWildcards("README", "*."));
  EXPECT_TRUE(MatchWildcards("REPORT.TXT", "*.txt"));
  EXPECT_TRUE(MatchWildcards("", ""));
  EXPECT_TRUE(MatchWildcards("", "*"));
  EXPECT_FALSE(MatchWildcards("", "?"));
  EXPECT_FALSE(MatchWildcards("ab", "???"));
  EXPECT_TRUE(MatchWildcards("abc", "???"));
  EXPECT_TRUE(MatchWildcards("name.", "name"));
  EXPECT_TRUE(MatchWildcards("a.b.c", "*.c"));
  EXPECT_TRUE(MatchWildcards("abc", "a*"));
  EXPECT_TRUE(MatchWildcards("ab", "ab**"));
  EXPECT_FALSE(MatchWildcards("abd", "a*c"));
  // Either side may hold the wildcards.
  EXPECT_TRUE(MatchWildcards("*.txt", "notes.TXT"));
  EXPECT_TRUE(MatchWildcards("n?tes.txt", "no?es.txt"));
  // Only ASCII letters fold; other bytes compare as they are.
  EXPECT_FALSE(MatchWildcards("ä.txt", "Ä.TXT"));
  EXPECT_TRUE(MatchWildcards("表示.txt", "表*.txt"));
}

// An independent matcher for a pattern against a name without wildcards:
// dynamic programming over "*" (any run, empty too) and "?" (one byte),
// after dropping one trailing dot from each, as names with and without a
// trailing dot are the same name.
bool ReferenceMatch(std::string name, std::string pattern) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (!pattern.empty() && pattern.back() == '.') pattern.pop_back();
  auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
  std::vector<std::vector<bool>> m(pattern.size() + 1, std::vector<bool>(name.size() + 1, false));
  m[0][0] = true;
  for (size_t p = 1; p <= pattern.size(); ++p) {
    m[p][0] = m[p - 1][0] && pattern[p - 1] == '*';
    for (size_t n = 1; n <= name.size(); ++n) {
      const char c = pattern[p - 1];
      if (c == '*') m[p][n] = m[p - 1][n] || m[p][n - 1];
      else m[p][n] = m[p - 1][n - 1] && (c == '?' || up(c) == up(name[n - 1]));
    }
  }
  return m[pattern.size()][name.size()];
}

std::string RandomText(std::mt19937& rng, const char* alphabet, size_t maxLength, size_t minLength) {
  const size_t alphabetSize = std::char_traits<char>::length(alphabet);
  std::string s;
  const size_t length = minLength + rng() % (maxLength - minLength + 1);
  for (size_t i = 0; i < length; ++i) s += alphabet[rng() % alphabetSize];
  return s;
}

bool EndsWithTwoDots(const std::string& s) {
  return s.size() >= 2 && s[s.size() - 1] == '.' && s[s.size() - 2] == '.';
}

TEST(MatchWildcards, AgreesWithReferenceOnGeneratedNames) {
  std::mt19937 rng(42);
  int matches = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string name = RandomText(rng, "abAB.x", 8, 1);
    const std::string pattern = RandomText(rng, "aAb.*?", 7, 0);
    // A name that is only a dot, or text ending in two dots, meets the
    // rules about empty rests that the reference does not model.
    if (name == "." || EndsWithTwoDots(name) || EndsWithTwoDots(pattern)) continue;
    const bool expected = ReferenceMatch(name, pattern);
    matches += expected;
    ASSERT_EQ(MatchWildcards(name, pattern), expected) << '"' << name << "\" vs \"" << pattern << '"';
    ASSERT_EQ(MatchWildcards(pattern, name), expected) << "swapped: " << name << " vs " << pattern;
  }
  EXPECT_GT(matches, 1000);  // the generator reaches both outcomes
}

// Many stars against a long name that almost matches: each star tries every
// split, which without remembering failed pieces takes exponential time.
TEST(MatchWildcards, ManyStarsOnALongName) {
  const std::string name(60, 'a');
  EXPECT_FALSE(MatchWildcards(name, "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(MatchWildcards(name + "b", "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(MatchFileSpec, WindowsStyleFolders) {
  EXPECT_TRUE(MatchFileSpec("C:\\data\\pics\\a.jpg", "C:\\data\\pics\\*.jpg", kWindowsStyle));
  EXPECT_TRUE(MatchFileSpec("C:\\DATA\\Pics\\a.JPG", "c:\\data\\pics\\*.jpg", kWindowsStyle));
  EXPECT_FALSE(MatchFileSpec("C:\\data\\other\\a.jpg", "C:\\data\\pics\\*.jpg", kWindowsStyle));
  EXPECT_TRUE(MatchFileSpec("C:\\data\\other\\a.jpg", "*.jpg", kWindowsStyle));
  EXPECT_TRUE(MatchFileSpec("C:\\data\\x\\a.jpg", "C:\\data\\*\\a.*", kWindowsStyle));
  EXPECT_TRUE(MatchFileSpec("C:\\a.txt", "C:\\*.txt", kWindowsStyle));  // root keeps its "\"
  EXPECT_FALSE(MatchFileSpec("C:\\data\\a.txt", "C:\\*.txt", kWindowsStyle));
  EXPECT_FALSE(MatchFileSpec("pics\\a.jpg", "pics\\*.png", kWindowsStyle));
  EXPECT_TRUE(MatchFileSpec("pics/a.jpg", "pics\\a.jpg", kWindowsStyle));
  EXPECT_FALSE(MatchFileSpec("README", "*.*", kWindowsStyle));
}

TEST(MatchFileSpec, PosixStyleFolders) {
  EXPECT_TRUE(MatchFileSpec("/data/pics/a.jpg", "/data/pics/*.jpg", kPosixStyle));
  EXPECT_FALSE(MatchFileSpec("/data/other/a.jpg", "/data/pics/*.jpg", kPosixStyle));
  EXPECT_TRUE(MatchFileSpec("/data/other/a.jpg", "*.jpg", kPosixStyle));
  EXPECT_TRUE(MatchFileSpec("/a.txt", "/*.txt", kPosixStyle));
  // A backslash is no folder delimiter here, so the folders are not compared.
  EXPECT_TRUE(MatchFileSpec("/x/a\\b.jpg", "a\\*.jpg", kPosixStyle));
  EXPECT_FALSE(MatchFileSpec("/x/a.jpg", "a\\*.jpg", kPosixStyle));
}

}  // namespace
}  // namespace vix
