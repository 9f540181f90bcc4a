#pragma once

#include <string>

namespace tessik::sys {

// "{description} (os error {number})", the description made valid UTF-8.
std::string os_error_text(int error_number);

}  // namespace tessik::sys
