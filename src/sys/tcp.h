#pragma once
// TCP sockets as every one of ours is set up: close-on-exec, and giving EPIPE
// rather than SIGPIPE where the system can say so per socket. Failures are
// the system's error numbers.

#include <expected>

#include "sys/fd.h"

namespace tessik::sys {

// A new IPv4 stream socket, or an IPv6 one.
std::expected<Fd, int> tcp_socket(bool ipv6 = false);

// The next connection waiting on `listener`, non-blocking. EAGAIN when there
// is none.
std::expected<Fd, int> accept_connection(int listener);

// Has the system hold each new connection on `listener` until its first bytes
// arrive, or `seconds` pass: true when it can (Linux), false when it has no
// such option.
std::expected<bool, int> defer_accept(int listener, int seconds);

}  // namespace tessik::sys
