#include "sys/os_error.h"

#include <cstring>

#include "sys/utf8.h"

namespace tessik::sys {

std::string os_error_text(int error_number) {
  return lossy_utf8(std::strerror(error_number)) + " (os error " + std::to_string(error_number) +
         ")";
}

}  // namespace tessik::sys
