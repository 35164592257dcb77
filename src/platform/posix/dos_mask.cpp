#include "platform/posix/dos_mask.h"

#include <cstdint>
#include <vector>

namespace vix::platform::detail {
namespace {

// Pattern tokens besides ordinary characters; above the Unicode range so
// they never collide with a decoded character.
constexpr char32_t kStar = 0x110000;     // any run of characters
constexpr char32_t kDosStar = 0x110001;  // any run up to the last "."
constexpr char32_t kDosQm = 0x110002;    // one character, or none at "." / end
constexpr char32_t kDosDot = 0x110003;   // a ".", or nothing at the end

// Code points of a UTF-8 string; an invalid byte stands for itself so that
// names in other encodings still compare byte by byte.
std::vector<char32_t> Decode(const std::string& s) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<uint8_t>(s[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto t = static_cast<uint8_t>(s[i + k]);
      ok = (t & 0xC0) == 0x80;
      c = c << 6 | (t & 0x3F);
    }
    if (!ok) {
      out.push_back(0xDC00 + b);  // a lone byte, kept distinct from real characters
      ++i;
      continue;
    }
    out.push_back(c);
    i += len;
  }
  return out;
}

char32_t Fold(char32_t c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

class Matcher {
 public:
  Matcher(std::vector<char32_t> pattern, std::vector<char32_t> name)
      : p_(std::move(pattern)), n_(std::move(name)),
        memo_((p_.size() + 1) * (n_.size() + 1), kUnknown) {
    lastDot_ = n_.size();
    for (size_t i = 0; i < n_.size(); ++i)
      if (n_[i] == '.') lastDot_ = i;
  }

  bool Match(size_t pi, size_t ni) {
    int8_t& memo = memo_[pi * (n_.size() + 1) + ni];
    if (memo == kUnknown) memo = Step(pi, ni) ? 1 : 0;
    return memo == 1;
  }

 private:
  static constexpr int8_t kUnknown = -1;

  bool Step(size_t pi, size_t ni) {
    if (pi == p_.size()) return ni == n_.size();
    const char32_t c = p_[pi];
    const bool atEnd = ni == n_.size();
    switch (c) {
      case kStar:
        for (size_t k = ni; k <= n_.size(); ++k)
          if (Match(pi + 1, k)) return true;
        return false;
      case kDosStar: {
        const size_t limit = lastDot_ != n_.size() && lastDot_ >= ni ? lastDot_ : n_.size();
        for (size_t k = ni; k <= limit; ++k)
          if (Match(pi + 1, k)) return true;
        return false;
      }
      case kDosQm:
        if (!atEnd && n_[ni] != '.') return Match(pi + 1, ni + 1);
        while (pi < p_.size() && p_[pi] == kDosQm) ++pi;
        return Match(pi, ni);
      case kDosDot:
        if (atEnd) return Match(pi + 1, ni);
        return n_[ni] == '.' && Match(pi + 1, ni + 1);
      default:
        return !atEnd && Fold(n_[ni]) == Fold(c) && Match(pi + 1, ni + 1);
    }
  }

  std::vector<char32_t> p_, n_;
  std::vector<int8_t> memo_;
  size_t lastDot_;
};

// The translation Windows applies to a search mask before matching.
std::vector<char32_t> Translate(const std::vector<char32_t>& mask) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < mask.size(); ++i) {
    const char32_t next = i + 1 < mask.size() ? mask[i + 1] : 0;
    switch (mask[i]) {
      case '?': out.push_back(kDosQm); break;
      case '*': out.push_back(next == '.' ? kDosStar : kStar); break;
      case '.': out.push_back(next == 0 || next == '*' || next == '?' ? kDosDot : '.'); break;
      default: out.push_back(mask[i]);
    }
  }
  return out;
}

}  // namespace

std::u32string NameKey(const std::string& name) {
  const std::vector<char32_t> decoded = Decode(name);
  std::u32string key;
  key.reserve(decoded.size());
  for (char32_t c : decoded) key.push_back(Fold(c));
  return key;
}

std::u32string LiteralMaskKey(const std::string& mask) {
  if (mask.empty() || mask.back() == '.' || mask.find_first_of("*?") != std::string::npos)
    return {};
  return NameKey(mask);
}

bool MatchDosMask(const std::string& name, const std::string& mask) {
  if (mask.empty()) return false;
  if (mask == "*" || mask == "*.*") return true;
  Matcher m(Translate(Decode(mask)), Decode(name));
  return m.Match(0, 0);
}

}  // namespace vix::platform::detail
