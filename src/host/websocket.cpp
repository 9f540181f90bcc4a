#include "host/websocket.h"
#include "host/messages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <random>
#include <utility>

#include "host/devtools.h"
#include "sys/os_error.h"
#include "sys/rw.h"

namespace tessik::host {

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Past this many bytes handled at the buffer's front, what is left moves down.
constexpr size_t kCompactFrom = 1 << 20;
// How long a pong or a close may wait for room; neither is worth more.
constexpr auto kControlLimit = std::chrono::milliseconds(500);

Decoded only(Decoded::Kind kind) {
  Decoded decoded;
  decoded.kind = kind;
  return decoded;
}

}  // namespace

std::array<uint8_t, 20> sha1(std::string_view bytes) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  auto block = [&h](const uint8_t* p) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 |
             uint32_t{p[4 * i + 2]} << 8 | uint32_t{p[4 * i + 3]};
    }
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d), k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d, k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d, k = 0xCA62C1D6;
      }
      uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rotl(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  };
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t n = bytes.size();
  size_t whole = n - n % 64;
  for (size_t i = 0; i < whole; i += 64) block(p + i);
  // The tail, the 0x80 byte, zeros and the length in bits fill one or two blocks.
  uint8_t last[128] = {};
  size_t tail = n - whole;
  if (tail > 0) std::memcpy(last, p + whole, tail);
  last[tail] = 0x80;
  size_t blocks = tail + 9 <= 64 ? 1 : 2;
  uint64_t bits = uint64_t{n} * 8;
  for (int i = 0; i < 8; ++i) last[blocks * 64 - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t i = 0; i < blocks; ++i) block(last + 64 * i);
  std::array<uint8_t, 20> digest;
  for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t left = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    if (left > 1) v |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    if (left > 2) v |= static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kDigits[v >> 18]);
    out.push_back(kDigits[(v >> 12) & 63]);
    out.push_back(left > 1 ? kDigits[(v >> 6) & 63] : '=');
    out.push_back(left > 2 ? kDigits[v & 63] : '=');
  }
  return out;
}

