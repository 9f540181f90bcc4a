#pragma once
// The reply envelope: success with a result value, or a failure message.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "json/buffer.h"
#include "json/value.h"

namespace tessik {

// Parses the body text[begin, size) where it lies; the document's root is the
// result. A failure is the whole message to report.
std::expected<JsonDocument, std::string> decode_exec_response(ByteBuffer text, size_t begin = 0);
std::expected<JsonDocument, std::string> decode_exec_response(std::string_view body);

}  // namespace tessik
