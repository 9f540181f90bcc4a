#pragma once
// UTF-8 for the bytes the system hands over (argument words, paths, error
// descriptions), which may be anything: the rule for one sequence, and the
// lossy form in which such bytes are shown.

#include <cstddef>
#include <string>
#include <string_view>

namespace tessik::sys {

// Length of the valid sequence at s[0..n), or 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF are invalid).
inline size_t utf8_sequence_length(const unsigned char* s, size_t n) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  auto cont = [&](size_t i) { return i < n && (s[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (n < 2) return 0;
    unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    if (s[1] < lo || s[1] > hi) return 0;
    return cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (n < 2) return 0;
    unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < lo || s[1] > hi) return 0;
    return cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

// `bytes` with each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace tessik::sys
