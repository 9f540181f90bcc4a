#include "bin/tessik_browser/output.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace tessik {

namespace {

// Waits until `fd` takes more bytes, or reports why it never will through the
// next write; false when the wait itself fails.
bool await_writable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, -1);
    if (ready >= 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    // A caller may hand over a non-blocking pipe; a full one is no failure.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!await_writable(fd)) return false;
      continue;
    }
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void FdSink::drain(std::string_view bytes) {
  if (!failed_) failed_ = !write_all(fd_, bytes);
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
