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

bool Widget::has_context(std::string_view session, int64_t id) const {
  return std::any_of(contexts.begin(), contexts.end(),
                     [&](const Context& c) { return c.session == session && c.id == id; });
}

bool Widget::has_document(std::string_view session, std::string_view frame) const {
  return std::any_of(contexts.begin(), contexts.end(), [&](const Context& c) {
    return c.main && c.session == session && c.frame == frame;
  });
}

namespace {

// Forgets the contexts that `gone(session, frame, id)` names, and the worlds
// among them.
template <typename Gone>
void forget_contexts(Widget& widget, Gone gone) {
  std::erase_if(widget.contexts, [&](const Context& c) { return gone(c.session, c.frame, c.id); });
  std::erase_if(widget.worlds, [&](const World& w) { return gone(w.session, w.frame, w.context); });
}

// Forgets the contexts of `frame` in `session`; of every frame there when
// `frame` is empty.
void forget_contexts(Widget& widget, std::string_view session, std::string_view frame) {
  forget_contexts(widget, [&](std::string_view s, std::string_view f, int64_t) {
    return s == session && (frame.empty() || f == frame);
  });
}

}  // namespace

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
  if (event.method == "Page.frameNavigated") {
    const JsonValue* frame = event.params.find("frame");
    if (!frame) return;
    std::string_view id = string_member(*frame, "id");
    if (id == widget->main_frame && event.session == widget->session) {
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
  }
}

bool WidgetTable::watch(const Event& event) {
  if (event.method == "Target.detachedFromTarget") {
    // A tab's own session (told at the browser's level) or a frame's.
    std::string_view session = string_member(event.params, "sessionId");
    for (auto& w : widgets_) {
      if (w->session == session) w->detached = true;
      forget_contexts(*w, session, {});
      std::erase_if(w->children, [&](const ChildFrame& c) { return c.session == session; });
    }
    return false;
  }
  bool runtime = event.method.starts_with("Runtime.");
  Widget* widget = event.session.empty() ? nullptr : owner_of(event.session);
  if (!widget) return runtime;
  if (event.method == "Target.attachedToTarget") {
    const JsonValue* info = event.params.find("targetInfo");
    std::string_view session = string_member(event.params, "sessionId");
    if (info && string_member(*info, "type") == "iframe" && !session.empty()) {
      widget->children.push_back(ChildFrame{std::string(string_member(*info, "targetId")),
                                            std::string(session), std::string(event.session)});
    }
  } else if (event.method == "Runtime.executionContextCreated") {
    const JsonValue* context = event.params.find("context");
    const JsonValue* about = context ? context->find("auxData") : nullptr;
    std::optional<int64_t> id = context ? integer_member(*context, "id") : std::nullopt;
    if (id && about) {
      widget->contexts.push_back(Context{std::string(event.session),
                                         std::string(string_member(*about, "frameId")), *id,
                                         flag_member(*about, "isDefault")});
    }
  } else if (event.method == "Runtime.executionContextDestroyed") {
    if (auto id = integer_member(event.params, "executionContextId")) {
      forget_contexts(*widget, [&](std::string_view s, std::string_view, int64_t c) {
        return s == event.session && c == *id;
      });
    }
  } else if (event.method == "Runtime.executionContextsCleared") {
    forget_contexts(*widget, event.session, {});
  } else if (event.method == "Page.frameDetached") {
    forget_contexts(*widget, event.session, string_member(event.params, "frameId"));
  }
  // The page's console and uncaught errors are nothing the host keeps.
  return runtime;
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
  widget->detached = false;
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
        w->contexts.clear();
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
