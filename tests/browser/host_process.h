#pragma once
// A tessik-browser-host process for the end-to-end tests.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tessik::testing {

// The browser the host finds on this machine, set before any test runs.
extern std::string real_browser;

// One tessik-browser-host process with its own HOME, its stdout read up to
// the line that says where it listens.
class Host {
 public:
  // `args` follow the program's name.
  explicit Host(const std::filesystem::path& home, std::vector<std::string> args = {}) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> env = {"HOME=" + home.string()};
    for (char** e = environ; *e; ++e) {
      if (std::string_view(*e).rfind("HOME=", 0) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    args.insert(args.begin(), TESSIK_BROWSER_HOST_BINARY);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) throw std::runtime_error("spawn failed");
    out_ = out[0];
    err_ = err[0];
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
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

}  // namespace tessik::testing
