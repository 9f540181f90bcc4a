#pragma once
// The browser's tabs as numbered widgets, and the ten commands run on them.

#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/devtools.h"
#include "json/value.h"
#include "rpc/commands.h"

namespace tessik::host {

struct Command {
  CommandKind kind = CommandKind::url;
  std::optional<std::string> widget;  // none: the only widget there is
  std::string url;       // navigate
  std::string selector;  // text (when has_selector), click, type
  bool has_selector = false;
  std::string script;  // eval
  std::string text;    // type
  bool submit = false;  // type
};

// A command's result and the documents that hold its parts.
struct Data {
  std::vector<JsonDocument> docs;
  JsonValue value;
};

// How long one step may take at most; a request's own deadline may cut it shorter.
inline constexpr auto kReplyLimit = std::chrono::seconds(30);

struct Timeouts {
  // How long click, type and text wait for their element, and a click or a
  // submit for the document it leads to.
  std::chrono::milliseconds action{5000};
  // How long navigate, back, forward and reload wait for the load event.
  std::chrono::milliseconds navigation{30000};
};

// The id of the tab that is open when the browser starts.
inline constexpr std::string_view kFirstWidget = "1";

class Browser {
 public:
  explicit Browser(DevTools& devtools, Timeouts timeouts = {})
      : devtools_(devtools), timeouts_(timeouts) {}

  // Takes the first tab as widget "1" (opening one if there is none) and
  // starts to follow tabs that pages open and close.
  std::expected<void, std::string> start(Clock::time_point deadline);

  // Runs `command`, finishing by `deadline` at the latest.
  std::expected<Data, std::string> run(const Command& command, Clock::time_point deadline);

  // Notes the tabs opened and closed in events read while no command ran,
  // and drops the other events, which nobody waits for any more.
  void absorb_events();

 private:
  struct Widget {
    std::string id;
    std::string target;
    std::string session;     // empty until attached
    std::string main_frame;  // the tab's top frame
  };
  struct Navigation;

  std::expected<Data, std::string> dispatch(const Command& command, Widget& widget);
  // The widget the command names, or the only one when it names none.
  std::expected<std::shared_ptr<Widget>, std::string> pick(const std::optional<std::string>& id);
  std::expected<std::shared_ptr<Widget>, std::string> attach(std::shared_ptr<Widget> widget);
  std::expected<Reply, std::string> call(std::string_view method, JsonValue params,
                                         std::string_view session);
  // Runs a script of the host's own in the tab and returns its value.
  std::expected<Reply, std::string> evaluate(Widget& widget, std::string_view expression,
                                             Clock::time_point deadline);
  std::expected<Reply, std::string> evaluate(Widget& widget, std::string_view expression) {
    return evaluate(widget, expression, within(kReplyLimit));
  }
  // Waits in the page until the selector matches and, for `action` "click"
  // or "type", until the element can take it; the page's answer, or the
  // first condition still unmet at `until`. A "type" leaves the element
  // focused with its content selected, deleted with `clear`, and with
  // `submit` notes whether its form is submitted. A "click" leaves a guard
  // in the page that keeps a press which misses the element from it.
  std::expected<Reply, std::string> wait_for_element(Widget& widget, std::string_view action,
                                                     const std::string& selector, bool clear,
                                                     bool submit, Clock::time_point until);
  // Waits until `navigation` ends, or fails after `limit`.
  std::expected<void, std::string> wait_for_navigation(Widget& widget, Navigation& navigation,
                                                       std::chrono::milliseconds limit);
  // After input that may have started a navigation: lets the page handle it
  // for one frame, then waits for the new document when one is on its way.
  // Answers the first unmet condition, without waiting, when a click's
  // guard kept the press from the page; empty otherwise.
  std::expected<std::string, std::string> follow_input(Widget& widget, Navigation& navigation);
  // Hidden pages get no animation frames: the widget acted on goes in front.
  std::expected<void, std::string> bring_to_front(Widget& widget);
  // Takes the queued events: tab events update the widgets, events of
  // `session` go to `navigation` when there is one, the rest are dropped.
  void pump(std::string_view session, Navigation* navigation);
  void note_target_event(const Event& event);

  std::expected<Data, std::string> url(Widget& widget);
  std::expected<Data, std::string> title(Widget& widget);
  std::expected<Data, std::string> navigate(Widget& widget, const std::string& url);
  std::expected<Data, std::string> go(Widget& widget, int step);
  std::expected<Data, std::string> reload(Widget& widget);
  std::expected<Data, std::string> text(Widget& widget, const Command& command);
  std::expected<Data, std::string> eval(Widget& widget, const std::string& script);
  std::expected<Data, std::string> click(Widget& widget, const std::string& selector);
  std::expected<Data, std::string> type(Widget& widget, const Command& command);

  // The earlier of now + `limit` and the request's deadline.
  Clock::time_point within(Clock::duration limit) const;

  DevTools& devtools_;
  Timeouts timeouts_;
  std::string front_;  // the target last brought to the front
  // Shared so that a tab closing in the middle of a command leaves the
  // command's own reference intact.
  std::vector<std::shared_ptr<Widget>> widgets_;
  unsigned next_widget_ = 1;
  Clock::time_point deadline_;
};

}  // namespace tessik::host
