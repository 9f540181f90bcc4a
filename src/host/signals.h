#pragma once
// The signals the host catches, for the handlers, the threads that must not
// take them, and the processes forked without exec that must not keep them.

#include <csignal>
#include <expected>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tessik::host {

// The signals the host catches: those that stop it (is_stop_signal), SIGCHLD,
// which tells of the browser, and SIGUSR1 and SIGUSR2, which mean nothing to
// the host and are caught only so that a stray one cannot end it without its
// clean-up. Real-time signals have their numbers only at run time.
std::vector<int> caught_signals();

// Each signal whose default action would end the host stops it cleanly, as
// SIGTERM does, except: SIGKILL and SIGSTOP, which cannot be caught; those
// that report a fault of the host's own (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP, SIGABRT, SIGSYS), which a handler would only run into again;
// SIGPIPE and SIGXFSZ, which are ignored; and SIGUSR1 and SIGUSR2.
bool is_stop_signal(int number);

// Ignored: a write that they would end the host for fails with EPIPE or
// EFBIG instead, which the host takes as any failure.
inline constexpr int kIgnoredSignals[] = {SIGPIPE, SIGXFSZ};

// Runs `body` on a new thread that keeps the caught signals blocked, so that
// they reach the thread that waits for them.
std::expected<std::thread, std::string> start_unsignalled(std::function<void()> body);

}  // namespace tessik::host
