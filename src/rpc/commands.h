#pragma once
// The ten commands of /v1/exec: each one's word, its arguments and how the
// command line fills them, and its usage line. The command line builds
// requests from this table and the host decodes them with it.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace tessik {

enum class CommandKind : uint8_t {
  url, title, navigate, back, forward, reload, text, eval, click, type
};

// How an argument is taken from the words after the command; every argument
// travels as a string member of "args" under its name.
enum class ArgKind : uint8_t {
  word,           // the next word; required
  optional_word,  // the next word, when there is one
  rest,           // the remaining words joined by one space; at least one word required
  nonempty_rest,  // the same, and the joined text must not be empty
};

struct ArgSpec {
  std::string_view name;
  ArgKind kind;
};

struct CommandSpec {
  std::string_view word;
  CommandKind kind;
  std::span<const ArgSpec> args;
  std::string_view usage;      // reported when the arguments fall short
  bool takes_submit = false;   // "submit": a boolean, from --submit
};

namespace command_args {
inline constexpr ArgSpec kUrl[] = {{"url", ArgKind::word}};
inline constexpr ArgSpec kOptionalSelector[] = {{"selector", ArgKind::optional_word}};
inline constexpr ArgSpec kScript[] = {{"script", ArgKind::nonempty_rest}};
inline constexpr ArgSpec kSelector[] = {{"selector", ArgKind::word}};
inline constexpr ArgSpec kSelectorText[] = {{"selector", ArgKind::word}, {"text", ArgKind::rest}};
}  // namespace command_args

// In the order of CommandKind.
inline constexpr std::array<CommandSpec, 10> kCommandSpecs = {{
    {"url", CommandKind::url, {}, ""},
    {"title", CommandKind::title, {}, ""},
    {"navigate", CommandKind::navigate, command_args::kUrl, "usage: navigate <url>"},
    {"back", CommandKind::back, {}, ""},
    {"forward", CommandKind::forward, {}, ""},
    {"reload", CommandKind::reload, {}, ""},
    {"text", CommandKind::text, command_args::kOptionalSelector, ""},
    {"eval", CommandKind::eval, command_args::kScript, "usage: eval <script>"},
    {"click", CommandKind::click, command_args::kSelector, "usage: click <selector>"},
    {"type", CommandKind::type, command_args::kSelectorText, "usage: type <selector> <text>",
     true},
}};

// The command spelled `word` exactly, or null.
constexpr const CommandSpec* find_command(std::string_view word) {
  for (const CommandSpec& spec : kCommandSpecs) {
    if (spec.word == word) return &spec;
  }
  return nullptr;
}

}  // namespace tessik
