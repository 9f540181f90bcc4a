#pragma once
// UTF-8 checks: every text the program reads must be UTF-8.

#include <string>
#include <string_view>

namespace tessik {

bool is_valid_utf8(std::string_view bytes);

// `bytes` with each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace tessik
