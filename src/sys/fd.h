#pragma once
// Descriptors: an owning handle, files opened and locked, close-on-exec
// pipes, and the two flags every descriptor of ours may need. Failures are
// the system's error numbers.

#include <expected>
#include <sys/types.h>
#include <utility>

namespace tessik::sys {

// Owns one descriptor and closes it once, whichever way its scope is left.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes now, if open.
  void reset();
  // Closes now and passes on what close reported (a file system may only
  // then say that a write failed).
  std::expected<void, int> close();

 private:
  int fd_ = -1;
};

// Opens `path` with `flags` (close-on-exec is the caller's to ask), retrying EINTR.
std::expected<Fd, int> open_file(const char* path, int flags, mode_t mode = 0);

// A write lock on the whole of `fd`'s file, taken without waiting: true when
// taken, false while another process holds one. The system lets it go when
// the process ends, however it ends. Record locks rather than flock: every
// system has them.
std::expected<bool, int> try_lock(int fd);
// The process that holds a lock on `fd`'s file: 0 when none does, or when
// the system cannot tell which.
std::expected<pid_t, int> lock_holder(int fd);

struct Pipe {
  Fd read;
  Fd write;
};

// A pipe whose two ends are closed on exec; both non-blocking when asked.
std::expected<Pipe, int> make_pipe(bool nonblocking = false);

// Switches blocking mode through FIONBIO, which sockets and pipes take alike.
std::expected<void, int> set_nonblocking(int fd, bool on = true);

std::expected<void, int> set_cloexec(int fd);

}  // namespace tessik::sys
