#pragma once
// The lexer shared by the generic reader and the state-file decoder: whitespace,
// strings, numbers, words and the line/column of every failure.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/value.h"

namespace tessik {

// A failure to read JSON text: a problem and where it was found.
struct JsonError {
  std::string problem;
  size_t line = 0;
  size_t column = 0;

  // "{problem} at line {line} column {column}"
  std::string text() const;
};

// A cursor over a mutable text. Strings with escapes are decoded in place: the
// decoded bytes never outgrow the escaped ones, and positions are kept in terms
// of the original text.
class JsonCursor {
 public:
  JsonCursor(char* begin, char* end) : begin_(begin), p_(begin), end_(end), line_start_(begin) {}

  bool at_end() const { return p_ == end_; }
  char peek() const { return *p_; }
  void advance() { ++p_; }
  const char* position() const { return p_; }

  void skip_whitespace() {
    while (p_ != end_) {
      char c = *p_;
      if (c == ' ' || c == '\t' || c == '\r') {
        ++p_;
      } else if (c == '\n') {
        ++p_;
        ++line_;
        line_start_ = p_;
      } else {
        break;
      }
    }
  }

  // A syntax failure found at the byte `at` (or at the end of the text).
  JsonError error_at(std::string problem, const char* at) const;
  // A syntax failure found at the current byte.
  JsonError error(std::string problem) const { return error_at(std::move(problem), p_); }
  // A failure positioned exactly at `p` rather than at a byte's own column:
  // the typed errors of the state-file decoder.
  JsonError error_before(std::string problem, const char* p) const;

  // At an opening quote: reads the string and returns its decoded text, which
  // lives in the cursor's buffer. With `check_surrogates` false a u-escape needs
  // only its four hex digits; with `decode` false nothing is written.
  std::expected<std::string_view, JsonError> read_string(bool check_surrogates = true,
                                                         bool decode = true);

  struct Number {
    JsonKind kind;  // u64, i64 or f64
    uint64_t u = 0;
    int64_t i = 0;
    double d = 0;
    JsonValue value() const;
  };
  // At "-" or a digit: reads a number. With `convert` false only its grammar
  // is checked and the result is meaningless.
  std::expected<Number, JsonError> read_number(bool convert = true);

  struct Container {
    bool object;  // "{" rather than "["
    bool empty;   // closed at once: the closing bracket is read too
  };
  // At "[" or "{": steps inside, past the whitespace there.
  std::expected<Container, JsonError> enter_container() {
    const bool object = *p_ == '{';
    ++p_;
    skip_whitespace();
    if (p_ == end_) return std::unexpected(unclosed(object));
    if (*p_ != (object ? '}' : ']')) return Container{object, false};
    ++p_;
    return Container{object, true};
  }

  // At "t", "f" or "n": reads true, false or null.
  std::expected<JsonValue, JsonError> read_word();

 private:
  JsonError make_error(std::string problem, size_t offset) const;
  // The end of the text inside an array or object.
  JsonError unclosed(bool object) const;

  char* begin_;
  char* p_;
  char* end_;
  size_t line_ = 1;
  const char* line_start_;
};

}  // namespace tessik
