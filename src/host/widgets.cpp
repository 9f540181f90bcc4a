#include "host/widgets.h"
#include "host/messages.h"

#include <algorithm>

#include "host/http.h"
#include "host/json_read.h"

namespace tessik::host {

const ChildFrame* Widget::child_by_frame(std::string_view frame) const {
  auto it = std::find_if(children.begin(), children.end(),
                         [&](const ChildFrame& c) { return c.frame == frame; });
  return it == children.end() ? nullptr : &*it;
}

const ChildFrame* Widget::child_by_session(std::string_view session) const {
  auto it = std::find_if(children.begin(), children.end(),
                         [&](const ChildFrame& c) { return c.session == session; });
  return it == children.end() ? nullptr : &*it;
}

void Widget::drop_worlds(std::string_view session, std::string_view frame) {
  std::erase_if(worlds, [&](const World& w) {
    return w.session == session && (frame.empty() || w.frame == frame);
  });
}

void WidgetTable::add(std::string id, std::string target) {
  auto widget = std::make_shared<Widget>();
  widget->id = std::move(id);
  widget->target = std::move(target);
  widgets_.push_back(std::move(widget));
}

Widget* WidgetTable::owner_of(std::string_view session) const {
  for (const auto& w : widgets_) {
    if (w->session == session || w->child_by_session(session)) return w.get();
  }
  return nullptr;
}

std::string no_such_widget(std::string_view id) {
  return "no such widget: " + shown_request_bytes(id);
}

Widget* WidgetTable::by_target(std::string_view target) const {
  for (const auto& w : widgets_) {
    if (w->target == target) return w.get();
  }
  return nullptr;
}

void WidgetTable::add_opened(std::string_view target) {
  if (target.empty() || by_target(target)) return;
  add(std::to_string(next_widget_++), std::string(target));
}

void WidgetTable::note(const Event& event) {
  if (event.session.empty()) {
    note_browser_event(event);
    return;
  }
  Widget* widget = owner_of(event.session);
  if (!widget) return;
  if (event.method == "Target.attachedToTarget") {
    const JsonValue* info = event.params.find("targetInfo");
    std::string_view session = string_member(event.params, "sessionId");
    if (!info || string_member(*info, "type") != "iframe" || session.empty()) return;
    widget->children.push_back(ChildFrame{std::string(string_member(*info, "targetId")),
                                          std::string(session), std::string(event.session)});
  } else if (event.method == "Target.detachedFromTarget") {
    std::string session(string_member(event.params, "sessionId"));
    widget->drop_worlds(session, {});
    std::erase_if(widget->children, [&](const ChildFrame& c) { return c.session == session; });
  } else if (event.method == "Page.frameNavigated") {
    const JsonValue* frame = event.params.find("frame");
    if (!frame) return;
    std::string_view id = string_member(*frame, "id");
    bool top = id == widget->main_frame && event.session == widget->session;
    // A new top document replaces every frame below it too.
    widget->drop_worlds(event.session, top ? std::string_view() : id);
    if (top) {
      // A failed load shows the address it tried.
      std::string_view tried = string_member(*frame, "unreachableUrl");
      widget->url = tried.empty() ? string_member(*frame, "url") : tried;
      if (tried.empty()) widget->url += string_member(*frame, "urlFragment");
    }
  } else if (event.method == "Page.navigatedWithinDocument") {
    if (event.session == widget->session &&
        string_member(event.params, "frameId") == widget->main_frame) {
      widget->url = string_member(event.params, "url");
    }
  } else if (event.method == "Page.frameDetached") {
    widget->drop_worlds(event.session, string_member(event.params, "frameId"));
  }
}

Widget* WidgetTable::attached(const Event& event) {
  const JsonValue* info = event.params.find("targetInfo");
  std::string_view session = string_member(event.params, "sessionId");
  if (!info || string_member(*info, "type") != "page" || session.empty()) return nullptr;
  std::string_view target = string_member(*info, "targetId");
  add_opened(target);
  Widget* widget = by_target(target);
  if (!widget || !widget->session.empty()) return nullptr;
  widget->session = session;
  widget->main_frame = target;
  widget->url = string_member(*info, "url");
  return widget;
}

void WidgetTable::note_browser_event(const Event& event) {
  if (event.method == "Target.targetCreated") {
    const JsonValue* info = event.params.find("targetInfo");
    if (!info || string_member(*info, "type") != "page") return;
    add_opened(string_member(*info, "targetId"));
    front_.clear();  // a new window may have come in front
  } else if (event.method == "Target.targetDestroyed") {
    std::string_view target = string_member(event.params, "targetId");
    std::erase_if(widgets_, [&](const auto& w) { return w->target == target; });
  } else if (event.method == "Target.detachedFromTarget") {
    std::string_view session = string_member(event.params, "sessionId");
    for (auto& w : widgets_) {
      if (w->session == session) {
        w->session.clear();
        w->windowed = false;
        w->children.clear();
        w->worlds.clear();
      }
    }
  }
}

std::expected<std::shared_ptr<Widget>, std::string> WidgetTable::pick(
    const std::optional<std::string>& id) const {
  if (id) {
    auto it = std::find_if(widgets_.begin(), widgets_.end(),
                           [&](const auto& w) { return w->id == *id; });
    if (it == widgets_.end()) return std::unexpected(no_such_widget(*id));
    return *it;
  }
  if (widgets_.size() == 1) return widgets_.front();
  if (widgets_.empty()) return std::unexpected(std::string(msg::kNoWidget));
  std::string ids;
  for (const auto& w : widgets_) ids += (ids.empty() ? "" : ", ") + w->id;
  return std::unexpected(msg::because(msg::kManyWidgets, ids));
}

bool WidgetTable::holds(const std::shared_ptr<Widget>& widget) const {
  return std::find(widgets_.begin(), widgets_.end(), widget) != widgets_.end();
}

}  // namespace tessik::host
