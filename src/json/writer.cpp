#include "json/writer.h"

#include "json/scan.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace tessik {

void JsonSink::flush() {
  if (used_ == 0) return;
  drain({buffer_, used_});
  used_ = 0;
}

void JsonSink::write_slow(std::string_view bytes) {
  flush();
  if (bytes.size() >= capacity_) {
    drain(bytes);  // large pieces skip the buffer
    return;
  }
  std::memcpy(buffer_, bytes.data(), bytes.size());
  used_ = bytes.size();
}

namespace {

// How each byte is written inside a string: 0 as itself, otherwise the
// character after the backslash ('u' for the \u00xx form).
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

// Writes the shortest round-trip digits of d (d > 0 and finite) laid out by
// the magnitude of its decimal exponent.
size_t format_double(char* out, double d) {
  char* w = out;
  if (std::signbit(d)) {
    *w++ = '-';
    d = -d;
  }
  if (d == 0) {
    std::memcpy(w, "0.0", 3);
    return static_cast<size_t>(w + 3 - out);
  }
  char sci[32];
  auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  // sci holds "D[.DDD]e[+-]XX".
  char digits[24];
  int n = 0;
  const char* p = sci;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int m = 0;
  std::from_chars(p + 1 + (p[1] == '+'), r.ptr, m);
  if (m >= -5 && m <= 15) {
    if (m >= n - 1) {
      std::memcpy(w, digits, static_cast<size_t>(n));
      w += n;
      std::memset(w, '0', static_cast<size_t>(m - n + 1));
      w += m - n + 1;
      std::memcpy(w, ".0", 2);
      w += 2;
    } else if (m >= 0) {
      std::memcpy(w, digits, static_cast<size_t>(m + 1));
      w += m + 1;
      *w++ = '.';
      std::memcpy(w, digits + m + 1, static_cast<size_t>(n - m - 1));
      w += n - m - 1;
    } else {
      *w++ = '0';
      *w++ = '.';
      std::memset(w, '0', static_cast<size_t>(-m - 1));
      w += -m - 1;
      std::memcpy(w, digits, static_cast<size_t>(n));
      w += n;
    }
  } else {
    *w++ = digits[0];
    if (n > 1) {
      *w++ = '.';
      std::memcpy(w, digits + 1, static_cast<size_t>(n - 1));
      w += n - 1;
    }
    *w++ = 'e';
    *w++ = m < 0 ? '-' : '+';
    w = std::to_chars(w, w + 8, m < 0 ? -m : m).ptr;
  }
  return static_cast<size_t>(w - out);
}

struct Level {
  const JsonValue* items;     // arrays
  const JsonMember* members;  // objects
  size_t next;
  size_t size;
};

// Writes an empty container whole, or opens one and stacks its level.
inline void open_container(JsonSink& out, std::vector<Level>& stack, std::string_view brackets,
                           const Level& level) {
  if (level.size == 0) {
    out.write(brackets);
    return;
  }
  out.put(brackets[0]);
  stack.push_back(level);
}

void write_indent(JsonSink& out, size_t level) {
  static constexpr std::string_view kSpaces =
      "                                                                ";
  size_t n = level * 2;
  out.put('\n');
  while (n > kSpaces.size()) {
    out.write(kSpaces);
    n -= kSpaces.size();
  }
  out.write(kSpaces.substr(0, n));
}

// One writer for both forms; containers are walked with an explicit stack.
void write_value(JsonSink& out, JsonValue root, bool pretty) {
  std::vector<Level> stack;
  JsonValue v = root;
  for (;;) {
    // Write v, or open it.
    switch (v.kind()) {
      case JsonKind::null:
        out.write("null");
        break;
      case JsonKind::boolean:
        out.write(v.as_bool() ? "true" : "false");
        break;
      case JsonKind::u64:
      case JsonKind::i64:
      case JsonKind::f64:
        write_number(out, v);
        break;
      case JsonKind::string:
        write_escaped(out, v.as_string());
        break;
      case JsonKind::array:
        open_container(out, stack, "[]", {v.items().data(), nullptr, 0, v.size()});
        break;
      case JsonKind::object:
        open_container(out, stack, "{}", {nullptr, v.members().data(), 0, v.size()});
        break;
    }
    // Find the next value to write, closing finished containers.
    for (;;) {
      if (stack.empty()) return;
      Level& top = stack.back();
      if (top.next == top.size) {
        // Read top before popping it: pop_back ends its lifetime.
        const char close = top.items ? ']' : '}';
        stack.pop_back();
        if (pretty) write_indent(out, stack.size());
        out.put(close);
        continue;
      }
      if (top.next > 0) out.put(',');
      if (pretty) write_indent(out, stack.size());
      if (top.items) {
        v = top.items[top.next++];
      } else {
        const JsonMember& m = top.members[top.next++];
        write_escaped(out, m.key.as_string());
        out.write(pretty ? ": " : ":");
        v = m.value;
      }
      break;
    }
  }
}

}  // namespace

void write_escaped(JsonSink& out, std::string_view s) {
  out.put('"');
  const char* p = s.data();
  const char* end = p + s.size();
  while (p != end) {
    const char* run = p;
    p = skip_plain(p, end);
    if (p != run) out.write({run, static_cast<size_t>(p - run)});
    if (p == end) break;
    unsigned char c = static_cast<unsigned char>(*p++);
    char e = kEscape[c];
    if (e == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.write({u, 6});
    } else {
      char two[2] = {'\\', e};
      out.write({two, 2});
    }
  }
  out.put('"');
}

void write_number(JsonSink& out, JsonValue number) {
  char buf[40];
  char* end = buf;
  switch (number.kind()) {
    case JsonKind::u64:
      end = std::to_chars(buf, buf + sizeof buf, number.as_u64()).ptr;
      break;
    case JsonKind::i64:
      end = std::to_chars(buf, buf + sizeof buf, number.as_i64()).ptr;
      break;
    default:
      if (!std::isfinite(number.as_f64())) {
        out.write("null");  // not a JSON number; the reader never makes one
        return;
      }
      end = buf + format_double(buf, number.as_f64());
      break;
  }
  out.write({buf, static_cast<size_t>(end - buf)});
}

void write_compact(JsonSink& out, JsonValue value) { write_value(out, value, false); }
void write_pretty(JsonSink& out, JsonValue value) { write_value(out, value, true); }

std::string to_compact_json(JsonValue value) {
  std::string s;
  {
    StringSink sink(s);
    write_compact(sink, value);
  }
  return s;
}

std::string to_pretty_json(JsonValue value) {
  std::string s;
  {
    StringSink sink(s);
    write_pretty(sink, value);
  }
  return s;
}

void escape_json_string(std::string& out, std::string_view s) {
  StringSink sink(out);
  write_escaped(sink, s);
}

std::string number_text(JsonValue number) {
  std::string s;
  {
    StringSink sink(s);
    write_number(sink, number);
  }
  return s;
}

std::string number_text(double d) { return number_text(JsonValue::f64(d)); }

}  // namespace tessik
