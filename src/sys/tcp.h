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

}  // namespace tessik::sys
