#pragma once
// The file that tells clients where the host listens: its token, its atomic
// writing and removal, and the lock that keeps a second host from serving.

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "sys/fd.h"

namespace tessik::host {

// 32 bytes from the system's random source, as 64 lower-case hex digits.
std::expected<std::string, std::string> make_token();

// A lock on a file beside the state file, held while the host serves; the
// system lets it go when the process ends, however it ends.
class HostLock {
 public:
  explicit HostLock(sys::Fd fd) : fd_(std::move(fd)) {}

 private:
  sys::Fd fd_;
};

// Creates the state file's missing folders (0700; existing ones keep their
// mode) and takes the lock, or says which host holds it.
std::expected<HostLock, std::string> lock_host(const std::string& path);

// Creates the file's missing folders (0700) and puts {"pid","port","token"} in place
// atomically with mode 0600. Returns the exact text written.
std::expected<std::string, std::string> write_state_file(const std::string& path, uint32_t pid,
                                                         uint16_t port, const std::string& token);

// Removes the file when it still holds `text`, so a newer host's file stays.
std::expected<void, std::string> remove_state_file(const std::string& path,
                                                   const std::string& text);

}  // namespace tessik::host
