#include "host/chromium.h"
#include "host/messages.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include "host/profile.h"
#include "host/signals.h"
#include "sys/fd.h"
#include "sys/rw.h"
#include "sys/os_error.h"

extern char** environ;

namespace tessik::host {

namespace {

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Runs in the child between fork and exec, so only async-signal-safe calls.
[[noreturn]] void exec_child(const char* path, char* const* argv, char* const* envp, int commands,
                             int replies, int report, bool show_log, pid_t parent) {
  bool ok = ::setpgid(0, 0) == 0;
#if defined(__linux__)
  // The browser must not outlive a host that is killed outright.
  ok = ok && ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == parent;
#else
  (void)parent;
#endif
  // The host ignores SIGPIPE and SIGXFSZ and blocks signals in its threads;
  // the browser starts with none of that.
  sigset_t none;
  sigemptyset(&none);
  ok = ok && ::sigprocmask(SIG_SETMASK, &none, nullptr) == 0;
  for (int number : kIgnoredSignals) ok = ok && ::signal(number, SIG_DFL) != SIG_ERR;

  // Out of the way first, in case either already sits on 3 or 4.
  int in = ok ? ::fcntl(commands, F_DUPFD_CLOEXEC, 10) : -1;
  int out = ok ? ::fcntl(replies, F_DUPFD_CLOEXEC, 10) : -1;
  int null = ok ? ::open("/dev/null", O_RDWR | O_CLOEXEC) : -1;
  ok = in >= 0 && out >= 0 && null >= 0 && ::dup2(in, 3) == 3 && ::dup2(out, 4) == 4 &&
       ::dup2(null, 0) == 0 && ::dup2(null, 1) == 1 && (show_log || ::dup2(null, 2) == 2);
  if (ok) ::execve(path, argv, envp);
  int error = errno;
  std::string_view bytes(reinterpret_cast<const char*>(&error), sizeof error);
  (void)sys::write_all(report, bytes);
  ::_exit(127);
}

// Ends the helpers that left the browser's process group and were handed to
// the host as their subreaper, and reaps them.
void end_orphans(std::chrono::milliseconds grace) {
#if defined(__linux__)
  auto deadline = std::chrono::steady_clock::now() + grace;
  for (;;) {
    int status;
    pid_t reaped = ::waitpid(-1, &status, WNOHANG);
    if (reaped > 0 || (reaped < 0 && errno == EINTR)) continue;
    if (reaped < 0) return;  // ECHILD: none left
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
      std::ifstream children(task.path() / "children");
      // One that ends by itself meanwhile makes this fail harmlessly.
      for (long pid; children >> pid;) (void)::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
#else
  (void)grace;
#endif
}

#if !defined(__linux__)
// Without PR_SET_PDEATHSIG a host killed outright would leave its browser
// running. The watchdog joins the browser's process group and waits on a pipe
// whose only writer is the host: when the host is gone, however it went, the
// read returns and the watchdog kills its own group. As a member it keeps the
// group's id from being reused meanwhile. The host's ends of the browser's
// pipes must not stay open in the watchdog.
std::expected<void, std::string> start_watchdog(BrowserProcess& process) {
  auto lifeline = sys::make_pipe();
  if (!lifeline) return std::unexpected(sys::os_error_text(lifeline.error()));
  // Listed before the fork: the child may not allocate.
  std::vector<int> caught = caught_signals();
  pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(sys::os_error_text(errno));
  if (pid == 0) {
    // Between fork and exit, so only async-signal-safe calls.
    lifeline->write.reset();
    process.to_browser.reset();
    process.from_browser.reset();
    for (int number : caught) ::signal(number, SIG_DFL);
    for (int number : kIgnoredSignals) ::signal(number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    (void)::setpgid(0, process.pid);
    // Outside the browser's group, killing "its own" group would hit the host's.
    if (::getpgrp() != process.pid) ::_exit(1);
    char byte;
    while (::read(lifeline->read.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    ::kill(0, SIGKILL);
    ::_exit(1);
  }
  lifeline->read.reset();
  // Also here, so the watchdog is in the group whichever side runs first.
  (void)::setpgid(pid, process.pid);
  process.watchdog = pid;
  process.lifeline = std::move(lifeline->write);
  if (::getpgid(pid) != process.pid) return std::unexpected(std::string(msg::kNotInGroup));
  return {};
}
#endif

}  // namespace

std::vector<std::string> browser_candidates() {
#if defined(__APPLE__)
  return {"/Applications/Chromium.app/Contents/MacOS/Chromium",
          "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome"};
#else
  return {"/usr/bin/chromium", "/usr/bin/google-chrome"};
#endif
}

std::expected<std::string, std::string> choose_browser(const std::string& named,
                                                       const char* from_environment,
                                                       const std::vector<std::string>& candidates) {
  if (!named.empty()) return named;
  if (from_environment && *from_environment) return std::string(from_environment);
  std::string tried;
  for (const std::string& candidate : candidates) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    tried += (tried.empty() ? "" : ", ") + candidate;
  }
  return std::unexpected(msg::no_browser_found(tried));
}

std::vector<std::string> browser_arguments(const std::string& profile_dir, bool as_root) {
  std::vector<std::string> args = {
      "--headless",
      "--remote-debugging-pipe",
      "--user-data-dir=" + profile_dir,
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-gpu",
      // A page restored from the back-forward cache commits after its load
      // has ended, out of the order every other navigation keeps; as in
      // browser automation, history loads its pages afresh.
      "--disable-back-forward-cache",
      "--disable-quic",
  };
  // The sandbox cannot start as root; anyone else keeps it.
  if (as_root) args.push_back("--no-sandbox");
  // Without a start page the first tab would open the configured home page,
  // which may be on the network.
  args.push_back("about:blank");
  return args;
}

std::expected<BrowserProcess, std::string> launch_browser(const LaunchOptions& options) {
  // Folders of hosts that were killed would keep their cookies forever.
  sweep_profiles(temp_folder());
  const bool kept = !options.profile.empty();
  auto made = kept ? open_kept_profile(options.profile) : make_profile(temp_folder());
  if (!made) return std::unexpected(made.error());
  std::string profile = made->path;
  auto fail = [&](std::string message) {
    std::error_code ignored;
    if (!kept) std::filesystem::remove_all(profile, ignored);
    return std::unexpected(std::move(message));
  };

  sys::Pipe commands, replies, report;
  for (sys::Pipe* pipe : {&commands, &replies, &report}) {
    auto made = sys::make_pipe();
    if (!made) return fail("cannot make a pipe: " + sys::os_error_text(made.error()));
    *pipe = std::move(*made);
  }

  std::vector<std::string> args = browser_arguments(profile, ::geteuid() == 0);
  if (options.headed) std::erase(args, std::string("--headless"));
  // Before the start page, which comes last; after the host's own flags, so
  // that the browser takes the user's where both set one.
  args.insert(args.end() - 1, options.browser_args.begin(), options.browser_args.end());
  args.insert(args.begin(), options.executable);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The browser keeps more than its profile under HOME (certificate store,
  // crash reports); pointed at the profile folder, it leaves nothing behind.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view entry = *e;
    if (entry.starts_with("HOME=") || entry.starts_with("XDG_CONFIG_HOME=") ||
        entry.starts_with("XDG_CACHE_HOME=") || entry.starts_with("CHROME_CONFIG_HOME=")) {
      continue;
    }
    env.emplace_back(entry);
  }
  env.push_back("HOME=" + profile);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

#if defined(__linux__)
  // The crash handler daemonises out of the browser's process group; as a
  // subreaper the host still gets it as a child and can end it.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    return fail("cannot adopt the browser's helpers: " + sys::os_error_text(errno));
  }
#endif

  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return fail("cannot start the browser: " + sys::os_error_text(errno));
  if (pid == 0) {
    exec_child(options.executable.c_str(), argv.data(), envp.data(), commands.read.get(),
               replies.write.get(), report.write.get(), options.show_log, parent);
  }
  // Also here, so the group exists whichever side runs first; once the child
  // has called exec this fails, and then the child's own call has done it.
  (void)::setpgid(pid, pid);
  commands.read.reset();
  replies.write.reset();
  report.write.reset();

  // The report pipe closes on a successful exec; otherwise it carries errno.
  int error = 0;
  ssize_t got;
  do {
    got = ::read(report.read.get(), &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  report.read.reset();
  if (got > 0) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return fail("cannot start " + options.executable + ": " + sys::os_error_text(error));
  }

  BrowserProcess process;
  process.pid = pid;
  process.to_browser = std::move(commands.write);
  process.from_browser = std::move(replies.read);
  if (!kept) process.profile_dir = profile;
  process.profile_lock = std::move(made->lock);
  for (const sys::Fd* fd : {&process.to_browser, &process.from_browser}) {
    if (auto set = sys::set_nonblocking(fd->get()); !set) {
      stop_browser(process, std::chrono::milliseconds(0));
      return std::unexpected(msg::because(msg::kCannotSetUpPipes, sys::os_error_text(set.error())));
    }
  }
#if !defined(__linux__)
  if (auto watched = start_watchdog(process); !watched) {
    stop_browser(process, std::chrono::milliseconds(0));
    return std::unexpected(msg::because(msg::kCannotWatchBrowser, watched.error()));
  }
#endif
  return process;
}

std::string stop_browser(BrowserProcess& process, std::chrono::milliseconds grace) {
  std::string how = "still running";
  if (process.pid > 0) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + grace;
    pid_t done = 0;
    for (;;) {
      done = ::waitpid(process.pid, &status, WNOHANG);
      if (done < 0 && errno == EINTR) continue;
      if (done != 0 || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done == 0) {
      (void)::kill(-process.pid, SIGKILL);  // the waitpid below tells whether it went
      while ((done = ::waitpid(process.pid, &status, 0)) < 0 && errno == EINTR) {
      }
    }
    how = done == process.pid ? describe_status(status) : "lost";
    // Helpers that outlived the main process share its group; ESRCH means
    // there are none. The watchdog is one of the group and goes with it.
    (void)::kill(-process.pid, SIGKILL);
    process.pid = -1;
    if (process.watchdog > 0) {
      (void)::kill(process.watchdog, SIGKILL);  // in case it never joined the group
      while (::waitpid(process.watchdog, nullptr, 0) < 0 && errno == EINTR) {
      }
      process.watchdog = -1;
    }
    end_orphans(std::chrono::seconds(2));
  }
  process.to_browser.reset();
  process.from_browser.reset();
  process.lifeline.reset();
  if (!process.profile_dir.empty()) {
    std::error_code ignored;
    // A helper killed a moment ago may still be letting go of its files.
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::filesystem::remove_all(process.profile_dir, ignored);
      if (!std::filesystem::exists(process.profile_dir, ignored)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    process.profile_dir.clear();
  }
  // Let go only now: a folder that could not be removed is left to a later
  // host to sweep.
  process.profile_lock.reset();
  return how;
}

}  // namespace tessik::host
