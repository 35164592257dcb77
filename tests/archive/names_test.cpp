// Stored names, path pieces in both spellings, folders, text helpers,
// octal fields and the message table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/kvtErrors.h"
#include "archive/kvtNames.h"

namespace vix {
namespace {

using platform::kPosixStyle;
using platform::kWindowsStyle;

TEST(StoredNames, SeparatorsOfEachStyleBecomeTheFormats) {
  EXPECT_EQ(ToStoredName("dir\\sub\\a.txt", false, '/', kWindowsStyle), "dir/sub/a.txt");
  EXPECT_EQ(ToStoredNameOem("dir/sub\\a.txt", false, '\\', kWindowsStyle), "dir\\sub\\a.txt");
  EXPECT_EQ(ToStoredNameOem("dir/sub/a.txt", false, '\\', kPosixStyle), "dir\\sub\\a.txt");
  // On POSIX a backslash is part of a file name, not a separator.
  EXPECT_EQ(ToStoredName("dir/a\\b.txt", false, '/', kPosixStyle), "dir/a\\b.txt");
  EXPECT_EQ(FromStoredName("dir\\sub/a.txt", false, kPosixStyle), "dir/sub/a.txt");
  EXPECT_EQ(FromStoredName("dir/sub\\a.txt", false, kWindowsStyle), "dir\\sub\\a.txt");
  EXPECT_EQ(ToStoredName("", true), "");
  EXPECT_EQ(ToStoredNameOem("", true), "");
  EXPECT_EQ(FromStoredName("", true), "");
}

// "表" is 0x95 0x5C in Shift-JIS: its trail byte is the byte of "\".
TEST(StoredNames, ShiftJisTrailByteIsNeverASeparator) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  const std::string name = "表/x.txt";
  EXPECT_EQ(ToStoredName(name, true, '/', kPosixStyle), "\x95\x5C/x.txt");
  EXPECT_EQ(ToStoredNameOem(name, true, '\\', kPosixStyle), "\x95\x5C\\x.txt");
  EXPECT_EQ(ToStoredName("表\\x.txt", true, '/', kWindowsStyle), "\x95\x5C/x.txt");
  EXPECT_EQ(FromStoredName("\x95\x5C\\x.txt", true, kPosixStyle), name);
  EXPECT_EQ(FromStoredName("\x95\x5C/x.txt", true, kWindowsStyle), "表\\x.txt");
}

// A name code page 932 holds is stored in it, unmarked; any other non-ASCII
// name is stored in UTF-8 and marked; ASCII stays as it is either way.
TEST(StoredNames, StoredFormKeepsCodePage932AndMarksEverythingElse) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  const TStoredNameForm ascii = StoredNameForm("dir/a.txt", true, '/', kPosixStyle);
  EXPECT_EQ(ascii.Bytes, "dir/a.txt");
  EXPECT_FALSE(ascii.Utf8);
  const TStoredNameForm japanese = StoredNameForm("日本/表.txt", true, '\\', kPosixStyle);
  EXPECT_EQ(japanese.Bytes, "\x93\xfa\x96\x7b\\\x95\x5c.txt");
  EXPECT_FALSE(japanese.Utf8);
  const std::string korean = "한국어.txt";
  const TStoredNameForm marked = StoredNameForm("d/" + korean, true, '/', kPosixStyle);
  EXPECT_EQ(marked.Bytes, "d/" + korean);
  EXPECT_TRUE(marked.Utf8);
  EXPECT_EQ(FromStoredUtf8Name(marked.Bytes, kPosixStyle), "d/" + korean);
  // Without translation nothing goes to the OEM page.
  const TStoredNameForm untranslated = StoredNameForm("表.txt", false, '/', kPosixStyle);
  EXPECT_EQ(untranslated.Bytes, "表.txt");
  EXPECT_TRUE(untranslated.Utf8);

