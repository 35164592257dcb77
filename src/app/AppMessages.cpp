#include "app/AppMessages.h"

#include "archive/kvtErrors.h"
#include "platform/platform.h"

namespace vix::app {

namespace {

struct TText {
  TMsg Id;
  const char* En;
  const char* Ja;
};

const TText kTexts[] = {
    {TMsg::ErrorWhile, "error while processing %1: %2", "%1 を処理中にエラーが発生しました。 ERROR: %2"},
    {TMsg::Detail, "details", "詳細"},
    {TMsg::NothingWritten, "nothing was written to %1 (no file matched, or none had changed)",
     "%1 には何も書き込まれませんでした (該当するファイルがないか、変更がありません)"},
    {TMsg::NoSuchName, "%1: no such file or folder", "%1: ファイルまたはフォルダがありません"},
    {TMsg::Cancelled, "cancelled", "キャンセルしました"},
    {TMsg::CancelQuestion, "Cancel writing the archive?", "キャンセルしてもよろしいですか？"},
    {TMsg::PasswordPrompt, "Password: ", "パスワード: "},
    {TMsg::PasswordNotZip, "a password can only be given for a ZIP archive",
     "パスワードは ZIP 書庫にだけ指定できます"},
    {TMsg::ListFileUsage, "/SE must be followed by the list file as the last argument",
     "/SE の後にはリストファイルを最後の引数として指定してください"},
    {TMsg::ListFileUnreadable, "%1: the list file cannot be read", "%1: リストファイルを読めません"},
    {TMsg::SettingsNotSaved, "%1: settings not saved: %2", "%1 に書き込めません: %2"},
    {TMsg::Written, "%1: %2 file(s) written", "%1: %2 個のファイルを書き込みました"},
    {TMsg::NameUtf8, "%1: stored in UTF-8", "%1: UTF-8 で格納します"},
    {TMsg::NameLeftOut, "%1: left out: %2", "%1: 除外します (%2)"},
    {TMsg::NameNotUtf8, "the name is not UTF-8 text", "名前が UTF-8 の文字列ではありません"},
    {TMsg::NameBackslash, "the name holds a backslash, which readers take for a folder separator",
     "名前に \\ が含まれ、展開時にフォルダの区切りと見なされます"},
    {TMsg::NameCodePage,
     "code page %1 cannot hold the name and this archive type cannot store names in UTF-8",
     "コードページ %1 にない文字を含み、この形式の書庫は UTF-8 の名前を格納できません"},
    {TMsg::NamesStopped, "stopped before writing (--strict): nothing was written",
     "書き込む前に中止しました (--strict): 何も書き込まれていません"},
    {TMsg::NameQuestion, "These names cannot be stored as they are:\r\n\r\n%1\r\nWrite the archive?",
     "次のファイル名はこの形式の書庫にそのままでは格納できません。\r\n\r\n%1\r\n"
     "書き込みを続けますか?"},
    {TMsg::NamesMore, "... and %1 more", "ほか %1 件"},
    {TMsg::Usage,
     "usage: vix [options] FILE...\n"
     "       vix [options] /SE LISTFILE\n"
     "  -t lzh|zip|cab|tar|tgz   archive type\n"
     "  -m METHOD                lzh: store|lh5|lh6   zip: store|fast|normal|max\n"
     "                           cab: store|mszip|lzx   tar: tar|tgz\n"
     "  -p relative|absolute|none   how paths are stored\n"
     "  -o ARCHIVE               archive name (completed as the dialog does)\n"
     "  -P PASSWORD | -e         encrypt a ZIP archive (-e asks without echo)\n"
     "  --split SIZE             a split ZIP archive: ARCHIVE.z01, .z02, ... of SIZE\n"
     "                           bytes (k, M, G: 1024, 1024², 1024³) and ARCHIVE last\n"
     "  -T, --verify             read the archive back and check every entry before it\n"
     "                           replaces the old one\n"
     "  --strict                 stop, writing nothing, when a name cannot be stored as\n"
     "                           it is (it would be stored in UTF-8, or left out)\n"
     "  --threads N              compress on N threads (0, the default: every core;\n"
     "                           1: one); the archive is the same whatever N is\n"
     "  -q                       no progress bar\n"
     "  --save-settings          keep these choices as the defaults\n"
     "  --help, --version\n",
     "使い方: vix [オプション] ファイル...\n"
     "        vix [オプション] /SE リストファイル\n"
     "  -t lzh|zip|cab|tar|tgz   書庫の形式\n"
     "  -m 方法                  lzh: store|lh5|lh6   zip: store|fast|normal|max\n"
     "                           cab: store|mszip|lzx   tar: tar|tgz\n"
     "  -p relative|absolute|none   パス名の扱い\n"
     "  -o 書庫                  書庫名 (ダイアログと同じように補完)\n"
     "  -P パスワード | -e       ZIP 書庫を暗号化 (-e は表示せずに入力)\n"
     "  --split サイズ           分割 ZIP 書庫: 書庫.z01, .z02, ... (各サイズ バイト、\n"
     "                           k, M, G 可) と最後の 書庫\n"
     "  -T, --verify             書き込み後に検査する (古い書庫を置き換える前に読み直して\n"
     "                           すべての項目を確かめる)\n"
     "  --strict                 そのままでは格納できない名前 (UTF-8 で格納、または除外)\n"
     "                           があれば何も書き込まずに中止\n"
     "  --threads N              N 個のスレッドで圧縮 (既定の 0 はすべてのコア、1 は 1 個);\n"
     "                           N によらず同じ書庫になる\n"
     "  -q                       進行状況を表示しない\n"
     "  --save-settings          この選択を既定値として保存\n"
     "  --help, --version\n"},
};

struct TReason {
  int Code;
  const char* En;
  const char* Ja;
};

// The component library's texts say what went wrong to a programmer; these
// say it to the user.
const TReason kReasons[] = {
    {kErrWrite, "cannot write the file", "ファイルに書き込めません"},
    {kErrCreateDir, "cannot create the folder", "フォルダを作成できません"},
    {kErrNotAccessible, "cannot be reached", "アクセスできません"},
    {kErrOpen, "cannot open the file", "ファイルを開けません"},
    {kErrUnsupported, "this archive type or method cannot do it, or the archive is damaged",
     "この書庫の形式または圧縮方法では処理できないか、書庫が壊れています"},
    {kErrCabinetLibrary, "the cabinet library is missing", "キャビネット ライブラリがありません"},
    {kErrUserCanceled, "cancelled", "キャンセルしました"},
    {kErrNameNotStored, "the name cannot be stored in this type of archive",
     "この形式の書庫には名前を格納できないため、ファイルを除外しました"},
    {kErrNothingToDo, "nothing to do", "処理するものがありません"},
    {kErrVerifyFailed, "the written archive failed its check; nothing was changed",
     "書き込んだ書庫の検査で誤りが見つかったため、何も変更しませんでした"},
};

bool StartsJa(const std::string& v) { return v.compare(0, 2, "ja") == 0; }

}  // namespace

TLang UserLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::string v = platform::EnvironmentVariable(name);
    if (!v.empty()) return StartsJa(v) ? TLang::Ja : TLang::En;
  }
  return TLang::En;
}

