#include "host/exec.h"

#include <utility>

#include "host/json_build.h"
#include "json/reader.h"
#include "json/writer.h"
#include "rpc/commands.h"

namespace tessik::host {

namespace {

std::string bad(std::string_view what) { return "bad request: " + std::string(what); }

// An argument that must be a string: its text, absent, or a failure.
std::expected<std::optional<std::string>, std::string> string_arg(const JsonValue* args,
                                                                  std::string_view name) {
  const JsonValue* value = args ? args->find(name) : nullptr;
  if (!value) return std::nullopt;
  if (!value->is_string()) return std::unexpected(bad("args." + std::string(name) + " must be a string"));
  return std::string(value->as_string());
}

// Where the argument called `name` goes in a command.
std::string& field(Command& command, std::string_view name) {
  if (name == "url") return command.url;
  if (name == "script") return command.script;
  if (name == "text") return command.text;
  return command.selector;
}

}  // namespace

std::expected<Command, std::string> decode_exec_request(std::string_view body) {
  auto doc = parse_json(body);
  if (!doc) return std::unexpected(bad(doc.error().text()));
  JsonValue root = doc->root();
  if (!root.is_object()) return std::unexpected(bad("the body must be a JSON object"));

  const JsonValue* name = root.find("command");
  if (!name) return std::unexpected(bad("missing command"));
  if (!name->is_string()) return std::unexpected(bad("command must be a string"));
  const CommandSpec* spec = find_command(name->as_string());
  if (!spec) return std::unexpected("unknown command: " + std::string(name->as_string()));
  Command command;
  command.kind = spec->kind;

  if (const JsonValue* widget = root.find("widget_id")) {
    if (!widget->is_string()) return std::unexpected(bad("widget_id must be a string"));
    command.widget = std::string(widget->as_string());
  }
  const JsonValue* args = root.find("args");
  if (args && !args->is_object()) return std::unexpected(bad("args must be an object"));

  if (spec->takes_submit) {
    if (const JsonValue* submit = args ? args->find("submit") : nullptr) {
      if (!submit->is_bool()) return std::unexpected(bad("args.submit must be a boolean"));
      command.submit = submit->as_bool();
    }
  }
  // The other members of "args" are not this command's and are left alone.
  for (const ArgSpec& arg : spec->args) {
    auto value = string_arg(args, arg.name);
    if (!value) return std::unexpected(value.error());
    if (!*value) {
      if (arg.kind == ArgKind::optional_word) continue;
      return std::unexpected(bad(std::string(spec->word) + " needs args." + std::string(arg.name)));
    }
    field(command, arg.name) = std::move(**value);
    if (arg.name == "selector") command.has_selector = true;
  }
  return command;
}

std::string error_envelope(std::string_view message) {
  JsonDocument doc;
  return to_compact_json(
      ObjectBuilder(doc).add_string("error", message).add_bool("ok", false).build());
}

std::string data_envelope(JsonValue data) {
  JsonDocument doc;
  return to_compact_json(ObjectBuilder(doc).add("data", data).add_bool("ok", true).build());
}

ExecReply handle_exec(std::string_view body, Browser& browser, Clock::time_point deadline) {
  auto command = decode_exec_request(body);
  if (!command) return {400, error_envelope(command.error())};
  auto data = browser.run(*command, deadline);
  if (!data) return {200, error_envelope(data.error())};
  return {200, data_envelope(data->value)};
}

}  // namespace tessik::host
