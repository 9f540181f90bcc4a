#pragma once
// The browser's tabs as numbered widgets, and the ten commands run on them.
// The widget table (widgets.h) keeps the tabs, navigation.h follows their
// navigations, actions.h carries out click, type and text with a selector.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/command.h"
#include "host/devtools.h"
#include "host/log.h"
#include "host/widgets.h"
#include "json/value.h"

namespace tessik::host {

class Tab;

class Browser {
 public:
  // Answers the pages' dialogs from now on, as they open, with a line each
  // on `log`.
  Browser(DevTools& devtools, Log& log, Timeouts timeouts = {}, WindowSize window = {});
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Attaches to every tab, open now or later, as it appears; takes the first
  // as widget "1" (opening one if there is none).
  std::expected<void, std::string> start(Clock::time_point deadline);

  // Runs `command`, finishing by `deadline` at the latest.
  std::expected<CommandResult, std::string> run(const Command& command, Clock::time_point deadline);

  // Notes what the events read while no command ran tell about the widgets,
  // and drops them; nobody waits for them any more. When the last tab has
  // closed, opens a fresh one.
  void absorb_events();

 private:
  // What must be done about an event the moment it is read: a dialog is
  // answered, a session the host was attached to is set up, a crashed tab
  // fails its calls until a new document comes, the widgets' script
  // contexts are followed. Whether the event is used up.
  bool watch(const Event& event);
  void answer_dialog(const Event& event);
  void set_up(const Event& event);
  // A fresh about:blank tab when none is left, so that there is always a widget.
  std::expected<void, std::string> keep_a_widget(Clock::time_point deadline);

  std::expected<CommandResult, std::string> dispatch(const Command& command, Tab& tab);
  // Waits for the widget's tab to be attached, as every tab is when it
  // opens, and attaches to it when that does not come.
  std::expected<void, std::string> attach(const std::shared_ptr<Widget>& widget,
                                          Clock::time_point deadline);

  std::expected<CommandResult, std::string> url(Tab& tab);
  std::expected<CommandResult, std::string> title(Tab& tab);
  std::expected<CommandResult, std::string> navigate(Tab& tab, const std::string& url);
  std::expected<CommandResult, std::string> go(Tab& tab, int step);
  std::expected<CommandResult, std::string> reload(Tab& tab);
  std::expected<CommandResult, std::string> text(Tab& tab, const Command& command);
  std::expected<CommandResult, std::string> eval(Tab& tab, const std::string& script);

  DevTools& devtools_;
  Log& log_;
  Timeouts timeouts_;
  WindowSize window_;
  WidgetTable widgets_;
};

}  // namespace tessik::host
