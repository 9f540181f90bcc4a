#include "json/utf8.h"

#include <cstddef>

#include "json/scan.h"

namespace tessik {

namespace {

// Length of the valid sequence at s[0..n), or 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF are invalid).
inline size_t sequence_length(const unsigned char* s, size_t n) {
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

// Length of the maximal prefix of an invalid sequence, replaced by one U+FFFD.
size_t invalid_length(const unsigned char* s, size_t n) {
  unsigned char c = s[0];
  size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
  if (c > 0xF4) return 1;
  size_t i = 1;
  for (; i < want && i < n; ++i) {
    unsigned char lo = 0x80, hi = 0xBF;
    if (i == 1) {
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (s[i] < lo || s[i] > hi) break;
  }
  return i;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const char* const begin = bytes.data();
  const char* const end = begin + bytes.size();
  const char* p = begin;
  while ((p = skip_ascii(p, end)) != end) {
    size_t len = sequence_length(reinterpret_cast<const unsigned char*>(p),
                                 static_cast<size_t>(end - p));
    if (len == 0) return false;
    p += len;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0;
  std::string out;
  out.reserve(n);
  while (i < n) {
    size_t len = sequence_length(s + i, n - i);
    if (len) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += invalid_length(s + i, n - i);
    }
  }
  return out;
}

}  // namespace tessik
