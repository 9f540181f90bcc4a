#pragma once
// The one thread that owns the browser: it runs the commands handed to it one
// after another, reads the browser's events between them, and hands the
// replies back to the poll loop through a wake-up pipe.

#include <cstdint>
#include <deque>
#include <expected>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/browser.h"
#include "host/devtools.h"
#include "json/buffer.h"
#include "sys/fd.h"

namespace tessik::host {

struct Job {
  uint64_t connection;
  std::string body;
  Clock::time_point deadline;
};

struct Done {
  uint64_t connection;
  ByteBuffer reply;  // whole; empty when none could be formed
};

// Hands jobs to the thread that owns the browser and brings replies back.
class Worker {
 public:
  Worker(Browser& browser, DevTools& devtools, int abort_read)
      : browser_(browser), devtools_(devtools), abort_read_(abort_read) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker() { join(); }

  std::expected<void, std::string> start();
  void join();

  // Throws std::bad_alloc when there is no room for the job or its reply.
  void submit(Job job);

  // Drops the job of `connection` if it is still in line.
  void cancel(uint64_t connection);

  // Drops every job still in line.
  void cancel_all();

  // Moves the replies finished since the last call to the end of `into`.
  // Throws std::bad_alloc, taking none, when `into` cannot grow.
  void take_done(std::vector<Done>& into);

  bool browser_gone();

  // Readable when replies are waiting, or once the browser has gone.
  int wake_fd() const { return wake_main_.read.get(); }

 private:
  void loop();
  bool aborted() const;

  Browser& browser_;
  DevTools& devtools_;
  int abort_read_;
  sys::Pipe wake_worker_;
  sys::Pipe wake_main_;
  std::thread thread_;
  std::mutex mutex_;
  std::deque<Job> jobs_;
  std::vector<Done> done_;
  bool browser_gone_ = false;
};

}  // namespace tessik::host
