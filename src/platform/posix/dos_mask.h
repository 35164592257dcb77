// Matching of directory-search masks by the rules Windows applies to
// FindFirstFile, so that a search behaves the same on both systems.
#pragma once

#include <string>

namespace vix::platform::detail {

// True when the file name `name` (UTF-8) matches `mask`. "*" and "*.*" match
// every name. Otherwise the mask is read as Windows reads it: "?" stands for
// one character, or for none at a "." or at the end of the name; "*" before a
// "." stops at the name's last "."; a "." before "*", "?" or the end of the
// mask may also match the end of a name without extension (so "a.*" matches
// "a" and "*." matches only names without a "."). Letters compare without
// regard to ASCII case. An empty mask matches nothing.
bool MatchDosMask(const std::string& name, const std::string& mask);

// A mask without "*" or "?" that does not end in "." matches exactly the
// names whose NameKey equals its own: its key, else empty.
std::u32string LiteralMaskKey(const std::string& mask);
std::u32string NameKey(const std::string& name);

}  // namespace vix::platform::detail
