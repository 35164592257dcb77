// Stored-name translation, wildcard matching, directory helpers and the
// small text helpers the components share.
#include "archive/kvtNames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <tuple>

#include "archive/kvtErrors.h"

namespace vix {
namespace {


char UpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char LowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Position of the last delimiter, or of a drive colon where the style has
// drives; npos when there is neither.
size_t LastPathSplit(const std::string& s, PathStyle style) {
  for (size_t i = s.size(); i-- > 0;)
    if (IsDelimiter(s[i], style) || (style.Drives && s[i] == ':')) return i;
  return std::string::npos;
}

// Position of the dot that begins the extension of the file part, or npos.
size_t ExtensionDot(const std::string& s, PathStyle style) {
  for (size_t i = s.size(); i-- > 0;) {
    if (s[i] == '.') return i;
    if (IsDelimiter(s[i], style) || (style.Drives && s[i] == ':')) break;
  }
  return std::string::npos;
}

std::string ReplaceDelimiters(std::string s, PathStyle style, char separator) {
  for (char& c : s)
    if (IsDelimiter(c, style)) c = separator;
  return s;
}

bool AllStars(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] != '*') return false;
  return true;
}

// The symmetric match on (pointer, length) pieces, so that the recursion
// never copies the rest of a string. Each star tries every split, so pieces
// that failed are remembered: without that a pattern with many stars takes
// exponential time on a long name.
class Matcher {
 public:
  Matcher(const char* a, const char* b) : a0_(a), b0_(b) {}

  bool Match(const char* a, size_t na, const char* b, size_t nb) {
    const Key key{static_cast<size_t>(a - a0_), na, static_cast<size_t>(b - b0_), nb};
    if (failed_.count(key)) return false;
    const bool result = Compare(a, na, b, nb);
    if (!result) failed_.insert(key);
    return result;
  }

 private:
  using Key = std::tuple<size_t, size_t, size_t, size_t>;

  bool Compare(const char* a, size_t na, const char* b, size_t nb) {
    if (na == 0 && nb == 0) return true;
    // A name with a trailing dot is the same name without it, and "*." is "*".
    if (na > 0 && a[na - 1] == '.') --na;
    if (nb > 0 && b[nb - 1] == '.') --nb;
    if (na == 0 && nb != 0) return b[0] == '*';
    if (nb == 0 && na != 0) return a[0] == '*';
    size_t i = 0, j = 0;
    while (i < na && j < nb) {
      if (a[i] == '?' || b[j] == '?') {
        ++i, ++j;
      } else if (a[i] == '*') {
        if (++i == na) {
          j = nb;
          break;
        }
        for (size_t k = j; k < nb; ++k)
          if (Match(a + i, na - i, b + k, nb - k)) return true;
        return false;
      } else if (b[j] == '*') {
        if (++j == nb) {
          i = na;
          break;
        }
        for (size_t k = i; k < na; ++k)
          if (Match(a + k, na - k, b + j, nb - j)) return true;
        return false;
      } else if (UpperChar(a[i]) == UpperChar(b[j])) {
        ++i, ++j;
      } else {
        return false;
      }
    }
    if (i >= na) return AllStars(b + j, nb - j);
    return AllStars(a + i, na - i);
  }

  const char* a0_;
  const char* b0_;
  std::set<Key> failed_;
};

}  // namespace

bool HasCompressedExtension(const std::string& name, const char* except) {
  const std::string ext = UpperAscii(ExtractFileExt(name));
  if (ext.empty()) return false;
  if (except != nullptr && SameTextAscii(ext, except)) return false;
  for (const char* known : kCompressedExtensions)
    if (ext == known) return true;
  return false;
}

// Separators are replaced on the UTF-8 text, before the code-page step, so
// that a double-byte character whose trail byte is 0x5C ("\") in Shift-JIS
// is never taken for one.
std::string ToStoredName(const std::string& name, bool translate, char separator,
                         PathStyle style) {
  if (name.empty()) return name;
  std::string stored = ReplaceDelimiters(name, style, separator);
  return translate ? platform::Utf8ToOem(stored) : stored;
}

std::string ToStoredNameOem(const std::string& name, bool translate, char separator,
                            PathStyle style) {
  return ToStoredName(name, translate, separator, style);
}

namespace {
constexpr unsigned kUtf8CodePage = 65001;

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string LocalDelimiters(std::string local, PathStyle style) {
  for (char& c : local)
    if (c == '/' || c == '\\') c = style.Delim;
  return local;
}
}  // namespace

