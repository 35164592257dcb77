// The texts a user reads from the command-line front end, in English and
// Japanese: error reports in the user's words (never an internal event name)
// and the program's own messages. One table, chosen by the locale.
#pragma once

#include <string>

#include "archive/kvtBase.h"

namespace vix::app {

enum class TLang { En, Ja };
// Japanese when the locale (LC_ALL, LC_MESSAGES, LANG, in that order) starts
// with "ja"; English otherwise.
TLang UserLanguage();

enum class TMsg {
  ErrorWhile,        // "%1" error report: file, reason
  Detail,
  NothingWritten,    // %1 archive
  NoSuchName,        // %1 name
  Cancelled,
  CancelQuestion,
  PasswordPrompt,
  PasswordNotZip,
  ListFileUsage,
  ListFileUnreadable,
  SettingsNotSaved,  // %1 file, %2 reason
  Written,           // %1 archive, %2 count
  NameUtf8,          // %1 stored name
  NameLeftOut,       // %1 stored name, %2 reason
  NameNotUtf8,
  NameBackslash,
  NameCodePage,      // %1 code page
  NamesStopped,
  NameQuestion,      // %1 the names, one a line
  NamesMore,         // %1 count
  Usage,
};

std::string Text(TMsg id, TLang lang);
// Replaces %1 and %2.
std::string Format(TMsg id, TLang lang, const std::string& a1 = "", const std::string& a2 = "");

// A writer's error report as one line: the file, the reason in the user's
// words, and the system's detail when there is one.
std::string ErrorLine(const std::string& FileName, const std::string& ExtendedMsg, int ECode,
                      TLang lang);
// One name of the name check: the name and what the run does with it.
std::string NameNoteLine(const TNameNote& Note, TLang lang);
// The reason alone (used by ErrorLine).
std::string ReasonText(int ECode, const std::string& ExtendedMsg, TLang lang);

}  // namespace vix::app
