#include "host/signals.h"

#include <algorithm>
#include <pthread.h>
#include <system_error>

#include "sys/os_error.h"

namespace tessik::host {

namespace {

constexpr int kStopSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#if defined(__linux__)
// These end a process by default on Linux only; elsewhere they are ignored
// by default or do not exist.
#if defined(SIGIO)
    SIGIO,
#endif
#if defined(SIGPWR)
    SIGPWR,
#endif
#if defined(SIGSTKFLT)
    SIGSTKFLT,
#endif
#endif
};

bool is_real_time(int number) {
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  return number >= SIGRTMIN && number <= SIGRTMAX;
#else
  (void)number;
  return false;
#endif
}

}  // namespace

std::vector<int> caught_signals() {
  std::vector<int> numbers(std::begin(kStopSignals), std::end(kStopSignals));
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) numbers.push_back(number);
#endif
  numbers.insert(numbers.end(), {SIGCHLD, SIGUSR1, SIGUSR2});
  return numbers;
}

bool is_stop_signal(int number) {
  return std::find(std::begin(kStopSignals), std::end(kStopSignals), number) !=
             std::end(kStopSignals) ||
         is_real_time(number);
}

std::expected<std::thread, std::string> start_unsignalled(std::function<void()> body) {
  sigset_t caught, old;
  sigemptyset(&caught);
  for (int number : caught_signals()) sigaddset(&caught, number);
  if (int e = pthread_sigmask(SIG_BLOCK, &caught, &old); e != 0) {
    return std::unexpected(sys::os_error_text(e));
  }
  std::thread thread;
  std::string failure;
  try {
    thread = std::thread(std::move(body));  // inherits the mask
  } catch (const std::system_error& e) {
    failure = sys::os_error_text(e.code().value());
  }
  // Setting back the mask just read cannot fail.
  (void)pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!failure.empty()) return std::unexpected(failure);
  return thread;
}

}  // namespace tessik::host
