#include "bin/tessik_browser/output.h"

#include <cerrno>
#include <unistd.h>

namespace tessik {

void FdSink::drain(std::string_view bytes) {
  while (!failed_ && !bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void print_result(JsonSink& out, JsonValue result) {
  switch (result.kind()) {
    case JsonKind::null:
      return;
    case JsonKind::string:
      out.write(result.as_string());
      break;
    case JsonKind::array:
    case JsonKind::object:
      write_pretty(out, result);
      break;
    default:
      write_compact(out, result);
      break;
  }
  out.put('\n');
}

}  // namespace tessik
