// Stored-name translation, wildcard matching, directory helpers and the
// small text helpers the components share.
//
// Names are UTF-8 inside the program. Path functions take a path style
// (delimiter, drives or not) that defaults to the platform's own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vix {

using platform::kNativeStyle;
using platform::PathStyle;

// Extensions whose files are stored instead of compressed (upper case).
inline constexpr const char* kCompressedExtensions[20] = {
    ".UUE", ".XXE", ".ENC", ".TAR", ".Z",   ".GZ",  ".ZIP",
    ".ZOO", ".LHA", ".LZH", ".ARC", ".ARJ", ".BH",  ".PAK",
    ".CAB", ".RAR", ".EXE", ".JAR", ".ACE", ".TGZ"};
// True when `name`'s extension is in the table and is not `except`
// (for example ".EXE", which the LZH and ZIP writers compress anyway).
bool HasCompressedExtension(const std::string& name, const char* except = nullptr);

// Stored names. `translate` converts UTF-8 to the OEM code page; the
// separators of `style` become `separator` (the format's own: "/" for ZIP
// and TAR, "\" for LZH and CAB).
std::string ToStoredName(const std::string& name, bool translate,
                         char separator = '/', PathStyle style = kNativeStyle);
std::string ToStoredNameOem(const std::string& name, bool translate,
                            char separator = '\\', PathStyle style = kNativeStyle);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(const std::string& text);
// True when the OEM code page holds `name` exactly: converted there and back
// it is unchanged (no character became "_" or a look-alike).
bool OemHoldsName(const std::string& name);
// The bytes a format stores for a name, and whether they are UTF-8 that the
// format must mark as such. With `translate` a name the OEM page holds is
// stored in it (as ToStoredName does) and any other in UTF-8, marked; without
// it, or where the OEM page is UTF-8, the UTF-8 bytes are stored and marked
// when they are not plain ASCII.
struct TStoredNameForm {
  std::string Bytes;
  bool Utf8 = false;
};
TStoredNameForm StoredNameForm(const std::string& name, bool translate, char separator,
                               PathStyle style = kNativeStyle);
// Back from a stored name: OEM to UTF-8 when `translate`, then "/" and "\"
// become the style's delimiter.
std::string FromStoredName(const std::string& name, bool translate,
                           PathStyle style = kNativeStyle);
// As FromStoredName for a name the archive marks as UTF-8 (no code-page step).
std::string FromStoredUtf8Name(const std::string& name, PathStyle style = kNativeStyle);

// Symmetric wildcard comparison ("*" and "?" in either string).
bool MatchWildcards(const std::string& a, const std::string& b);
// A name against one line of an include or exclude list (FileSpec, ExcludeSpec).
bool MatchFileSpec(const std::string& name, const std::string& spec,
                   PathStyle style = kNativeStyle);

// Path pieces. A drive colon splits like a delimiter where the style has
// drives; the Windows style takes "/" as a delimiter too.
bool IsDelimiter(char c, PathStyle style = kNativeStyle);
std::string AppendBackslash(const std::string& s, PathStyle style = kNativeStyle);
std::string RemoveBackslash(const std::string& s, PathStyle style = kNativeStyle);
// Text up to and including the last delimiter (or drive colon).
std::string ExtractFilePath(const std::string& s, PathStyle style = kNativeStyle);
// The folder of a name: as ExtractFilePath without its trailing delimiter,
// except that a root keeps it ("C:\", "\", "/").
std::string ExtractFileDir(const std::string& s, PathStyle style = kNativeStyle);
// Text after the last delimiter (or drive colon).
std::string ExtractFileName(const std::string& s, PathStyle style = kNativeStyle);
// The extension of the file part, with its dot; empty when there is none.
std::string ExtractFileExt(const std::string& s, PathStyle style = kNativeStyle);
// `s` with its extension replaced (ext holds its dot, or is empty).
std::string ChangeFileExt(const std::string& s, const std::string& ext,
                          PathStyle style = kNativeStyle);
// Drive part: "C:" or "\\server\share" on Windows style; empty otherwise.
std::string ExtractFileDrive(const std::string& s, PathStyle style = kNativeStyle);
bool IsUncPath(const std::string& path, PathStyle style = kNativeStyle);

bool DirExists(const std::string& path);
// The entries "." and ".." (and an empty name), which are no files: every
// other name is gathered, ".gitignore" and ".git" included.
bool IsDotEntry(const std::string& name);
// True when the folder can be searched and holds nothing but "." and "..":
// an empty-folder entry. A folder that cannot be searched is not empty.
bool FolderIsEmpty(const std::string& folder);
// Creates a folder and its missing parents. Throws E_RAISE (25156) for an
// empty path; false when a folder cannot be created.
bool ForceDirs(const std::string& path, PathStyle style = kNativeStyle);
bool FileExistsFind(const std::string& path);
bool IsPlainFile(const std::string& path);
std::string GetTempDir();

// Text helpers.
void SplitFirst(std::string& s, const std::string& delimiter, std::string& head);
bool IsAllDigits(const std::string& s);
uint8_t ExtOffset(const std::string& name);
uint8_t Percent(double part, double whole);
std::string UpperAscii(std::string s);
std::string LowerAscii(std::string s);
bool SameTextAscii(const std::string& a, const std::string& b);

// Octal fields (TAR headers).
void FormatOctal(uint64_t value, int width, bool zeroTerminate, char* buffer);
uint64_t ParseOctal(const char* text, size_t length);

}  // namespace vix
