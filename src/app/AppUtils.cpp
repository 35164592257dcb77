#include "app/AppUtils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "archive/kvtBase.h"
#include "archive/kvtNames.h"

namespace vix::app {

namespace {

const char kBom[] = "\xEF\xBB\xBF";

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// The first `count` characters of UTF-8 text.
std::string FirstChars(const std::string& s, size_t count) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == count) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  auto file = platform::Current().OpenRead(path, platform::ShareMode::Read);
  if (!file) return false;
  char buffer[65536];
  for (;;) {
    const int64_t n = file->Read(buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TIniFile

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {
  std::string bytes;
  if (!ReadWholeFile(path_, bytes)) bytes.clear();
  bom_ = bytes.compare(0, 3, kBom) == 0;
  if (bom_) bytes.erase(0, 3);
  utf8_ = bom_ || platform::AnsiCodePage() == 65001;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = pos;
    while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
    Line line{bytes.substr(pos, end - pos), ""};
    if (end < bytes.size()) {
      size_t eolEnd = end + 1;
      if (bytes[end] == '\r' && eolEnd < bytes.size() && bytes[eolEnd] == '\n') ++eolEnd;
      line.Eol = bytes.substr(end, eolEnd - end);
      end = eolEnd;
    }
    lines_.push_back(std::move(line));
    pos = end;
  }
}

std::string TIniFile::Text(const Line& line) const {
  return utf8_ ? line.Raw : platform::AnsiToUtf8(line.Raw);
}

std::string TIniFile::Encode(const std::string& utf8) const {
  return utf8_ ? utf8 : platform::Utf8ToAnsi(utf8);
}

int TIniFile::FindSection(const std::string& section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string t = Trim(Text(lines_[i]));
    if (t.size() < 2 || t[0] != '[') continue;
    const size_t close = t.find(']');
    if (close != std::string::npos && SameTextAscii(Trim(t.substr(1, close - 1)), section))
      return static_cast<int>(i);
  }
  return -1;
}

int TIniFile::FindKey(int header, const std::string& key, int& end) const {
  end = header + 1;
  for (size_t i = header + 1; i < lines_.size(); ++i) {
    const std::string t = Trim(Text(lines_[i]));
    if (!t.empty() && t[0] == '[') break;
    if (t.empty()) continue;
    end = static_cast<int>(i) + 1;
    if (t[0] == ';') continue;
    const size_t eq = t.find('=');
    if (eq != std::string::npos && SameTextAscii(Trim(t.substr(0, eq)), key))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  const int header = FindSection(section);
  if (header < 0) return def;
  int end = 0;
  const int at = FindKey(header, key, end);
  if (at < 0) return def;
  const std::string t = Text(lines_[at]);
  std::string value = Trim(t.substr(t.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return FirstChars(value, 2047);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
  return TextToIntDef(ReadString(section, key, ""), def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  const std::vector<Line> before = lines_;
  // New lines take the file's own line break.
  std::string eol = "\r\n";
  for (const Line& l : lines_)
    if (!l.Eol.empty()) {
      eol = l.Eol;
      break;
    }
  const std::string text = Encode(key + "=" + value);
  int header = FindSection(section);
  if (header < 0) {
    if (!lines_.empty() && lines_.back().Eol.empty()) lines_.back().Eol = eol;
    lines_.push_back({Encode("[" + section + "]"), eol});
    lines_.push_back({text, eol});
  } else {
    int end = 0;
    const int at = FindKey(header, key, end);
    if (at >= 0) {
      // The key keeps its spelling in the file.
      const std::string old = Text(lines_[at]);
      lines_[at].Raw = Encode(Trim(old.substr(0, old.find('='))) + "=" + value);
    } else {
      if (end == static_cast<int>(lines_.size()) && !lines_.empty() && lines_.back().Eol.empty())
        lines_.back().Eol = eol;
      lines_.insert(lines_.begin() + end, Line{text, eol});
    }
  }
  if (Save()) return true;
  lines_ = before;
  return false;
}

bool TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::Save() {
  auto& os = platform::Current();
  const uint32_t attr = os.GetAttributes(path_);
  if (attr != platform::kNoAttributes && (attr & platform::kAttrReadOnly)) {
    reason_ = "read-only";
    return false;
  }
  std::string bytes = bom_ ? kBom : "";
  for (const Line& l : lines_) bytes += l.Raw + l.Eol;
  // Written beside and moved over the old file, so that a failed write
  // leaves the old settings whole.
  const std::string temp = TCompBase::UniqueFileBeside(path_);
  if (temp.empty()) {
    reason_ = os.LastErrorText();
    return false;
  }
  auto file = os.Create(temp, true);
  bool ok = file && file->Write(bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
  ok = file && file->Close() && ok;
  if (ok) ok = TCompBase::ReplaceFileWith(temp, path_);
  if (!ok) {
    reason_ = os.LastErrorText();
    os.DeleteFile(temp);
  }
  return ok;
}

int TextToIntDef(const std::string& text, int def) {
  std::string t = text;
  int base = 10;
  bool negative = false;
  size_t i = 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    i = 2;
  } else {
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
    if (i < t.size() && t[i] == '$') {
      base = 16;
      ++i;
    }
  }
  if (i >= t.size()) return def;
  long long value = 0;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return def;
    value = value * base + digit;
    // Hexadecimal spells the bit pattern of a 32-bit value.
    if (value > (base == 16 ? 0xFFFFFFFFLL : 0x80000000LL)) return def;
  }
  if (base == 16 && !negative) return static_cast<int>(static_cast<uint32_t>(value));
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return def;
  return static_cast<int>(value);
}

// ---------------------------------------------------------------------------
// Settings

std::string UserSettingsDir() {
  const std::string base = SpecialFolderDir(platform::kCsidlAppData);
  if (base.empty()) return "";
#ifdef _WIN32
  return AppendBackslash(base) + kAppTitle;
#else
  return AppendBackslash(base) + "pelmoran-vix";
#endif
}

bool FolderWritable(const std::string& folder) {
  auto& os = platform::Current();
  const std::string probe = os.UniqueTempFile(folder.empty() ? "." : folder, "kvt");
  if (probe.empty()) return false;
  os.DeleteFile(probe);
  return true;
}

std::string SettingsFileFor(const std::string& programPath, const std::string& userDir) {
  const std::string beside = ChangeFileExt(programPath, ".INI");
  if (userDir.empty()) return beside;
  const std::string user = AppendBackslash(userDir) + ExtractFileName(beside);
  auto& os = platform::Current();
  if (os.GetAttributes(user) != platform::kNoAttributes) return user;
  if (!programPath.empty() && FolderWritable(ExtractFileDir(programPath))) return beside;
  // The folder is made here so that the save that follows the run can write.
  ForceDirs(userDir);
  return user;
}

std::string SettingsFileName() {
  return SettingsFileFor(platform::ProgramPath(), UserSettingsDir());
}

std::string PointToText(TPoint p) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%d,%d", p.X, p.Y);
  return buffer;
}

TPoint TextToPoint(const std::string& text) {
  // Split as a comma-separated list: commas, blanks and control characters
  // separate; a double-quoted item may hold them.
  std::vector<std::string> items;
  size_t i = 0;
  const auto sep = [](char c) { return c == ',' || static_cast<unsigned char>(c) <= ' '; };
  while (i < text.size() && items.size() < 2) {
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
    if (i >= text.size()) break;
    std::string item;
    if (text[i] == '"') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
      while (i < text.size() && !sep(text[i])) item += text[i++];
    } else {
      while (i < text.size() && !sep(text[i])) item += text[i++];
    }
    items.push_back(item);
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
    if (i < text.size() && text[i] == ',') ++i;
  }
  if (items.size() < 2) return {};
  const auto decimal = [](const std::string& s) {
    if (s.empty()) return 0;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || v > INT_MAX || v < INT_MIN) return 0;
    return static_cast<int>(v);
  };
  return {decimal(items[0]), decimal(items[1])};
}

TPoint LoadPosition(const std::string& settingsFile, int screenWidth, int screenHeight,
                    int width, int height) {
  const TPoint centre{(screenWidth - width) / 2, (screenHeight - height) / 2};
  const TIniFile ini(settingsFile);
  return TextToPoint(ini.ReadString("Common", "DragDropFormPosition", PointToText(centre)));
}

bool SavePosition(const std::string& settingsFile, TPoint position, std::string& reason) {
  TIniFile ini(settingsFile);
  if (ini.WriteString("Common", "DragDropFormPosition", PointToText(position))) return true;
  reason = ini.Reason();
  return false;
}

int AppMessageBox(const std::string& text, int flags) {
  if ((flags & 0xF) == MB_YESNO_)
    return platform::AskYesNo(text, kAppTitle) ? IDYES_ : IDNO_;
  platform::ShowMessage(text, kAppTitle,
                        (flags & MB_ICONSTOP_) ? platform::MsgIcon::Stop : platform::MsgIcon::None);
  return IDOK_;
}

std::string FoundFileName(const std::string& path) {
  const std::string folder = ExtractFilePath(path);
  const std::string name = ExtractFileName(path);
  if (!name.empty() && name.find_first_of("*?") == std::string::npos) {
    auto find = platform::Current().FindFirst(folder.empty() ? "." : folder, name);
    platform::FindData data;
    if (find && find->Next(data)) return data.Name;
  }
  return name;
}

std::string SpecialFolderDir(int csidl) { return platform::SpecialFolderPath(csidl); }

std::string StripTrailingDelimiter(const std::string& path, platform::PathStyle style,
                                   unsigned codePage) {
  if (path.empty() || path.back() != style.Delim) return path;
  if (codePage == 932) {
    // Walk the characters: the last byte may be the trail of a lead byte.
    size_t i = 0;
    while (i < path.size()) {
      const auto c = static_cast<unsigned char>(path[i]);
      const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
      const size_t len = lead && i + 1 < path.size() ? 2 : 1;
      if (i + len == path.size()) return len == 2 ? path : path.substr(0, i);
      i += len;
    }
  }
  return path.substr(0, path.size() - 1);
}

TApplicationState& Application() {
  static TApplicationState state;
  return state;
}

void QuitApplication() {
  Application().ShowMainForm = false;
  Application().Terminated = true;
}

}  // namespace vix::app