  EXPECT_TRUE(OemHoldsName("日本語 ｶﾅ.txt"));
  EXPECT_FALSE(OemHoldsName(korean));
  EXPECT_FALSE(OemHoldsName("ü.txt"));
  EXPECT_TRUE(IsValidUtf8(korean));
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_FALSE(IsValidUtf8("\x93\xfa"));      // Shift-JIS bytes
  EXPECT_FALSE(IsValidUtf8("a\xc3"));          // cut short
  EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));      // overlong "/"
}

struct PathCase {
  const char* path;
  const char* dir;   // ExtractFilePath
  const char* name;  // ExtractFileName
  const char* ext;   // ExtractFileExt
  const char* fdir;  // ExtractFileDir
  const char* drive;
};

void ExpectPieces(const PathCase& c, PathStyle style) {
  SCOPED_TRACE(c.path);
  EXPECT_EQ(ExtractFilePath(c.path, style), c.dir);
  EXPECT_EQ(ExtractFileName(c.path, style), c.name);
  EXPECT_EQ(ExtractFileExt(c.path, style), c.ext);
  EXPECT_EQ(ExtractFileDir(c.path, style), c.fdir);
  EXPECT_EQ(ExtractFileDrive(c.path, style), c.drive);
}

TEST(PathPieces, WindowsStyle) {
  const PathCase cases[] = {
      {"C:\\a\\b.txt", "C:\\a\\", "b.txt", ".txt", "C:\\a", "C:"},
      {"C:\\b.txt", "C:\\", "b.txt", ".txt", "C:\\", "C:"},
      {"C:b.txt", "C:", "b.txt", ".txt", "C:", "C:"},
      {"C:/a/b.tar.gz", "C:/a/", "b.tar.gz", ".gz", "C:/a", "C:"},
      {"\\\\srv\\share\\dir\\x", "\\\\srv\\share\\dir\\", "x", "", "\\\\srv\\share\\dir",
       "\\\\srv\\share"},
      {"\\\\srv\\share", "\\\\srv\\", "share", "", "\\\\srv", "\\\\srv\\share"},
      {"a.b\\c", "a.b\\", "c", "", "a.b", ""},
      {"\\x.zip", "\\", "x.zip", ".zip", "\\", ""},
      {"name", "", "name", "", "", ""},
  };
  for (const PathCase& c : cases) ExpectPieces(c, kWindowsStyle);
  EXPECT_EQ(ChangeFileExt("C:\\a.b\\c", ".zip", kWindowsStyle), "C:\\a.b\\c.zip");
  EXPECT_EQ(ChangeFileExt("C:\\x.tar.gz", ".lzh", kWindowsStyle), "C:\\x.tar.lzh");
  EXPECT_EQ(ChangeFileExt("C:\\x.txt", "", kWindowsStyle), "C:\\x");
  EXPECT_TRUE(IsUncPath("\\\\s", kWindowsStyle));
  EXPECT_FALSE(IsUncPath("\\\\", kWindowsStyle));
  EXPECT_FALSE(IsUncPath("C:\\\\s", kWindowsStyle));
  EXPECT_EQ(AppendBackslash("", kWindowsStyle), "");
  EXPECT_EQ(AppendBackslash("C:", kWindowsStyle), "C:\\");
  EXPECT_EQ(AppendBackslash("C:\\a\\", kWindowsStyle), "C:\\a\\");
  EXPECT_EQ(AppendBackslash("C:/a/", kWindowsStyle), "C:/a/");
  EXPECT_EQ(RemoveBackslash("C:\\", kWindowsStyle), "C:");
  EXPECT_EQ(RemoveBackslash("a\\\\", kWindowsStyle), "a\\");
  EXPECT_EQ(RemoveBackslash("", kWindowsStyle), "");
}

