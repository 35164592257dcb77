// The data the tests compress: noise that does not shrink, text-like words
// that do, and repeats. Every generator is seeded, so a failing case gives
// the same bytes on every run and every platform (std::mt19937 is fully
// specified). Buffer is std::string or std::vector<uint8_t>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace vix::test {

using Bytes = std::vector<uint8_t>;

// Words an archive test would see in a text file.
inline constexpr std::initializer_list<const char*> kArchiveWords = {
    "the ", "entry ", "header ", "of ", "archive ", "window ", "block ", "\n"};

// One draw of the generator per byte.
template <class Buffer = std::string>
Buffer Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Buffer out(size, 0);
  for (auto& b : out) b = static_cast<typename Buffer::value_type>(random());
  return out;
}

// Words drawn from `vocabulary`, cut at `size`: matches of many lengths and
// distances, as in prose.
template <class Buffer = std::string>
Buffer Words(size_t size, uint32_t seed,
             std::initializer_list<const char*> vocabulary = kArchiveWords) {
  std::mt19937 random(seed);
  const size_t count = vocabulary.size();
  Buffer out;
  while (out.size() < size) {
    const char* word = vocabulary.begin()[random() % count];
    out.insert(out.end(), word, word + std::strlen(word));
  }
  out.resize(size);
  return out;
}

// `pattern` over and over, cut at `size`; with `driftEvery`, every byte of
// the next stretch of that many bytes is one higher, so the repeats are long
// but not endless.
template <class Buffer = std::string>
Buffer Repeats(size_t size, const std::string& pattern, size_t driftEvery = 0) {
  Buffer out(size, 0);
  for (size_t i = 0; i < size; ++i)
    out[i] = static_cast<typename Buffer::value_type>(pattern[i % pattern.size()] +
                                                       (driftEvery ? i / driftEvery : 0));
  return out;
}

}  // namespace vix::test
