#include "json/reader.h"

#include "json/problem.h"

#include <cstring>
#include <vector>

namespace tessik {

namespace {

struct Frame {
  size_t start;  // first entry of this container on the value stack
  bool object;   // objects push each key before its value
};

}  // namespace

std::expected<JsonDocument, JsonError> parse_json(ByteBuffer text, size_t begin) {
  JsonDocument doc;
  char* b = text.data() + begin;
  char* e = text.data() + text.size();
  if (!text.data()) b = e = nullptr;
  doc.adopt_text(std::move(text));  // moving keeps the bytes where they are
  JsonCursor c(b, e);
  std::vector<JsonValue> stack;
  std::vector<Frame> frames;
  using Fail = std::unexpected<JsonError>;

  // Reads a member name and its colon; the cursor stands at the name's quote.
  auto read_key = [&]() -> std::expected<void, JsonError> {
    auto key = c.read_string();
    if (!key) return Fail(std::move(key.error()));
    stack.push_back(JsonValue::string(*key));
    c.skip_whitespace();
    if (c.at_end()) return Fail(c.error(problem::kEofObject));
    if (c.peek() != ':') return Fail(c.error(problem::kExpectedColon));
    c.advance();
    return {};
  };

  for (;;) {
    JsonValue value;
    c.skip_whitespace();
    if (c.at_end()) return Fail(c.error(problem::kEofValue));
    switch (c.peek()) {
      case '[':
      case '{': {
        if (frames.size() == kMaxJsonDepth) return Fail(c.error(problem::kRecursionLimit));
        auto opened = c.enter_container();
        if (!opened) return Fail(std::move(opened.error()));
        const bool object = opened->object;
        if (opened->empty) {
          value = object ? JsonValue::object({}) : JsonValue::array({});
          break;
        }
        if (object && c.peek() != '"') return Fail(c.error(problem::kKeyMustBeString));
        frames.push_back({stack.size(), object});
        if (object) {
          if (auto r = read_key(); !r) return Fail(std::move(r.error()));
        }
        continue;
      }
      case '"': {
        auto s = c.read_string();
        if (!s) return Fail(std::move(s.error()));
        value = JsonValue::string(*s);
        break;
      }
      case 't':
      case 'f':
      case 'n': {
        auto w = c.read_word();
        if (!w) return Fail(std::move(w.error()));
        value = *w;
        break;
      }
      case '-': case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9': {
        auto n = c.read_number();
        if (!n) return Fail(std::move(n.error()));
        value = n->value();
        break;
      }
      default:
        return Fail(c.error(problem::kExpectedValue));
    }

    // A value is complete: hand it to its container, closing as many
    // containers as end here, until another value is due.
    for (;;) {
      if (frames.empty()) {
        c.skip_whitespace();
        if (!c.at_end()) return Fail(c.error(problem::kTrailingCharacters));
        doc.set_root(value);
        return doc;
      }
      Frame f = frames.back();
      stack.push_back(value);
      c.skip_whitespace();
      if (c.at_end()) {
        return Fail(c.error(f.object ? problem::kEofObject : problem::kEofList));
      }
      char ch = c.peek();
      if (ch == ',') {
        c.advance();
        c.skip_whitespace();
        if (c.at_end()) return Fail(c.error(problem::kEofValue));
        if (c.peek() == (f.object ? '}' : ']')) return Fail(c.error(problem::kTrailingComma));
        if (f.object) {
          if (c.peek() != '"') return Fail(c.error(problem::kKeyMustBeString));
          if (auto r = read_key(); !r) return Fail(std::move(r.error()));
        }
        break;  // the next value is due
      }
      if (ch != (f.object ? '}' : ']')) {
        return Fail(c.error(f.object ? problem::kExpectedCommaOrBrace : problem::kExpectedCommaOrBracket));
      }
      c.advance();
      size_t n = stack.size() - f.start;
      void* storage = doc.allocate(n * sizeof(JsonValue));
      if (n) std::memcpy(storage, stack.data() + f.start, n * sizeof(JsonValue));
      if (f.object) {
        auto* members = static_cast<JsonMember*>(storage);
        value = JsonValue::object({members, settle_members(members, n / 2)});
      } else {
        value = JsonValue::array({static_cast<JsonValue*>(storage), n});
      }
      stack.resize(f.start);
      frames.pop_back();
    }
  }
}

std::expected<JsonDocument, JsonError> parse_json(std::string_view text) {
  return parse_json(ByteBuffer(text));
}

}  // namespace tessik
