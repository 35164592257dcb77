// The application's shared helpers: the settings file and its INI reader and
// writer, window positions as text, the titled message box, stored names and
// special folders, and the end of the run.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace vix::app {

inline constexpr char kAppTitle[] = "Pelmoran Vix";
// The main program's name: the dialog's settings file is named after it, and
// vix reads the same file.
inline constexpr char kMainProgramName[] = "PLM_VIX";

// ---------------------------------------------------------------------------
// INI files

// An INI text file in the system code page, or in UTF-8 when it starts with a
// byte-order mark (kept on writing). Section and key names match without
// case. A write replaces the key's line in place (or adds the section and the
// key) and leaves every other byte of the file as it was.
class TIniFile {
 public:
  explicit TIniFile(std::string path);

  const std::string& FileName() const { return path_; }
  // Blanks around a value and one pair of enclosing quotes are dropped; at
  // most 2047 characters are read.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // False when the file cannot be written; Reason() then holds the system's
  // reason and the file is as it was.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  bool WriteInteger(const std::string& section, const std::string& key, int value);
  bool WriteBool(const std::string& section, const std::string& key, bool value);
  const std::string& Reason() const { return reason_; }

 private:
  struct Line {
    std::string Raw;   // the bytes of the line as in the file
    std::string Eol;   // its line break
  };
  // The line's text in UTF-8.
  std::string Text(const Line& line) const;
  std::string Encode(const std::string& utf8) const;
  // Index of the section's header line, or -1.
  int FindSection(const std::string& section) const;
  // Index of the key's line inside the section starting after `header`, or
  // -1; `end` receives the index after the section's last non-blank line.
  int FindKey(int header, const std::string& key, int& end) const;
  bool Save();

  std::string path_;
  std::vector<Line> lines_;
  bool utf8_ = false;
  bool bom_ = false;
  std::string reason_;
};

// Integer text: "0x"/"0X" (text longer than two characters) or "$" select
// hexadecimal, otherwise signed decimal; anything else gives `def`.
int TextToIntDef(const std::string& text, int def);

// ---------------------------------------------------------------------------
// Settings

// The settings file beside the program, named after it with ".INI"; in the
// user's application-data folder instead when that copy exists or the
// program's folder cannot be written.
std::string SettingsFileName();
// The same rule for a given program path and user folder.
std::string SettingsFileFor(const std::string& programPath, const std::string& userDir);
// Where the settings go when the program's folder is not writable.
std::string UserSettingsDir();
// True when a new file can be made in the folder.
bool FolderWritable(const std::string& folder);

struct TPoint {
  int X = 0, Y = 0;
  bool operator==(const TPoint& o) const { return X == o.X && Y == o.Y; }
};
std::string PointToText(TPoint p);
TPoint TextToPoint(const std::string& text);

// The drop window's position: "DragDropFormPosition" of "Common", the middle
// of the screen when there is none; applied as read (no clamping).
TPoint LoadPosition(const std::string& settingsFile, int screenWidth, int screenHeight,
                    int width, int height);
// False with the reason when the file refused the write.
bool SavePosition(const std::string& settingsFile, TPoint position, std::string& reason);

// ---------------------------------------------------------------------------
// Message box flags and results (the platform's values).
enum : int {
  MB_OK_ = 0x0, MB_YESNO_ = 0x4, MB_ICONSTOP_ = 0x10,
  IDOK_ = 1, IDYES_ = 6, IDNO_ = 7,
};
int AppMessageBox(const std::string& text, int flags);

// The name part of `path` as the file system stores it, or as written when
// nothing is found.
std::string FoundFileName(const std::string& path);
std::string SpecialFolderDir(int csidl);
// The path without one trailing delimiter. In a code-page-932 path a 0x5C
// byte that is the second byte of a double-byte character is not one.
std::string StripTrailingDelimiter(const std::string& path,
                                   platform::PathStyle style = platform::kNativeStyle,
                                   unsigned codePage = 65001);

// ---------------------------------------------------------------------------
// The end of the run: the main form is never shown once this is set.
struct TApplicationState {
  bool Terminated = false;
  bool ShowMainForm = true;
};
TApplicationState& Application();
void QuitApplication();

}  // namespace vix::app
