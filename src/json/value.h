#pragma once
// The JSON value model: a 16-byte value that views storage owned by a
// JsonDocument, so a parsed text costs no heap node per value.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "json/buffer.h"

namespace tessik {

enum class JsonKind : uint8_t { null, boolean, u64, i64, f64, string, array, object };

struct JsonMember;

class JsonValue {
 public:
  constexpr JsonValue() = default;  // null

  static JsonValue boolean(bool b) { return JsonValue(JsonKind::boolean, 0, Payload{.b = b}); }
  static JsonValue u64(uint64_t u) { return JsonValue(JsonKind::u64, 0, Payload{.u = u}); }
  // For negative integers; a non-negative one is held as u64.
  static JsonValue i64(int64_t i) { return JsonValue(JsonKind::i64, 0, Payload{.i = i}); }
  static JsonValue f64(double d) { return JsonValue(JsonKind::f64, 0, Payload{.d = d}); }
  // The views below do not own what they point at.
  static JsonValue string(std::string_view s) {
    return JsonValue(JsonKind::string, s.size(), Payload{.s = s.data()});
  }
  static JsonValue array(std::span<const JsonValue> items) {
    return JsonValue(JsonKind::array, items.size(), Payload{.a = items.data()});
  }
  // `members` must be sorted by key bytes with no key twice.
  static JsonValue object(std::span<const JsonMember> members);

  JsonKind kind() const { return static_cast<JsonKind>(tag_ & 7); }
  bool is_null() const { return kind() == JsonKind::null; }
  bool is_bool() const { return kind() == JsonKind::boolean; }
  bool is_string() const { return kind() == JsonKind::string; }
  bool is_array() const { return kind() == JsonKind::array; }
  bool is_object() const { return kind() == JsonKind::object; }
  bool is_number() const {
    return kind() == JsonKind::u64 || kind() == JsonKind::i64 || kind() == JsonKind::f64;
  }

  bool as_bool() const { return p_.b; }
  uint64_t as_u64() const { return p_.u; }
  int64_t as_i64() const { return p_.i; }
  double as_f64() const { return p_.d; }
  std::string_view as_string() const { return {p_.s, size()}; }
  std::span<const JsonValue> items() const { return {p_.a, size()}; }
  std::span<const JsonMember> members() const;
  // Number of elements, members or string bytes.
  size_t size() const { return static_cast<size_t>(tag_ >> 3); }

  // The member named `key`, byte for byte; null pointer when this is not an
  // object or has no such member.
  const JsonValue* find(std::string_view key) const;

 private:
  union Payload {
    bool b;
    uint64_t u;
    int64_t i;
    double d;
    const char* s;
    const JsonValue* a;
    const JsonMember* o;
  };
  constexpr JsonValue(JsonKind kind, size_t size, Payload p)
      : p_(p), tag_((static_cast<uint64_t>(size) << 3) | static_cast<uint64_t>(kind)) {}

  Payload p_{.u = 0};
  uint64_t tag_ = 0;
};

struct JsonMember {
  JsonValue key;  // always a string
  JsonValue value;
};

// Deep equality: same kinds, same numbers, same bytes, same members.
bool operator==(const JsonValue& a, const JsonValue& b);

// Owns the text a value was read from and the storage of its containers and
// decoded strings. Moving a document keeps every value it holds valid.
class JsonDocument {
 public:
  JsonDocument() = default;
  // The moved-from document is left empty, owning and pointing at nothing.
  JsonDocument(JsonDocument&& other) noexcept;
  JsonDocument& operator=(JsonDocument&& other) noexcept;

  JsonValue root() const { return root_; }
  void set_root(JsonValue root) { root_ = root; }

  // Builders for values made by the program: each copies what it is given.
  JsonValue add_string(std::string_view s);
  // Sorts the members by key bytes; of two equal keys the later one wins.
  JsonValue add_object(std::span<const JsonMember> members);

  // Raw storage for the reader: `bytes` aligned for a JsonValue.
  void* allocate(size_t bytes);
  // Takes ownership of the text that values of this document view.
  void adopt_text(ByteBuffer text) { texts_.push_back(std::move(text)); }

 private:
  std::vector<ByteBuffer> blocks_;
  std::vector<ByteBuffer> texts_;
  char* free_ = nullptr;
  size_t left_ = 0;
  static constexpr size_t kFirstBlock = 4096;
  size_t next_block_ = kFirstBlock;
  JsonValue root_;
};

// How many arrays and objects are open at the deepest point of `value`: 0 for
// a scalar, 1 for [] or [1], 2 for [[]].
size_t nesting_depth(JsonValue value);

// Sorts members[0..n) by key bytes, keeps the later of equal keys, and returns
// the number kept.
size_t settle_members(JsonMember* members, size_t n);

}  // namespace tessik

namespace tessik {
static_assert(sizeof(JsonValue) == 16);
static_assert(sizeof(JsonMember) == 2 * sizeof(JsonValue));  // the reader relies on it
}  // namespace tessik
