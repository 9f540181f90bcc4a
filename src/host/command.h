#pragma once
// What a command is, what it gives back, and the limits it runs under: the
// words the request decoder, the browser and the actions share.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json/value.h"
#include "rpc/commands.h"

namespace tessik::host {

struct Command {
  CommandKind kind = CommandKind::url;
  std::optional<std::string> widget;  // none: the only widget there is
  std::string url;       // navigate
  std::optional<std::string> selector;  // click, type; text when given
  std::string script;  // eval
  std::string text;    // type
  bool submit = false;  // type
};

// A command's result and the documents that hold its parts.
struct CommandResult {
  std::vector<JsonDocument> docs;
  JsonValue value;
};

struct Timeouts {
  // How long click, type and text wait for their element, and a click or a
  // submit for the document it leads to.
  std::chrono::milliseconds action{5000};
  // How long navigate, back, forward and reload wait for the load event.
  std::chrono::milliseconds navigation{30000};
};

// The size of each tab's viewport, in CSS pixels, as a window of a person's;
// a width of 0 leaves each window its own.
struct WindowSize {
  uint32_t width = 1280;
  uint32_t height = 720;
};

}  // namespace tessik::host
