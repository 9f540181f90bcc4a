#pragma once
// Starting and stopping the browser: its own process group, a profile folder
// (fresh, or kept for the next host), and the debugging pipes on its
// descriptors 3 (commands in) and 4 (replies and events out).

#include <chrono>
#include <expected>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sys/fd.h"

namespace tessik::host {

// Where a browser is usually installed on this system, in order of preference.
std::vector<std::string> browser_candidates();

// The browser to run: `named` (the --chromium option) when not empty, else
// `from_environment` (TESSIK_CHROMIUM) when set and not empty, else the first
// of `candidates` that is an executable file.
std::expected<std::string, std::string> choose_browser(const std::string& named,
                                                       const char* from_environment,
                                                       const std::vector<std::string>& candidates);

struct LaunchOptions {
  std::string executable;
  bool show_log = false;  // let the browser's own messages reach our stderr
  std::string profile;    // a kept profile folder; empty: a throwaway one
  bool headed = false;    // a visible window
  std::vector<std::string> browser_args;  // the user's own flags, after the host's
};

struct BrowserProcess {
  pid_t pid = -1;
  sys::Fd to_browser;    // ours, non-blocking; the browser reads it on fd 3
  sys::Fd from_browser;  // ours, non-blocking; the browser writes it on fd 4
  std::string profile_dir;  // a throwaway profile, removed at stop; empty for a kept one
  sys::Fd profile_lock;     // held while the profile is in use (host/profile.h)
  // Where the system cannot kill a child when its parent dies: a process in
  // the browser's group that kills the group once `lifeline` closes.
  pid_t watchdog = -1;
  sys::Fd lifeline;  // ours alone; its other end is the watchdog's
};

// The arguments the browser is started with, after the executable's name.
std::vector<std::string> browser_arguments(const std::string& profile_dir, bool as_root);

std::expected<BrowserProcess, std::string> launch_browser(const LaunchOptions& options);

// Waits up to `grace` for the browser to end by itself, then kills what is
// left of its process group, reaps it and removes a fresh profile folder. Returns
// a description of how it ended ("exit status 0", "signal 9").
std::string stop_browser(BrowserProcess& process, std::chrono::milliseconds grace);

}  // namespace tessik::host
