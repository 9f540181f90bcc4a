#include "host/server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <deque>
#include <list>
#include <optional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host/exec.h"
#include "host/http.h"
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

struct Job {
  uint64_t connection;
  std::string body;
  Clock::time_point deadline;
};

struct Done {
  uint64_t connection;
  ExecReply reply;
};

// Hands jobs to the thread that owns the browser and brings replies back.
class Worker {
 public:
  Worker(Browser& browser, DevTools& devtools, int abort_read)
      : browser_(browser), devtools_(devtools), abort_read_(abort_read) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker() { join(); }

  std::expected<void, std::string> start() {
    for (sys::Pipe* pipe : {&wake_worker_, &wake_main_}) {
      auto made = sys::make_pipe(true);
      if (!made) return std::unexpected(sys::os_error_text(made.error()));
      *pipe = std::move(*made);
    }
    // Signals are for the poll loop; this thread keeps them blocked.
    sigset_t stops, old;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    sigaddset(&stops, SIGCHLD);
    if (int e = pthread_sigmask(SIG_BLOCK, &stops, &old); e != 0) {
      return std::unexpected(sys::os_error_text(e));
    }
    thread_ = std::thread([this] { loop(); });  // inherits the mask
    if (int e = pthread_sigmask(SIG_SETMASK, &old, nullptr); e != 0) {
      return std::unexpected(sys::os_error_text(e));
    }
    return {};
  }

  void join() {
    if (thread_.joinable()) thread_.join();
    wake_worker_ = {};
    wake_main_ = {};
  }

  void submit(Job job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    sys::poke(wake_worker_.write.get());
  }

  // Replies finished since the last call.
  std::deque<Done> take_done() {
    std::lock_guard lock(mutex_);
    return std::exchange(done_, {});
  }

  bool browser_gone() {
    std::lock_guard lock(mutex_);
    return browser_gone_;
  }

  int wake_fd() const { return wake_main_.read.get(); }

 private:
  void loop() {
    for (;;) {
      std::optional<Job> job;
      {
        std::lock_guard lock(mutex_);
        if (!jobs_.empty()) {
          job = std::move(jobs_.front());
          jobs_.pop_front();
        }
      }
      if (job) {
        ExecReply reply = handle_exec(job->body, browser_, job->deadline);
        {
          std::lock_guard lock(mutex_);
          done_.push_back({job->connection, std::move(reply)});
        }
        sys::poke(wake_main_.write.get());
        continue;
      }
      if (devtools_.closed()) break;
      pollfd fds[3] = {{devtools_.read_fd(), POLLIN, 0},
                       {wake_worker_.read.get(), POLLIN, 0},
                       {abort_read_, POLLIN, 0}};
      int ready = ::poll(fds, 3, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || fds[2].revents != 0) return;
      if (fds[1].revents != 0) sys::drain(wake_worker_.read.get());
      if (fds[0].revents != 0) {
        if (!devtools_.read_available()) break;
        browser_.absorb_events();
      }
    }
    {
      std::lock_guard lock(mutex_);
      browser_gone_ = true;
    }
    sys::poke(wake_main_.write.get());
  }

  Browser& browser_;
  DevTools& devtools_;
  int abort_read_;
  sys::Pipe wake_worker_;
  sys::Pipe wake_main_;
  std::thread thread_;
  std::mutex mutex_;
  std::deque<Job> jobs_;
  std::deque<Done> done_;
  bool browser_gone_ = false;
};

struct Connection {
  enum class State { reading, running, writing, draining };
  uint64_t id = 0;
  sys::Fd fd;
  State state = State::reading;
  std::string input;
  size_t head_end = 0;  // 0 until the head is read
  size_t body_length = 0;
  std::string output;
  size_t sent = 0;
  Clock::time_point deadline;
  Clock::time_point drain_until;
};

class Loop {
 public:
  Loop(const ServeOptions& options, Worker& worker) : options_(options), worker_(worker) {}

