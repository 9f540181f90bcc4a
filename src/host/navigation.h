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
  // What started the navigation, which decides what may end it.
  enum class Start {
    // navigate or reload, by the caller: a new document, whose own load
    // alone ends it; a navigation within the document being left (its
    // pushState or hash change as it unloads) does not.
    document,
    // back or forward, by the caller: the history entry may be of this
    // document or of another, as the browser says when it starts.
    history,
    // a click or a submit: the navigation is looked for among the events.
    input,
  };

  Navigation(std::string_view main_frame, Start start, End end)
      : main_frame_(main_frame), start_(start), end_(end), started_(start != Start::input) {}

  // The document whose end event ends the wait, when the caller knows it.
  void expect_loader(std::string_view loader) { loader_ = loader; }

  // Takes one event of the tab's own session.
  void see(const Event& event);

  bool started() const { return started_; }
  // Where it goes, once the browser has said (empty before).
  std::string_view url() const { return url_; }
  bool done() const { return done_; }
  // What a wait for it that runs out says it waited for.
  std::string_view awaited() const {
    return end_ == End::load ? "the page to load" : "the next page";
  }

 private:
  std::string_view main_frame_;
  Start start_;
  End end_;
  std::string loader_;  // the document whose event ends the wait, once known
  std::string url_;
  bool started_;
  bool same_document_ = false;  // a history entry of the document itself
  bool loading_ = false;  // the top frame started loading while watched
  bool committed_ = false;
  bool done_ = false;
};

// "timed out after {ms} ms waiting for {what}"
std::string timed_out(std::chrono::milliseconds limit, std::string_view what);

// `url` as typed into an address bar, with a scheme: http:// for localhost,
// loopback addresses and [::1], https:// for any other host. A URL that has
// a scheme, or is an about:, data:, file: or javascript: URL, is as given.
std::string complete_url(std::string_view url);

}  // namespace tessik::host
