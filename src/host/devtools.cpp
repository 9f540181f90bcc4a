#include "host/devtools.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "host/json_build.h"
#include "json/reader.h"
#include "json/writer.h"
#include "sys/rw.h"
#include "sys/os_error.h"

namespace tessik::host {

namespace {

// A page that floods events while nobody asks for them must not grow the
// queue without bound; the oldest events are the least useful.
constexpr size_t kMaxQueuedEvents = 10000;

// Page text may hold lone UTF-16 surrogates, which the browser sends as
// escapes that have no UTF-8 form: they read as U+FFFD. The browser's own
// messages nest at most about 300 levels deep; all of them are read, so a
// result too deep for a client is judged later, by what the client takes.
constexpr JsonReadOptions kBrowserText{.max_depth = 1000,
                                       .surrogates = JsonCursor::Surrogates::replaced};

const std::string kStopping(kHostStopping);

// The browser's output is read this much at a time at least.
constexpr size_t kReadChunk = 64 * 1024;
// Messages at least this long are parsed where they were read.
constexpr size_t kHandOver = 1 << 20;
const std::string kExited(kBrowserExited);

}  // namespace

DevTools::DevTools(sys::Fd to_browser, sys::Fd from_browser, int abort_fd)
    : to_(std::move(to_browser)), from_(std::move(from_browser)), abort_fd_(abort_fd) {}

std::expected<uint64_t, std::string> DevTools::send_command(std::string_view method,
                                                            JsonValue params,
                                                            std::string_view session,
                                                            Clock::time_point deadline) {
  if (closed_) return std::unexpected(kExited);
  uint64_t id = next_id_++;
  JsonDocument doc;
  ObjectBuilder message(doc);
  message.add_u64("id", id).add_string("method", method);
  if (!params.is_null()) message.add("params", params);
  if (!session.empty()) message.add_string("sessionId", session);
  if (auto sent = send(to_compact_json(message.build()), deadline); !sent) {
    return std::unexpected(sent.error());
  }
  return id;
}

std::expected<void, std::string> DevTools::post(std::string_view method, JsonValue params,
                                                std::string_view session,
                                                Clock::time_point deadline) {
  auto sent = send_command(method, params, session, deadline);
  if (!sent) return std::unexpected(sent.error());
  return {};
}

void DevTools::fail_session(std::string_view session, std::string_view why) {
  if (session.empty()) return;
  for (Failed& failed : failed_) {
    if (failed.session == session) {
      failed.let_through = false;
      return;
    }
  }
  failed_.push_back({std::string(session), std::string(why)});
}

void DevTools::revive(std::string_view session) {
  std::erase_if(failed_, [&](const Failed& failed) { return failed.session == session; });
}

void DevTools::let_through(std::string_view session) {
  for (Failed& failed : failed_) {
    if (failed.session == session) failed.let_through = true;
  }
}

void DevTools::hold_back(std::string_view session) {
  for (Failed& failed : failed_) {
    if (failed.session == session) failed.let_through = false;
  }
}

std::string_view DevTools::failure(std::string_view session) const {
  for (const Failed& failed : failed_) {
    if (failed.session == session && !failed.let_through) return failed.why;
  }
  return {};
}

std::expected<Reply, std::string> DevTools::call(std::string_view method, JsonValue params,
                                                 std::string_view session,
                                                 Clock::time_point deadline) {
  reply_.reset();
  unreadable_.clear();
  if (std::string_view why = failure(session); !why.empty()) {
    return std::unexpected(std::string(why));
  }
  auto id = send_command(method, params, session, deadline);
  if (!id) return std::unexpected(id.error());
  awaited_id_ = *id;
  while (!reply_) {
    if (!unreadable_.empty()) return std::unexpected(unreadable_);
    if (std::string_view why = failure(session); !why.empty()) {
      awaited_id_ = 0;
      return std::unexpected(std::string(why));
    }
    if (Clock::now() >= deadline) {
      return std::unexpected("no reply from the browser to " + std::string(method) + " in time");
    }
    if (auto read = read_some(deadline); !read) return std::unexpected(read.error());
  }
  awaited_id_ = 0;

  Reply reply;
  reply.doc = std::move(*reply_);
  reply_.reset();
  JsonValue root = reply.doc.root();
  if (const JsonValue* error = root.find("error")) {
    const JsonValue* text = error->find("message");
    std::string message = text && text->is_string() ? std::string(text->as_string())
                                                    : "the browser refused " + std::string(method);
    if (const JsonValue* data = error->find("data"); data && data->is_string()) {
      message += ": ";
      message += data->as_string();
    }
    return std::unexpected(std::move(message));
  }
  if (const JsonValue* result = root.find("result"); result && result->is_object()) {
    reply.result = *result;
  }
  return reply;
}

std::expected<void, std::string> DevTools::wait_for_event(Clock::time_point deadline) {
  uint64_t before = events_seen_;
  while (events_seen_ == before && Clock::now() < deadline) {
    if (auto read = read_some(deadline); !read) return read;
  }
  return {};
}

std::expected<void, std::string> DevTools::send(std::string_view message,
                                                Clock::time_point deadline) {
  std::string framed(message);
  framed.push_back('\0');
  // A full pipe means the browser is behind on reading: wait, within limits.
  auto written = sys::write_all(to_.get(), framed, {deadline, abort_fd_});
  if (written) return {};
  switch (written.error()) {
    case EPIPE:
      closed_ = true;
      return std::unexpected(kExited);
    case ECANCELED: return std::unexpected(kStopping);
    case ETIMEDOUT: return std::unexpected(std::string("the browser took no command in time"));
    default:
      return std::unexpected("cannot write to the browser: " + sys::os_error_text(written.error()));
  }
}

std::expected<void, std::string> DevTools::read_some(Clock::time_point deadline) {
  pollfd fds[2] = {{from_.get(), POLLIN, 0}, {abort_fd_, POLLIN, 0}};
  int ready = ::poll(fds, 2, sys::poll_timeout(deadline));
  if (ready < 0 && errno == EINTR) return {};
  if (ready < 0) {
    return std::unexpected("cannot wait for the browser: " + sys::os_error_text(errno));
  }
  if (fds[1].revents != 0) return std::unexpected(kStopping);
  if (fds[0].revents == 0) return {};

  for (;;) {
    // Everything read has been handled: the next message starts at the front.
    if (input_begin_ == input_.size()) {
      input_.set_size(0);
      input_begin_ = 0;
    }
    if (input_.capacity() - input_.size() < kReadChunk &&
        !input_.reserve(std::max(2 * input_.capacity(), input_.size() + kReadChunk))) {
      // The message being read does not fit in memory: it is dropped up to
      // its end, and the command waiting on it is told why.
      unreadable_ = kOutOfMemory;
      skipping_ = true;
      input_.set_size(0);
      input_begin_ = 0;
      if (input_.capacity() == 0) return std::unexpected(unreadable_);
    }
    size_t scan = input_.size();
    ssize_t n = ::read(from_.get(), input_.data() + scan, input_.capacity() - scan);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0) return std::unexpected("cannot read from the browser: " + sys::os_error_text(errno));
    if (n == 0) {
      closed_ = true;
      return std::unexpected(kExited);
    }
    input_.set_size(scan + static_cast<size_t>(n));
    // Every NUL before `scan` has been handled already.
    while (const void* found = std::memchr(input_.data() + scan, 0, input_.size() - scan)) {
      size_t nul = static_cast<size_t>(static_cast<const char*>(found) - input_.data());
      scan = nul + 1;
      size_t begin = std::exchange(input_begin_, nul + 1);
      if (std::exchange(skipping_, false)) continue;  // the end of a dropped message
      if (nul - begin < kHandOver) {
        ByteBuffer copy(std::string_view(input_.data() + begin, nul - begin));
        if (copy.size() != nul - begin) {
          unreadable_ = kOutOfMemory;
          continue;
        }
        take_message(std::move(copy), 0);
        continue;
      }
      // A large message is parsed in the buffer it was read into, not copied:
      // what follows it moves to a buffer of its own first.
      ByteBuffer rest;
      size_t left = input_.size() - scan;
      if (!rest.reserve(std::max(left, kReadChunk))) {
        unreadable_ = kOutOfMemory;
        continue;
      }
      if (left > 0) std::memcpy(rest.data(), input_.data() + scan, left);
      rest.set_size(left);
      ByteBuffer message = std::exchange(input_, std::move(rest));
      message.set_size(nul);
      input_begin_ = 0;
      scan = 0;
      take_message(std::move(message), begin);
    }
    // The bytes of a message being dropped are not kept.
    if (skipping_) input_.set_size(input_begin_);
    if (input_begin_ > (1u << 20)) {
      size_t left = input_.size() - input_begin_;
      std::memmove(input_.data(), input_.data() + input_begin_, left);
      input_.set_size(left);
      input_begin_ = 0;
    }
  }
  return {};
}

