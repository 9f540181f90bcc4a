#pragma once
// The properties the fuzz targets check, header-only so that the regression
// test in the normal suite replays the saved corpora through the same code.
// Each check returns nothing when the property holds, or a sentence saying
// how it broke.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "bin/tessik_browser/output.h"
#include "json/buffer.h"
#include "json/cursor.h"
#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
#include "rpc/config.h"
#include "rpc/envelope.h"
#include "rpc/messages.h"

namespace tessik::fuzzing {

using Check = std::expected<void, std::string>;

inline std::unexpected<std::string> broken(std::string what) {
  return std::unexpected(std::move(what));
}

// A failure's line and column name a place inside `text`: line 1 up to one
// past the number of line feeds, column at most the length of that line.
inline Check position_within(std::string_view text, const JsonError& error) {
  // Appended piece by piece: GCC 12 warns falsely about "literal" + string.
  std::string where = "\"";
  where += error.text();
  where += "\" for a text of ";
  where += std::to_string(text.size());
  where += " bytes";
  if (error.line == 0) return broken("line 0 in " + where);
  size_t start = 0;
  for (size_t line = 1; line < error.line; ++line) {
    size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) return broken("line past the last one in " + where);
    start = lf + 1;
  }
  size_t end = text.find('\n', start);
  size_t length = (end == std::string_view::npos ? text.size() : end) - start;
  if (error.column > length) {
    return broken("column past the end of its line (" + std::to_string(length) + " bytes) in " +
                  where);
  }
  return {};
}

inline bool before_or_at(const JsonError& a, const JsonError& b) {
  return a.line < b.line || (a.line == b.line && a.column <= b.column);
}

// Whatever parses is written back in both forms, and each form reads back as
// the same value; the compact form is a fixed point. Failures lie inside the
// text.
inline Check check_json_reader(std::string_view text) {
  auto parsed = parse_json(text);
  if (!parsed) return position_within(text, parsed.error());
  JsonValue value = parsed->root();

  std::string compact = to_compact_json(value);
  for (char ch : compact) {
    // No whitespace outside strings and every control character escaped.
    if (static_cast<unsigned char>(ch) < 0x20) return broken("raw control byte in " + compact);
  }
  auto from_compact = parse_json(compact);
  if (!from_compact) {
    return broken("compact text " + compact + " does not parse: " + from_compact.error().text());
  }
  if (!(from_compact->root() == value))
    return broken("compact text " + compact + " reads back different");
  std::string again = to_compact_json(from_compact->root());
  if (again != compact) return broken("compact text " + compact + " is written again as " + again);

  std::string pretty = to_pretty_json(value);
  for (char ch : pretty) {
    if (static_cast<unsigned char>(ch) < 0x20 && ch != '\n') {
      return broken("raw control byte other than a line feed in pretty text " + pretty);
    }
  }
  if (!pretty.empty() && pretty.back() == '\n') return broken("pretty text ends in a line feed");
  auto from_pretty = parse_json(pretty);
  if (!from_pretty) {
    return broken("pretty text " + pretty + " does not parse: " + from_pretty.error().text());
  }
  if (!(from_pretty->root() == value))
    return broken("pretty text " + pretty + " reads back different");
  return {};
}

// Failures of the generic reader that the state-file decoder cannot see: it
// skips unknown members without a depth limit, does not convert their numbers
// and does not test surrogates in their strings.
inline bool reader_only_problem(std::string_view problem) {
  return problem == "recursion limit exceeded" || problem == "number out of range" ||
         problem == "lone leading surrogate in hex escape" ||
         problem == "unexpected end of hex escape";
}

// Failures of the decoder that are not about the grammar: the record's own
// rules, and a fourth element in the array form, which the reader accepts.
inline bool decoder_only_problem(std::string_view problem) {
  for (std::string_view typed : {"invalid type: ", "invalid value: ", "invalid length ",
                                 "missing field ", "duplicate field "}) {
    if (problem.starts_with(typed)) return true;
  }
  // The token is a JSON string to the reader, whatever characters it holds.
  return problem == "trailing characters" || problem == kTokenControlCharacter;
}

