#include "host/widgets.h"

#include <algorithm>

#include "host/json_read.h"

namespace tessik::host {

void WidgetTable::start(std::string target) {
  widgets_.clear();
  add(std::string(kFirstWidget), std::move(target));
  next_widget_ = 2;
}

void WidgetTable::add(std::string id, std::string target) {
  auto widget = std::make_shared<Widget>();
  widget->id = std::move(id);
  widget->target = std::move(target);
  widgets_.push_back(std::move(widget));
}

void WidgetTable::note(const Event& event) {
  auto by_target = [&](std::string_view target) {
    return std::find_if(widgets_.begin(), widgets_.end(),
                        [&](const auto& w) { return w->target == target; });
  };
  if (event.method == "Target.targetCreated") {
    const JsonValue* info = event.params.find("targetInfo");
    if (!info || string_member(*info, "type") != "page") return;
    std::string_view target = string_member(*info, "targetId");
    if (target.empty() || by_target(target) != widgets_.end()) return;
    add(std::to_string(next_widget_++), std::string(target));
    front_.clear();  // a new window may have come in front
  } else if (event.method == "Target.targetDestroyed") {
    auto it = by_target(string_member(event.params, "targetId"));
    if (it != widgets_.end()) widgets_.erase(it);
  } else if (event.method == "Target.detachedFromTarget") {
    std::string_view session = string_member(event.params, "sessionId");
    for (auto& w : widgets_) {
      if (w->session == session) w->session.clear();
    }
  }
}

std::expected<std::shared_ptr<Widget>, std::string> WidgetTable::pick(
    const std::optional<std::string>& id) const {
  if (id) {
    auto it = std::find_if(widgets_.begin(), widgets_.end(),
                           [&](const auto& w) { return w->id == *id; });
    if (it == widgets_.end()) return std::unexpected("no such widget: " + *id);
    return *it;
  }
  if (widgets_.size() == 1) return widgets_.front();
  if (widgets_.empty()) return std::unexpected(std::string("no widget is open"));
  std::string ids;
  for (const auto& w : widgets_) ids += (ids.empty() ? "" : ", ") + w->id;
  return std::unexpected("more than one widget is open, name one with --widget: " + ids);
}

bool WidgetTable::holds(const std::shared_ptr<Widget>& widget) const {
  return std::find(widgets_.begin(), widgets_.end(), widget) != widgets_.end();
}

}  // namespace tessik::host
