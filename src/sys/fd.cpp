#include "sys/fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tessik::sys {

void Fd::reset() {
  // A plain close: on EINTR the descriptor is gone all the same on the
  // systems we run on, so it is never closed twice.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::expected<void, int> Fd::close() {
  if (::close(std::exchange(fd_, -1)) != 0) return std::unexpected(errno);
  return {};
}

std::expected<Fd, int> open_file(const char* path, int flags, mode_t mode) {
  for (;;) {
    int fd = ::open(path, flags, mode);
    if (fd >= 0) return Fd(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

namespace {

struct flock whole_file(short type) {
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  return whole;
}

}  // namespace

std::expected<bool, int> try_lock(int fd) {
  for (;;) {
    struct flock wanted = whole_file(F_WRLCK);
    if (::fcntl(fd, F_SETLK, &wanted) == 0) return true;
    if (errno == EACCES || errno == EAGAIN) return false;
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<pid_t, int> lock_holder(int fd) {
  struct flock holder = whole_file(F_WRLCK);
  if (::fcntl(fd, F_GETLK, &holder) != 0) return std::unexpected(errno);
  return holder.l_type == F_UNLCK || holder.l_pid < 0 ? 0 : holder.l_pid;
}

std::expected<Pipe, int> make_pipe(bool nonblocking) {
  int fds[2];
  // TESSIK_FORCE_PORTABLE takes the path of systems without pipe2 (macOS),
  // so that it is built and tested on Linux too.
#if defined(__linux__) && !defined(TESSIK_FORCE_PORTABLE)
  if (::pipe2(fds, O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0)) != 0) return std::unexpected(errno);
  return Pipe{Fd(fds[0]), Fd(fds[1])};
#else
  if (::pipe(fds) != 0) return std::unexpected(errno);
  Pipe pipe{Fd(fds[0]), Fd(fds[1])};
  for (int fd : fds) {
    if (auto set = set_cloexec(fd); !set) return std::unexpected(set.error());
    if (nonblocking) {
      if (auto set = set_nonblocking(fd); !set) return std::unexpected(set.error());
    }
  }
  return pipe;
#endif
}

std::expected<void, int> set_nonblocking(int fd, bool on) {
  int value = on ? 1 : 0;
  if (::ioctl(fd, FIONBIO, &value) != 0) return std::unexpected(errno);
  return {};
}

std::expected<void, int> set_cloexec(int fd) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return std::unexpected(errno);
  return {};
}

}  // namespace tessik::sys
