#include "host/exec.h"

#include <algorithm>
#include <array>
#include <utility>

#include "host/json_build.h"
#include "json/reader.h"
#include "json/writer.h"

namespace tessik::host {

namespace {

constexpr std::array<std::pair<std::string_view, CommandKind>, 10> kCommands = {{
    {"url", CommandKind::url},
    {"title", CommandKind::title},
    {"navigate", CommandKind::navigate},
    {"back", CommandKind::back},
    {"forward", CommandKind::forward},
    {"reload", CommandKind::reload},
    {"text", CommandKind::text},
    {"eval", CommandKind::eval},
    {"click", CommandKind::click},
    {"type", CommandKind::type},
}};

std::string bad(std::string_view what) { return "bad request: " + std::string(what); }

// An argument that must be a string: its text, absent, or a failure.
std::expected<std::optional<std::string>, std::string> string_arg(const JsonValue* args,
                                                                  std::string_view name) {
  const JsonValue* value = args ? args->find(name) : nullptr;
  if (!value) return std::nullopt;
  if (!value->is_string()) return std::unexpected(bad("args." + std::string(name) + " must be a string"));
  return std::string(value->as_string());
}

std::expected<std::string, std::string> required_arg(const JsonValue* args, std::string_view command,
                                                     std::string_view name) {
  auto value = string_arg(args, name);
  if (!value) return std::unexpected(value.error());
  if (!*value) {
    return std::unexpected(bad(std::string(command) + " needs args." + std::string(name)));
  }
  return std::move(**value);
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
  Command command;
  auto known = std::find_if(kCommands.begin(), kCommands.end(),
                            [&](const auto& c) { return c.first == name->as_string(); });
  if (known == kCommands.end()) {
    return std::unexpected("unknown command: " + std::string(name->as_string()));
  }
  command.kind = known->second;

  if (const JsonValue* widget = root.find("widget_id")) {
    if (!widget->is_string()) return std::unexpected(bad("widget_id must be a string"));
    command.widget = std::string(widget->as_string());
  }
  const JsonValue* args = root.find("args");
  if (args && !args->is_object()) return std::unexpected(bad("args must be an object"));

  std::string_view word = known->first;
  auto take = [&](std::string& into, std::string_view arg) -> std::expected<void, std::string> {
    auto value = required_arg(args, word, arg);
    if (!value) return std::unexpected(value.error());
    into = std::move(*value);
    return {};
  };
  std::expected<void, std::string> taken;
  switch (command.kind) {
    case CommandKind::navigate:
      taken = take(command.url, "url");
      break;
    case CommandKind::text: {
      auto selector = string_arg(args, "selector");
      if (!selector) return std::unexpected(selector.error());
      command.has_selector = selector->has_value();
      if (*selector) command.selector = std::move(**selector);
      break;
    }
    case CommandKind::eval:
      taken = take(command.script, "script");
      break;
    case CommandKind::click:
      taken = take(command.selector, "selector");
      command.has_selector = true;
      break;
    case CommandKind::type: {
      taken = take(command.selector, "selector");
      if (taken) taken = take(command.text, "text");
      command.has_selector = true;
      if (const JsonValue* submit = args ? args->find("submit") : nullptr) {
        if (!submit->is_bool()) return std::unexpected(bad("args.submit must be a boolean"));
        command.submit = submit->as_bool();
      }
      break;
    }
    default:
      break;  // the other commands take no arguments
  }
  if (!taken) return std::unexpected(taken.error());
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