TEST(PathPieces, PosixStyle) {
  const PathCase cases[] = {
      {"/a/b.txt", "/a/", "b.txt", ".txt", "/a", ""},
      {"/b.txt", "/", "b.txt", ".txt", "/", ""},
      {"a.b/c", "a.b/", "c", "", "a.b", ""},
      {"dir/a\\b.zip", "dir/", "a\\b.zip", ".zip", "dir", ""},
      {"C:b.txt", "", "C:b.txt", ".txt", "", ""},
      {".profile", "", ".profile", ".profile", "", ""},
  };
  for (const PathCase& c : cases) ExpectPieces(c, kPosixStyle);
  EXPECT_FALSE(IsUncPath("//srv/share", kPosixStyle));
  EXPECT_EQ(AppendBackslash("/tmp", kPosixStyle), "/tmp/");
  EXPECT_EQ(AppendBackslash("a\\", kPosixStyle), "a\\/");
  EXPECT_EQ(RemoveBackslash("/", kPosixStyle), "");
  EXPECT_EQ(ChangeFileExt("/a.b/c", ".tar", kPosixStyle), "/a.b/c.tar");
}

// Records the folders it is asked to create; knows a fixed set of folders.
class FolderDouble : public platform::Platform {
 public:
  std::vector<std::string> existing, created;
  uint32_t GetAttributes(const std::string& path) override {
    for (const auto& f : existing)
      if (f == path) return platform::kAttrDirectory;
    for (const auto& f : created)
      if (f == path) return platform::kAttrDirectory;
    return 0xFFFFFFFF;
  }
  bool CreateDirectory(const std::string& path) override {
    if (path.find("forbidden") != std::string::npos) return false;
    created.push_back(path);
    return true;
  }
};

TEST(ForceDirs, CreatesOnlyTheMissingFolders) {
  FolderDouble system;
  platform::ScopedPlatform use(system);
  system.existing = {"C:\\a"};
  EXPECT_TRUE(ForceDirs("C:\\", kWindowsStyle));
  EXPECT_TRUE(ForceDirs("C:", kWindowsStyle));
  EXPECT_TRUE(system.created.empty());
  EXPECT_TRUE(ForceDirs("C:\\a\\b\\c\\", kWindowsStyle));
  EXPECT_EQ(system.created, (std::vector<std::string>{"C:\\a\\b", "C:\\a\\b\\c"}));
  system.created.clear();
  EXPECT_TRUE(ForceDirs("/x/y", kPosixStyle));
  EXPECT_EQ(system.created, (std::vector<std::string>{"/x", "/x/y"}));
  system.created.clear();
  // A relative name without a folder part lies in the current directory.
  EXPECT_TRUE(ForceDirs("newdir", kWindowsStyle));
  EXPECT_EQ(system.created, std::vector<std::string>{"newdir"});
  EXPECT_FALSE(ForceDirs("C:\\forbidden\\deeper", kWindowsStyle));
  EXPECT_EQ(system.created.back(), "newdir");
  try {
    ForceDirs("", kWindowsStyle);
    ADD_FAILURE() << "no exception for an empty path";
  } catch (const E_RAISE& e) {
    EXPECT_EQ(e.Code, kErrCreateDir);
    EXPECT_STREQ(e.what(), "Unable to create directory");
  }
}

class AttributeDouble : public platform::Platform {
 public:
  uint32_t attr = 0xFFFFFFFF;
  uint32_t GetAttributes(const std::string&) override { return attr; }
};

TEST(Files, PlainFileAndFolderTests) {
  AttributeDouble system;
  platform::ScopedPlatform use(system);
  EXPECT_FALSE(IsPlainFile("x"));
  EXPECT_FALSE(DirExists("x"));
  system.attr = platform::kAttrArchive;
  EXPECT_TRUE(IsPlainFile("x"));
  system.attr = 0;
  EXPECT_TRUE(IsPlainFile("x"));
  for (uint32_t bad : {0x01u, 0x02u, 0x04u, 0x08u, 0x10u}) {
    system.attr = platform::kAttrArchive | bad;
    EXPECT_FALSE(IsPlainFile("x")) << bad;
  }
  system.attr = platform::kAttrDirectory | platform::kAttrReadOnly;
  EXPECT_TRUE(DirExists("x"));
}

