#pragma once
// The command line: option scan, help text, command table and request objects.

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace tessik {

extern const std::string_view kHelpText;

struct CommandLine {
  std::optional<std::string_view> widget;  // the value of the last --widget
  bool submit = false;                      // --submit seen at least once
  std::string_view command;
  std::vector<std::string_view> args;  // positional words after the command
};

// What the option scan decided: print the help text, or run a command.
struct ScanResult {
  bool help = false;
  CommandLine line;
};

// Scans the arguments after the program name. A failure is a usage message.
std::expected<ScanResult, std::string> scan_options(std::span<const char* const> args);

// The "args" object of `command`, allocated in `doc`; a failure is a usage message.
std::expected<JsonValue, std::string> build_args(JsonDocument& doc, std::string_view command,
                                                 std::span<const std::string_view> args,
                                                 bool submit);

// The ExecRequest object, allocated in `doc`; a failure is a usage message.
std::expected<JsonValue, std::string> build_request(JsonDocument& doc, std::string_view command,
                                                    std::optional<std::string_view> widget,
                                                    JsonValue args);

}  // namespace tessik
