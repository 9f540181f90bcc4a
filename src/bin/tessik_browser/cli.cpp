#include "bin/tessik_browser/cli.h"


#include "bin/tessik_browser/messages.h"
#include "json/utf8.h"
#include "json/writer.h"
#include "rpc/commands.h"
#include "sys/utf8.h"

namespace tessik {

const std::string_view kHelpText =
    "tessik-browser — drive Tessik's native browser from the shell\n"
    "\n"
    "USAGE:\n"
    "    tessik-browser [--widget <id>] <COMMAND> [ARGS]\n"
    "\n"
    "COMMANDS:\n"
    "    url                          print the current page URL\n"
    "    title                        print the current page title\n"
    "    navigate <url>               load a URL\n"
    "    back                         history back\n"
    "    forward                      history forward\n"
    "    reload                       reload current page\n"
    "    text [selector]              print visible text (whole page or selector)\n"
    "    eval <script>                run JS, print returned value as JSON\n"
    "    click <selector>             click element matching CSS selector\n"
    "    type <selector> <text>       type text into an input\n"
    "\n"
    "OPTIONS:\n"
    "    --widget <id>                target widget id (default: only active widget)\n"
    "    --submit                     for `type`: press Enter / submit form after typing\n"
    "    -h, --help                   print this help\n";

std::expected<ScanResult, std::string> scan_options(std::span<const char* const> args) {
  ScanResult result;
  if (args.empty()) {
    result.help = true;
    return result;
  }
  std::vector<std::string_view> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      // Help wins over whatever the rest of the line would have failed on.
      result.help = true;
      return result;
    }
    if (arg == "--widget") {
      if (i + 1 == args.size()) return std::unexpected(kWidgetNeedsArgument);
      result.line.widget = std::string_view(args[++i]);  // verbatim, even "--help"
    } else if (arg == "--submit") {
      result.line.submit = true;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) return std::unexpected(kMissingCommand);
  result.line.command = positional.front();
  result.line.args.assign(positional.begin() + 1, positional.end());
  return result;
}

namespace {

// An argument goes into the body as a JSON string, which must be UTF-8. The
// refusal shows it quoted and escaped, so it stays on one line, with U+FFFD
// for the bad bytes.
std::expected<JsonValue, std::string> add_text(JsonDocument& doc, std::string_view name,
                                               std::string_view text) {
  if (is_valid_utf8(text)) return doc.add_string(text);
  std::string message(name);
  message += kNotUtf8Argument;
  escape_json_string(message, sys::lossy_utf8(text));
  return std::unexpected(std::move(message));
}

std::string join(std::span<const std::string_view> words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i) out += ' ';
    out += words[i];
  }
  return out;
}

}  // namespace

std::expected<JsonValue, std::string> build_args(JsonDocument& doc, std::string_view command,
                                                 std::span<const std::string_view> args,
                                                 bool submit) {
  const CommandSpec* spec = find_command(command);
  if (!spec) return std::unexpected(kUnknownCommand + std::string(command) + kUnknownCommandEnd);

  // Every count is checked before any text is, so a short line is a usage
  // failure whatever its words hold. Argument i takes word i (and, if it
  // joins the rest, the words after it).
  for (size_t i = 0; i < spec->args.size(); ++i) {
    ArgKind kind = spec->args[i].kind;
    bool missing = kind == ArgKind::nonempty_rest
                       ? args.size() <= i || (args.size() == i + 1 && args[i].empty())
                       : kind != ArgKind::optional_word && args.size() <= i;
    if (missing) return std::unexpected(std::string(spec->usage));
  }

  std::vector<JsonMember> members;
  for (size_t i = 0; i < spec->args.size() && i < args.size(); ++i) {
    const ArgSpec& arg = spec->args[i];
    bool joins = arg.kind == ArgKind::rest || arg.kind == ArgKind::nonempty_rest;
    std::string joined = joins ? join(args.subspan(i)) : std::string();
    auto value = add_text(doc, arg.name, joins ? std::string_view(joined) : args[i]);
    if (!value) return std::unexpected(std::move(value.error()));
    members.push_back({JsonValue::string(arg.name), *value});
  }
  if (spec->takes_submit) {
    members.push_back({JsonValue::string("submit"), JsonValue::boolean(submit)});
  }
  return doc.add_object(members);
}

std::expected<JsonValue, std::string> build_request(JsonDocument& doc, std::string_view command,
                                                    std::optional<std::string_view> widget,
                                                    JsonValue args) {
  std::vector<JsonMember> members;
  members.push_back({JsonValue::string("command"), doc.add_string(command)});
  if (widget) {
    auto id = add_text(doc, "--widget", *widget);
    if (!id) return std::unexpected(std::move(id.error()));
    members.push_back({JsonValue::string("widget_id"), *id});
  }
  if (args.size() > 0) members.push_back({JsonValue::string("args"), args});
  return doc.add_object(members);
}

}  // namespace tessik
