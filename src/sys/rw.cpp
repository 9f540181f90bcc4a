#include "sys/rw.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/fd.h"

namespace tessik::sys {

int poll_timeout(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

namespace {

// Sorts out what one call of read, write, recv or send returned.
template <class Call>
IoResult transfer(Call call) {
  for (;;) {
    ssize_t n = call();
    if (n > 0) return {IoResult::Kind::moved, static_cast<size_t>(n), 0};
    if (n == 0) return {IoResult::Kind::closed, 0, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Kind::would_block, 0, errno};
    return {IoResult::Kind::error, 0, errno};
  }
}

}  // namespace

IoResult read_some(int fd, std::span<char> into) {
  return transfer([&] { return ::read(fd, into.data(), into.size()); });
}

IoResult write_some(int fd, std::string_view bytes) {
  return transfer([&] { return ::write(fd, bytes.data(), bytes.size()); });
}

IoResult recv_some(int fd, std::span<char> into, int flags) {
  return transfer([&] { return ::recv(fd, into.data(), into.size(), flags); });
}

IoResult send_some(int fd, std::string_view bytes) {
  return transfer([&] { return ::send(fd, bytes.data(), bytes.size(), 0); });
}

namespace {

// Waits until `fd` takes more bytes (or will say through the next write why
// it never will), within `limits`.
std::expected<void, int> await_room(int fd, const WriteLimits& limits) {
  pollfd fds[2] = {{fd, POLLOUT, 0}, {limits.abort_fd, POLLIN, 0}};
  for (;;) {
    if (limits.deadline && Clock::now() >= *limits.deadline) return std::unexpected(ETIMEDOUT);
    int timeout = limits.deadline ? poll_timeout(*limits.deadline) : -1;
    // A negative descriptor is skipped by poll.
    int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return std::unexpected(errno);
    if (fds[1].revents != 0) return std::unexpected(ECANCELED);
    if (fds[0].revents != 0) return {};
  }
}

}  // namespace

std::expected<void, int> write_all(int fd, std::string_view bytes, const WriteLimits& limits) {
  while (!bytes.empty()) {
    IoResult wrote = write_some(fd, bytes);
    switch (wrote.kind) {
      case IoResult::Kind::moved: bytes.remove_prefix(wrote.count); break;
      case IoResult::Kind::would_block:
        if (auto room = await_room(fd, limits); !room) return room;
        break;
      // A write of nothing for a request of something: no progress to wait for.
      case IoResult::Kind::closed: return std::unexpected(EIO);
      case IoResult::Kind::error: return std::unexpected(wrote.error);
    }
  }
  return {};
}

void poke(int fd, char byte) {
  int saved = errno;  // a signal handler must leave errno as it found it
  (void)write_some(fd, std::string_view(&byte, 1));
  errno = saved;
}

void drain(int fd) {
  char buf[256];
  while (read_some(fd, buf).kind == IoResult::Kind::moved) {
  }
}

std::expected<std::string, int> read_file(const char* path, size_t max_bytes) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer, maybe forever.
  auto opened = open_file(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (!opened) return std::unexpected(opened.error());
  Fd fd = std::move(*opened);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(errno);
  // A FIFO or socket holds no file, only what some process sends: refused
  // with the error open() gives for a socket on Linux.
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return std::unexpected(ENXIO);
  // Regular files ignore the flag. Anything else keeps it: a device that
  // answers (/dev/null) is read as a file is, and one that would make the
  // read wait (a terminal nobody types into) fails at once with EAGAIN.
  // One byte beyond the size the file has now, so that the read which finds
  // its end is the second; a file that grows meanwhile is read on.
  size_t want = st.st_size > 0 ? std::min(static_cast<size_t>(st.st_size), max_bytes) + 1 : 4096;
  std::string text;
  size_t size = 0;
  for (;;) {
    if (size == text.size()) {
      if (size > max_bytes) return std::unexpected(EFBIG);
      // An exhausted allocator is one more reason the file cannot be read.
      try {
        text.resize(size == 0 ? want : size * 2);
      } catch (const std::exception&) {
        return std::unexpected(ENOMEM);
      }
    }
    IoResult got = read_some(fd.get(), {text.data() + size, text.size() - size});
    if (got.kind == IoResult::Kind::closed) break;
    if (got.kind != IoResult::Kind::moved) return std::unexpected(got.error);
    size += got.count;
  }
  if (size > max_bytes) return std::unexpected(EFBIG);
  text.resize(size);
  return text;
}

}  // namespace tessik::sys
