#pragma once
// The host's lines on standard error, written by a thread of their own: a
// standard error that takes nothing (a pipe nobody reads, a paused terminal)
// holds up neither the commands, nor the loop that serves clients, nor a stop.

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace tessik::host {

// Lines waiting to be written take this many bytes at most; beyond it,
// lines are dropped and counted.
inline constexpr size_t kMaxQueuedLog = 64 * 1024;

// "tessik-browser-host: N lines dropped: standard error took no more", the
// note that stands for lines that found no room.
std::string dropped_lines_note(size_t count);

class Log {
 public:
  Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  // Ends as finish() does, without waiting.
  ~Log();

  // Starts the thread that writes the lines; until then they wait for it.
  std::expected<void, std::string> start();

  // Queues `line` (its line feed included) without ever waiting for standard
  // error. Without room, the line is dropped; the count of dropped lines is
  // written as one line before the next line that fits, or once the queue
  // has emptied.
  void write(std::string_view line);

  // Gives the queued lines until `deadline` to be written, then lets the
  // writer go, even if it is stuck in a write.
  void finish(std::chrono::steady_clock::time_point deadline);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;  // also held by the writer, which may outlive the log
  std::thread thread_;
};

}  // namespace tessik::host
