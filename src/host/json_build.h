#pragma once
// Builds the objects the host sends: members collect in a list and settle into
// one sorted object of the document at the end.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace tessik::host {

class ObjectBuilder {
 public:
  explicit ObjectBuilder(JsonDocument& doc) : doc_(doc) {}

  ObjectBuilder& add(std::string_view key, JsonValue value) {
    members_.push_back({doc_.add_string(key), value});
    return *this;
  }
  ObjectBuilder& add_string(std::string_view key, std::string_view value) {
    return add(key, doc_.add_string(value));
  }
  ObjectBuilder& add_bool(std::string_view key, bool value) {
    return add(key, JsonValue::boolean(value));
  }
  ObjectBuilder& add_u64(std::string_view key, uint64_t value) {
    return add(key, JsonValue::u64(value));
  }
  JsonValue build() { return doc_.add_object(members_); }

 private:
  JsonDocument& doc_;
  std::vector<JsonMember> members_;
};

// An array of `doc` holding copies of `items`.
inline JsonValue add_array(JsonDocument& doc, std::span<const JsonValue> items) {
  if (items.empty()) return JsonValue::array({});
  auto* p = static_cast<JsonValue*>(doc.allocate(items.size() * sizeof(JsonValue)));
  std::uninitialized_copy(items.begin(), items.end(), p);
  return JsonValue::array({p, items.size()});
}

}  // namespace tessik::host