bool IsValidUtf8(const std::string& text) {
  return platform::CodePageToUtf8(text, kUtf8CodePage) == text;
}

bool OemHoldsName(const std::string& name) {
  return platform::OemToUtf8(platform::Utf8ToOem(name)) == name;
}

TStoredNameForm StoredNameForm(const std::string& name, bool translate, char separator,
                               PathStyle style) {
  TStoredNameForm form;
  form.Bytes = ReplaceDelimiters(name, style, separator);
  if (IsAscii(form.Bytes)) return form;
  if (translate && platform::OemCodePage() != kUtf8CodePage && OemHoldsName(form.Bytes)) {
    form.Bytes = platform::Utf8ToOem(form.Bytes);
    return form;
  }
  form.Utf8 = true;
  return form;
}

std::string FromStoredName(const std::string& name, bool translate, PathStyle style) {
  if (name.empty()) return name;
  return LocalDelimiters(translate ? platform::OemToUtf8(name) : name, style);
}

std::string FromStoredUtf8Name(const std::string& name, PathStyle style) {
  return LocalDelimiters(platform::CodePageToUtf8(name, kUtf8CodePage), style);
}

bool MatchWildcards(const std::string& a, const std::string& b) {
  return Matcher(a.data(), b.data()).Match(a.data(), a.size(), b.data(), b.size());
}

bool MatchFileSpec(const std::string& name, const std::string& spec, PathStyle style) {
  bool specHasFolder = false;
  for (char c : spec) specHasFolder = specHasFolder || IsDelimiter(c, style);
  if (specHasFolder &&
      !MatchWildcards(ExtractFileDir(name, style), ExtractFileDir(spec, style)))
    return false;
  return MatchWildcards(ExtractFileName(name, style), ExtractFileName(spec, style)) &&
         MatchWildcards(ExtractFileExt(name, style), ExtractFileExt(spec, style));
}

bool IsDelimiter(char c, PathStyle style) {
  // Windows takes "/" for "\" wherever a path is split.
  return c == style.Delim || (style.Drives && c == '/');
}

std::string AppendBackslash(const std::string& s, PathStyle style) {
  if (s.empty() || IsDelimiter(s.back(), style)) return s;
  return s + style.Delim;
}

std::string RemoveBackslash(const std::string& s, PathStyle style) {
  if (!s.empty() && IsDelimiter(s.back(), style)) return s.substr(0, s.size() - 1);
  return s;
}

std::string ExtractFilePath(const std::string& s, PathStyle style) {
  const size_t split = LastPathSplit(s, style);
  return split == std::string::npos ? std::string() : s.substr(0, split + 1);
}

std::string ExtractFileDir(const std::string& s, PathStyle style) {
  const size_t split = LastPathSplit(s, style);
  if (split == std::string::npos) return std::string();
  // A root keeps its delimiter: "C:\", "/", and the "\" after another one.
  const bool root = split == 0 || !IsDelimiter(s[split], style) ||
                    IsDelimiter(s[split - 1], style) || (style.Drives && s[split - 1] == ':');
  return s.substr(0, root ? split + 1 : split);
}

std::string ExtractFileName(const std::string& s, PathStyle style) {
  const size_t split = LastPathSplit(s, style);
  return split == std::string::npos ? s : s.substr(split + 1);
}

std::string ExtractFileExt(const std::string& s, PathStyle style) {
  const size_t dot = ExtensionDot(s, style);
  return dot == std::string::npos ? std::string() : s.substr(dot);
}

std::string ChangeFileExt(const std::string& s, const std::string& ext, PathStyle style) {
  const size_t dot = ExtensionDot(s, style);
  return (dot == std::string::npos ? s : s.substr(0, dot)) + ext;
}

std::string ExtractFileDrive(const std::string& s, PathStyle style) {
  if (!style.Drives || s.size() < 2) return std::string();
  if (s[1] == ':') return s.substr(0, 2);
  if (!IsDelimiter(s[0], style) || !IsDelimiter(s[1], style)) return std::string();
  // \\server\share: up to the delimiter that ends the share name.
  int seen = 0;
  for (size_t i = 2; i < s.size(); ++i)
    if (IsDelimiter(s[i], style) && ++seen == 2) return s.substr(0, i);
  return RemoveBackslash(s, style);
}

