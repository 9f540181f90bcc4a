#pragma once
// Reading and writing: one read or write that tells its outcomes apart,
// writes that wait for room, self-pipe wake-ups, a small file read at once,
// and the poll timeout for a deadline. Failures are the system's error numbers.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessik::sys {

using Clock = std::chrono::steady_clock;

// The poll() timeout that ends at `deadline`: rounded up, so that a wait that
// ends on time finds the deadline passed; 0 once it has.
int poll_timeout(Clock::time_point deadline);

// What one read or write did; EINTR is retried before it is known.
struct IoResult {
  enum class Kind : uint8_t {
    moved,        // `count` bytes, at least one
    would_block,  // nothing to read or no room now; `error` says which number
    closed,       // a read found the end of the stream; a write took nothing
    error,        // `error` holds the error number
  };
  Kind kind = Kind::moved;
  size_t count = 0;
  // EAGAIN or EWOULDBLOCK for would_block (also a blocking socket's time
  // limit passing), the failure's number for error; 0 otherwise.
  int error = 0;
};

// One read(2) or write(2). Safe in a signal handler and after fork.
IoResult read_some(int fd, std::span<char> into);
IoResult write_some(int fd, std::string_view bytes);
// One recv(2) with `flags` (MSG_PEEK) or send(2) on a socket.
IoResult recv_some(int fd, std::span<char> into, int flags = 0);
IoResult send_some(int fd, std::string_view bytes);

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
