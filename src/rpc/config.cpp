#include "rpc/config.h"

#include <cstdlib>
#include <vector>

#include "json/problem.h"
#include "json/utf8.h"
#include "json/writer.h"
#include "rpc/messages.h"
#include "sys/rw.h"
#include "sys/os_error.h"
#include "sys/utf8.h"

namespace tessik {

std::string state_file_path(std::string_view home) {
  std::string path(home);
  for (std::string_view part : {".tessik", "state", "browser-rpc.json"}) {
    if (!path.empty() && path.back() != '/') path += '/';
    path += part;
  }
  return path;
}

std::expected<std::string, std::string> state_file_path() {
  const char* home = std::getenv("HOME");
  if (!home) return std::unexpected(kHomeNotSet);
  return state_file_path(home);
}

namespace {

using Fail = std::unexpected<JsonError>;

enum Field { kPort, kToken, kPid, kOther };
constexpr std::string_view kFieldNames[] = {"port", "token", "pid"};

// The token goes into the request head as it stands, where a control
// character could end a header, or the head, early. Bytes from 0x80 up (C1
// controls included, as UTF-8) cannot, and pass verbatim.
bool has_control_character(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Reads the state file's text straight into an RpcConfig, without a tree.
class ConfigDecoder {
 public:
  ConfigDecoder(char* begin, char* end) : c_(begin, end) {}

  std::expected<RpcConfig, JsonError> decode() {
    c_.skip_whitespace();
    if (c_.at_end()) return Fail(c_.error(problem::kEofValue));
    std::expected<void, JsonError> done;
    if (c_.peek() == '{') {
      done = object();
    } else if (c_.peek() == '[') {
      done = array();
    } else {
      done = wrong_type("struct RpcConfig");
    }
    if (!done) return Fail(std::move(done.error()));
    c_.skip_whitespace();
    if (!c_.at_end()) return Fail(c_.error(problem::kTrailingCharacters));
    return std::move(config_);
  }

 private:
  // Reads the value at the cursor far enough to name it in an invalid-type
  // error; containers are named without being entered.
  std::expected<std::string, JsonError> describe() {
    switch (c_.peek()) {
      case 't':
      case 'f':
      case 'n': {
        auto w = c_.read_word();
        if (!w) return Fail(std::move(w.error()));
        if (w->is_null()) return "null";
        return w->as_bool() ? "boolean `true`" : "boolean `false`";
      }
      case '"': {
        auto s = c_.read_string();
        if (!s) return Fail(std::move(s.error()));
        std::string text = "string \"";
        for (char ch : *s) {
          if (ch == '"' || ch == '\\') text += '\\';
          text += ch;
        }
        text += '"';
        return text;
      }
      case '[':
        return "sequence";
      case '{':
        return "map";
      default:
        if (c_.peek() == '-' || (c_.peek() >= '0' && c_.peek() <= '9')) {
          auto n = c_.read_number();
          if (!n) return Fail(std::move(n.error()));
          return describe_number(*n);
        }
        return Fail(c_.error(problem::kExpectedValue));
    }
  }

  static std::string describe_number(const JsonCursor::Number& n) {
    if (n.kind == JsonKind::f64) return "floating point `" + number_text(n.d) + "`";
    return "integer `" + number_text(n.value()) + "`";
  }

  // A typed error positioned at the cursor.
  JsonError typed(const std::string& problem) const {
    return c_.error_before(problem, c_.position());
  }

  std::expected<void, JsonError> wrong_type(std::string_view expected) {
    auto what = describe();
    if (!what) return Fail(std::move(what.error()));
    return Fail(typed(kInvalidType + *what + kExpected + std::string(expected)));
  }

  std::expected<void, JsonError> unsigned_field(uint64_t limit, std::string_view expected,
                                                uint64_t& out) {
    c_.skip_whitespace();
    if (c_.at_end()) return Fail(c_.error(problem::kEofValue));
    char ch = c_.peek();
    if (ch != '-' && (ch < '0' || ch > '9')) return wrong_type(expected);
    auto n = c_.read_number();
    if (!n) return Fail(std::move(n.error()));
    if (n->kind == JsonKind::u64 && n->u <= limit) {
      out = n->u;
      return {};
    }
    const char* kind = n->kind == JsonKind::f64 ? kInvalidType : kInvalidValue;
    return Fail(typed(kind + describe_number(*n) + kExpected + std::string(expected)));
  }

  std::expected<void, JsonError> string_field(std::string& out) {
    c_.skip_whitespace();
    if (c_.at_end()) return Fail(c_.error(problem::kEofValue));
    if (c_.peek() != '"') return wrong_type("a string");
    auto s = c_.read_string();
    if (!s) return Fail(std::move(s.error()));
    out.assign(*s);
    return {};
  }

  std::expected<void, JsonError> field(Field f) {
    uint64_t n = 0;
    switch (f) {
      case kPort: {
        auto r = unsigned_field(65535, "u16", n);
        config_.port = static_cast<uint16_t>(n);
        return r;
      }
      case kPid: {
        auto r = unsigned_field(4294967295u, "u32", n);
        config_.pid = static_cast<uint32_t>(n);
        return r;
      }
      case kToken: {
        auto r = string_field(config_.token);
        if (r && has_control_character(config_.token)) {
          return Fail(typed(kTokenControlCharacter));
        }
        return r;
      }
      default:
        return skip_value();
    }
  }

  // Whitespace and a closing brace, if one follows; run after a failure too,
  // so that duplicate and missing fields are positioned past it.
  void close_object() {
    c_.skip_whitespace();
    if (!c_.at_end() && c_.peek() == '}') c_.advance();
  }

  std::expected<void, JsonError> object() {
    c_.advance();
    bool present[3] = {false, false, false};
    for (bool first = true;; first = false) {
      c_.skip_whitespace();
      if (c_.at_end()) return Fail(c_.error(problem::kEofObject));
      if (c_.peek() == '}') break;
      if (!first) {
        if (c_.peek() != ',') return Fail(c_.error(problem::kExpectedCommaOrBrace));
        c_.advance();
        c_.skip_whitespace();
        if (c_.at_end()) return Fail(c_.error(problem::kEofValue));
        if (c_.peek() == '}') return Fail(c_.error(problem::kTrailingComma));
      }
      if (c_.peek() != '"') return Fail(c_.error(problem::kKeyMustBeString));
      auto name = c_.read_string();
      if (!name) return Fail(std::move(name.error()));
      Field f = kOther;
      for (int i = 0; i < 3; ++i) {
        if (*name == kFieldNames[i]) f = static_cast<Field>(i);
      }
      if (f != kOther && present[f]) {
        close_object();
        return Fail(typed(kDuplicateField + std::string(kFieldNames[f]) + "`"));
      }
      c_.skip_whitespace();
      if (c_.at_end()) return Fail(c_.error(problem::kEofObject));
      if (c_.peek() != ':') return Fail(c_.error(problem::kExpectedColon));
      c_.advance();
      if (auto r = field(f); !r) return r;
      if (f != kOther) present[f] = true;
    }
    close_object();
    for (int i = 0; i < 3; ++i) {
      if (!present[i]) return Fail(typed(kMissingField + std::string(kFieldNames[i]) + "`"));
    }
    return {};
  }

  std::expected<void, JsonError> array() {
    c_.advance();
    for (int i = 0; i < 3; ++i) {
      c_.skip_whitespace();
      if (c_.at_end()) return Fail(c_.error(problem::kEofList));
      if (c_.peek() == ']') {
        c_.advance();
        return Fail(typed(kInvalidLength + std::to_string(i) + kExpectedThreeElements));
      }
      if (i > 0) {
        if (c_.peek() != ',') return Fail(c_.error(problem::kExpectedCommaOrBracket));
        c_.advance();
        c_.skip_whitespace();
        if (c_.at_end()) return Fail(c_.error(problem::kEofValue));
        if (c_.peek() == ']') return Fail(c_.error(problem::kTrailingComma));
      }
      if (auto r = field(static_cast<Field>(i)); !r) return r;
    }
    c_.skip_whitespace();
    if (c_.at_end()) return Fail(c_.error(problem::kEofList));
    if (c_.peek() == ']') {
      c_.advance();
      return {};
    }
    if (c_.peek() == ',') {
      c_.advance();
      c_.skip_whitespace();
      if (!c_.at_end() && c_.peek() == ']') return Fail(c_.error(problem::kTrailingComma));
    }
    return Fail(c_.error(problem::kTrailingCharacters));
  }

  // Checks one value of any depth and drops it. Containers are tracked on an
  // explicit stack, so depth costs memory, never call frames.
  std::expected<void, JsonError> skip_value() {
    std::vector<bool> open;  // true for an object
    for (;;) {
      c_.skip_whitespace();
      if (c_.at_end()) return Fail(c_.error(problem::kEofValue));
      switch (c_.peek()) {
        case '[':
        case '{': {
          auto opened = c_.enter_container();
          if (!opened) return Fail(std::move(opened.error()));
          if (opened->empty) break;
          open.push_back(opened->object);
          if (opened->object) {
            if (auto r = skip_key(); !r) return r;
          }
          continue;
        }
        case '"':
          if (auto s = c_.read_string(false, false); !s) return Fail(std::move(s.error()));
          break;
        case 't':
        case 'f':
        case 'n':
          if (auto w = c_.read_word(); !w) return Fail(std::move(w.error()));
          break;
        default:
          if (c_.peek() == '-' || (c_.peek() >= '0' && c_.peek() <= '9')) {
            if (auto n = c_.read_number(false); !n) return Fail(std::move(n.error()));
            break;
          }
          return Fail(c_.error(problem::kExpectedValue));
      }
      // A value ended: close what ends with it until another value is due.
      for (;;) {
        if (open.empty()) return {};
        bool object = open.back();
        c_.skip_whitespace();
        if (c_.at_end()) {
          return Fail(c_.error(object ? problem::kEofObject : problem::kEofList));
        }
        if (c_.peek() == ',') {
          c_.advance();
          if (object) {
            if (auto r = skip_key(); !r) return r;
          }
          break;
        }
        if (c_.peek() != (object ? '}' : ']')) {
          return Fail(c_.error(object ? problem::kExpectedCommaOrBrace : problem::kExpectedCommaOrBracket));
        }
        c_.advance();
        open.pop_back();
      }
    }
  }

  // A member name and its colon inside a skipped object.
  std::expected<void, JsonError> skip_key() {
    c_.skip_whitespace();
    if (c_.at_end()) return Fail(c_.error(problem::kEofValue));
    if (c_.peek() != '"') return Fail(c_.error(problem::kKeyMustBeString));
    if (auto s = c_.read_string(false, false); !s) return Fail(std::move(s.error()));
    c_.skip_whitespace();
    if (c_.at_end()) return Fail(c_.error(problem::kEofObject));
    if (c_.peek() != ':') return Fail(c_.error(problem::kExpectedColon));
    c_.advance();
    return {};
  }

  JsonCursor c_;
  RpcConfig config_;
};

}  // namespace

std::expected<RpcConfig, JsonError> decode_rpc_config(char* begin, char* end) {
  return ConfigDecoder(begin, end).decode();
}

std::expected<RpcConfig, JsonError> decode_rpc_config(std::string_view text) {
  std::string copy(text);
  return decode_rpc_config(copy.data(), copy.data() + copy.size());
}

std::expected<RpcConfig, std::string> load_rpc_config() {
  auto path = state_file_path();
  if (!path) return std::unexpected(path.error());
  auto cannot_read = [&](const std::string& reason) {
    return std::unexpected(kCannotRead + sys::lossy_utf8(*path) + ": " + reason +
                           kIsTessikRunning);
  };
  auto file = sys::read_file(path->c_str());
  if (!file) return cannot_read(sys::os_error_text(file.error()));
  if (!is_valid_utf8(*file)) return cannot_read(kNotUtf8);
  auto config = decode_rpc_config(file->data(), file->data() + file->size());
  if (!config) return std::unexpected(kMalformedConfig + config.error().text());
  return std::move(*config);
}

}  // namespace tessik
