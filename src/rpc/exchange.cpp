#include "rpc/exchange.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "json/utf8.h"
#include "json/writer.h"
#include "rpc/messages.h"
#include "sys/fd.h"
#include "sys/os_error.h"
#include "sys/rw.h"
#include "sys/tcp.h"

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

Failure os_failure(int error_number) { return Failure(sys::os_error_text(error_number)); }
Failure last_os_failure() { return os_failure(errno); }

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

std::expected<sys::Fd, std::string> connect_endpoint(uint16_t port,
                                                    std::chrono::nanoseconds limit) {
  // The one address there is: no lookup, no IPv6.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  auto opened = sys::tcp_socket();
  if (!opened) return os_failure(opened.error());
  sys::Fd socket = std::move(*opened);
  const int fd = socket.get();

  if (auto set = sys::set_nonblocking(fd, true); !set) return os_failure(set.error());
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int connect_error = rc == 0 ? 0 : errno;
  if (auto set = sys::set_nonblocking(fd, false); !set) return os_failure(set.error());

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
    sys::IoResult sent = sys::send_some(fd, bytes);
    if (sent.kind == sys::IoResult::Kind::closed) return Failure(kNothingWritten);
    // A send time limit passing is would_block: a failure like any other.
    if (sent.kind != sys::IoResult::Kind::moved) return os_failure(sent.error);
    bytes.remove_prefix(sent.count);
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
    sys::IoResult got =
        sys::recv_some(fd, {reply.data() + reply.size(), reply.capacity() - reply.size()});
    if (got.kind == sys::IoResult::Kind::closed) return reply;
    if (got.kind != sys::IoResult::Kind::moved) return os_failure(got.error);
    reply.set_size(reply.size() + got.count);
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
    const int fd = socket->get();
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
