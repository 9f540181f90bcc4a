#pragma once
// The browser's debugging protocol over a transport (transport.h): JSON
// messages. Commands get replies by id; everything else the browser sends is
// an event, kept in arrival order until the caller takes it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/transport.h"
#include "json/buffer.h"
#include "host/messages.h"
#include "json/value.h"
#include "sys/fd.h"

namespace tessik::host {

using Clock = std::chrono::steady_clock;

// What commands fail with whatever they were (host/messages.h).
using msg::kBrowserExited;
using msg::kBrowserGone;
using msg::kHostStopping;
using msg::kOutOfMemory;
using msg::kPageCrashed;

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

class DevTools final : private MessageSink {
 public:
  // `abort_fd` turning readable ends every wait at once.
  DevTools(std::unique_ptr<Transport> transport, int abort_fd);
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

  // Called with each event as it is read, before it is queued, also while a
  // call waits for its reply: for what must be answered at once, as a
  // dialog that holds up the page until it is, and for what must be known
  // before the replies that follow it are judged. An event the watcher
  // answers true for is used up, and not queued.
  void set_watcher(std::function<bool(const Event&)> watcher) { watcher_ = std::move(watcher); }

  // From now on a call in `session` fails with `why` at once, and so does
  // one waiting there for its reply: the session can answer no more (its
  // renderer crashed). `revive` takes that back.
  void fail_session(std::string_view session, std::string_view why);
  void revive(std::string_view session);
  // Until `hold_back`, calls in a failed `session` go to the browser all the
  // same, for those the browser answers itself (loading a new document); a
  // new failure there ends that at once.
  void let_through(std::string_view session);
  void hold_back(std::string_view session);
  // Why calls in `session` fail at once; empty when they do not.
  std::string_view failure(std::string_view session) const;

  // A message has begun to arrive and not yet ended.
  bool receiving() const { return transport_->receiving(); }

  // Reads what the browser has sent already, without waiting.
  std::expected<void, std::string> read_available() { return read_some(Clock::now()); }

  std::deque<Event>& events() { return events_; }
  // The browser's end is closed: it has exited, or gone away.
  bool closed() const { return transport_->closed(); }
  // The descriptor to watch for the browser's messages while idle.
  int read_fd() const { return transport_->read_fd(); }
  int abort_fd() const { return abort_fd_; }

 private:
  std::expected<void, std::string> send(std::string_view message, Clock::time_point deadline);
  std::expected<uint64_t, std::string> send_command(std::string_view method, JsonValue params,
                                                    std::string_view session,
                                                    Clock::time_point deadline);
  // One wait for input and one read; keeps whole messages.
  std::expected<void, std::string> read_some(Clock::time_point deadline);
  // Parses text[begin, size) and keeps it as the awaited reply or an event.
  void message(ByteBuffer text, size_t begin) override;
  void lost(std::string_view why) override { unreadable_ = why; }
  void keep_message(ByteBuffer text, size_t begin);

  std::unique_ptr<Transport> transport_;
  int abort_fd_ = -1;
  uint64_t next_id_ = 1;
  uint64_t awaited_id_ = 0;
  std::optional<JsonDocument> reply_;
  std::string unreadable_;  // why the last message could not be read
  std::deque<Event> events_;
  uint64_t events_seen_ = 0;
  std::function<bool(const Event&)> watcher_;
  struct Failed {
    std::string session;
    std::string why;
    bool let_through = false;
  };
  std::vector<Failed> failed_;
};

}  // namespace tessik::host
