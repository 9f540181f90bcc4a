#include "sys/utf8.h"

namespace tessik::sys {

namespace {

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

std::string lossy_utf8(std::string_view bytes) {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0;
  std::string out;
  out.reserve(n);
  while (i < n) {
    size_t len = utf8_sequence_length(s + i, n - i);
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

}  // namespace tessik::sys
