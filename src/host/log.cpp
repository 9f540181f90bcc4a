#include "host/log.h"

#include <condition_variable>
#include <mutex>
#include <unistd.h>

#include "host/signals.h"
#include "sys/rw.h"

namespace tessik::host {

struct Log::Shared {
  std::mutex mutex;
  std::condition_variable wake;     // the writer: lines, or the end
  std::condition_variable written;  // finish(): the writer is done with what it took
  std::string queued;               // whole lines
  size_t dropped = 0;               // lines dropped since the last note of them
  bool writing = false;             // the writer holds lines it took
  bool ending = false;

  // Moves the note of dropped lines into the queue, when it fits.
  void note_dropped() {
    if (dropped == 0) return;
    std::string note = dropped_lines_note(dropped);
    if (queued.size() + note.size() > kMaxQueuedLog) return;
    queued += note;
    dropped = 0;
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      // With nothing else to write, the count of what was dropped goes out.
      if (queued.empty()) note_dropped();
      if (queued.empty()) {
        writing = false;
        written.notify_all();
        if (ending) return;
        wake.wait(lock);
        continue;
      }
      std::string lines = std::move(queued);
      queued.clear();
      writing = true;
      lock.unlock();
      // The only wait for standard error, here alone. Lines it refuses are
      // lost; there is nowhere else to say so.
      (void)sys::write_all(STDERR_FILENO, lines);
      lock.lock();
    }
  }
};

std::string dropped_lines_note(size_t count) {
  return "tessik-browser-host: " + std::to_string(count) +
         (count == 1 ? " line" : " lines") + " dropped: standard error took no more\n";
}

Log::Log() : shared_(std::make_shared<Shared>()) {}

Log::~Log() {
  if (thread_.joinable()) finish(std::chrono::steady_clock::now());
}

std::expected<void, std::string> Log::start() {
  auto thread = start_unsignalled([shared = shared_] { shared->run(); });
  if (!thread) return std::unexpected(thread.error());
  thread_ = std::move(*thread);
  return {};
}

void Log::write(std::string_view line) {
  {
    std::lock_guard lock(shared_->mutex);
    // Lines dropped before this one are counted before it.
    shared_->note_dropped();
    if (shared_->dropped > 0 || shared_->queued.size() + line.size() > kMaxQueuedLog) {
      ++shared_->dropped;
      return;
    }
    shared_->queued.append(line);
  }
  shared_->wake.notify_one();
}

void Log::finish(std::chrono::steady_clock::time_point deadline) {
  if (!thread_.joinable()) {
    // No writer ever ran (it could not start): what waits is written here.
    std::lock_guard lock(shared_->mutex);
    shared_->note_dropped();
    (void)sys::write_all(STDERR_FILENO, shared_->queued, {deadline});
    shared_->queued.clear();
    return;
  }
  bool done;
  {
    std::unique_lock lock(shared_->mutex);
    shared_->ending = true;
    shared_->wake.notify_one();
    done = shared_->written.wait_until(lock, deadline, [&] {
      return !shared_->writing && shared_->queued.empty() && shared_->dropped == 0;
    });
  }
  if (done) {
    thread_.join();
  } else {
    // Stuck in a write that standard error does not take: it holds its own
    // share of what it uses, and ends with the process.
    thread_.detach();
  }
}

}  // namespace tessik::host
