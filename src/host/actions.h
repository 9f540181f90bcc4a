#pragma once
// Element actions: click, type and text with a selector. Each runs one loop
// with one deadline, the action timeout from the start of the command, for
// finding the element and, for a click, pressing it. The page code looks
// for the element in the tab's frames and waits in the page until it can
// take the action; for a click the host then measures where it is drawn,
// moves the mouse there, has the page check that it holds still and
// receives the pointer there, and presses. What the page did with the press
// decides whether to try again, to wait for the document it leads to, or to
// return. A failure names the first condition still unmet when the time ran
// out. A click or submit that starts a navigation then waits for the new
// document under a limit of its own: the action timeout again, counted from
// the press (and the page's handling of the press answers to the step limit).

#include <chrono>
#include <expected>
#include <string>

#include "host/command.h"
#include "host/tab.h"

namespace tessik::host {

std::expected<CommandResult, std::string> click(Tab& tab, const std::string& selector,
                                       std::chrono::milliseconds timeout);
std::expected<CommandResult, std::string> type(Tab& tab, const Command& command,
                                      std::chrono::milliseconds timeout);
// The visible text of the element the selector names, once there is one.
std::expected<CommandResult, std::string> text_of(Tab& tab, const std::string& selector,
                                         std::chrono::milliseconds timeout);

}  // namespace tessik::host
