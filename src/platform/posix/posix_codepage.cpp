// Code-page conversions with iconv. Inside the program text is UTF-8; the
// OEM page of stored names is 932 (Shift-JIS) unless VIX_OEMCP says
// otherwise, and texts that leave the program are UTF-8.
#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "platform/platform.h"

namespace vix::platform {
namespace {

constexpr unsigned kUtf8 = 65001;
constexpr unsigned kDefaultOem = 932;
constexpr char kUnmappable = '_';
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

std::string IconvName(unsigned codePage) {
  switch (codePage) {
    case 932: return "CP932";
    case 437: return "CP437";
    case 850: return "CP850";
    case 1252: return "CP1252";
    case 20127: return "ASCII";
    default: return "CP" + std::to_string(codePage);
  }
}

// The UTF-8 sequence at `p`: its length and whether it is well formed (no
// overlong forms, no surrogates, nothing above U+10FFFF). A broken one is
// as long as its longest well-formed beginning (at least one byte), so that
// it turns into one replacement as Unicode recommends and Windows does.
struct Sequence {
  size_t Length;
  bool Valid;
};

Sequence Utf8Sequence(const unsigned char* p, size_t left) {
  const unsigned char b = p[0];
  if (b < 0x80) return {1, true};
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  size_t i = 1;
  for (; i < len && i < left; ++i) {
    const unsigned char t = p[i];
    if (i == 1 ? (t < lo || t > hi) : (t & 0xC0) != 0x80) break;
  }
  return {i, i == len};
}

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts [in, in + size). On a character it cannot convert, returns
  // false with `in`/`size` at that character; everything before it is in
  // `out`.
  bool Run(const char*& in, size_t& size, std::string& out) {
    char buffer[1024];
    while (size > 0) {
      char* dst = buffer;
      size_t room = sizeof buffer;
      char* src = const_cast<char*>(in);
      const size_t r = iconv(cd_, &src, &size, &dst, &room);
      out.append(buffer, dst);
      in = src;
      if (r == static_cast<size_t>(-1) && errno != E2BIG) return false;
    }
    char* dst = buffer;
    size_t room = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &dst, &room);  // end any shift state
    out.append(buffer, dst);
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

unsigned OemCodePage() {
  const char* env = std::getenv("VIX_OEMCP");
  if (!env || !*env) return kDefaultOem;
  if (strcasecmp(env, "UTF-8") == 0 || strcasecmp(env, "UTF8") == 0) return kUtf8;
  char* end = nullptr;
  const unsigned long page = std::strtoul(env, &end, 10);
  return *end == '\0' && page > 0 && page < 65536 ? static_cast<unsigned>(page) : kDefaultOem;
}

unsigned AnsiCodePage() { return kUtf8; }

std::string Utf8ToCodePage(const std::string& text, unsigned codePage) {
  if (codePage == kUtf8) return text;
  Converter conv(IconvName(codePage), "UTF-8");
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    // The longest well-formed run goes to iconv in one piece.
    size_t end = i;
    Sequence seq{0, true};
    while (end < text.size()) {
      seq = Utf8Sequence(bytes + end, text.size() - end);
      if (!seq.Valid) break;
      end += seq.Length;
    }
    const char* in = text.data() + i;
    size_t size = end - i;
    while (size > 0) {
      if (conv.ok() && conv.Run(in, size, out)) break;
      // A character this page cannot hold (without a converter only ASCII
      // passes).
      const size_t len = Utf8Sequence(reinterpret_cast<const unsigned char*>(in), size).Length;
      out += !conv.ok() && len == 1 ? *in : kUnmappable;
      in += len;
      size -= len;
    }
    i = end;
    if (i < text.size()) {  // bytes that are not UTF-8
      out += kUnmappable;
      i += seq.Length;
    }
  }
  return out;
}

std::string CodePageToUtf8(const std::string& text, unsigned codePage) {
  std::string out;
  if (codePage == kUtf8) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
      const Sequence seq = Utf8Sequence(bytes + i, text.size() - i);
      if (seq.Valid)
        out.append(text, i, seq.Length);
      else
        out += kReplacement;
      i += seq.Length;
    }
    return out;
  }
  Converter conv("UTF-8", IconvName(codePage));
  const char* in = text.data();
  size_t size = text.size();
  while (size > 0) {
    if (conv.ok() && conv.Run(in, size, out)) break;
    // An undecodable byte (or no converter: only ASCII is certain).
    if (!conv.ok() && static_cast<unsigned char>(*in) < 0x80)
      out += *in;
    else
      out += kReplacement;
    ++in;
    --size;
  }
  return out;
}

}  // namespace vix::platform
