#include "host/server.h"
#include "host/messages.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <list>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <vector>

#include "host/exec.h"
#include "host/http.h"
#include "host/signals.h"
#include "host/worker.h"
#include "sys/fd.h"
#include "sys/rw.h"
#include "sys/os_error.h"
#include "sys/tcp.h"

namespace tessik::host {

namespace {

// After the reply, what the client still sends is read and dropped for this
// long, so that closing with unread input does not reset the connection
// before the client has read the reply.
constexpr auto kDrainLimit = std::chrono::seconds(2);
// How long the last replies may take once the browser has gone.
constexpr auto kClosingLimit = std::chrono::seconds(3);
// Connections taken per turn of the loop.
constexpr size_t kAcceptBatch = 16;
// How long to leave new connections waiting when no descriptor is free.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// How soon to try again what found no memory.
constexpr auto kRetryPause = std::chrono::milliseconds(10);
// How long a new connection keeps its place, request or not: a client sends
// its request right after connecting, but on a busy machine that may take a
// while, and a connection dropped meanwhile fails a client that did nothing
// wrong. Connections that send nothing hold up others this long at most.
constexpr auto kEvictionGrace = std::chrono::seconds(2);

struct Connection {
  enum class State { reading, running, writing, draining };
  uint64_t id = 0;
  sys::Fd fd;
  State state = State::reading;
  std::string input;
  size_t head_end = 0;  // 0 until the head is read
  size_t body_length = 0;
  ByteBuffer output;
  size_t sent = 0;
  Clock::time_point deadline;
  Clock::time_point drain_until;
  Clock::time_point accepted;
  // Taken once the system had held it back until its first bytes came or
  // the arrival limit passed: if it has sent nothing, it has been idle that long.
  bool held = false;
  // The client has ended its sending side: it waits for the reply with its
  // own side shut (HTTP allows that), or it has gone.
  bool half_closed = false;
  size_t sent_early = 0;  // the reply's first bytes, sent to tell which
};

class ClientLoop {
 public:
  ClientLoop(const ServeOptions& options, Worker& worker) : options_(options), worker_(worker) {}

  std::expected<StopReason, std::string> run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> owners;
    for (;;) {
      Clock::time_point now = Clock::now();
      if (closing_until_ && (now >= *closing_until_ || (connections_.empty() && !take_waiting()))) {
        return closing_for_;
      }
      fds.clear();
      owners.clear();
      fds.push_back({options_.signal_fd, POLLIN, 0});
      fds.push_back({worker_.wake_fd(), POLLIN, 0});
      bool room = connections_.size() < kMaxConnections || evictable(now) != connections_.end();
      // While closing too: a newcomer is told why at once.
      bool accepting = now >= accept_pause_until_ && room;
      fds.push_back({accepting ? options_.listener : -1, POLLIN, 0});
      Clock::time_point next = closing_until_.value_or(now + std::chrono::hours(1));
      if (now < accept_pause_until_) next = std::min(next, accept_pause_until_);
      // Without room, the next chance of some is when a new connection's
      // grace ends.
      if (!room) next = std::min(next, grace_ends());
      if (replies_left_) next = std::min(next, now + kRetryPause);
      for (Connection& c : connections_) {
        // A running one is watched too, for its client going away; once it
        // has ended its sending side, only an error or a reset is news.
        short events = c.state == Connection::State::writing ? POLLOUT : POLLIN;
        if (c.state == Connection::State::running && c.half_closed) events = 0;
        fds.push_back({c.fd.get(), events, 0});
        owners.push_back(&c);
        if (c.state != Connection::State::running) next = std::min(next, c.deadline);
      }
      int ready = ::poll(fds.data(), fds.size(), sys::poll_timeout(next));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        return std::unexpected(msg::because(msg::kCannotWaitClients, sys::os_error_text(errno)));
      }

      if (fds[0].revents != 0) {
        std::optional<StopReason> stop = take_signals();
        // A stop request while closing already cuts the goodbyes short.
        if (stop == StopReason::signal && closing_until_) return closing_for_;
        if (stop) close_down(*stop);
      }
      if (fds[1].revents != 0 || replies_left_) {
        sys::drain(worker_.wake_fd());
        take_replies();
        if (worker_.browser_gone()) close_down(StopReason::browser_exited);
      }
      for (size_t i = 0; i < owners.size(); ++i) {
        // A connection closed earlier in this turn has nothing more to do.
        if (fds[i + 3].revents != 0 && owners[i]->fd) guarded_step(*owners[i]);
      }
      // Last, since making room may drop connections that `owners` points to.
      if (fds[2].revents != 0) {
        try {
          accept_some();
        } catch (const std::bad_alloc&) {
          // The connection not kept is closed; the others wait their turn.
        }
      }
      now = Clock::now();
      for (Connection& c : connections_) {
        if (c.state != Connection::State::running && now >= c.deadline) c.fd.reset();
      }
      // A connection that has gone frees a descriptor: waiting ones may come.
      if (connections_.remove_if([](const Connection& c) { return !c.fd; }) > 0) {
        accept_pause_until_ = {};
      }
    }
  }