std::string Text(TMsg id, TLang lang) {
  for (const auto& t : kTexts)
    if (t.Id == id) return lang == TLang::Ja ? t.Ja : t.En;
  return "";
}

std::string Format(TMsg id, TLang lang, const std::string& a1, const std::string& a2) {
  // One pass over the text: a "%2" inside a file name given as %1 stays.
  const std::string text = Text(id, lang);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == '1' || text[i + 1] == '2')) {
      out += text[i + 1] == '1' ? a1 : a2;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string NameNoteLine(const TNameNote& Note, TLang lang) {
  switch (Note.Kind) {
    case TNameNote::nkUtf8:
      return Format(TMsg::NameUtf8, lang, Note.StoredName);
    case TNameNote::nkNotUtf8:
      return Format(TMsg::NameLeftOut, lang, Note.StoredName, Text(TMsg::NameNotUtf8, lang));
    case TNameNote::nkBackslash:
      return Format(TMsg::NameLeftOut, lang, Note.StoredName, Text(TMsg::NameBackslash, lang));
    case TNameNote::nkCodePage:
      return Format(TMsg::NameLeftOut, lang, Note.StoredName,
                    Format(TMsg::NameCodePage, lang, std::to_string(platform::OemCodePage())));
  }
  return Note.StoredName;
}

std::string ReasonText(int ECode, const std::string& ExtendedMsg, TLang lang) {
  if (ECode == kErrEventNotAssigned && ExtendedMsg == "OnNonWriteableArchive")
    return lang == TLang::Ja ? "書庫が読み取り専用 (または隠し・システム) ファイルです"
                             : "the archive is read-only (or a hidden or system file)";
  for (const auto& r : kReasons)
    if (r.Code == ECode) return lang == TLang::Ja ? r.Ja : r.En;
  return MessageText(ECode);
}

std::string ErrorLine(const std::string& FileName, const std::string& ExtendedMsg, int ECode,
                      TLang lang) {
  std::string line = Format(TMsg::ErrorWhile, lang, FileName, ReasonText(ECode, ExtendedMsg, lang));
  // The detail is the system's reason; an event name means nothing to a user.
  const bool internal = ExtendedMsg.compare(0, 2, "On") == 0 && ECode == kErrEventNotAssigned;
  if (!ExtendedMsg.empty() && ExtendedMsg != "0" && !internal)
    line += (lang == TLang::Ja ? " 詳細: " : " (") + ExtendedMsg + (lang == TLang::Ja ? "" : ")");
  return line;
}

}  // namespace vix::app
