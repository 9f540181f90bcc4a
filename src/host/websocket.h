#pragma once
// The client half of WebSocket (RFC 6455), as far as the browser's debugging
// endpoint needs it: the upgrade's accept check, masked frames out, and a
// decoder for what comes back (fragments, control frames between them,
// 7-, 16- and 64-bit lengths). No extensions are asked for, so none come.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "host/transport.h"
#include "json/buffer.h"
#include "sys/fd.h"

namespace tessik::host {

std::array<uint8_t, 20> sha1(std::string_view bytes);
std::string base64(std::string_view bytes);
// The Sec-WebSocket-Accept that a server must answer `key` with.
std::string websocket_accept(std::string_view key);

enum class Opcode : uint8_t { continuation = 0, text = 1, binary = 2, close = 8, ping = 9, pong = 10 };

// Appends one whole frame of `payload` to `out`, masked with `mask` as a
// client's must be.
void append_frame(std::string& out, Opcode opcode, std::string_view payload,
                  std::array<uint8_t, 4> mask);

// What the decoder found next in the bytes given to it.
struct Decoded {
  enum class Kind { none, message, ping, close, lost } kind = Kind::none;
  ByteBuffer text;          // message: text[begin, size)
  size_t begin = 0;
  std::string control;      // ping and close: their payload
};

// Server frames to messages. Bytes go in through room() and commit(); each
// data message's payload is joined where it lies in the buffer, so a large
// one is handed over without a copy.
class FrameDecoder {
 public:
  // At least `want` bytes of room after what was read; null when memory runs out.
  char* room(size_t want);
  size_t room_size() const { return input_.capacity() - input_.size(); }
  void commit(size_t n) { input_.set_size(input_.size() + n); }

  // The next message or control frame whole in what was read; Kind::none
  // when more bytes are needed; a failure for bytes no server may send.
  std::expected<Decoded, std::string> next();
  // A frame or a fragmented message has begun to arrive and not yet ended.
  bool receiving() const { return in_message_ || skip_ > 0 || pos_ < input_.size(); }

 private:
  void compact();

  ByteBuffer input_;
  size_t pos_ = 0;             // the next frame's first byte
  bool in_message_ = false;    // a fragmented data message has begun
  size_t message_begin_ = 0;   // its payload so far: [message_begin_, message_end_)
  size_t message_end_ = 0;
  uint64_t skip_ = 0;          // bytes of a frame that did not fit, still to drop
  bool skipping_message_ = false;  // the rest of that message goes too
};

// A WebSocket on `socket` (connected, upgraded, non-blocking), with the bytes
// read past the upgrade's answer.
std::unique_ptr<Transport> websocket_transport(sys::Fd socket, std::string_view early);

}  // namespace tessik::host
