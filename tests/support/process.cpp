#include "support/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sys/fd.h"

extern char** environ;

#ifndef TESSIK_TEST_EMULATOR
#define TESSIK_TEST_EMULATOR ""
#endif

namespace tessik::testing {

const char* const kBrowserBinary = TESSIK_BROWSER_BINARY;
const char* const kHostBinary = TESSIK_BROWSER_HOST_BINARY;

std::vector<std::string> binary_command(const std::vector<std::string>& args) {
  std::vector<std::string> command;
  std::istringstream emulator(TESSIK_TEST_EMULATOR);
  for (std::string word; emulator >> word;) command.push_back(word);
  command.push_back(kBrowserBinary);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::string emulated_because() {
  const std::string emulator = TESSIK_TEST_EMULATOR;
  return emulator.empty() ? "" : "runs under " + emulator.substr(0, emulator.find(' '));
}

Child spawn_child(const std::vector<std::string>& command, const SpawnOptions& options) {
  auto out = sys::make_pipe();
  auto err = sys::make_pipe();
  if (!out || !err) throw std::runtime_error("pipe failed");
  int out_pipe[2] = {out->read.release(), out->write.release()};
  int err_pipe[2] = {err->read.release(), err->write.release()};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());

  std::vector<std::string> env_storage;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (entry.rfind("HOME=", 0) == 0) continue;
    env_storage.push_back(entry);
  }
  if (options.home) env_storage.push_back("HOME=" + *options.home);
  std::vector<char*> envp;
  for (auto& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_storage = command;
  std::vector<char*> argv;
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  if (options.stdout_nonblocking && !sys::set_nonblocking(out_pipe[1])) {
    throw std::runtime_error("ioctl failed");
  }
  // Closed before the child starts, so that its first write already fails.
  if (options.stdout_closed) {
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }

  // The child starts as from a shell, with default signal handling, even when
  // this process ignores SIGPIPE or blocks signals.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGALRM);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  Child child;
  int rc = posix_spawn(&child.pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("spawn failed: " + command[0]);
  }
  child.out = out_pipe[0];
  child.err = err_pipe[0];
  return child;
}

RunResult run_command(const std::vector<std::string>& command, const RunOptions& options) {
  Child child = spawn_child(command, {.home = options.home,
                                      .cwd = options.cwd,
                                      .stdout_nonblocking = options.stdout_nonblocking,
                                      .stdout_closed = options.stdout_closed});

  if (options.read_after_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.read_after_ms));
  }
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
  pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = options.stdout_closed ? 1 : 2;
  bool killed = false;
  char buf[65536];
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 && !killed) {
      kill(child.pid, SIGKILL);
      killed = true;
    }
    int n = poll(fds, 2, killed ? 1000 : static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
    result.status = 128 + result.signal;
#ifdef WCOREDUMP
    result.core = WCOREDUMP(status);
#endif
  }
  return result;
}

RunResult run_binary(const std::vector<std::string>& args, const RunOptions& options) {
  // A stack limit is set by a shell that then becomes the binary.
  std::vector<std::string> command;
  if (options.stack_kib > 0) {
    command = {"/bin/sh", "-c",
               "ulimit -s " + std::to_string(options.stack_kib) + " && exec \"$0\" \"$@\""};
  }
  for (std::string& word : binary_command(args)) command.push_back(std::move(word));
  return run_command(command, options);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessik-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& relative, const std::string& content) const {
  auto file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_state_file(const TempDir& home, int port, const std::string& token) {
  home.write(".tessik/state/browser-rpc.json",
             "{\"port\":" + std::to_string(port) + ",\"token\":\"" + token + "\",\"pid\":1}\n");
}

}  // namespace tessik::testing
