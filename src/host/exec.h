#pragma once
// The /v1/exec request body to a command, and a command's outcome to the
// reply envelope {"ok","data"} or {"ok","error"}.

#include <expected>
#include <string>
#include <string_view>

#include "host/browser.h"

namespace tessik::host {

// Reads {"command", "widget_id"?, "args"?}; a failure is the whole message.
std::expected<Command, std::string> decode_exec_request(std::string_view body);

// {"error":message,"ok":false}
std::string error_envelope(std::string_view message);
// {"data":data,"ok":true}
std::string data_envelope(JsonValue data);

// Decodes the body, runs the command by `deadline` and forms the envelope.
// The status is 400 for a request that cannot be read, 200 otherwise.
struct ExecReply {
  int status = 200;
  std::string body;
};
ExecReply handle_exec(std::string_view body, Browser& browser, Clock::time_point deadline);

}  // namespace tessik::host
