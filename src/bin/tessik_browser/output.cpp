#include "bin/tessik_browser/output.h"

#include "sys/rw.h"

namespace tessik {

void FdSink::drain(std::string_view bytes) {
  if (!failed_) failed_ = !sys::write_all(fd_, bytes);
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
