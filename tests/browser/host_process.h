#pragma once
// A real tessik-browser-host process with a HOME of its own, for the tests
// that start, race and stop hosts.

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessik::testing {

// Where a host with HOME `home` announces itself.
std::filesystem::path state_path(const std::filesystem::path& home);

// A connection to 127.0.0.1:port; throws when refused.
int connect_to(int port);

class HostProcess {
 public:
  // Starts the host with `args` after its name; its stdout and stderr are
  // kept for reading.
  explicit HostProcess(const std::filesystem::path& home, const std::vector<std::string>& args = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Reads stdout until the ready line; its port, or 0 when the host ended first.
  int wait_ready();
  // Waits up to `limit` for the host to end; its exit status, or -1.
  int wait_exit(std::chrono::milliseconds limit);
  int stop(int signal);
  // What the host has written to stderr so far.
  std::string stderr_text();

  pid_t pid() const { return pid_; }
  const std::string& ready_line() const { return ready_line_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string ready_line_;
};

}  // namespace tessik::testing
