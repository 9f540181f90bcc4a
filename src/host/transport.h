#pragma once
// How the protocol's messages travel between the host and the browser: the
// pipes of a browser the host started (each message ended by a NUL byte), or
// a WebSocket to one that was running already (websocket.h). DevTools sees
// whole messages only, whichever it is.

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "json/buffer.h"
#include "sys/fd.h"
#include "sys/rw.h"

namespace tessik::host {

// The browser's output is read this much at a time at least.
inline constexpr size_t kReadChunk = 64 * 1024;
// Messages at least this long are handed over in the buffer they were read
// into, not copied.
inline constexpr size_t kHandOver = 1 << 20;

// Where a transport hands what it reads.
class MessageSink {
 public:
  // One whole message: text[begin, text.size()).
  virtual void message(ByteBuffer text, size_t begin) = 0;
  // A message that could not be kept, and why; the stream stays whole.
  virtual void lost(std::string_view why) = 0;

 protected:
  ~MessageSink() = default;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Turns readable when the browser has sent something.
  virtual int read_fd() const = 0;
  // Sends one message whole. Fails with EPIPE once the browser has gone, and
  // with ECANCELED or ETIMEDOUT as sys::write_all does.
  virtual std::expected<void, int> send(std::string_view message,
                                        const sys::WriteLimits& limits) = 0;
  // Reads what has arrived, without waiting, and hands each whole message to
  // `sink`. A failure ends the stream when closed() says so.
  virtual std::expected<void, std::string> read(MessageSink& sink) = 0;
  // The browser's end is closed: it has exited, or gone away.
  virtual bool closed() const = 0;
  // A message has begun to arrive and not yet ended.
  virtual bool receiving() const = 0;
  // What commands fail with once it is.
  virtual std::string_view gone() const = 0;
};

// The pipes of a launched browser, both ours and non-blocking.
std::unique_ptr<Transport> pipe_transport(sys::Fd to_browser, sys::Fd from_browser);

}  // namespace tessik::host
