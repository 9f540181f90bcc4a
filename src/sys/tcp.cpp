#include "sys/tcp.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tessik::sys {

namespace {

std::expected<void, int> no_sigpipe([[maybe_unused]] int fd) {
#ifdef SO_NOSIGPIPE
  // A peer that closes early must give EPIPE, not a signal.
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) != 0) {
    return std::unexpected(errno);
  }
#endif
  return {};
}

}  // namespace

std::expected<Fd, int> tcp_socket(bool ipv6) {
  int family = ipv6 ? AF_INET6 : AF_INET;
  // TESSIK_FORCE_PORTABLE takes the path of systems without SOCK_CLOEXEC
  // (macOS), so that it is built and tested on Linux too.
#if defined(SOCK_CLOEXEC) && !defined(TESSIK_FORCE_PORTABLE)
  Fd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::unexpected(errno);
#else
  Fd fd(::socket(family, SOCK_STREAM, 0));
  if (!fd) return std::unexpected(errno);
  if (auto set = set_cloexec(fd.get()); !set) return std::unexpected(set.error());
#endif
  if (auto set = no_sigpipe(fd.get()); !set) return std::unexpected(set.error());
  return fd;
}

std::expected<Fd, int> accept_connection(int listener) {
  for (;;) {
#if defined(__linux__) && !defined(TESSIK_FORCE_PORTABLE)
    Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd && errno == EINTR) continue;
    if (!fd) return std::unexpected(errno);
#else
    Fd fd(::accept(listener, nullptr, nullptr));
    if (!fd && errno == EINTR) continue;
    if (!fd) return std::unexpected(errno);
    if (auto set = set_cloexec(fd.get()); !set) return std::unexpected(set.error());
    if (auto set = set_nonblocking(fd.get()); !set) return std::unexpected(set.error());
#endif
    if (auto set = no_sigpipe(fd.get()); !set) return std::unexpected(set.error());
    return fd;
  }
}

std::expected<bool, int> defer_accept([[maybe_unused]] int listener,
                                      [[maybe_unused]] int seconds) {
#if defined(__linux__) && defined(TCP_DEFER_ACCEPT)
  if (::setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) != 0) {
    return std::unexpected(errno);
  }
  return true;
#else
  return false;
#endif
}

}  // namespace tessik::sys
