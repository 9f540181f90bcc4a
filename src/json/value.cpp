#include "json/value.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tessik {

namespace {

int compare_keys(std::string_view a, std::string_view b) {
  // memcmp compares as unsigned bytes, which is the order objects keep.
  size_t n = std::min(a.size(), b.size());
  int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

JsonValue JsonValue::object(std::span<const JsonMember> members) {
  return JsonValue(JsonKind::object, members.size(), Payload{.o = members.data()});
}

std::span<const JsonMember> JsonValue::members() const { return {p_.o, size()}; }

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind() != JsonKind::object) return nullptr;
  const JsonMember* lo = p_.o;
  size_t n = size();
  while (n > 0) {
    size_t half = n / 2;
    int c = compare_keys(lo[half].key.as_string(), key);
    if (c == 0) return &lo[half].value;
    if (c < 0) {
      lo += half + 1;
      n -= half + 1;
    } else {
      n = half;
    }
  }
  return nullptr;
}

namespace {

// Two scalars of one kind; doubles bitwise, so that -0.0 and 0.0 differ as
// their texts do.
bool same_scalar(JsonValue a, JsonValue b) {
  switch (a.kind()) {
    case JsonKind::boolean: return a.as_bool() == b.as_bool();
    case JsonKind::u64: return a.as_u64() == b.as_u64();
    case JsonKind::i64: return a.as_i64() == b.as_i64();
    default: {
      double x = a.as_f64(), y = b.as_f64();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
  }
}

}  // namespace

bool operator==(const JsonValue& a, const JsonValue& b) {
  // Walks both values side by side with an explicit stack: no recursion.
  struct Pair {
    JsonValue a, b;
  };
  std::vector<Pair> todo{{a, b}};
  while (!todo.empty()) {
    Pair p = todo.back();
    todo.pop_back();
    if (p.a.kind() != p.b.kind()) return false;
    switch (p.a.kind()) {
      case JsonKind::null:
        break;
      case JsonKind::boolean:
      case JsonKind::u64:
      case JsonKind::i64:
      case JsonKind::f64:
        if (!same_scalar(p.a, p.b)) return false;
        break;
      case JsonKind::string:
        if (p.a.as_string() != p.b.as_string()) return false;
        break;
      case JsonKind::array:
        if (p.a.size() != p.b.size()) return false;
        for (size_t i = 0; i < p.a.size(); ++i) todo.push_back({p.a.items()[i], p.b.items()[i]});
        break;
      case JsonKind::object:
        if (p.a.size() != p.b.size()) return false;
        for (size_t i = 0; i < p.a.size(); ++i) {
          const JsonMember& x = p.a.members()[i];
          const JsonMember& y = p.b.members()[i];
          if (x.key.as_string() != y.key.as_string()) return false;
          todo.push_back({x.value, y.value});
        }
        break;
    }
  }
  return true;
}

JsonDocument::JsonDocument(JsonDocument&& other) noexcept { *this = std::move(other); }

JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept {
  if (this == &other) return *this;
  // The free space of the current block goes with the block: a cursor left
  // behind would write into memory the other document now owns.
  blocks_ = std::exchange(other.blocks_, {});
  texts_ = std::exchange(other.texts_, {});
  free_ = std::exchange(other.free_, nullptr);
  left_ = std::exchange(other.left_, 0);
  next_block_ = std::exchange(other.next_block_, kFirstBlock);
  root_ = std::exchange(other.root_, JsonValue());
  return *this;
}

void* JsonDocument::allocate(size_t bytes) {
  bytes = (bytes + 15) & ~size_t{15};
  if (bytes > left_) {
    // Large requests get a block of their own so the current one is not wasted.
    size_t size = bytes > next_block_ / 4 ? bytes : next_block_;
    ByteBuffer block;
    if (!block.reserve(size ? size : 16)) throw std::bad_alloc();
    char* start = blocks_.emplace_back(std::move(block)).data();
    if (size == bytes && bytes != next_block_) return start;
    free_ = start;
    left_ = size;
    // Blocks grow to 16 MiB, large enough for huge pages to pay.
    if (next_block_ < (size_t{16} << 20)) next_block_ *= 2;
  }
  void* p = free_;
  free_ += bytes;
  left_ -= bytes;
  return p;
}

JsonValue JsonDocument::add_string(std::string_view s) {
  char* p = static_cast<char*>(allocate(s.size()));
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  return JsonValue::string({p, s.size()});
}

JsonValue JsonDocument::add_object(std::span<const JsonMember> members) {
  auto* p = static_cast<JsonMember*>(allocate(members.size() * sizeof(JsonMember)));
  std::uninitialized_copy(members.begin(), members.end(), p);
  return JsonValue::object({p, settle_members(p, members.size())});
}

size_t settle_members(JsonMember* members, size_t n) {
  auto before = [](const JsonMember& x, const JsonMember& y) {
    return compare_keys(x.key.as_string(), y.key.as_string()) < 0;
  };
  bool sorted = true;
  for (size_t i = 1; i < n && sorted; ++i) sorted = before(members[i - 1], members[i]);
  if (sorted) return n;
  // Stable, so that among equal keys the last of each run is the latest one.
  // Small objects, the usual case, sort in place without stable_sort's buffer.
  if (n <= 32) {
    for (size_t i = 1; i < n; ++i) {
      JsonMember m = members[i];
      size_t j = i;
      for (; j > 0 && before(m, members[j - 1]); --j) members[j] = members[j - 1];
      members[j] = m;
    }
  } else {
    std::stable_sort(members, members + n, before);
  }
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i + 1 < n && !before(members[i], members[i + 1])) continue;
    members[kept++] = members[i];
  }
  return kept;
}

}  // namespace tessik