bool IsUncPath(const std::string& path, PathStyle style) {
  return style.Drives && path.size() >= 3 && IsDelimiter(path[0], style) &&
         IsDelimiter(path[1], style);
}

bool FolderIsEmpty(const std::string& folder) {
  auto search = platform::Current().FindFirst(folder, "*.*");
  if (!search) return false;
  platform::FindData data;
  while (search->Next(data))
    if (!IsDotEntry(data.Name)) return false;
  return true;
}

bool IsDotEntry(const std::string& name) {
  return name.empty() || name == "." || name == "..";
}

bool DirExists(const std::string& path) {
  const uint32_t attr = platform::Current().GetAttributes(path);
  return attr != platform::kNoAttributes && (attr & platform::kAttrDirectory) != 0;
}

bool ForceDirs(const std::string& path, PathStyle style) {
  if (path.empty()) throw E_RAISE(kErrCreateDir);
  const std::string dir = RemoveBackslash(path, style);
  // Shorter than a root ("C:\" with drives, "/" without) is a root.
  const size_t rootLength = style.Drives ? 3 : 1;
  if (dir.size() < rootLength || DirExists(dir)) return true;
  const std::string parent = ExtractFilePath(dir, style);
  if (parent == dir) return true;
  // A relative name without a folder part lies in the current directory,
  // which exists.
  if (!parent.empty() && !ForceDirs(parent, style)) return false;
  return platform::Current().CreateDirectory(dir);
}

bool FileExistsFind(const std::string& path) {
  const std::string mask = ExtractFileName(path);
  if (mask.empty()) return false;
  std::string folder = ExtractFilePath(path);
  if (folder.empty()) folder = platform::Current().CurrentDirectory();
  std::unique_ptr<platform::FindHandle> search = platform::Current().FindFirst(folder, mask);
  platform::FindData entry;
  return search != nullptr && search->Next(entry);
}

bool IsPlainFile(const std::string& path) {
  const uint32_t attr = platform::Current().GetAttributes(path);
  constexpr uint32_t kNotPlain = platform::kAttrDirectory | platform::kAttrReadOnly |
                                 platform::kAttrSystem | platform::kAttrHidden |
                                 platform::kAttrVolumeId;
  return attr != platform::kNoAttributes && (attr & kNotPlain) == 0;
}

std::string GetTempDir() {
  return platform::Current().TempFolder();
}

void SplitFirst(std::string& s, const std::string& delimiter, std::string& head) {
  const size_t pos = delimiter.empty() ? std::string::npos : s.find(delimiter);
  if (pos == std::string::npos) {
    head = s;
    s.clear();
    return;
  }
  head = s.substr(0, pos);
  s.erase(0, pos + delimiter.size());
}

bool IsAllDigits(const std::string& s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

uint8_t ExtOffset(const std::string& name) {
  // The name ends at its first zero byte, as the stored headers hold it.
  const size_t end = std::min(name.find('\0'), name.size());
  const size_t dot = end == 0 ? std::string::npos : name.rfind('.', end - 1);
  return static_cast<uint8_t>(dot == std::string::npos ? end : dot);
}

uint8_t Percent(double part, double whole) {
  if (whole == 0) return 0;
  const double value = part * 100.0 / whole;
  if (!(value > 0)) return 0;  // negative, or not a number
  if (value >= 100) return 100;
  // Nearest, ties to even, whatever the floating-point rounding mode.
  double rounded = std::floor(value);
  const double fraction = value - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0)) rounded += 1;
  return static_cast<uint8_t>(rounded);
}

std::string UpperAscii(std::string s) {
  for (char& c : s) c = UpperChar(c);
  return s;
}

std::string LowerAscii(std::string s) {
  for (char& c : s) c = LowerChar(c);
  return s;
}

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  return true;
}

void FormatOctal(uint64_t value, int width, bool zeroTerminate, char* buffer) {
  if (width <= 0) return;
  std::memset(buffer, '0', static_cast<size_t>(width));
  buffer[width - 1] = zeroTerminate ? '\0' : ' ';
  for (int i = width - 2; i >= 0 && value != 0; --i, value >>= 3)
    buffer[i] = static_cast<char>('0' + (value & 7));
}

uint64_t ParseOctal(const char* text, size_t length) {
  uint64_t value = 0;
  for (size_t i = 0; i < length; ++i)
    if (text[i] >= '0' && text[i] <= '7') value = value * 8 + static_cast<uint64_t>(text[i] - '0');
  return value;
}

}  // namespace vix
