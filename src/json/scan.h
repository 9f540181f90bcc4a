#pragma once
// The vectorised scans of the JSON code. skip_plain finds the bytes that a
// JSON string cannot hold as they are (the quote, the backslash and the
// control characters): the reader stops at them and the writer escapes them.
// skip_ascii finds the first byte above 0x7F, for the UTF-8 check.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessik {

// Bytes that end a plain run inside a string: the quote, the backslash and
// the control characters.
inline constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

// The first byte in [s, end) that ends a plain run, or end. Takes sixteen or
// eight bytes at a time: long strings (page text, HTML) are the bulk of large
// replies.
inline const char* skip_plain(const char* s, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), slash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x20 - 0x80);  // signed compare of x - 0x80
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  while (end - s >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    __m128i stop = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, slash)),
        _mm_cmplt_epi8(_mm_xor_si128(x, flip), below_space));
    if (int mask = _mm_movemask_epi8(stop)) return s + std::countr_zero(static_cast<unsigned>(mask));
    s += 16;
  }
#endif
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  while (end - s >= 8) {
    uint64_t x;
    std::memcpy(&x, s, 8);
    uint64_t quote = x ^ (kOnes * '"');
    uint64_t slash = x ^ (kOnes * '\\');
    uint64_t stop = ((x - kOnes * 0x20) | (quote - kOnes) | (slash - kOnes)) & ~x & kHigh;
    // A borrow can flag bytes above a real stop, never below one, so the
    // lowest flagged byte is the first stop (bytes are read little-endian).
    if (stop) {
      if constexpr (std::endian::native == std::endian::little) return s + std::countr_zero(stop) / 8;
      break;
    }
    s += 8;
  }
  while (s != end && !kStringStop[static_cast<unsigned char>(*s)]) ++s;
  return s;
}

// The first byte in [s, end) above 0x7F, or end. ASCII runs dominate page
// text, so they are taken sixteen or eight bytes at a time.
inline const char* skip_ascii(const char* s, const char* end) {
#if defined(__SSE2__)
  while (end - s >= 16) {
    int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    if (high) return s + std::countr_zero(static_cast<unsigned>(high));
    s += 16;
  }
#endif
  while (end - s >= 8) {
    uint64_t x;
    std::memcpy(&x, s, 8);
    if (x & 0x8080808080808080ull) break;
    s += 8;
  }
  while (s != end && static_cast<unsigned char>(*s) < 0x80) ++s;
  return s;
}

inline char* skip_plain(char* s, char* end) {
  return const_cast<char*>(skip_plain(static_cast<const char*>(s), static_cast<const char*>(end)));
}

}  // namespace tessik
