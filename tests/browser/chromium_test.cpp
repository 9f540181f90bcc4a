// Finding the browser and keeping it from outliving the host, with stand-ins
// for the browser: no real one is needed.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host/chromium.h"
#include "support/process.h"
#include "sys/fd.h"
#include "sys/rw.h"

namespace tessik::host {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Writes an executable (or not) file into `folder`; returns its path.
std::string put_file(const testing::TempDir& folder, const std::string& name,
                     const std::string& text, fs::perms mode) {
  folder.write(name, text);
  fs::permissions(folder.path() / name, mode);
  return (folder.path() / name).string();
}

TEST(ChooseBrowser, TakesTheOptionThenTheEnvironmentThenTheFirstInstalled) {
  testing::TempDir folder;
  const auto exec = fs::perms::owner_all;
  const std::string installed = put_file(folder, "installed", "#!/bin/sh\n", exec);
  const std::string second = put_file(folder, "second", "#!/bin/sh\n", exec);
  const std::string not_executable = put_file(folder, "plain", "", fs::perms::owner_read);
  const std::string missing = (folder.path() / "missing").string();
  struct Case {
    const char* name;
    std::string option;
    const char* environment;
    std::vector<std::string> candidates;
    std::string chosen;  // or the failure text
    bool ok;
  };
  const std::vector<Case> cases = {
      {"option first", "/opt/b", "/opt/env", {installed}, "/opt/b", true},
      {"then the environment", "", "/opt/env", {installed}, "/opt/env", true},
      {"an empty variable is unset", "", "", {installed}, installed, true},
      {"the first that runs", "", nullptr, {missing, not_executable, installed, second}, installed,
       true},
      {"none",
       "",
       nullptr,
       {missing, not_executable},
       "no browser found (looked for " + missing + ", " + not_executable +
           "); name one with --chromium or TESSIK_CHROMIUM",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto chosen = choose_browser(c.option, c.environment, c.candidates);
    ASSERT_EQ(chosen.has_value(), c.ok);
    EXPECT_EQ(c.ok ? *chosen : chosen.error(), c.chosen);
  }
}

// Processes as ps lists them, which works where /proc does not.
struct Process {
  pid_t pid, group;
  std::string state;
};

std::vector<Process> processes() {
  std::vector<Process> list;
  FILE* ps = ::popen("ps -A -o pid= -o pgid= -o stat=", "r");
  if (!ps) return list;
  char line[256];
  while (std::fgets(line, sizeof line, ps)) {
    std::istringstream fields(line);
    Process p{};
    if (fields >> p.pid >> p.group >> p.state) list.push_back(p);
  }
  ::pclose(ps);
  return list;
}

// Live processes in `group`; zombies wait for a parent that may never reap.
std::vector<pid_t> group_members(pid_t group) {
  std::vector<pid_t> members;
  for (const Process& p : processes()) {
    if (p.group == group && !p.state.starts_with("Z")) members.push_back(p.pid);
  }
  return members;
}

// A browser that ignores its pipes closing: only the host can end it.
TEST(BrowserProcess, NoneOutlivesAHostKilledOutright) {
#if defined(__linux__)
  if (std::string why = testing::emulated_because(); !why.empty()) {
    GTEST_SKIP() << "qemu-user refuses prctl(PR_SET_CHILD_SUBREAPER), which the host needs "
                 << "(the test " << why << ")";
  }
#endif
  testing::TempDir folder;
  const std::string browser =
      put_file(folder, "browser", "#!/bin/sh\nexec sleep 600\n", fs::perms::owner_all);
  auto report = sys::make_pipe();
  ASSERT_TRUE(report);
  pid_t host = ::fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    ::setenv("TMPDIR", folder.path().c_str(), 1);  // its profile folder
    auto process = launch_browser({browser});
    pid_t pid = process ? process->pid : 0;
    if (!sys::write_all(report->write.get(),
                        std::string_view(reinterpret_cast<const char*>(&pid), sizeof pid))) {
      ::_exit(1);
    }
    for (;;) ::pause();
  }
  report->write.reset();
  // However the test ends, the stand-in host goes.
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
  } reaper{host};
  pid_t group = 0;
  ASSERT_EQ(::read(report->read.get(), &group, sizeof group), static_cast<ssize_t>(sizeof group));
  report->read.reset();
  ASSERT_GT(group, 0);
  EXPECT_NE(group_members(group), std::vector<pid_t>{});

  ASSERT_EQ(::kill(host, SIGKILL), 0);
  ASSERT_EQ(::waitpid(host, nullptr, 0), host);
  reaper.pid = -1;
  std::vector<pid_t> left;
  for (auto deadline = Clock::now() + std::chrono::seconds(20); Clock::now() < deadline;) {
    left = group_members(group);
    if (left.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(left, std::vector<pid_t>{}) << "still running in the browser's group";
  if (!left.empty()) ::kill(-group, SIGKILL);
}

}  // namespace
}  // namespace tessik::host
