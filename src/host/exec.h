#pragma once
// The /v1/exec request body to a command, and a command's outcome to the
// reply envelope {"ok","data"} or {"ok","error"}.

#include <expected>
#include <string>
#include <string_view>

#include "host/browser.h"
#include "json/buffer.h"

namespace tessik::host {

// Reads {"command", "widget_id"?, "args"?}; a failure is the whole message.
std::expected<Command, std::string> decode_exec_request(std::string_view body);

// {"error":message,"ok":false}
std::string error_envelope(std::string_view message);

// The whole HTTP reply with `envelope` as its body, written once into a
// buffer of its exact size. Throws std::bad_alloc when there is no room.
ByteBuffer envelope_reply(int status, JsonValue envelope);

// Decodes the body, runs the command by `deadline` and forms the whole
// reply: status 400 for a request that cannot be read, 500 when memory ran
// out ("out of memory"), 200 otherwise. Empty when even that reply found no
// memory.
ByteBuffer handle_exec(std::string_view body, Browser& browser, Clock::time_point deadline);

}  // namespace tessik::host
