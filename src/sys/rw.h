#pragma once
// Reading and writing whole: writes that wait for room, self-pipe wake-ups,
// a small file read at once, and the poll timeout for a deadline. Failures
// are the system's error numbers.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tessik::sys {

using Clock = std::chrono::steady_clock;

// The poll() timeout that ends at `deadline`: rounded up, so that a wait that
// ends on time finds the deadline passed; 0 once it has.
int poll_timeout(Clock::time_point deadline);

// When a write may stop waiting for room: at `deadline` (ETIMEDOUT), or once
// `abort_fd` turns readable (ECANCELED). By default it waits as long as it takes.
struct WriteLimits {
  std::optional<Clock::time_point> deadline;
  int abort_fd = -1;
};

// Writes all of `bytes`, retrying EINTR and, on a non-blocking descriptor
// that is full, waiting with poll for room. Uses only async-signal-safe calls.
std::expected<void, int> write_all(int fd, std::string_view bytes, const WriteLimits& limits = {});

// Writes one byte without waiting: a wake-up for whoever polls the other end
// of a pipe. A full pipe holds a wake-up already, so a failure loses nothing.
// Safe in a signal handler.
void poke(int fd, char byte = 1);

// Reads a non-blocking descriptor until it is empty, dropping what it held.
void drain(int fd);

// Reads the file at `path` whole, in as few reads as its size allows; EFBIG
// when it holds more than `max_bytes`. Nothing is waited for: ENXIO at once
// for a FIFO or socket, EAGAIN for a device with nothing to read yet.
std::expected<std::string, int> read_file(const char* path, size_t max_bytes = SIZE_MAX);

}  // namespace tessik::sys
