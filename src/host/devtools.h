#pragma once
// The browser's debugging protocol over a pair of pipes: JSON messages, each
// ended by a NUL byte. Commands get replies by id; everything else the browser
// sends is an event, kept in arrival order until the caller takes it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.h"
#include "sys/fd.h"

namespace tessik::host {

using Clock = std::chrono::steady_clock;

// What a command fails with when the browser has gone away under it.
inline constexpr std::string_view kBrowserExited = "the browser has exited";

// A command's reply: the "result" object, owned by `doc`.
struct Reply {
  JsonDocument doc;
  JsonValue result;
};

// A message without an id, as read: `method`, `params` and `session` (empty
// for the browser itself) view `doc`.
struct Event {
  JsonDocument doc;
  std::string_view method;
  std::string_view session;
  JsonValue params;
};

class DevTools {
 public:
  // `to_browser` and `from_browser` are non-blocking; `abort_fd` turning
  // readable ends every wait at once.
  DevTools(sys::Fd to_browser, sys::Fd from_browser, int abort_fd);
  DevTools(const DevTools&) = delete;
  DevTools& operator=(const DevTools&) = delete;

  // Sends `method` with `params` (an object, or null for none) to `session`
  // (empty: the browser) and waits until `deadline` for its reply. A failure
  // is the protocol's own error message or the reason no reply came.
  std::expected<Reply, std::string> call(std::string_view method, JsonValue params,
                                         std::string_view session, Clock::time_point deadline);

  // Sends `method` without waiting for its reply, which is dropped when it
  // comes; for input whose answer only says it arrived.
  std::expected<void, std::string> post(std::string_view method, JsonValue params,
                                        std::string_view session, Clock::time_point deadline);

  // Reads what the browser has sent until at least one new event is queued or
  // `deadline` passes (then without failure).
  std::expected<void, std::string> wait_for_event(Clock::time_point deadline);

  // Reads what the browser has sent already, without waiting.
  std::expected<void, std::string> read_available() { return read_some(Clock::now()); }

  std::deque<Event>& events() { return events_; }
  // The browser's end of the pipe is closed: it has exited.
  bool closed() const { return closed_; }
  // The descriptor to watch for the browser's messages while idle.
  int read_fd() const { return from_.get(); }
  int abort_fd() const { return abort_fd_; }

 private:
  std::expected<void, std::string> send(std::string_view message, Clock::time_point deadline);
  std::expected<uint64_t, std::string> send_command(std::string_view method, JsonValue params,
                                                    std::string_view session,
                                                    Clock::time_point deadline);
  // One wait for input and one read; keeps whole messages.
  std::expected<void, std::string> read_some(Clock::time_point deadline);
  void take_message(std::string_view text);

  sys::Fd to_;
  sys::Fd from_;
  int abort_fd_ = -1;
  bool closed_ = false;
  uint64_t next_id_ = 1;
  uint64_t awaited_id_ = 0;
  std::optional<JsonDocument> reply_;
  std::string unreadable_;  // why the last message could not be read
  std::string input_;
  size_t input_begin_ = 0;
  std::deque<Event> events_;
  uint64_t events_seen_ = 0;
};

}  // namespace tessik::host
