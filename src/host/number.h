#pragma once
// Whole numbers as options and endpoints write them.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessik::host {

// The number `text` writes in decimal digits alone, if it is from `min` to
// `max`; nothing for an empty text, a sign, a space or a number out of range.
inline std::optional<uint64_t> whole_number(std::string_view text, uint64_t min, uint64_t max) {
  if (text.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<uint64_t>(c - '0');
    // Past `max`, found before the product can overflow.
    if (digit > max || n > (max - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  if (n < min) return std::nullopt;
  return n;
}

}  // namespace tessik::host
