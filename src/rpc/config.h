#pragma once
// The endpoint state file that the running application writes: where it is,
// and its decoding into an RpcConfig.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/buffer.h"
#include "json/cursor.h"

namespace tessik {

struct RpcConfig {
  uint16_t port = 0;
  std::string token;
  uint32_t pid = 0;  // required and range-checked, not used further
};

// $HOME/.tessik/state/browser-rpc.json as raw bytes; fails with "HOME not set".
std::expected<std::string, std::string> state_file_path();
// The same from a given HOME value.
std::string state_file_path(std::string_view home);

// Decodes a state file's text (read in place, so the buffer is changed).
std::expected<RpcConfig, JsonError> decode_rpc_config(char* begin, char* end);
std::expected<RpcConfig, JsonError> decode_rpc_config(std::string_view text);

// Finds, reads and decodes the state file; a failure is the whole message.
std::expected<RpcConfig, std::string> load_rpc_config();

}  // namespace tessik
