#pragma once
// A tessik-browser-host process for the end-to-end tests.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "sys/fd.h"

namespace tessik::testing {

// The browser the host finds on this machine, set before any test runs.
extern std::string real_browser;

// The file:// URL of a test page beside the browser tests.
inline std::string page_url(const std::string& name) {
  return std::string("file://") + TESSIK_BROWSER_PAGES + "/" + name;
}

// Where a host in `home` announces itself.
inline std::filesystem::path state_path(const std::filesystem::path& home) {
  return home / ".tessik" / "state" / "browser-rpc.json";
}

// The token the host of `home` announced in its state file.
inline std::string announced_token(const std::filesystem::path& home) {
  std::string text = read_file(state_path(home));
  size_t at = text.find("\"token\":\"") + 9;
  return text.substr(at, text.find('"', at) - at);
}

// Runs the client against the host of `home`, with room for a loaded machine.
inline RunResult run_client(const std::filesystem::path& home,
                            const std::vector<std::string>& args) {
  return run_binary(args, {.home = home.string(), .timeout_ms = 60000});
}

// Runs a client command that must succeed, and returns its output.
inline std::string client_output(const std::filesystem::path& home,
                                 const std::vector<std::string>& args) {
  RunResult r = run_client(home, args);
  EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
  EXPECT_EQ(r.err, "");
  return r.out;
}

// One tessik-browser-host process with its own HOME, its stdout read up to
// the line that says where it listens.
class Host {
 public:
  // `args` follow the program's name; `env` holds NAME=value entries for it.
  explicit Host(const std::filesystem::path& home, std::vector<std::string> args = {},
                std::vector<std::string> env = {}) {
    args.insert(args.begin(), kHostBinary);
    Child child = spawn_child(args, {.home = home.string(), .env = std::move(env)});
    pid_ = child.pid;
    out_ = child.out;
    err_ = child.err;
    (void)sys::set_nonblocking(err_);
  }

  ~Host() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // Reads stdout until the ready line; its port, or 0 when the host ended first.
  int wait_ready() {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{out_, POLLIN, 0};
      if (::poll(&fd, 1, 200) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    ready_line_ = line;
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) return 0;
    return std::stoi(line.substr(prefix.size()));
  }

  // Waits up to `limit` for the host to end; its exit status, or -1.
  int wait_exit(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  int stop(int signal = SIGTERM) {
    ::kill(pid_, signal);
    return wait_exit(std::chrono::seconds(15));
  }

  std::string stderr_text() {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(err_, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
  }

  pid_t pid() const { return pid_; }
  const std::string& ready_line() const { return ready_line_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string ready_line_;
};

// Passes once `host` says where it listens; otherwise shows what it said instead.
inline ::testing::AssertionResult ready(Host& host) {
  if (host.wait_ready() != 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << host.ready_line() << host.stderr_text();
}

// Tests that share one host, since starting the browser is the slow part.
// `Suite` is the test class itself, so that each suite has a host of its own.
template <class Suite>
class SharedHostSuite : public ::testing::Test {
 protected:
  static void start_host(std::vector<std::string> args) {
    home_ = new TempDir();
    host_ = new Host(home_->path(), std::move(args));
    port_ = host_->wait_ready();
  }
  // After all the suite's tests, the host still stops cleanly and quietly.
  static void stop_host() {
    EXPECT_EQ(host_->stop(), 0);
    EXPECT_EQ(host_->stderr_text(), "");
    EXPECT_FALSE(std::filesystem::exists(state_path(home_->path())));
    delete host_;
    delete home_;
    host_ = nullptr;
    home_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(port_, 0) << host_->ready_line() << host_->stderr_text(); }

  static RunResult run(const std::vector<std::string>& args) {
    return run_client(home_->path(), args);
  }
  static std::string ok(const std::vector<std::string>& args) {
    return client_output(home_->path(), args);
  }

  static inline TempDir* home_ = nullptr;
  static inline Host* host_ = nullptr;
  static inline int port_ = 0;
};

}  // namespace tessik::testing