// The same helpers on the real file system, in a folder of their own.
TEST(Files, RealFoldersAndFiles) {
  platform::Platform& system = platform::Current();
  const std::string temp = GetTempDir();
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(IsDelimiter(temp.back()));
  const std::string marker = system.UniqueTempFile(temp, "kvt");
  ASSERT_FALSE(marker.empty());
  const char d = platform::kNativeStyle.Delim;
  const std::string base = marker + "_dir", a = base + d + "a", b = a + d + "b";
  const std::string file = a + d + "x.txt";

  EXPECT_TRUE(ForceDirs(b + d));
  EXPECT_TRUE(DirExists(a));
  EXPECT_TRUE(DirExists(b));
  EXPECT_TRUE(ForceDirs(b));  // existing: nothing to do
  {
    platform::FileHandle f = system.Create(file, true);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Write("data", 4), 4);
    EXPECT_TRUE(f->Close());
  }
  EXPECT_TRUE(IsPlainFile(file));
  EXPECT_FALSE(IsPlainFile(a));
  EXPECT_FALSE(IsPlainFile(a + d + "missing"));
  EXPECT_FALSE(DirExists(file));
  EXPECT_TRUE(FileExistsFind(file));
  EXPECT_TRUE(FileExistsFind(a + d + "*.txt"));
  EXPECT_FALSE(FileExistsFind(a + d + "*.zip"));
  EXPECT_FALSE(ForceDirs(file + d + "c"));  // a file stands in the way

  EXPECT_TRUE(system.DeleteFile(file));
  EXPECT_TRUE(system.RemoveDirectory(b));
  EXPECT_TRUE(system.RemoveDirectory(a));
  EXPECT_TRUE(system.RemoveDirectory(base));
  EXPECT_TRUE(system.DeleteFile(marker));
}

TEST(Text, SplitFirst) {
  std::string s = "a;b;c", head;
  SplitFirst(s, ";", head);
  EXPECT_EQ(head, "a");
  EXPECT_EQ(s, "b;c");
  s = "abc";
  SplitFirst(s, ";", head);
  EXPECT_EQ(head, "abc");
  EXPECT_EQ(s, "");
  s = "k<=>v<=>w";
  SplitFirst(s, "<=>", head);
  EXPECT_EQ(head, "k");
  EXPECT_EQ(s, "v<=>w");
  s = "xy";
  SplitFirst(s, "", head);
  EXPECT_EQ(head, "xy");
  EXPECT_EQ(s, "");
}

TEST(Text, DigitsOffsetsAndCase) {
  EXPECT_TRUE(IsAllDigits(""));
  EXPECT_TRUE(IsAllDigits("0123456789"));
  EXPECT_FALSE(IsAllDigits("12a"));
  EXPECT_FALSE(IsAllDigits("-1"));
  EXPECT_EQ(ExtOffset("name.txt"), 4);
  EXPECT_EQ(ExtOffset("a.b.c"), 3);
  EXPECT_EQ(ExtOffset("name"), 4);
  EXPECT_EQ(ExtOffset(".x"), 0);
  EXPECT_EQ(ExtOffset(std::string("abc\0.x", 6)), 3);  // the name ends at its zero byte
  EXPECT_EQ(ExtOffset(std::string(300, 'a')), 300 % 256);
  EXPECT_EQ(UpperAscii("abc.Zip ä"), "ABC.ZIP ä");
  EXPECT_EQ(LowerAscii("ABC.Zip Ä"), "abc.zip Ä");
  EXPECT_TRUE(SameTextAscii("Report.TXT", "rePORT.txt"));
  EXPECT_FALSE(SameTextAscii("ä", "Ä"));
  EXPECT_FALSE(SameTextAscii("ab", "abc"));
}

