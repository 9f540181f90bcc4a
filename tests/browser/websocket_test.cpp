// The WebSocket client's parts that need no browser: the digest behind the
// upgrade's accept check, frames out, the decoder of frames in, and which
// endpoints --attach takes.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/attach.h"
#include "host/websocket.h"

namespace tessik::host {
namespace {

std::string hex(const std::array<uint8_t, 20>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

TEST(WebSocketUpgrade, DigestAndAcceptMatchTheStandardsVectors) {
  struct Case {
    std::string input;
    std::string digest;
  };
  const std::vector<Case> cases = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      // 56 bytes: the padding takes a second block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    EXPECT_EQ(hex(sha1(c.input)), c.digest);
  }
  // The handshake's example in RFC 6455, section 1.3.
  EXPECT_EQ(websocket_accept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketFrames, ClientFramesAreMaskedWithTheLengthInItsShortestForm) {
  struct Case {
    size_t length;
    std::string header;  // the bytes before the mask
  };
  const std::vector<Case> cases = {
      {0, "\x81\x80"},
      {125, "\x81\xFD"},
      {126, std::string("\x81\xFE\x00\x7E", 4)},
      {65535, "\x81\xFE\xFF\xFF"},
      {65536, std::string("\x81\xFF\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::string payload(c.length, 'x');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    std::string out;
    append_frame(out, Opcode::text, payload, {1, 2, 3, 0x80});
    ASSERT_EQ(out.size(), c.header.size() + 4 + c.length);
    EXPECT_EQ(out.substr(0, c.header.size()), c.header);
    EXPECT_EQ(out.substr(c.header.size(), 4), "\x01\x02\x03\x80");
    std::string unmasked = out.substr(c.header.size() + 4);
    const uint8_t mask[4] = {1, 2, 3, 0x80};
    for (size_t i = 0; i < unmasked.size(); ++i) unmasked[i] = static_cast<char>(unmasked[i] ^ mask[i % 4]);
    EXPECT_EQ(unmasked, payload);
  }
}

// A server's frame: unmasked, with the length in its shortest form.
std::string frame(bool fin, uint8_t opcode, const std::string& payload) {
  std::string out(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
  uint64_t n = payload.size();
  if (n < 126) {
    out.push_back(static_cast<char>(n));
  } else if (n <= 0xFFFF) {
    out.push_back(126);
    for (int shift = 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  } else {
    out.push_back(127);
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  }
  return out + payload;
}

// What the decoder makes of `bytes` given `chunk` bytes at a time: one line
// per message ("text:" and its payload, or its size when long), ping, close
// and failure.
std::vector<std::string> decode(const std::string& bytes, size_t chunk) {
  FrameDecoder decoder;
  std::vector<std::string> seen;
  for (size_t at = 0; at < bytes.size();) {
    size_t n = std::min(chunk, bytes.size() - at);
    char* room = decoder.room(n);
    if (!room) return {"no room"};
    std::memcpy(room, bytes.data() + at, n);
    decoder.commit(n);
    at += n;
    for (;;) {
      auto next = decoder.next();
      if (!next) {
        seen.push_back("error: " + next.error());
        return seen;
      }
      if (next->kind == Decoded::Kind::none) break;
      switch (next->kind) {
        case Decoded::Kind::message: {
          std::string text(next->text.data() + next->begin, next->text.size() - next->begin);
          seen.push_back(text.size() <= 40 ? "text:" + text
                                           : "text of " + std::to_string(text.size()) + " " +
                                                 text.substr(0, 3) + text.substr(text.size() - 3));
          break;
        }
        case Decoded::Kind::ping: seen.push_back("ping:" + next->control); break;
        case Decoded::Kind::close: seen.push_back("close:" + next->control); break;
        default: seen.push_back("lost"); break;
      }
    }
  }
  return seen;
}

TEST(WebSocketFrames, TheDecoderJoinsMessagesHowEverTheyAreSplit) {
  // Large enough to be handed over in place, and with distinct ends.
  std::string big(3 << 20, 'm');
  big.replace(0, 3, "<<<");
  big.replace(big.size() - 3, 3, ">>>");
  struct Case {
    std::string name;
    std::string bytes;
    std::vector<std::string> seen;
  };
  const std::vector<Case> cases = {
      {"one frame", frame(true, 1, "{\"id\":1}"), {"text:{\"id\":1}"}},
      {"two in one read", frame(true, 1, "a") + frame(true, 1, "b"), {"text:a", "text:b"}},
      {"empty", frame(true, 1, ""), {"text:"}},
      {"16-bit length", frame(true, 1, std::string(300, 'y')), {"text of 300 yyyyyy"}},
      {"64-bit length", frame(true, 1, std::string(70000, 'z')), {"text of 70000 zzzzzz"}},
      {"fragments with control frames between",
       frame(false, 1, "he") + frame(false, 0, "ll") + frame(true, 9, "p") +
           frame(true, 10, "ignored") + frame(true, 0, "o") + frame(true, 1, "next"),
       {"ping:p", "text:hello", "text:next"}},
      {"a large message in three fragments, then a small one",
       frame(false, 1, big.substr(0, 1000)) + frame(false, 0, big.substr(1000, 2 << 20)) +
           frame(true, 0, big.substr(1000 + (2 << 20))) + frame(true, 1, "after"),
       {"text of 3145728 <<<>>>", "text:after"}},
      {"binary", frame(true, 2, "{}"), {"text:{}"}},
      {"close", frame(true, 8, "\x03\xE8"), {"close:\x03\xE8"}},
      {"masked", "\x81\x81" + std::string("\x01\x02\x03\x04", 4) + "x",
       {"error: a masked frame"}},
      {"reserved bits", "\xC1\x01x", {"error: a frame with reserved bits set"}},
      {"a continuation first", frame(true, 0, "x"),
       {"error: a continuation frame outside a message"}},
      {"a message inside a message", frame(false, 1, "x") + frame(true, 1, "y"),
       {"error: a new message inside a fragmented one"}},
      {"a fragmented ping", frame(false, 9, "x"), {"error: a fragmented or long control frame"}},
      {"a long ping", frame(true, 9, std::string(126, 'p')),
       {"error: a fragmented or long control frame"}},
      {"an unknown opcode", frame(true, 3, "x"), {"error: an unknown opcode"}},
      {"a length above 2^63", std::string("\x81\x7F\x80\x00\x00\x00\x00\x00\x00\x00", 10),
       {"error: a frame length above 2^63"}},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{65536}, c.bytes.size()}) {
      // Byte by byte, a large message takes too long to be worth it.
      if (chunk == 1 && c.bytes.size() > 100000) continue;
      SCOPED_TRACE(c.name + ", " + std::to_string(chunk) + " bytes at a time");
      EXPECT_EQ(decode(c.bytes, chunk), c.seen);
    }
  }
}

TEST(AttachEndpoints, OnlyLoopbackIsTaken) {
  struct Case {
    std::string text;
    std::string shown;  // empty: refused
    std::string path;
  };
  const std::vector<Case> cases = {
      {"9222", "127.0.0.1:9222", ""},
      {"ws://127.0.0.1:9222/devtools/browser/ab-c", "127.0.0.1:9222", "/devtools/browser/ab-c"},
      {"ws://localhost:9333/devtools/browser/x", "127.0.0.1:9333", "/devtools/browser/x"},
      {"ws://[::1]:9222/devtools/browser/x", "[::1]:9222", "/devtools/browser/x"},
      {"ws://127.1.2.3:80/x", "127.1.2.3:80", "/x"},
      {"ws://192.168.1.2:9222/devtools/browser/x", "", ""},
      {"ws://example.com:9222/devtools/browser/x", "", ""},
      {"ws://[2001:db8::1]:9222/devtools/browser/x", "", ""},
      {"ws://[::ffff:127.0.0.1]:9222/x", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto endpoint = parse_endpoint(c.text);
    if (c.shown.empty()) {
      ASSERT_FALSE(endpoint);
      EXPECT_NE(endpoint.error().find("the debugging protocol has no authentication"),
                std::string::npos)
          << endpoint.error();
      continue;
    }
    ASSERT_TRUE(endpoint) << endpoint.error();
    EXPECT_EQ(endpoint->shown(), c.shown);
    EXPECT_EQ(endpoint->path, c.path);
  }
  // Not endpoints at all: said as such, not taken for remote ones.
  for (std::string text : {"0", "65536", "http://127.0.0.1:9222", "ws://127.0.0.1/x", ""}) {
    SCOPED_TRACE(text);
    auto endpoint = parse_endpoint(text);
    ASSERT_FALSE(endpoint);
    EXPECT_EQ(endpoint.error().find("authentication"), std::string::npos) << endpoint.error();
  }
}

}  // namespace
}  // namespace tessik::host