std::string websocket_accept(std::string_view key) {
  std::string joined(key);
  joined += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  auto digest = sha1(joined);
  return base64(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

void append_frame(std::string& out, Opcode opcode, std::string_view payload,
                  std::array<uint8_t, 4> mask) {
  out.push_back(static_cast<char>(0x80 | static_cast<uint8_t>(opcode)));
  uint64_t n = payload.size();
  if (n < 126) {
    out.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 0xFFFF) {
    out.push_back(static_cast<char>(0x80 | 126));
    for (int shift = 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  } else {
    out.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  }
  out.append(reinterpret_cast<const char*>(mask.data()), mask.size());
  size_t at = out.size();
  out.append(payload);
  char* p = out.data() + at;
  for (size_t i = 0; i < payload.size(); ++i) p[i] = static_cast<char>(p[i] ^ mask[i % 4]);
}

void FrameDecoder::compact() {
  if (!in_message_ && pos_ == input_.size()) {
    input_.set_size(0);
    pos_ = 0;
    return;
  }
  size_t base = in_message_ ? message_begin_ : pos_;
  if (base < kCompactFrom) return;
  std::memmove(input_.data(), input_.data() + base, input_.size() - base);
  input_.set_size(input_.size() - base);
  pos_ -= base;
  message_begin_ -= std::min(message_begin_, base);
  message_end_ -= std::min(message_end_, base);
}

char* FrameDecoder::room(size_t want) {
  compact();
  if (room_size() < want &&
      !input_.reserve(std::max(2 * input_.capacity(), input_.size() + want))) {
    return nullptr;
  }
  return input_.data() + input_.size();
}

std::expected<Decoded, std::string> FrameDecoder::next() {
  for (;;) {
    size_t avail = input_.size() - pos_;
    if (skip_ > 0) {
      size_t dropped = static_cast<size_t>(std::min<uint64_t>(skip_, avail));
      pos_ += dropped;
      skip_ -= dropped;
      if (skip_ > 0) return Decoded{};
      continue;
    }
    if (avail < 2) return Decoded{};
    const auto* p = reinterpret_cast<const uint8_t*>(input_.data() + pos_);
    bool fin = (p[0] & 0x80) != 0;
    auto opcode = static_cast<Opcode>(p[0] & 0x0F);
    if ((p[0] & 0x70) != 0) return std::unexpected(std::string(msg::kReservedBits));
    if ((p[1] & 0x80) != 0) return std::unexpected(std::string(msg::kMaskedFrame));
    size_t header = 2;
    uint64_t length = p[1] & 0x7F;
    if (length == 126) {
      if (avail < 4) return Decoded{};
      header = 4;
      length = uint64_t{p[2]} << 8 | p[3];
    } else if (length == 127) {
      if (avail < 10) return Decoded{};
      header = 10;
      length = 0;
      for (int i = 2; i < 10; ++i) length = length << 8 | p[i];
      if (length >> 63) return std::unexpected(std::string(msg::kFrameTooLong));
    }
    bool control = (p[0] & 0x08) != 0;
    if (control) {
      if (opcode != Opcode::close && opcode != Opcode::ping && opcode != Opcode::pong) {
        return std::unexpected(std::string(msg::kUnknownOpcode));
      }
      if (!fin || length > 125) {
        return std::unexpected(std::string(msg::kBadControlFrame));
      }
    } else if (opcode == Opcode::continuation) {
      if (!in_message_ && !skipping_message_) {
        return std::unexpected(std::string(msg::kStrayContinuation));
      }
    } else if (opcode == Opcode::text || opcode == Opcode::binary) {
      if (in_message_ || skipping_message_) {
        return std::unexpected(std::string(msg::kMessageInMessage));
      }
    } else {
      return std::unexpected(std::string(msg::kUnknownOpcode));
    }

    if (length > avail - header) {
      // Room for the whole frame now, so that it is read in place.
      if (length <= std::numeric_limits<size_t>::max() / 4 &&
          input_.reserve(pos_ + header + static_cast<size_t>(length))) {
        return Decoded{};
      }
      // A frame that cannot fit in memory is dropped as it arrives, and the
      // message it belongs to with it.
      skip_ = header + length;
      if (!fin) skipping_message_ = true;
      in_message_ = false;
      return only(Decoded::Kind::lost);
    }
    size_t at = pos_ + header;
    size_t size = static_cast<size_t>(length);
    pos_ = at + size;
    if (control) {
      if (opcode == Opcode::pong) continue;
      Decoded decoded = only(opcode == Opcode::ping ? Decoded::Kind::ping : Decoded::Kind::close);
      decoded.control.assign(input_.data() + at, size);
      return decoded;
    }
    if (skipping_message_) {
      if (fin) skipping_message_ = false;
      continue;
    }
    if (!in_message_) {
      in_message_ = true;
      message_begin_ = at;
      message_end_ = at;
    }
    // A later fragment joins the earlier ones, over the headers between.
    if (message_end_ != at) std::memmove(input_.data() + message_end_, input_.data() + at, size);
    message_end_ += size;
    if (!fin) continue;
    in_message_ = false;

    size_t whole = message_end_ - message_begin_;
    Decoded decoded = only(Decoded::Kind::message);
    if (whole < kHandOver) {
      decoded.text = ByteBuffer(std::string_view(input_.data() + message_begin_, whole));
      if (decoded.text.size() != whole) return only(Decoded::Kind::lost);
      return decoded;
    }
    // A large message stays in the buffer it was read into: what follows it
    // moves to a buffer of its own.
    ByteBuffer rest;
    size_t left = input_.size() - pos_;
    if (!rest.reserve(std::max(left, kReadChunk))) return only(Decoded::Kind::lost);
    if (left > 0) std::memcpy(rest.data(), input_.data() + pos_, left);
    rest.set_size(left);
    decoded.text = std::exchange(input_, std::move(rest));
    decoded.text.set_size(message_end_);
    decoded.begin = message_begin_;
    pos_ = 0;
    return decoded;
  }
}

namespace {

class WebSocketTransport final : public Transport {
 public:
  WebSocketTransport(sys::Fd socket, std::string_view early) : socket_(std::move(socket)) {
    std::random_device seed;
    masks_.seed(seed());
    if (char* at = early.empty() ? nullptr : decoder_.room(early.size())) {
      std::memcpy(at, early.data(), early.size());
      decoder_.commit(early.size());
    }
  }

  ~WebSocketTransport() override {
    // A polite goodbye when there is still someone to hear it.
    if (!closed_) (void)write_frame(Opcode::close, "\x03\xE8", Clock::now() + kControlLimit);
  }

  int read_fd() const override { return socket_.get(); }
  bool closed() const override { return closed_; }
  bool receiving() const override { return decoder_.receiving(); }
  std::string_view gone() const override { return kBrowserGone; }

  std::expected<void, int> send(std::string_view message,
                                const sys::WriteLimits& limits) override {
    if (closed_) return std::unexpected(EPIPE);
    std::string framed;
    framed.reserve(message.size() + 14);
    append_frame(framed, Opcode::text, message, next_mask());
    auto written = sys::write_all(socket_.get(), framed, limits);
    if (!written && (written.error() == EPIPE || written.error() == ECONNRESET)) {
      closed_ = true;
      return std::unexpected(EPIPE);
    }
    return written;
  }

  std::expected<void, std::string> read(MessageSink& sink) override {
    // Bytes that came with the upgrade's answer go first.
    if (auto handled = handle(sink); !handled) return handled;
    for (;;) {
      char* at = decoder_.room(kReadChunk);
      if (!at) {
        sink.lost(kOutOfMemory);
        return std::unexpected(std::string(kOutOfMemory));
      }
      sys::IoResult got = sys::read_some(socket_.get(), {at, decoder_.room_size()});
      if (got.kind == sys::IoResult::Kind::would_block) return {};
      if (got.kind == sys::IoResult::Kind::closed ||
          (got.kind == sys::IoResult::Kind::error && got.error == ECONNRESET)) {
        closed_ = true;
        return std::unexpected(std::string(kBrowserGone));
      }
      if (got.kind == sys::IoResult::Kind::error) {
        return std::unexpected(
            msg::because(msg::kCannotReadBrowser, sys::os_error_text(got.error)));
      }
      decoder_.commit(got.count);
      if (auto handled = handle(sink); !handled) return handled;
    }
  }

 private:
  std::array<uint8_t, 4> next_mask() {
    uint32_t m = static_cast<uint32_t>(masks_());
    return {static_cast<uint8_t>(m), static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m >> 16),
            static_cast<uint8_t>(m >> 24)};
  }

  std::expected<void, int> write_frame(Opcode opcode, std::string_view payload,
                                       Clock::time_point deadline) {
    std::string framed;
    append_frame(framed, opcode, payload, next_mask());
    return sys::write_all(socket_.get(), framed, {deadline, -1});
  }

  std::expected<void, std::string> handle(MessageSink& sink) {
    for (;;) {
      auto decoded = decoder_.next();
      if (!decoded) {
        // Nothing after a broken frame can be trusted.
        closed_ = true;
        return std::unexpected(msg::browser_sent(decoded.error()));
      }
      switch (decoded->kind) {
        case Decoded::Kind::none: return {};
        case Decoded::Kind::message: sink.message(std::move(decoded->text), decoded->begin); break;
        case Decoded::Kind::lost: sink.lost(kOutOfMemory); break;
        case Decoded::Kind::ping:
          // Unanswered, the browser would take the host for gone.
          (void)write_frame(Opcode::pong, decoded->control, Clock::now() + kControlLimit);
          break;
        case Decoded::Kind::close:
          (void)write_frame(Opcode::close, std::string_view(decoded->control).substr(0, 2),
                            Clock::now() + kControlLimit);
          closed_ = true;
          return std::unexpected(std::string(kBrowserGone));
      }
    }
  }

  sys::Fd socket_;
  FrameDecoder decoder_;
  std::minstd_rand masks_;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<Transport> websocket_transport(sys::Fd socket, std::string_view early) {
  return std::make_unique<WebSocketTransport>(std::move(socket), early);
}

}  // namespace tessik::host