 private:
  using Connections = std::list<Connection>;

  std::optional<StopReason> take_signals() {
    bool stop = false;
    char numbers[64];
    for (;;) {
      sys::IoResult got = sys::read_some(options_.signal_fd, numbers);
      if (got.kind != sys::IoResult::Kind::moved) break;
      for (size_t i = 0; i < got.count; ++i) stop = stop || is_stop_signal(numbers[i]);
    }
    if (stop) return StopReason::signal;
    // The browser's helpers hold its pipe open for a while after it dies;
    // its own exit is the sure sign. WNOWAIT leaves the reaping to its stop.
    siginfo_t info{};
    if (options_.browser_pid > 0 &&
        ::waitid(P_PID, static_cast<id_t>(options_.browser_pid), &info,
                 WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == options_.browser_pid) {
      return StopReason::browser_exited;
    }
    return std::nullopt;
  }

  // The host is stopping, or the browser has gone: every request not yet
  // answered, and every connection that comes meanwhile, gets that as its
  // reply; nothing more runs, and the loop ends once the replies are out.
  void close_down(StopReason reason) {
    if (closing_until_) return;
    closing_until_ = Clock::now() + kClosingLimit;
    closing_for_ = reason;
    // A command that finished already keeps its own reply.
    take_replies();
    worker_.cancel_all();
    // Ends the worker's wait on the browser.
    sys::poke(options_.abort_write);
    for (Connection& c : connections_) {
      if (c.state == Connection::State::running || c.state == Connection::State::reading) {
        refuse_for_closing(c);
      }
    }
  }

  void refuse_for_closing(Connection& c) {
    try {
      reply(c, 503,
            error_envelope(closing_for_ == StopReason::signal ? kHostStopping : options_.gone));
    } catch (const std::bad_alloc&) {
      c.fd.reset();
    }
  }

  // While the host is stopping, takes the connections still waiting in the
  // listen backlog, which are told so rather than reset when it closes; false
  // when none was waiting.
  bool take_waiting() {
    try {
      accept_some();
    } catch (const std::bad_alloc&) {
      // The connection not kept is closed; the others are taken next turn.
    }
    return !connections_.empty();
  }

  // How long a connection still reading keeps its place once others wait:
  // one the system held back and that has sent nothing has waited its time
  // already; others get a grace, since a client sends its request right
  // after connecting, but on a busy machine that may take a while.
  static Clock::duration grace(const Connection& c) {
    return c.held && c.input.empty() ? Clock::duration::zero() : kEvictionGrace;
  }

  // The oldest connection that may go to make room at `now`: first one whose
  // reply is out already, which loses nothing, else one past its grace whose
  // request is still incomplete.
  Connections::iterator evictable(Clock::time_point now) {
    auto found = std::find_if(connections_.begin(), connections_.end(), [](const Connection& c) {
      return c.fd && c.state == Connection::State::draining;
    });
    if (found != connections_.end()) return found;
    return std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) {
      return c.fd && c.state == Connection::State::reading && now >= c.accepted + grace(c);
    });
  }

  // When the first connection still reading now passes its grace.
  Clock::time_point grace_ends() const {
    Clock::time_point first = Clock::time_point::max();
    for (const Connection& c : connections_) {
      if (c.fd && c.state == Connection::State::reading) {
        first = std::min(first, c.accepted + grace(c));
      }
    }
    return first;
  }

  // Drops the oldest connection that may go, after reading what it holds
  // already: a request that has arrived whole, unread, keeps its connection,
  // and the first bytes of one give it its grace.
  bool evict_one() {
    for (;;) {
      auto victim = evictable(Clock::now());
      if (victim == connections_.end()) return false;
      if (victim->state == Connection::State::reading) {
        size_t had = victim->input.size();
        read_request(*victim);
        if (victim->fd &&
            (victim->state != Connection::State::reading || victim->input.size() != had)) {
          continue;
        }
      }
      // Whether it ended by itself just now or is dropped, it makes room.
      connections_.erase(victim);
      return true;
    }
  }

  // Takes a batch of waiting connections: those just taken are read before a
  // flood of newer ones can push them out.
  void accept_some() {
    connections_.remove_if([](const Connection& c) { return !c.fd; });
    for (size_t taken = 0; taken < kAcceptBatch; ++taken) {
      // At the cap, room is made only for the connection poll announced, the
      // first of the batch; without room, the rest wait in the backlog.
      if (connections_.size() >= kMaxConnections && (taken > 0 || !evict_one())) return;
      auto fd = sys::accept_connection(options_.listener);
      if (!fd && (fd.error() == EMFILE || fd.error() == ENFILE)) {
        // Out of descriptors: make room as at the cap, or leave the
        // connection waiting a moment rather than spin on it.
        if (evict_one()) continue;
        accept_pause_until_ = Clock::now() + kAcceptPause;
        return;
      }
      if (!fd) return;  // EAGAIN, or a connection that went away before its accept
      Connection& c = connections_.emplace_back();
      c.id = next_id_++;
      c.fd = std::move(*fd);
      c.accepted = Clock::now();
      c.held = options_.deferred_accept;
      // Counted from here whatever arrives, so trickling bytes buys no time.
      c.deadline = c.accepted + kArrivalLimit;
      if (closing_until_) refuse_for_closing(c);
    }
  }

  // A step whose allocation fails costs its connection what it holds: it is
  // told so when even that fits, and closed otherwise.
  void guarded_step(Connection& c) {
    try {
      step(c);
    } catch (const std::bad_alloc&) {
      c.input = {};
      c.output = {};
      if (c.state == Connection::State::running) worker_.cancel(c.id);
      try {
        reply(c, 500, error_envelope(kOutOfMemory));
      } catch (const std::bad_alloc&) {
        c.fd.reset();
      }
    }
  }

  void step(Connection& c) {
    switch (c.state) {
      case Connection::State::reading: read_request(c); break;
      case Connection::State::writing: write_reply(c); break;
      case Connection::State::draining: drain(c); break;
      case Connection::State::running:
        // What a client sends after its request is dropped. One that has
        // gone (Ctrl-C) is found out by an error, a reset, or the bytes
        // that half_close sends: its command, if still in line, never runs.
        if (c.half_closed) {
          c.fd.reset();  // only an error or a reset wakes it now
        } else if (!receive(c, [](std::string_view) { return true; }) && c.fd) {
          half_close(c);
        }
        if (!c.fd) worker_.cancel(c.id);
        break;
    }
  }

  // Throws std::bad_alloc when the reply cannot be formed.
  void reply(Connection& c, int status, std::string_view body, std::string_view headers = {}) {
    std::string text = format_reply(status, body, headers);
    ByteBuffer bytes(text);
    if (bytes.size() != text.size()) throw std::bad_alloc();
    send_reply(c, std::move(bytes));
  }

  void send_reply(Connection& c, ByteBuffer bytes) {
    c.output = std::move(bytes);
    // Every reply starts with kReplyStart, which may have gone out already.
    c.sent = std::min(c.sent_early, c.output.size());
    c.state = Connection::State::writing;
    c.deadline = Clock::now() + kIdleLimit;
    c.input = {};
    write_reply(c);
  }

  // Hands each finished command's reply to its connection, when that is
  // still there.
  void take_replies() {
    try {
      worker_.take_done(finished_);
      replies_left_ = false;
    } catch (const std::bad_alloc&) {
      replies_left_ = true;  // tried again shortly
    }
    for (Done& done : finished_) finish(done);
    finished_.clear();  // keeps its room
  }

  void finish(Done& done) {
    for (Connection& c : connections_) {
      if (c.id == done.connection && c.state == Connection::State::running) {
        if (done.reply.size() == 0) {
          c.fd.reset();  // no reply could be formed
        } else {
          send_reply(c, std::move(done.reply));
        }
        return;
      }
    }
  }

  // Hands what the connection holds now to `take`, chunk by chunk, until it
  // holds no more or `take` says it has had enough. False once the client
  // has ended its sending side; a connection that broke is closed.
  template <class Take>
  bool receive(Connection& c, Take take) {
    char chunk[64 * 1024];
    for (;;) {
      sys::IoResult got = sys::recv_some(c.fd.get(), chunk);
      switch (got.kind) {
        case sys::IoResult::Kind::moved: break;
        case sys::IoResult::Kind::would_block: return true;
        case sys::IoResult::Kind::closed: return false;
        case sys::IoResult::Kind::error: c.fd.reset(); return true;
      }
      if (!take(std::string_view(chunk, got.count))) return true;
    }
  }

  // Whether the client's end of its sending side has arrived already.
  static bool sending_ended(const Connection& c) {
    char byte;
    return sys::recv_some(c.fd.get(), {&byte, 1}, MSG_PEEK).kind == sys::IoResult::Kind::closed;
  }

  // The client has ended its sending side. It may still wait for its reply,
  // as HTTP allows, or have gone (closed, Ctrl-C), which looks the same. The
  // first bytes of every reply go out now to tell: a client that has gone
  // answers them with a reset, over the loopback at once. False when it has
  // gone; its connection is closed then.
  bool half_close(Connection& c) {
    c.half_closed = true;
    if (c.sent_early == 0) {
      // Nothing else waits to be sent, so these few bytes go out whole.
      if (sys::send_some(c.fd.get(), kReplyStart).count != kReplyStart.size()) {
        c.fd.reset();
        return false;
      }
      c.sent_early = kReplyStart.size();
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      c.fd.reset();
      return false;
    }
    return true;
  }

  void read_request(Connection& c) {
    bool open = receive(c, [&](std::string_view bytes) {
      c.input.append(bytes);
      if (c.head_end == 0 && !read_head(c)) return false;
      return c.head_end == 0 || c.input.size() - c.head_end < c.body_length;
    });
    if (!c.fd || c.state != Connection::State::reading) return;
    if (c.head_end == 0 || c.input.size() - c.head_end < c.body_length) {
      if (!open) c.fd.reset();  // gone before its request was whole
      return;
    }
    std::string_view body = std::string_view(c.input).substr(c.head_end, c.body_length);
    if (auto refused = judge_request_body(body)) {
      reply(c, refused->status, error_envelope(refused->error));
      return;
    }
    // A command whose reply surely cannot reach its client is never run.
    if ((!open || sending_ended(c)) && !half_close(c)) return;
    // The body moves on in the buffer it arrived in, not as a copy.
    c.input.erase(0, c.head_end);
    c.input.resize(c.body_length);
    worker_.submit({c.id, std::move(c.input), Clock::now() + kRequestLimit});
    c.input.clear();
    c.state = Connection::State::running;
  }

  // Reads and checks the head once it is whole; false when the connection
  // got its reply already.
  bool read_head(Connection& c) {
    auto verdict = judge_request_head(c.input, options_.token, options_.port);
    if (!verdict) return true;
    if (verdict->status != 0) {
      reply(c, verdict->status, error_envelope(verdict->error), verdict->headers);
      return false;
    }
    if (verdict->expects_continue) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      // The socket's buffer is empty at this point, so this goes out whole
      // or the connection is broken.
      if (sys::send_some(c.fd.get(), kContinue).count != kContinue.size()) {
        c.fd.reset();
        return false;
      }
    }
    c.head_end = verdict->head_end;
    c.body_length = verdict->body_length;
    return true;
  }

  void write_reply(Connection& c) {
    while (c.sent < c.output.size()) {
      sys::IoResult sent = sys::send_some(
          c.fd.get(), std::string_view(c.output.data() + c.sent, c.output.size() - c.sent));
      if (sent.kind == sys::IoResult::Kind::would_block) return;
      if (sent.kind != sys::IoResult::Kind::moved) {
        c.fd.reset();
        return;
      }
      c.sent += sent.count;
      c.deadline = Clock::now() + kIdleLimit;
    }
    c.output = {};
    if (::shutdown(c.fd.get(), SHUT_WR) != 0) {
      c.fd.reset();  // the client is gone already
      return;
    }
    c.state = Connection::State::draining;
    c.drain_until = Clock::now() + kIdleLimit;
    c.deadline = Clock::now() + kDrainLimit;
    drain(c);
  }

  void drain(Connection& c) {
    bool open = receive(c, [&](std::string_view) {
      if (Clock::now() >= c.drain_until) {
        c.fd.reset();
        return false;
      }
      c.deadline = std::min(Clock::now() + kDrainLimit, c.drain_until);
      return true;
    });
    if (!open) c.fd.reset();  // the client has read its reply and closed
  }

  const ServeOptions& options_;
  Worker& worker_;
  Connections connections_;
  uint64_t next_id_ = 1;
  Clock::time_point accept_pause_until_;
  // Set once the host is stopping or the browser has gone: the time left to
  // send the last replies.
  std::optional<Clock::time_point> closing_until_;
  StopReason closing_for_ = StopReason::signal;
  std::vector<Done> finished_;
  bool replies_left_ = false;  // replies that found no memory to be taken
};

}  // namespace

std::expected<StopReason, std::string> serve(const ServeOptions& options, Browser& browser,
                                             DevTools& devtools) {
  Worker worker(browser, devtools, devtools.abort_fd());
  if (auto started = worker.start(); !started) {
    return std::unexpected(msg::because(msg::kCannotStartWorker, started.error()));
  }
  std::expected<StopReason, std::string> outcome;
  {
    ClientLoop loop(options, worker);
    outcome = loop.run();
  }
  // The worker's waits on the browser end when the abort pipe turns readable.
  sys::poke(options.abort_write);
  worker.join();
  return outcome;
}

}  // namespace tessik::host
