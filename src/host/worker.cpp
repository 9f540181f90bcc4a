#include "host/worker.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <new>
#include <optional>
#include <poll.h>

#include "host/exec.h"
#include "host/signals.h"
#include "sys/os_error.h"
#include "sys/rw.h"

namespace tessik::host {

std::expected<void, std::string> Worker::start() {
  for (sys::Pipe* pipe : {&wake_worker_, &wake_main_}) {
    auto made = sys::make_pipe(true);
    if (!made) return std::unexpected(sys::os_error_text(made.error()));
    *pipe = std::move(*made);
  }
  // Signals are for the poll loop.
  auto thread = start_unsignalled([this] { loop(); });
  if (!thread) return std::unexpected(thread.error());
  thread_ = std::move(*thread);
  return {};
}

void Worker::join() {
  if (thread_.joinable()) thread_.join();
  wake_worker_ = {};
  wake_main_ = {};
}

void Worker::submit(Job job) {
  {
    std::lock_guard lock(mutex_);
    // Room for every reply to come, so that handing one over never needs
    // memory the command may have used up.
    done_.reserve(done_.size() + jobs_.size() + 2);
    jobs_.push_back(std::move(job));
  }
  sys::poke(wake_worker_.write.get());
}

void Worker::cancel(uint64_t connection) {
  std::lock_guard lock(mutex_);
  std::erase_if(jobs_, [&](const Job& job) { return job.connection == connection; });
}

void Worker::cancel_all() {
  std::lock_guard lock(mutex_);
  jobs_.clear();
}

void Worker::take_done(std::vector<Done>& into) {
  std::lock_guard lock(mutex_);
  into.reserve(into.size() + done_.size());
  std::move(done_.begin(), done_.end(), std::back_inserter(into));
  done_.clear();  // keeps its room
}

bool Worker::browser_gone() {
  std::lock_guard lock(mutex_);
  return browser_gone_;
}

void Worker::loop() {
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
      // Taken just as the host began to stop: it must not reach the page.
      if (aborted()) return;
      uint64_t connection = job->connection;
      ByteBuffer reply = handle_exec(job->body, browser_, job->deadline);
      job.reset();  // the request's body goes before the reply is sent
      {
        std::lock_guard lock(mutex_);
        done_.push_back({connection, std::move(reply)});  // room was made at submit
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
      // Out of memory, a message is lost, not the browser.
      auto read = devtools_.read_available();
      if (!read && read.error() != kOutOfMemory) break;
      try {
        browser_.absorb_events();
      } catch (const std::bad_alloc&) {
      }
    }
  }
  {
    std::lock_guard lock(mutex_);
    browser_gone_ = true;
  }
  sys::poke(wake_main_.write.get());
}

bool Worker::aborted() const {
  pollfd fd{abort_read_, POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0;
}

}  // namespace tessik::host
