#include "json/utf8.h"

#include <cstddef>

#include "json/scan.h"
#include "sys/utf8.h"

namespace tessik {

bool is_valid_utf8(std::string_view bytes) {
  const char* const begin = bytes.data();
  const char* const end = begin + bytes.size();
  const char* p = begin;
  while ((p = skip_ascii(p, end)) != end) {
    size_t len = sys::utf8_sequence_length(reinterpret_cast<const unsigned char*>(p),
                                           static_cast<size_t>(end - p));
    if (len == 0) return false;
    p += len;
  }
  return true;
}

}  // namespace tessik
