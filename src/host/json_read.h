#pragma once
// Reads members of the objects the browser sends.

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

// Whether the member `key` of `value` is true.
inline bool flag_member(JsonValue value, std::string_view key) {
  const JsonValue* member = value.find(key);
  return member && member->is_bool() && member->as_bool();
}

}  // namespace tessik::host
