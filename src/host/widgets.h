#pragma once
// The widget table: the browser's tabs as numbered widgets, with the
// session that reaches each, kept up to date from the browser's events.

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/devtools.h"

namespace tessik::host {

// The id of the tab that is open when the browser starts.
inline constexpr std::string_view kFirstWidget = "1";

struct Widget {
  std::string id;
  std::string target;
  std::string session;     // empty until attached
  std::string main_frame;  // the tab's top frame
};

class WidgetTable {
 public:
  // Takes `target`, the tab open at the start, as widget 1.
  void start(std::string target);

  // Notes what an event tells about the widgets: a tab opened or closed, or
  // a session gone.
  void note(const Event& event);

  // The widget `id` names, or the only one when it names none.
  std::expected<std::shared_ptr<Widget>, std::string> pick(const std::optional<std::string>& id) const;
  // Whether `widget` is still open.
  bool holds(const std::shared_ptr<Widget>& widget) const;

  // The tab brought to the front last; empty once another may have come in front.
  const std::string& front() const { return front_; }
  void set_front(std::string target) { front_ = std::move(target); }

 private:
  void add(std::string id, std::string target);

  // Shared so that a tab closing in the middle of a command leaves the
  // command's own reference intact.
  std::vector<std::shared_ptr<Widget>> widgets_;
  unsigned next_widget_ = 1;
  std::string front_;
};

}  // namespace tessik::host
