#pragma once
// The run of one invocation, and its single failure path.

#include <string_view>

namespace tessik {

// Writes "tessik-browser: {message}" and a line feed to standard error and
// ends the process with status 1.
[[noreturn]] void fail(std::string_view message);

// Runs one invocation from the arguments after the program name; returns the
// exit status (0) or does not return.
int run_tessik_browser(int argc, const char* const* argv);

}  // namespace tessik