void DevTools::take_message(ByteBuffer text, size_t begin) {
  // An allocation that fails here loses this message alone; the stream
  // stays whole for the next ones.
  try {
    keep_message(std::move(text), begin);
  } catch (const std::bad_alloc&) {
    unreadable_ = kOutOfMemory;
  }
}

void DevTools::keep_message(ByteBuffer text, size_t begin) {
  auto parsed = parse_json(std::move(text), begin, kBrowserText);
  if (!parsed) {
    unreadable_ = "unreadable message from the browser: " + parsed.error().text();
    return;
  }
  JsonValue root = parsed->root();
  if (const JsonValue* id = root.find("id")) {
    // Replies to commands that timed out arrive late and are dropped here.
    if (id->kind() == JsonKind::u64 && awaited_id_ != 0 && id->as_u64() == awaited_id_) {
      reply_ = std::move(*parsed);
    }
    return;
  }
  const JsonValue* method = root.find("method");
  if (!method || !method->is_string()) return;
  Event event;
  event.doc = std::move(*parsed);
  root = event.doc.root();
  event.method = root.find("method")->as_string();
  if (const JsonValue* session = root.find("sessionId"); session && session->is_string()) {
    event.session = session->as_string();
  }
  if (const JsonValue* params = root.find("params")) event.params = *params;
  if (watcher_) watcher_(event);
  if (events_.size() == kMaxQueuedEvents) events_.pop_front();
  events_.push_back(std::move(event));
  ++events_seen_;
}

}  // namespace tessik::host