  std::expected<StopReason, std::string> run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> owners;
    for (;;) {
      Clock::time_point now = Clock::now();
      if (closing_until_ && (connections_.empty() || now >= *closing_until_)) {
        return StopReason::browser_exited;
      }
      fds.clear();
      owners.clear();
      fds.push_back({options_.signal_fd, POLLIN, 0});
      fds.push_back({worker_.wake_fd(), POLLIN, 0});
      bool accepting = !closing_until_ && now >= accept_pause_until_ &&
                       (connections_.size() < kMaxConnections || evictable() != connections_.end());
      fds.push_back({accepting ? options_.listener : -1, POLLIN, 0});
      Clock::time_point next = closing_until_.value_or(now + std::chrono::hours(1));
      if (now < accept_pause_until_) next = std::min(next, accept_pause_until_);
      for (Connection& c : connections_) {
        if (c.state == Connection::State::running) continue;
        short events = c.state == Connection::State::writing ? POLLOUT : POLLIN;
        fds.push_back({c.fd.get(), events, 0});
        owners.push_back(&c);
        next = std::min(next, c.deadline);
      }
      int ready = ::poll(fds.data(), fds.size(), sys::poll_timeout(next));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        return std::unexpected("cannot wait for clients: " + sys::os_error_text(errno));
      }

