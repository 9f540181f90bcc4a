#include "host/devtools.h"
#include "host/messages.h"

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

}  // namespace

DevTools::DevTools(std::unique_ptr<Transport> transport, int abort_fd)
    : transport_(std::move(transport)), abort_fd_(abort_fd) {}

std::expected<uint64_t, std::string> DevTools::send_command(std::string_view method,
                                                            JsonValue params,
                                                            std::string_view session,
                                                            Clock::time_point deadline) {
  if (closed()) return std::unexpected(std::string(transport_->gone()));
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
      return std::unexpected(msg::no_reply(method));
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
  // A browser behind on reading holds the write up: wait, within limits.
  auto written = transport_->send(message, {deadline, abort_fd_});
  if (written) return {};
  switch (written.error()) {
    case EPIPE: return std::unexpected(std::string(transport_->gone()));
    case ECANCELED: return std::unexpected(kStopping);
    case ETIMEDOUT: return std::unexpected(std::string(msg::kNoCommandTaken));
    default:
      return std::unexpected(msg::because(msg::kCannotWriteBrowser, sys::os_error_text(written.error())));
  }
}

std::expected<void, std::string> DevTools::read_some(Clock::time_point deadline) {
  pollfd fds[2] = {{transport_->read_fd(), POLLIN, 0}, {abort_fd_, POLLIN, 0}};
  int ready = ::poll(fds, 2, sys::poll_timeout(deadline));
  if (ready < 0 && errno == EINTR) return {};
  if (ready < 0) {
    return std::unexpected(msg::because(msg::kCannotWaitBrowser, sys::os_error_text(errno)));
  }
  if (fds[1].revents != 0) return std::unexpected(kStopping);
  if (fds[0].revents == 0) return {};
  return transport_->read(*this);
}

void DevTools::message(ByteBuffer text, size_t begin) {
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
  if (watcher_ && watcher_(event)) return;
  if (events_.size() == kMaxQueuedEvents) events_.pop_front();
  events_.push_back(std::move(event));
  ++events_seen_;
}

}  // namespace tessik::host
