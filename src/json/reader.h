#pragma once
// parse_json: one JSON text to a document, or the first failure with its position.

#include <cstddef>
#include <expected>
#include <string_view>

#include "json/buffer.h"
#include "json/cursor.h"
#include "json/value.h"

namespace tessik {

// Most arrays and objects open at once; one more is "recursion limit exceeded".
inline constexpr size_t kMaxJsonDepth = 127;

struct JsonReadOptions {
  size_t max_depth = kMaxJsonDepth;
  JsonCursor::Surrogates surrogates = JsonCursor::Surrogates::checked;
};

// Parses text[begin, size) where it lies; the document takes the buffer.
std::expected<JsonDocument, JsonError> parse_json(ByteBuffer text, size_t begin = 0,
                                                  const JsonReadOptions& options = {});
// Parses a copy of `text`.
std::expected<JsonDocument, JsonError> parse_json(std::string_view text,
                                                  const JsonReadOptions& options = {});

}  // namespace tessik
