#pragma once
// One HTTP/1.1 POST of a request object to the loopback endpoint, and the
// reply body.

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "json/buffer.h"
#include "json/value.h"
#include "rpc/config.h"

namespace tessik {

// Time limits of one exchange; the program always uses these defaults.
struct ExchangeLimits {
  std::chrono::nanoseconds connect = std::chrono::seconds(5);
  std::chrono::microseconds receive = std::chrono::seconds(120);  // per receive call
  std::chrono::microseconds send = std::chrono::seconds(30);      // per send call
};

// The whole reply as received; the body starts at `body_begin`.
struct ReplyBody {
  ByteBuffer reply;
  size_t body_begin = 0;
  std::string_view text() const { return reply.view().substr(body_begin); }
};

// The exact request bytes for `body` with `token`.
std::string format_request(std::string_view token, std::string_view body);

// Sends `request` to 127.0.0.1:config.port and returns the reply body. A
// failure is the text that follows "rpc error: ".
std::expected<ReplyBody, std::string> rpc_exchange(const RpcConfig& config, JsonValue request,
                                                   const ExchangeLimits& limits = {});

}  // namespace tessik
