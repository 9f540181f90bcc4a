#pragma once
// Reads members of the objects the browser sends.

#include <cstdint>
#include <optional>
#include <string_view>

#include "json/value.h"

namespace tessik::host {

// The member `key` of `value` when it is a string; empty otherwise.
inline std::string_view string_member(JsonValue value, std::string_view key) {
  const JsonValue* member = value.find(key);
  return member && member->is_string() ? member->as_string() : std::string_view();
}

// A number of any kind as a double; 0 for anything else or nothing.
inline double number_or_zero(const JsonValue* value) {
  if (!value) return 0;
  switch (value->kind()) {
    case JsonKind::u64: return static_cast<double>(value->as_u64());
    case JsonKind::i64: return static_cast<double>(value->as_i64());
    case JsonKind::f64: return value->as_f64();
    default: return 0;
  }
}

// The member `key` of `value` when it is a whole number that fits int64_t.
inline std::optional<int64_t> integer_member(JsonValue value, std::string_view key) {
  const JsonValue* member = value.find(key);
  if (!member) return std::nullopt;
  if (member->kind() == JsonKind::i64) return member->as_i64();
  if (member->kind() == JsonKind::u64 && member->as_u64() <= INT64_MAX) {
    return static_cast<int64_t>(member->as_u64());
  }
  return std::nullopt;
}
// Whether the member `key` of `value` is true.
inline bool flag_member(JsonValue value, std::string_view key) {
  const JsonValue* member = value.find(key);
  return member && member->is_bool() && member->as_bool();
}

}  // namespace tessik::host
