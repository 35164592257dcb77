// UTF-8 at the edge of the system and the OEM/ANSI code pages.
#include "platform/win32/win32_util.h"

#include <vector>

#include "platform/platform.h"

namespace vix::platform {
namespace detail {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (n) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int size = static_cast<int>(length);
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  if (n) WideCharToMultiByte(CP_UTF8, 0, text, size, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace detail

namespace {

constexpr unsigned kUtf8 = CP_UTF8;
constexpr char kUnmappable[] = "_";
constexpr wchar_t kReplacement = 0xFFFD;

// Converts UTF-16 to `codePage`; `exact` says whether every character had
// its own byte sequence (false when the default "_" stood in). Code pages
// that refuse the no-best-fit flag are converted with the system's own
// choices.
bool ToPage(unsigned codePage, const wchar_t* text, int length, std::string& out, bool& exact) {
  BOOL usedDefault = FALSE;
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  BOOL* used = &usedDefault;
  const char* fallback = kUnmappable;
  int n = WideCharToMultiByte(codePage, flags, text, length, nullptr, 0, fallback, used);
  if (n == 0 && (GetLastError() == ERROR_INVALID_FLAGS || GetLastError() == ERROR_INVALID_PARAMETER)) {
    flags = 0;
    used = nullptr;
    fallback = nullptr;
    n = WideCharToMultiByte(codePage, flags, text, length, nullptr, 0, nullptr, nullptr);
  }
  if (n == 0) return false;
  std::string piece(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, flags, text, length, piece.data(), n, fallback, used);
  out += piece;
  exact = !usedDefault;
  return true;
}

}  // namespace

unsigned OemCodePage() { return GetOEMCP(); }

unsigned AnsiCodePage() { return GetACP(); }

std::string Utf8ToCodePage(const std::string& text, unsigned codePage) {
  if (codePage == kUtf8 || text.empty()) return text;
  const std::wstring wide = detail::Widen(text);  // broken UTF-8 becomes U+FFFD, then "_"
  std::string out;
  bool exact = true;
  if (ToPage(codePage, wide.data(), static_cast<int>(wide.size()), out, exact) && exact) return out;
  // Character by character, so that each one the page cannot hold becomes
  // one "_" (a surrogate pair included), and a missing page keeps ASCII.
  out.clear();
  for (size_t i = 0; i < wide.size();) {
    const size_t len = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() && IS_LOW_SURROGATE(wide[i + 1]) ? 2 : 1;
    std::string piece;
    bool pieceExact = true;
    if (ToPage(codePage, wide.data() + i, static_cast<int>(len), piece, pieceExact) && pieceExact)
      out += piece;
    else if (len == 1 && wide[i] < 0x80 && piece.empty())
      out += static_cast<char>(wide[i]);
    else
      out += kUnmappable;
    i += len;
  }
  return out;
}

std::string CodePageToUtf8(const std::string& text, unsigned codePage) {
  if (text.empty()) return {};
  if (codePage == kUtf8) return detail::Narrow(detail::Widen(text));
  const int size = static_cast<int>(text.size());
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n > 0) {
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n);
    return detail::Narrow(wide);
  }
  // Character by character: a byte that starts no valid character becomes
  // U+FFFD and the next one is tried.
  std::wstring wide;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<BYTE>(text[i]);
    const size_t len = IsDBCSLeadByteEx(codePage, b) && i + 1 < text.size() ? 2 : 1;
    wchar_t w[2];
    int got = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data() + i, static_cast<int>(len), w, 2);
    if (got == 0 && GetLastError() == ERROR_INVALID_FLAGS)
      got = MultiByteToWideChar(codePage, 0, text.data() + i, static_cast<int>(len), w, 2);
    if (got > 0) {
      wide.append(w, static_cast<size_t>(got));
      i += len;
    } else {
      wide.push_back(b < 0x80 ? static_cast<wchar_t>(b) : kReplacement);
      ++i;
    }
  }
  return detail::Narrow(wide);
}

}  // namespace vix::platform
