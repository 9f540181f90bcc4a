#include "host/exec.h"
#include "host/messages.h"

#include <cstring>
#include <new>
#include <utility>

#include "host/http.h"
#include "host/json_build.h"
#include "json/reader.h"
#include "json/writer.h"
#include "rpc/commands.h"

namespace tessik::host {

namespace {

// A client reads 127 levels of arrays and objects, the envelope and a
// script's outcome ({"ok","value"}) among them: that leaves 125 for a result.
constexpr size_t kMaxResultDepth = kMaxJsonDepth - 2;
const std::string kTooDeep =
    "the result is nested too deeply: a result may nest arrays and objects " +
    std::to_string(kMaxResultDepth) + " levels deep at most";
// The browser's own failure for a value nested deeper than it can send
// (about 300 levels): the same limit, met further down.
constexpr std::string_view kBrowserTooDeep =
    "Failed to convert response to JSON: CBOR: stack limit exceeded";

// An argument that must be a string: its text, absent, or a failure.
std::expected<std::optional<std::string>, std::string> string_arg(const JsonValue* args,
                                                                  std::string_view name) {
  const JsonValue* value = args ? args->find(name) : nullptr;
  if (!value) return std::nullopt;
  if (!value->is_string()) return std::unexpected(msg::bad_request(msg::arg_not_string(name)));
  return std::string(value->as_string());
}

// Where the argument called `name` goes in a command.
std::string& field(Command& command, std::string_view name) {
  if (name == "url") return command.url;
  if (name == "script") return command.script;
  if (name == "text") return command.text;
  return command.selector.emplace();
}

}  // namespace

std::expected<Command, std::string> decode_exec_request(std::string_view body) {
  auto doc = parse_json(body);
  if (!doc) return std::unexpected(msg::bad_request(doc.error().text()));
  JsonValue root = doc->root();
  if (!root.is_object()) return std::unexpected(msg::bad_request(msg::kBodyNotObject));

  const JsonValue* name = root.find("command");
  if (!name) return std::unexpected(msg::bad_request(msg::kMissingCommand));
  if (!name->is_string()) return std::unexpected(msg::bad_request(msg::kCommandNotString));
  const CommandSpec* spec = find_command(name->as_string());
  if (!spec) return std::unexpected(msg::unknown_command(shown_request_bytes(name->as_string())));
  Command command;
  command.kind = spec->kind;

  if (const JsonValue* widget = root.find("widget_id")) {
    if (!widget->is_string()) return std::unexpected(msg::bad_request(msg::kWidgetNotString));
    command.widget = std::string(widget->as_string());
  }
  const JsonValue* args = root.find("args");
  if (args && !args->is_object()) return std::unexpected(msg::bad_request(msg::kArgsNotObject));

  if (spec->takes_submit) {
    if (const JsonValue* submit = args ? args->find("submit") : nullptr) {
      if (!submit->is_bool()) return std::unexpected(msg::bad_request(msg::kSubmitNotBoolean));
      command.submit = submit->as_bool();
    }
  }
  // The other members of "args" are not this command's and are left alone.
  for (const ArgSpec& arg : spec->args) {
    auto value = string_arg(args, arg.name);
    if (!value) return std::unexpected(value.error());
    if (!*value) {
      if (arg.kind == ArgKind::optional_word) continue;
      return std::unexpected(msg::bad_request(msg::needs_arg(spec->word, arg.name)));
    }
    field(command, arg.name) = std::move(**value);
  }
  return command;
}

std::string error_envelope(std::string_view message) {
  JsonDocument doc;
  return to_compact_json(
      ObjectBuilder(doc).add_string("error", message).add_bool("ok", false).build());
}

ByteBuffer envelope_reply(int status, JsonValue envelope) {
  // Measured first, so that a large result is written once, in place, and
  // the reply never holds more than its own size.
  size_t length = compact_json_size(envelope);
  std::string head = format_head(status, length);
  ByteBuffer reply;
  if (!reply.reserve(head.size() + length)) throw std::bad_alloc();
  std::memcpy(reply.data(), head.data(), head.size());
  reply.set_size(head.size());
  if (!append_compact_json(reply, envelope)) throw std::bad_alloc();
  return reply;
}

namespace {

ByteBuffer error_reply(int status, std::string_view message) {
  JsonDocument doc;
  return envelope_reply(
      status, ObjectBuilder(doc).add_string("error", message).add_bool("ok", false).build());
}

ByteBuffer run_exec(std::string_view body, Browser& browser, Clock::time_point deadline) {
  auto command = decode_exec_request(body);
  if (!command) return error_reply(400, command.error());
  auto data = browser.run(*command, deadline);
  if (!data && data.error().starts_with(kBrowserTooDeep)) return error_reply(200, kTooDeep);
  if (!data) return error_reply(200, data.error());
  // The envelope adds one level; a script's value sits one level down in data.
  if (nesting_depth(data->value) + 1 > kMaxJsonDepth) return error_reply(200, kTooDeep);
  JsonDocument doc;
  return envelope_reply(200,
                        ObjectBuilder(doc).add("data", data->value).add_bool("ok", true).build());
}

}  // namespace

ByteBuffer handle_exec(std::string_view body, Browser& browser, Clock::time_point deadline) {
  try {
    return run_exec(body, browser, deadline);
  } catch (const std::bad_alloc&) {
  }
  // What the command held is released by now, so this small reply fits.
  try {
    return error_reply(500, kOutOfMemory);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace tessik::host
