#pragma once
// The UTF-8 check: every text the program reads must be UTF-8. (The lossy
// form for display is in sys/utf8.h.)

#include <string_view>

namespace tessik {

bool is_valid_utf8(std::string_view bytes);

}  // namespace tessik