// The decoder never crashes and its failures lie inside the text. It agrees
// with the generic reader on the grammar: a text it accepts is one the reader
// accepts, unless the reader stopped at something the decoder cannot see, and
// then both read the same three fields; a syntax failure of the decoder is
// one the reader meets too, at the same place or after such a failure.
inline Check check_state_decoder(std::string_view text) {
  auto decoded = decode_rpc_config(text);
  if (!decoded) {
    if (auto inside = position_within(text, decoded.error()); !inside) return inside;
  }
  auto parsed = parse_json(text);

  if (decoded) {
    if (!parsed) {
      if (reader_only_problem(parsed.error().problem)) return {};
      return broken("the decoder accepts a text that the reader rejects with \"" +
                    parsed.error().text() + "\"");
    }
    JsonValue root = parsed->root();
    const JsonValue *port, *token, *pid;
    if (root.is_array() && root.size() == 3) {
      port = &root.items()[0];
      token = &root.items()[1];
      pid = &root.items()[2];
    } else {
      port = root.find("port");
      token = root.find("token");
      pid = root.find("pid");
    }
    if (!port || !token || !pid) return broken("the reader misses a field the decoder read");
    if (!(*port == JsonValue::u64(decoded->port)) || !(*pid == JsonValue::u64(decoded->pid)) ||
        !(*token == JsonValue::string(decoded->token))) {
      return broken("the decoder and the reader read different fields (port " +
                    std::to_string(decoded->port) + ", pid " + std::to_string(decoded->pid) + ")");
    }
    return {};
  }

  const JsonError& failure = decoded.error();
  if (decoder_only_problem(failure.problem)) return {};
  if (parsed) {
    return broken("the reader accepts a text that the decoder rejects with \"" + failure.text() +
                  "\"");
  }
  const JsonError& seen = parsed.error();
  bool same_place = seen.line == failure.line && seen.column == failure.column;
  if (same_place) return {};
  if (reader_only_problem(seen.problem) && before_or_at(seen, failure)) return {};
  return broken("the decoder fails with \"" + failure.text() + "\" but the reader with \"" +
                seen.text() + "\"");
}

// The reply is cut at its first empty line and decoded where it lies, as the
// exchange and the envelope do. A body that does not parse is reported with
// the reader's own text; a result prints as the output rules say: nothing for
// null, the bare string and a line feed for a string, and otherwise a JSON
// text that reads back as the result, then a line feed.
inline Check check_reply_path(std::string_view reply) {
  size_t separator = reply.find("\r\n\r\n");
  if (separator == std::string_view::npos) return {};
  size_t begin = separator + 4;
  std::string_view body = reply.substr(begin);

  auto decoded = decode_exec_response(ByteBuffer(reply), begin);
  auto parsed = parse_json(body);
  if (!parsed) {
    if (auto inside = position_within(body, parsed.error()); !inside) return inside;
    std::string expected = "bad response: " + parsed.error().text();
    if (decoded) return broken("a body that does not parse gave a result");
    if (decoded.error() != expected) {
      return broken("the message is \"" + decoded.error() + "\", not \"" + expected + "\"");
    }
    return {};
  }
  if (!decoded) return {};

  JsonValue result = decoded->root();
  std::string printed;
  {
    StringSink out(printed);
    print_result(out, result);
  }
  switch (result.kind()) {
    case JsonKind::null:
      if (!printed.empty()) return broken("a null result printed \"" + printed + "\"");
      return {};
    case JsonKind::string:
      if (printed != std::string(result.as_string()) + "\n") {
        return broken("a string result printed \"" + printed + "\"");
      }
      return {};
    default:
      break;
  }
  if (printed.empty() || printed.back() != '\n')
    return broken("a result printed without its line feed");
  std::string_view text = std::string_view(printed).substr(0, printed.size() - 1);
  auto reread = parse_json(text);
  if (!reread)
    return broken("the printed result " + printed + " does not parse: " + reread.error().text());
  if (!(reread->root() == result))
    return broken("the printed result " + printed + " reads back different");
  return {};
}

}  // namespace tessik::fuzzing
