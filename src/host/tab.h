#pragma once
// One widget while a command runs on it: calls into its sessions within the
// request's deadline, and the browser's events that arrive meanwhile.

#include <chrono>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "host/devtools.h"
#include "host/navigation.h"
#include "host/widgets.h"

namespace tessik::host {

// How long one step may take at most; a request's own deadline may cut it shorter.
inline constexpr auto kStepLimit = std::chrono::seconds(30);

// What a thrown value says about itself: an error's description without the
// stack trace that follows its first line, or the thrown value itself.
std::string exception_text(JsonValue details);

// What to take from a script's result: its value as JSON, or the remote
// object itself, a handle to it (in `objectId`) or a value JSON lacks (in
// `unserializableValue`).
enum class Answer { value, handle };

// A Runtime method's reply taken apart: the text of what the script threw
// as the failure, else its result as `answer` asks (null for undefined).
std::expected<JsonValue, std::string> runtime_answer(const Reply& reply, Answer answer);
// The same for a call that may have failed, in place: the reply's result
// becomes the answer.
std::expected<Reply, std::string> answered(std::expected<Reply, std::string> reply, Answer answer);

class Tab {
 public:
  Tab(DevTools& devtools, WidgetTable& widgets, Widget& widget, Clock::time_point deadline)
      : devtools_(devtools), widgets_(widgets), widget_(widget), deadline_(deadline) {}

  Widget& widget() { return widget_; }
  DevTools& devtools() { return devtools_; }

  // The earlier of now + `limit` and the request's deadline.
  Clock::time_point deadline_in(Clock::duration limit) const {
    return std::min(Clock::now() + limit, deadline_);
  }
  Clock::time_point deadline() const { return deadline_; }

  // `method` in `session` (the tab's own when empty), waiting for its reply
  // until `until`, or at most kStepLimit.
  std::expected<Reply, std::string> call(std::string_view method, JsonValue params,
                                         std::string_view session = {});
  std::expected<Reply, std::string> call(std::string_view method, JsonValue params,
                                         std::string_view session, Clock::time_point until);
  // `method` without waiting for its reply.
  std::expected<void, std::string> post(std::string_view method, JsonValue params,
                                        std::string_view session = {});

  // Runs a script of the host's own in the page's main world, where page
  // scripts run, and returns its value.
  std::expected<Reply, std::string> evaluate(std::string_view expression);

  // Takes the queued events: each goes to the widget table, and those of the
  // tab's own session to `navigation` as well when there is one.
  void take_events(Navigation* navigation = nullptr);
  // Reads the browser's messages until an event comes or `until`, then takes
  // the events.
  std::expected<void, std::string> pause(Clock::time_point until, Navigation* navigation = nullptr);
  // Waits until `navigation` ends, or fails after `limit`.
  std::expected<void, std::string> wait_for(Navigation& navigation, std::chrono::milliseconds limit);
  // Waits until `navigation` ends (true) or `until` comes (false).
  std::expected<bool, std::string> wait_until(Navigation& navigation, Clock::time_point until);

  // Hidden pages get no animation frames: the tab acted on goes in front.
  std::expected<void, std::string> bring_to_front();

  // The sessions in which the command has been given handles to objects of
  // the page, to be released when it ends.
  std::vector<std::string>& handle_sessions() { return handle_sessions_; }

  // The world the command's page calls reached last in `frame` of
  // `session`, if any.
  const World* reached(std::string_view session, std::string_view frame) const;
  void reach(const World& world);

 private:
  DevTools& devtools_;
  WidgetTable& widgets_;
  Widget& widget_;
  Clock::time_point deadline_;
  std::vector<std::string> handle_sessions_;
  std::vector<World> reached_;
};

}  // namespace tessik::host
