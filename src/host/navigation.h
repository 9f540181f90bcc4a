#pragma once
// Navigation tracking: follows one tab's top frame, from the events the
// browser sends about it, from the start of a navigation to the event that
// ends the wait for it.

#include <chrono>
#include <string>
#include <string_view>

#include "host/devtools.h"

namespace tessik::host {

class Navigation {
 public:
  enum class End { load, dom_content_loaded };

  // `begun`: the caller started the navigation itself (navigate, back,
  // reload); otherwise it is looked for among the events (after input).
  Navigation(std::string_view main_frame, bool begun, End end)
      : main_frame_(main_frame), end_(end), started_(begun) {}

  // The document whose end event ends the wait, when the caller knows it.
  void expect_loader(std::string_view loader) { loader_ = loader; }

  // Takes one event of the tab's own session.
  void see(const Event& event);

  bool started() const { return started_; }
  bool done() const { return done_; }
  // What a wait for it that runs out says it waited for.
  std::string_view awaited() const {
    return end_ == End::load ? "the page to load" : "the next page";
  }

 private:
  std::string_view main_frame_;
  End end_;
  std::string loader_;  // the document whose event ends the wait, once known
  bool started_;
  bool loading_ = false;  // the top frame started loading while watched
  bool committed_ = false;
  bool done_ = false;
};

// "timed out after {ms} ms waiting for {what}"
std::string timed_out(std::chrono::milliseconds limit, std::string_view what);

}  // namespace tessik::host
