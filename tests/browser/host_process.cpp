#include "browser/host_process.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tessik::testing {

using Clock = std::chrono::steady_clock;

std::filesystem::path state_path(const std::filesystem::path& home) {
  return home / ".tessik" / "state" / "browser-rpc.json";
}

int connect_to(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("connect failed");
  }
  return fd;
}

HostProcess::HostProcess(const std::filesystem::path& home, const std::vector<std::string>& args) {
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
  std::vector<std::string> argv_storage = {TESSIK_BROWSER_HOST_BINARY};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("spawn failed");
  }
  ::fcntl(err_, F_SETFL, O_NONBLOCK);
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(out_);
  ::close(err_);
}

int HostProcess::wait_ready() {
  std::string line;
  auto deadline = Clock::now() + std::chrono::seconds(40);
  while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
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

int HostProcess::wait_exit(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
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

int HostProcess::stop(int signal) {
  ::kill(pid_, signal);
  return wait_exit(std::chrono::seconds(15));
}

std::string HostProcess::stderr_text() {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(err_, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  return text;
}

}  // namespace tessik::testing
