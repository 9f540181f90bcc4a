#include "host/transport.h"
#include "host/messages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "host/devtools.h"
#include "sys/os_error.h"
#include "sys/rw.h"

namespace tessik::host {

namespace {

class PipeTransport final : public Transport {
 public:
  PipeTransport(sys::Fd to_browser, sys::Fd from_browser)
      : to_(std::move(to_browser)), from_(std::move(from_browser)) {}

  int read_fd() const override { return from_.get(); }
  bool closed() const override { return closed_; }
  bool receiving() const override { return skipping_ || input_.size() > input_begin_; }
  std::string_view gone() const override { return kBrowserExited; }

  std::expected<void, int> send(std::string_view message,
                                const sys::WriteLimits& limits) override {
    std::string framed(message);
    framed.push_back('\0');
    auto written = sys::write_all(to_.get(), framed, limits);
    if (!written && written.error() == EPIPE) closed_ = true;
    return written;
  }

  std::expected<void, std::string> read(MessageSink& sink) override;

 private:
  sys::Fd to_;
  sys::Fd from_;
  bool closed_ = false;
  ByteBuffer input_;  // from input_begin_ on, not yet handled
  size_t input_begin_ = 0;
  bool skipping_ = false;  // dropping a message that did not fit, up to its end
};

std::expected<void, std::string> PipeTransport::read(MessageSink& sink) {
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
      sink.lost(kOutOfMemory);
      skipping_ = true;
      input_.set_size(0);
      input_begin_ = 0;
      if (input_.capacity() == 0) return std::unexpected(std::string(kOutOfMemory));
    }
    size_t scan = input_.size();
    sys::IoResult got =
        sys::read_some(from_.get(), {input_.data() + scan, input_.capacity() - scan});
    if (got.kind == sys::IoResult::Kind::would_block) break;
    if (got.kind == sys::IoResult::Kind::error) {
      return std::unexpected(msg::because(msg::kCannotReadBrowser, sys::os_error_text(got.error)));
    }
    if (got.kind == sys::IoResult::Kind::closed) {
      closed_ = true;
      return std::unexpected(std::string(kBrowserExited));
    }
    input_.set_size(scan + got.count);
    // Every NUL before `scan` has been handled already.
    while (const void* found = std::memchr(input_.data() + scan, 0, input_.size() - scan)) {
      size_t nul = static_cast<size_t>(static_cast<const char*>(found) - input_.data());
      scan = nul + 1;
      size_t begin = std::exchange(input_begin_, nul + 1);
      if (std::exchange(skipping_, false)) continue;  // the end of a dropped message
      if (nul - begin < kHandOver) {
        ByteBuffer copy(std::string_view(input_.data() + begin, nul - begin));
        if (copy.size() != nul - begin) {
          sink.lost(kOutOfMemory);
          continue;
        }
        sink.message(std::move(copy), 0);
        continue;
      }
      // A large message is parsed in the buffer it was read into, not copied:
      // what follows it moves to a buffer of its own first.
      ByteBuffer rest;
      size_t left = input_.size() - scan;
      if (!rest.reserve(std::max(left, kReadChunk))) {
        sink.lost(kOutOfMemory);
        continue;
      }
      if (left > 0) std::memcpy(rest.data(), input_.data() + scan, left);
      rest.set_size(left);
      ByteBuffer message = std::exchange(input_, std::move(rest));
      message.set_size(nul);
      input_begin_ = 0;
      scan = 0;
      sink.message(std::move(message), begin);
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

}  // namespace

std::unique_ptr<Transport> pipe_transport(sys::Fd to_browser, sys::Fd from_browser) {
  return std::make_unique<PipeTransport>(std::move(to_browser), std::move(from_browser));
}

}  // namespace tessik::host
