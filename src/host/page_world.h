#pragma once
// The host's page code (src/host/page/*.js) in the tab's documents: installed
// once per document, in an isolated world of its own, where the page's
// globals and prototype changes do not reach it, and called with structured
// arguments.

#include <expected>
#include <string>
#include <string_view>

#include "host/tab.h"

namespace tessik::host {

// A frame to run the page code in: its id and the session that reaches it.
struct FrameRef {
  std::string session;
  std::string frame;
};

// Calls `function`, a function of the page code, in `frame` with `args` (a
// JSON array, or null for none) as its arguments, awaiting a promise it
// returns, until `until`. A handle answer is a node for the protocol's DOM
// methods. A function that throws fails with the thrown text.
std::expected<Reply, std::string> call_page(Tab& tab, const FrameRef& frame,
                                            std::string_view function, JsonValue args,
                                            Answer answer, Clock::time_point until);

// Calls `function` of the page code with `object` (a handle a page call gave
// out in `session`) as `this`, and `args`; answers by value.
std::expected<Reply, std::string> call_on(Tab& tab, std::string_view session,
                                          std::string_view object, std::string_view function,
                                          JsonValue args, Clock::time_point until);

// The JSON form of `object` (a handle given out in `session`), worked out in
// the object's own world by value.js, until `until`: the browser's reply as
// it came, with the exception thrown there, if any.
std::expected<Reply, std::string> json_value_of(Tab& tab, std::string_view session,
                                                std::string_view object, Clock::time_point until);

// Notes that calls in `session` give out handles for the command, to be
// released when it ends; answers the group to give them in.
std::string_view keep_handles(Tab& tab, std::string_view session);

// After a call in `frame`, or on a handle its page calls gave out, failed
// with `error`: whether the document the command reached there has gone
// away (the frame moved on to another document, or closed), as the
// browser's news of its script contexts tells, so that a later call finds
// another. The news of a context's end comes before the failures it causes.
bool document_lost(Tab& tab, const FrameRef& frame, std::string_view error);

// Releases the handles that page calls gave out while the command ran.
void release_handles(Tab& tab);

}  // namespace tessik::host
