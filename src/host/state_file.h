#pragma once
// The file that tells clients where the host listens: its token, its atomic
// writing and removal, and the check for a host that is already running.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace tessik::host {

// 32 bytes from the system's random source, as 64 lower-case hex digits.
std::expected<std::string, std::string> make_token();

// The process id named by the state file at `path` when that process is still
// alive; nothing when the file is missing, unreadable, malformed or stale.
std::optional<uint32_t> running_host(const std::string& path);

// Creates the file's folders (0700) and puts {"pid","port","token"} in place
// atomically with mode 0600. Returns the exact text written.
std::expected<std::string, std::string> write_state_file(const std::string& path, uint32_t pid,
                                                         uint16_t port, const std::string& token);

// Removes the file when it still holds `text`, so a newer host's file stays.
std::expected<void, std::string> remove_state_file(const std::string& path,
                                                   const std::string& text);

}  // namespace tessik::host
