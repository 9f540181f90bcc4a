#include "json/cursor.h"

#include "json/problem.h"
#include "json/scan.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <version>

namespace tessik {

namespace {

constexpr std::array<int8_t, 256> kHexValue = [] {
  std::array<int8_t, 256> t{};
  t.fill(-1);
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<int8_t>(10 + c);
  return t;
}();

int hex_value(char c) { return kHexValue[static_cast<unsigned char>(c)]; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char* put_utf8(char* w, uint32_t cp) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xC0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return w;
}

}  // namespace

std::string JsonError::text() const {
  return problem + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

JsonValue JsonCursor::Number::value() const {
  switch (kind) {
    case JsonKind::u64:
      return JsonValue::u64(u);
    case JsonKind::i64:
      return JsonValue::i64(i);
    default:
      return JsonValue::f64(d);
  }
}

JsonError JsonCursor::make_error(std::string problem, size_t offset) const {
  // Line feeds before the cursor's line were counted while skipping
  // whitespace, the only place a raw line feed is allowed; that keeps
  // positions right after strings were decoded in place.
  size_t line = line_;
  size_t start = static_cast<size_t>(line_start_ - begin_);
  if (offset < start) offset = start;
  if (offset > start && begin_[offset - 1] == '\n') return {std::move(problem), line + 1, 0};
  return {std::move(problem), line, offset - start};
}

JsonError JsonCursor::error_at(std::string problem, const char* at) const {
  size_t offset = static_cast<size_t>(at - begin_);
  size_t length = static_cast<size_t>(end_ - begin_);
  return make_error(std::move(problem), offset < length ? offset + 1 : length);
}

JsonError JsonCursor::error_before(std::string problem, const char* p) const {
  return make_error(std::move(problem), static_cast<size_t>(p - begin_));
}

std::expected<std::string_view, JsonError> JsonCursor::read_string(bool check_surrogates,
                                                                   bool decode) {
  char* const start = ++p_;
  char* s = skip_plain(start, end_);
  if (s == end_) return std::unexpected(error_at(problem::kEofString, end_));
  if (*s == '"') {
    p_ = s + 1;
    return std::string_view(start, static_cast<size_t>(s - start));
  }
  char* w = s;  // decoded bytes go here, never ahead of s
  for (;;) {
    if (s == end_) return std::unexpected(error_at(problem::kEofString, end_));
    unsigned char c = static_cast<unsigned char>(*s);
    if (c == '"') break;
    if (c < 0x20) return std::unexpected(error_at(problem::kControlInString, s));
    if (c != '\\') {
      char* run = s;
      s = skip_plain(s, end_);
      if (decode) {
        std::memmove(w, run, static_cast<size_t>(s - run));
        w += s - run;
      }
      continue;
    }
    if (++s == end_) return std::unexpected(error_at(problem::kEofString, end_));
    char out;
    switch (*s) {
      case '"': out = '"'; break;
      case '\\': out = '\\'; break;
      case '/': out = '/'; break;
      case 'b': out = '\b'; break;
      case 'f': out = '\f'; break;
      case 'n': out = '\n'; break;
      case 'r': out = '\r'; break;
      case 't': out = '\t'; break;
      case 'u': {
        auto hex4 = [&](uint32_t& v) -> std::expected<void, JsonError> {
          // The text ending within the four digits is an end-of-text failure,
          // whatever the digits that are there.
          if (end_ - s <= 4) {
            // Those characters are still raw, so a line feed among them
            // moves the end to a later line than the count so far knows.
            const char* last_lf = nullptr;
            size_t feeds = 0;
            for (const char* q = s + 1; q < end_; ++q) {
              if (*q == '\n') {
                ++feeds;
                last_lf = q;
              }
            }
            if (!last_lf) return std::unexpected(error_at(problem::kEofString, end_));
            return std::unexpected(JsonError{problem::kEofString, line_ + feeds,
                                             static_cast<size_t>(end_ - last_lf - 1)});
          }
          v = 0;
          for (int k = 0; k < 4; ++k) {
            int h = hex_value(*++s);
            if (h < 0) return std::unexpected(error_at(problem::kInvalidEscape, s));
            v = v << 4 | static_cast<uint32_t>(h);
          }
          return {};
        };
        uint32_t v;
        if (auto r = hex4(v); !r) return std::unexpected(r.error());
        if (check_surrogates) {
          if (v >= 0xDC00 && v <= 0xDFFF) {
            return std::unexpected(error_at(problem::kLoneLeadingSurrogate, s));
          }
          if (v >= 0xD800 && v <= 0xDBFF) {
            if (++s == end_) return std::unexpected(error_at(problem::kEofString, end_));
            if (*s != '\\') return std::unexpected(error_at(problem::kUnexpectedEndOfHexEscape, s));
            if (++s == end_) return std::unexpected(error_at(problem::kEofString, end_));
            if (*s != 'u') return std::unexpected(error_at(problem::kUnexpectedEndOfHexEscape, s));
            uint32_t low;
            if (auto r = hex4(low); !r) return std::unexpected(r.error());
            if (low < 0xDC00 || low > 0xDFFF) {
              return std::unexpected(error_at(problem::kLoneLeadingSurrogate, s));
            }
            v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
          }
        }
        ++s;
        if (decode) w = put_utf8(w, v);
        continue;
      }
      default:
        return std::unexpected(error_at(problem::kInvalidEscape, s));
    }
    ++s;
    if (decode) *w++ = out;
  }
  p_ = s + 1;
  return std::string_view(start, static_cast<size_t>(w - start));
}

std::expected<JsonCursor::Number, JsonError> JsonCursor::read_number(bool convert) {
  char* const start = p_;
  char* s = p_;
  bool negative = false;
  if (*s == '-') {
    negative = true;
    if (++s == end_) return std::unexpected(error_at(problem::kEofValue, end_));
  }
  uint64_t magnitude = 0;
  bool overflow = false;
  if (*s == '0') {
    ++s;
    if (s != end_ && is_digit(*s)) return std::unexpected(error_at(problem::kInvalidNumber, s));
  } else if (is_digit(*s)) {
    char* digits = s;
    while (s != end_ && is_digit(*s)) ++s;
    size_t n = static_cast<size_t>(s - digits);
    if (convert) {
      // Nineteen digits always fit in 64 bits; only a twentieth can overflow.
      char* safe_end = n > 19 ? digits + 19 : s;
      for (char* d = digits; d != safe_end; ++d) magnitude = magnitude * 10 + unsigned(*d - '0');
      if (n == 20) {
        unsigned digit = static_cast<unsigned>(digits[19] - '0');
        overflow = magnitude > (UINT64_MAX - digit) / 10;
        magnitude = magnitude * 10 + digit;
      } else if (n > 20) {
        overflow = true;
      }
    }
  } else {
    return std::unexpected(error_at(problem::kInvalidNumber, s));
  }
  bool integral = true;
  if (s != end_ && *s == '.') {
    integral = false;
    if (++s == end_) return std::unexpected(error_at(problem::kEofValue, end_));
    if (!is_digit(*s)) return std::unexpected(error_at(problem::kInvalidNumber, s));
    while (s != end_ && is_digit(*s)) ++s;
  }
  if (s != end_ && (*s == 'e' || *s == 'E')) {
    integral = false;
    if (++s == end_) return std::unexpected(error_at(problem::kEofValue, end_));
    if (*s == '+' || *s == '-') {
      if (++s == end_) return std::unexpected(error_at(problem::kEofValue, end_));
    }
    if (!is_digit(*s)) return std::unexpected(error_at(problem::kInvalidNumber, s));
    while (s != end_ && is_digit(*s)) ++s;
  }
  p_ = s;
  Number n{JsonKind::f64};
  if (!convert) return n;
  if (integral && !overflow) {
    if (!negative) {
      n.kind = JsonKind::u64;
      n.u = magnitude;
      return n;
    }
    if (magnitude == 0) {
      n.d = -0.0;  // "-0" has no integer form of its own
      return n;
    }
    if (magnitude <= uint64_t{1} << 63) {
      n.kind = JsonKind::i64;
      n.i = static_cast<int64_t>(0 - magnitude);
      return n;
    }
  }
#if defined(__cpp_lib_to_chars)
  auto [end, ec] = std::from_chars(start, s, n.d);
  if (ec == std::errc() && end == s) return n;
#endif
  // from_chars calls underflow out of range too; strtod tells the two apart
  // and gives the right subnormal or zero. It is also the whole path where
  // the library has no floating-point from_chars (libc++ before 20).
  std::string copy(start, s);
  n.d = std::strtod(copy.c_str(), nullptr);
  if (std::isinf(n.d)) return std::unexpected(error_at(problem::kNumberOutOfRange, s - 1));
  return n;
}

JsonError JsonCursor::unclosed(bool object) const {
  return error(object ? problem::kEofObject : problem::kEofList);
}

std::expected<JsonValue, JsonError> JsonCursor::read_word() {
  std::string_view word;
  JsonValue value;
  switch (*p_) {
    case 't': word = "true"; value = JsonValue::boolean(true); break;
    case 'f': word = "false"; value = JsonValue::boolean(false); break;
    default: word = "null"; break;
  }
  for (size_t k = 1; k < word.size(); ++k) {
    const char* s = p_ + k;
    if (s == end_) return std::unexpected(error_at(problem::kEofValue, end_));
    if (*s != word[k]) return std::unexpected(error_at(problem::kExpectedIdent, s));
  }
  p_ += word.size();
  return value;
}

}  // namespace tessik