      if (fds[0].revents != 0) {
        std::optional<StopReason> stop = take_signals();
        // Once the browser is gone, a stop request only cuts the goodbyes short.
        if (stop == StopReason::signal) return closing_until_ ? StopReason::browser_exited : *stop;
        if (stop == StopReason::browser_exited) close_down();
      }
      if (fds[1].revents != 0) {
        sys::drain(worker_.wake_fd());
        for (Done& done : worker_.take_done()) finish(done);
        if (worker_.browser_gone()) close_down();
      }
      for (size_t i = 0; i < owners.size(); ++i) {
        // A connection closed earlier in this turn has nothing more to do.
        if (fds[i + 3].revents != 0 && owners[i]->fd) step(*owners[i]);
      }
      // Last, since making room may drop connections that `owners` points to.
      if (fds[2].revents != 0 && !closing_until_) accept_some();
      now = Clock::now();
      for (Connection& c : connections_) {
        if (c.state != Connection::State::running && now >= c.deadline) c.fd.reset();
      }
      connections_.remove_if([](const Connection& c) { return !c.fd; });
    }
  }

 private:
  using Connections = std::list<Connection>;

  std::optional<StopReason> take_signals() {
    bool stop = false;
    char numbers[64];
    for (;;) {
      ssize_t n = ::read(options_.signal_fd, numbers, sizeof numbers);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) stop = stop || numbers[i] != SIGCHLD;
    }
    if (stop) return StopReason::signal;
    // The browser's helpers hold its pipe open for a while after it dies;
    // its own exit is the sure sign. WNOWAIT leaves the reaping to its stop.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(options_.browser_pid), &info,
                 WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == options_.browser_pid) {
      return StopReason::browser_exited;
    }
    return std::nullopt;
  }

  // The browser has gone: every request waiting for it gets that as its
  // reply, nothing new is taken, and the loop ends once the replies are out.
  void close_down() {
    if (closing_until_) return;
    closing_until_ = Clock::now() + kClosingLimit;
    // A command that finished before the browser went keeps its own reply.
    for (Done& done : worker_.take_done()) finish(done);
    // Ends the worker's wait on a browser that will never answer.
    sys::poke(options_.abort_write);
    for (Connection& c : connections_) {
      if (c.state == Connection::State::running) {
        reply(c, 503, error_envelope(kBrowserExited));
      } else if (c.state == Connection::State::reading) {
        c.fd.reset();
      }
    }
  }

  // The oldest connection that may go to make room: first one whose request
  // is still incomplete, else one whose reply is out already.
  Connections::iterator evictable() {
    for (auto state : {Connection::State::reading, Connection::State::draining}) {
      auto found = std::find_if(connections_.begin(), connections_.end(),
                                [&](const Connection& c) { return c.fd && c.state == state; });
      if (found != connections_.end()) return found;
    }
    return connections_.end();
  }

  bool evict_one() {
    auto victim = evictable();
    if (victim == connections_.end()) return false;
    connections_.erase(victim);
    return true;
  }

  // Takes a batch of waiting connections: those just taken are read before a
  // flood of newer ones can push them out.
  void accept_some() {
    connections_.remove_if([](const Connection& c) { return !c.fd; });
    for (size_t taken = 0; taken < kAcceptBatch; ++taken) {
      if (connections_.size() >= kMaxConnections && evictable() == connections_.end()) return;
      auto fd = sys::accept_connection(options_.listener);
      if (!fd && (fd.error() == EMFILE || fd.error() == ENFILE)) {
        // Out of descriptors: make room as at the cap, or leave the
        // connection waiting a moment rather than spin on it.
        if (evict_one()) continue;
        accept_pause_until_ = Clock::now() + kAcceptPause;
        return;
      }
      if (!fd) return;  // EAGAIN, or a connection that went away before its accept
      // Room is made only for a connection that is really there.
      if (connections_.size() >= kMaxConnections) evict_one();
      Connection& c = connections_.emplace_back();
      c.id = next_id_++;
      c.fd = std::move(*fd);
      // Counted from here whatever arrives, so trickling bytes buys no time.
      c.deadline = Clock::now() + kArrivalLimit;
    }
  }

  void step(Connection& c) {
    switch (c.state) {
      case Connection::State::reading: read_request(c); break;
      case Connection::State::writing: write_reply(c); break;
      case Connection::State::draining: drain(c); break;
      case Connection::State::running: break;
    }
  }

  void reply(Connection& c, int status, std::string_view body, std::string_view headers = {}) {
    c.output = format_reply(status, body, headers);
    c.sent = 0;
    c.state = Connection::State::writing;
    c.deadline = Clock::now() + kIdleLimit;
    c.input.clear();
    write_reply(c);
  }

  void finish(Done& done) {
    for (Connection& c : connections_) {
      if (c.id == done.connection && c.state == Connection::State::running) {
        reply(c, done.reply.status, done.reply.body);
        return;
      }
    }
  }

  // Hands what the connection holds now to `take`, chunk by chunk, until it
  // holds no more or `take` says it has had enough. Closes a connection that
  // the client has closed, or that broke.
  template <class Take>
  void receive(Connection& c, Take take) {
    char chunk[64 * 1024];
    for (;;) {
      ssize_t n = ::recv(c.fd.get(), chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        c.fd.reset();
        return;
      }
      if (!take(std::string_view(chunk, static_cast<size_t>(n)))) return;
    }
  }

  void read_request(Connection& c) {
    receive(c, [&](std::string_view bytes) {
      c.input.append(bytes);
      if (c.head_end == 0 && !read_head(c)) return false;
      if (c.head_end == 0 || c.input.size() - c.head_end < c.body_length) return true;
      worker_.submit({c.id, c.input.substr(c.head_end, c.body_length),
                      Clock::now() + kRequestLimit});
      c.input.clear();
      c.state = Connection::State::running;
      return false;
    });
  }

  // Reads and checks the head once it is whole; false when the connection
  // got its reply already.
  bool read_head(Connection& c) {
    auto verdict = judge_request_head(c.input, options_.token);
    if (!verdict) return true;
    if (verdict->status != 0) {
      reply(c, verdict->status, error_envelope(verdict->error), verdict->headers);
      return false;
    }
    if (verdict->expects_continue) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      // The socket's buffer is empty at this point, so this goes out whole
      // or the connection is broken.
      ssize_t n = ::send(c.fd.get(), kContinue.data(), kContinue.size(), 0);
      if (n != static_cast<ssize_t>(kContinue.size())) {
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
      ssize_t n = ::send(c.fd.get(), c.output.data() + c.sent, c.output.size() - c.sent, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        c.fd.reset();
        return;
      }
      c.sent += static_cast<size_t>(n);
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
    receive(c, [&](std::string_view) {
      if (Clock::now() >= c.drain_until) {
        c.fd.reset();
        return false;
      }
      c.deadline = std::min(Clock::now() + kDrainLimit, c.drain_until);
      return true;
    });
  }

  const ServeOptions& options_;
  Worker& worker_;
  Connections connections_;
  uint64_t next_id_ = 1;
  Clock::time_point accept_pause_until_;
  // Set once the browser has gone: the time left to send the last replies.
  std::optional<Clock::time_point> closing_until_;
};

}  // namespace

std::expected<StopReason, std::string> serve(const ServeOptions& options, Browser& browser,
                                             DevTools& devtools) {
  Worker worker(browser, devtools, devtools.abort_fd());
  if (auto started = worker.start(); !started) {
    return std::unexpected("cannot start the worker: " + started.error());
  }
  std::expected<StopReason, std::string> outcome;
  {
    Loop loop(options, worker);
    outcome = loop.run();
  }
  // The worker's waits on the browser end when the abort pipe turns readable.
  sys::poke(options.abort_write);
  worker.join();
  return outcome;
}

}  // namespace tessik::host
