#pragma once
// The texts of the command line's own failures.

namespace tessik {

// What every report on standard error starts with.
inline constexpr char kReportPrefix[] = "tessik-browser: ";

inline constexpr char kWidgetNeedsArgument[] = "--widget requires an argument";
inline constexpr char kMissingCommand[] = "missing command (try --help)";
// Around the word that is not a command.
inline constexpr char kUnknownCommand[] = "unknown command: '";
inline constexpr char kUnknownCommandEnd[] = "' (try --help)";

// Between an argument's name and its quoted text.
inline constexpr char kNotUtf8Argument[] = " is not valid UTF-8: ";

}  // namespace tessik
