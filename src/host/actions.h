#pragma once
// Element actions: click, type and text with a selector. Each waits in the
// page, up to the action timeout, for an element that can take the action,
// and fails with the first condition still unmet when the time runs out.

#include <chrono>
#include <expected>
#include <string>

#include "host/browser.h"
#include "host/tab.h"

namespace tessik::host {

std::expected<Data, std::string> click(Tab& tab, const std::string& selector,
                                       std::chrono::milliseconds timeout);
std::expected<Data, std::string> type(Tab& tab, const Command& command,
                                      std::chrono::milliseconds timeout);
// The visible text of the element the selector names, once there is one.
std::expected<Data, std::string> text_of(Tab& tab, const std::string& selector,
                                         std::chrono::milliseconds timeout);

}  // namespace tessik::host