TEST(Text, PercentRoundsHalfToEvenAndClamps) {
  EXPECT_EQ(Percent(5, 0), 0);
  EXPECT_EQ(Percent(1, 2), 50);
  EXPECT_EQ(Percent(1, 8), 12);   // 12.5
  EXPECT_EQ(Percent(3, 8), 38);   // 37.5
  EXPECT_EQ(Percent(5, 1000), 0);   // 0.5
  EXPECT_EQ(Percent(15, 1000), 2);  // 1.5
  EXPECT_EQ(Percent(2, 3), 67);
  EXPECT_EQ(Percent(-5, 10), 0);
  EXPECT_EQ(Percent(150, 100), 100);
  EXPECT_EQ(Percent(4294967295.0, 4294967296.0), 100);
}

TEST(Text, CompressedExtensions) {
  EXPECT_TRUE(HasCompressedExtension("a.zip"));
  EXPECT_TRUE(HasCompressedExtension("A.LZH"));
  EXPECT_TRUE(HasCompressedExtension("x.tar.gz"));
  EXPECT_TRUE(HasCompressedExtension("x.z"));
  EXPECT_TRUE(HasCompressedExtension("setup.exe"));
  EXPECT_FALSE(HasCompressedExtension("setup.exe", ".EXE"));
  EXPECT_TRUE(HasCompressedExtension("a.cab", ".EXE"));
  EXPECT_FALSE(HasCompressedExtension("notes.txt"));
  EXPECT_FALSE(HasCompressedExtension("zip"));
  EXPECT_FALSE(HasCompressedExtension("x.zipx"));
}

TEST(Octal, FormatFields) {
  char field[12];
  FormatOctal(420, 8, false, field);
  EXPECT_EQ(std::string(field, 8), "0000644 ");
  FormatOctal(420, 8, true, field);
  EXPECT_EQ(std::string(field, 8), std::string("0000644\0", 8));
  FormatOctal(0, 12, true, field);
  EXPECT_EQ(std::string(field, 12), std::string("00000000000\0", 12));
  FormatOctal(077777777, 8, false, field);  // eight digits in seven places
  EXPECT_EQ(std::string(field, 8), "7777777 ");
  std::memset(field, 'x', sizeof field);
  FormatOctal(5, 0, true, field);
  EXPECT_EQ(field[0], 'x');
  FormatOctal(5, 1, false, field);
  EXPECT_EQ(std::string(field, 2), " x");
}

TEST(Octal, ParseSkipsEverythingButDigits) {
  EXPECT_EQ(ParseOctal("0000644 ", 8), 420u);
  EXPECT_EQ(ParseOctal("12 3", 4), 83u);
  EXPECT_EQ(ParseOctal("", 0), 0u);
  EXPECT_EQ(ParseOctal("1\0" "2", 3), 10u);  // a zero byte does not end the field
  EXPECT_EQ(ParseOctal("89", 2), 0u);
  char field[12];
  for (uint64_t v : {0ull, 1ull, 511ull, 8589934591ull}) {
    FormatOctal(v, 12, true, field);
    EXPECT_EQ(ParseOctal(field, 12), v);
  }
}

TEST(Messages, EveryCodeHasItsText) {
  for (int code : {kErrWrite, kErrSpannedLabel, kErrCreateDir, kErrNotAccessible, kErrOpen,
                   kErrUnsupported, kErrCabinetLibrary, kErrEventNotAssigned, kErrUserCanceled,
                   kErrNothingToDo, kErrDirNotExist})
    EXPECT_NE(FindMessageText(code), nullptr) << code;
  EXPECT_EQ(MessageText(25136), "Error writing to file");
  EXPECT_EQ(MessageText(25160), "is not accessible.");
  EXPECT_EQ(MessageText(26899), "Directory does not exist... Create?");
  EXPECT_EQ(MessageText(12345), "Error 12345");
  EXPECT_STREQ(E_RAISE(25449).what(), "User canceled");
}

}  // namespace
}  // namespace vix
