#include "rpc/exchange.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "json/utf8.h"
#include "json/writer.h"
#include "rpc/messages.h"
#include "rpc/os_error.h"

namespace tessik {

std::string format_request(std::string_view token, std::string_view body) {
  std::string r = "POST /v1/exec HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ";
  r.append(token);
  r.append("\r\nContent-Type: application/json\r\nContent-Length: ");
  r.append(std::to_string(body.size()));
  r.append("\r\nConnection: close\r\n\r\n");
  r.append(body);
  return r;
}

namespace {

using Failure = std::unexpected<std::string>;

Failure os_failure(int error_number) { return Failure(os_error_text(error_number)); }
Failure last_os_failure() { return os_failure(errno); }

// Owns the connection, so that every way out of the exchange closes it once.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&&) = delete;
  // A plain close: on EINTR the descriptor is gone all the same on the
  // systems we run on, so it is never closed twice.
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Blocking mode is switched through FIONBIO, which every POSIX socket layer has.
bool set_nonblocking(int fd, bool on) {
  int value = on ? 1 : 0;
  return ::ioctl(fd, FIONBIO, &value) == 0;
}

std::expected<Socket, std::string> open_socket() {
  // TESSIK_FORCE_PORTABLE takes the path of systems without SOCK_CLOEXEC
  // (macOS), so that it is built and tested on Linux too.
#if defined(SOCK_CLOEXEC) && !defined(TESSIK_FORCE_PORTABLE)
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_failure();
  Socket socket(fd);
#else
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return last_os_failure();
  Socket socket(fd);
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return last_os_failure();
#endif
#ifdef SO_NOSIGPIPE
  // A peer that closes early must give EPIPE, not a signal.
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) != 0) return last_os_failure();
#endif
  return socket;
}

// Waits for a connect in progress; the limit counts from the first look.
std::expected<void, std::string> await_connect(int fd, std::chrono::nanoseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed >= limit) return Failure(kConnectTimedOut);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(limit - elapsed).count();
    // A wait of 0 would spin; a sub-millisecond rest still gets one round.
    const int wait_ms = static_cast<int>(std::clamp<int64_t>(left, 1, INT_MAX));
    pollfd entry{fd, POLLOUT, 0};
    int ready = ::poll(&entry, 1, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return last_os_failure();
    }
    if (ready == 0) continue;
    if (entry.revents & (POLLERR | POLLHUP)) {
      int pending = 0;
      socklen_t size = sizeof pending;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return last_os_failure();
      if (pending != 0) return os_failure(pending);
      return Failure(kNoErrorAfterHangup);
    }
    return {};
  }
}

std::expected<Socket, std::string> connect_endpoint(uint16_t port,
                                                    std::chrono::nanoseconds limit) {
  // The one address there is: no lookup, no IPv6.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  auto socket = open_socket();
  if (!socket) return socket;
  const int fd = socket->fd();

  if (!set_nonblocking(fd, true)) return last_os_failure();
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int connect_error = rc == 0 ? 0 : errno;
  if (!set_nonblocking(fd, false)) return last_os_failure();

  if (rc == 0) return socket;
  if (connect_error != EINPROGRESS) return os_failure(connect_error);
  if (auto waited = await_connect(fd, limit); !waited) return std::unexpected(waited.error());
  return socket;
}

std::expected<void, std::string> set_time_limit(int fd, int option,
                                                std::chrono::microseconds limit) {
  // The system reads a zero time limit as none at all.
  const int64_t us = std::max<int64_t>(limit.count(), 1);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(us / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1'000'000);
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return last_os_failure();
  return {};
}

std::expected<void, std::string> send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_failure();
    }
    if (n == 0) return Failure(kNothingWritten);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

// Reads until the server closes the connection, straight into one buffer that
// doubles when full, so a reply of n bytes costs O(n).
std::expected<ByteBuffer, std::string> receive_all(int fd) {
  constexpr size_t kFirstCapacity = 64 * 1024;
  ByteBuffer reply;
  if (!reply.reserve(kFirstCapacity)) return os_failure(ENOMEM);
  for (;;) {
    if (reply.size() == reply.capacity()) {
      if (reply.capacity() > SIZE_MAX / 4 || !reply.reserve(reply.capacity() * 2)) {
        return os_failure(ENOMEM);
      }
    }
    ssize_t n = ::recv(fd, reply.data() + reply.size(), reply.capacity() - reply.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_failure();
    }
    if (n == 0) return reply;
    reply.set_size(reply.size() + static_cast<size_t>(n));
  }
}

}  // namespace

std::expected<ReplyBody, std::string> rpc_exchange(const RpcConfig& config, JsonValue request,
                                                   const ExchangeLimits& limits) {
  ByteBuffer reply;
  {
    std::string body = to_compact_json(request);
    auto socket = connect_endpoint(config.port, limits.connect);
    if (!socket) return std::unexpected(std::move(socket.error()));
    const int fd = socket->fd();
    if (auto set = set_time_limit(fd, SO_RCVTIMEO, limits.receive); !set) {
      return std::unexpected(std::move(set.error()));
    }
    if (auto set = set_time_limit(fd, SO_SNDTIMEO, limits.send); !set) {
      return std::unexpected(std::move(set.error()));
    }
    {
      const std::string wire = format_request(config.token, body);
      if (auto sent = send_all(fd, wire); !sent) return std::unexpected(std::move(sent.error()));
    }
    auto received = receive_all(fd);
    if (!received) return std::unexpected(std::move(received.error()));
    reply = std::move(*received);
  }  // The connection is closed here, before anything looks at the reply.

  if (!is_valid_utf8(reply.view())) return std::unexpected(kNotUtf8);
  const size_t separator = reply.view().find("\r\n\r\n");
  if (separator == std::string_view::npos) return std::unexpected(kNoBody);
  return ReplyBody{std::move(reply), separator + 4};
}

}  // namespace tessik
