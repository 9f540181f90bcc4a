#pragma once
// The endpoint: a poll loop that accepts and reads requests and writes
// replies, and one worker thread that owns the browser and runs the commands
// one after another, so that a slow page never holds up an accept.

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <sys/types.h>

#include "host/browser.h"
#include "host/devtools.h"

namespace tessik::host {

// A request must arrive whole, head and body, within this long of its
// connection's accept, however it trickles in; the connection is closed then.
inline constexpr auto kArrivalLimit = std::chrono::seconds(10);
// A client that takes no reply bytes for this long is dropped.
inline constexpr auto kIdleLimit = std::chrono::seconds(10);
// A request's whole time with the browser, waiting in line included; it stays
// well below the two minutes a client waits for its reply.
inline constexpr auto kRequestLimit = std::chrono::seconds(60);
// At most this many connections are open at once. A new one takes the place
// of the oldest that has not sent its whole request, so connections that send
// nothing never keep out one that does; a connection whose request has
// arrived is never dropped for room. With no room, new connections wait in
// the listen backlog.
inline constexpr size_t kMaxConnections = 128;
// Where the system can, it holds a new connection back from the host until
// its first bytes arrive, for this long at most (the arrival limit): a
// connection that still says nothing then is known to be idle already.
inline constexpr int kDeferSeconds = static_cast<int>(kArrivalLimit.count());
// Connections the system may hold for the host before it takes them (the
// system may cap it lower: net.core.somaxconn, kern.ipc.somaxconn).
inline constexpr int kListenBacklog = 1024;

enum class StopReason { signal, browser_exited };

struct ServeOptions {
  int listener = -1;     // bound, listening, non-blocking
  uint16_t port = 0;     // the listener's
  std::string token;
  // Carries the numbers of the signals caught: SIGCHLD, or one that stops the host.
  int signal_fd = -1;
  // The system holds each connection until its first bytes arrive or
  // kDeferSeconds pass, so one taken without bytes has been idle that long.
  bool deferred_accept = false;
  pid_t browser_pid = -1;  // watched through SIGCHLD, not reaped
  int abort_write = -1;    // written to end the worker's waits on the browser
  std::string_view gone = kBrowserExited;  // what requests fail with when it has gone
};

// Serves until a stop request or the browser's end; the worker has finished
// when this returns.
std::expected<StopReason, std::string> serve(const ServeOptions& options, Browser& browser,
                                             DevTools& devtools);

}  // namespace tessik::host
