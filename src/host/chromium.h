#pragma once
// Starting and stopping the headless browser: its own process group, a fresh
// profile folder, and the debugging pipes on its descriptors 3 (commands in)
// and 4 (replies and events out).

#include <chrono>
#include <expected>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessik::host {

struct LaunchOptions {
  std::string executable;
  bool show_log = false;  // let the browser's own messages reach our stderr
};

struct BrowserProcess {
  pid_t pid = -1;
  int to_browser = -1;    // ours, non-blocking; the browser reads it on fd 3
  int from_browser = -1;  // ours, non-blocking; the browser writes it on fd 4
  std::string profile_dir;
};

// The arguments the browser is started with, after the executable's name.
std::vector<std::string> browser_arguments(const std::string& profile_dir, bool as_root);

std::expected<BrowserProcess, std::string> launch_browser(const LaunchOptions& options);

// Waits up to `grace` for the browser to end by itself, then kills what is
// left of its process group, reaps it and removes its profile folder. Returns
// a description of how it ended ("exit status 0", "signal 9").
std::string stop_browser(BrowserProcess& process, std::chrono::milliseconds grace);

}  // namespace tessik::host
