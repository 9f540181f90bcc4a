#pragma once
// The signals the host catches, for the handlers, the threads that must not
// take them, and the processes forked without exec that must not keep them.

#include <csignal>

namespace tessik::host {

// SIGINT, SIGTERM, SIGHUP and SIGQUIT stop the host cleanly; SIGCHLD tells of
// the browser; SIGUSR1 and SIGUSR2 mean nothing to the host and are caught
// only so that a stray one cannot end it without its clean-up.
inline constexpr int kCaughtSignals[] = {SIGINT,  SIGTERM, SIGHUP, SIGQUIT,
                                         SIGCHLD, SIGUSR1, SIGUSR2};

inline bool is_stop_signal(int number) {
  return number == SIGINT || number == SIGTERM || number == SIGHUP || number == SIGQUIT;
}

}  // namespace tessik::host
