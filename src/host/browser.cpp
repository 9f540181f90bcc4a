#include "host/browser.h"

#include <algorithm>

#include "host/json_build.h"
#include "json/writer.h"

namespace tessik::host {

namespace {

std::string js_string(std::string_view s) {
  std::string out;
  escape_json_string(out, s);  // a JSON string is also a JavaScript string literal
  return out;
}

std::string_view string_member(JsonValue value, std::string_view key) {
  const JsonValue* member = value.find(key);
  return member && member->is_string() ? member->as_string() : std::string_view();
}

double number_of(const JsonValue* value) {
  if (!value) return 0;
  switch (value->kind()) {
    case JsonKind::u64: return static_cast<double>(value->as_u64());
    case JsonKind::i64: return static_cast<double>(value->as_i64());
    case JsonKind::f64: return value->as_f64();
    default: return 0;
  }
}

// What a thrown value says about itself: an error's description without the
// stack trace that follows its first line, or the thrown value itself.
std::string exception_text(JsonValue details) {
  if (const JsonValue* thrown = details.find("exception")) {
    if (const JsonValue* description = thrown->find("description");
        description && description->is_string()) {
      std::string_view text = description->as_string();
      return std::string(text.substr(0, text.find("\n    at ")));
    }
    if (const JsonValue* value = thrown->find("value")) {
      return value->is_string() ? std::string(value->as_string()) : to_compact_json(*value);
    }
  }
  std::string_view text = string_member(details, "text");
  return text.empty() ? "the script threw an exception" : std::string(text);
}

Data data_in(Reply reply, JsonValue value) {
  Data data;
  data.docs.push_back(std::move(reply.doc));  // moving keeps `value` valid
  data.value = value;
  return data;
}

std::string no_match(std::string_view selector) {
  return "no element matches selector: " + std::string(selector);
}

// The page's visible text, or null when a selector is given and matches nothing.
constexpr std::string_view kTextScript = R"((sel) => {
  const el = sel === null ? (document.body ?? document.documentElement)
                          : document.querySelector(sel);
  if (!el) return sel === null ? '' : null;
  return typeof el.innerText === 'string' ? el.innerText : (el.textContent ?? '');
})";

// Brings the element into view and says where its centre is and whether a
// click there reaches it (or a label that stands for it).
constexpr std::string_view kClickScript = R"((sel) => {
  const el = document.querySelector(sel);
  if (!el) return null;
  el.scrollIntoView({block: 'center', inline: 'center', behavior: 'instant'});
  const box = el.getBoundingClientRect();
  if (box.width === 0 || box.height === 0) return {visible: false};
  const x = box.left + box.width / 2, y = box.top + box.height / 2;
  const hit = document.elementFromPoint(x, y);
  const label = hit ? hit.closest('label') : null;
  return {visible: true, x, y,
          reachable: hit !== null && (el.contains(hit) || (label !== null && label.control === el))};
})";

// Focuses the element with the caret at its end. With `submit`, it also
// starts noting whether the page sees a form submitted.
constexpr std::string_view kFocusScript = R"((sel, submit) => {
  const el = document.querySelector(sel);
  if (!el) return null;
  el.scrollIntoView({block: 'center', inline: 'center', behavior: 'instant'});
  el.focus();
  let active = document.activeElement;
  while (active && active.shadowRoot && active.shadowRoot.activeElement) {
    active = active.shadowRoot.activeElement;
  }
  if (!active || !(active === el || el.contains(active))) return false;
  if (typeof el.value === 'string' && typeof el.setSelectionRange === 'function') {
    try { el.setSelectionRange(el.value.length, el.value.length); } catch (e) {}
  } else if (el.isContentEditable) {
    const range = document.createRange();
    range.selectNodeContents(el);
    range.collapse(false);
    const selection = getSelection();
    selection.removeAllRanges();
    selection.addRange(range);
  }
  if (submit) {
    const key = Symbol.for('tessik.submitted');
    if (!(key in window)) addEventListener('submit', () => { window[key] = true; }, true);
    window[key] = false;
  }
  return true;
})";

// After Enter: submits the element's form unless Enter already did, or the
// page has moved on to another document.
constexpr std::string_view kSubmitScript = R"((sel) => {
  if (window[Symbol.for('tessik.submitted')] !== false) return 'already';
  const el = document.querySelector(sel);
  const form = el ? (el.form ?? el.closest('form')) : null;
  if (!form) return 'no form';
  if (typeof form.requestSubmit === 'function') form.requestSubmit(); else form.submit();
  return 'submitted';
})";

}  // namespace

// Follows one tab's top frame from the start of a navigation to the load
// event of the document it ends in.
struct Browser::Navigation {
  Navigation(std::string_view frame, bool begun) : main_frame(frame), started(begun) {}

  std::string_view main_frame;
  std::string loader;  // the document whose load ends the wait, once known
  bool started;
  bool loading = false;  // the top frame started loading while watched
  bool committed = false;
  bool done = false;

  void see(const Event& event) {
    std::string_view method = event.method;
    JsonValue params = event.params;
    bool top = string_member(params, "frameId") == main_frame;
    if (method == "Page.frameRequestedNavigation") {
      // A link that opens another tab does not move this one.
      if (top && string_member(params, "disposition") == "currentTab") started = true;
    } else if (method == "Page.frameStartedNavigating") {
      if (top) started = true;
    } else if (method == "Page.frameStartedLoading") {
      if (top) started = loading = true;
    } else if (method == "Page.frameNavigated") {
      const JsonValue* frame = params.find("frame");
      if (!frame || frame->find("parentId")) return;
      started = committed = true;
      loader = string_member(*frame, "loaderId");
      // A page restored from the back-forward cache is loaded already.
      if (string_member(params, "type") == "BackForwardCacheRestore") done = true;
    } else if (method == "Page.navigatedWithinDocument") {
      if (top && !committed) done = true;
    } else if (method == "Page.lifecycleEvent") {
      if (!loader.empty() && string_member(params, "name") == "load" &&
          string_member(params, "loaderId") == loader) {
        done = true;
      }
    } else if (method == "Page.frameStoppedLoading") {
      // Stopped without a new document: cancelled, a download, or a 204.
      // The previous document's own stop may still be on its way; it comes
      // before this navigation's start.
      if (top && loading && !committed) done = true;
    }
  }
};

Clock::time_point Browser::within(Clock::duration limit) const {
  return std::min(Clock::now() + limit, deadline_);
}

std::expected<Reply, std::string> Browser::call(std::string_view method, JsonValue params,
                                                std::string_view session) {
  return devtools_.call(method, params, session, within(kReplyLimit));
}

std::expected<void, std::string> Browser::start(Clock::time_point deadline) {
  deadline_ = deadline;
  auto targets = call("Target.getTargets", {}, {});
  if (!targets) return std::unexpected(targets.error());
  std::string first;
  if (const JsonValue* infos = targets->result.find("targetInfos"); infos && infos->is_array()) {
    for (JsonValue info : infos->items()) {
      if (string_member(info, "type") == "page") {
        first = string_member(info, "targetId");
        break;
      }
    }
  }
  if (first.empty()) {
    JsonDocument doc;
    auto created =
        call("Target.createTarget", ObjectBuilder(doc).add_string("url", "about:blank").build(), {});
    if (!created) return std::unexpected(created.error());
    first = string_member(created->result, "targetId");
  }
  widgets_.push_back(std::make_shared<Widget>(Widget{std::string(kFirstWidget), first, {}, {}}));
  next_widget_ = 2;

  JsonDocument doc;
  auto discover =
      call("Target.setDiscoverTargets", ObjectBuilder(doc).add_bool("discover", true).build(), {});
  if (!discover) return std::unexpected(discover.error());
  auto attached = attach(std::string(kFirstWidget));
  if (!attached) return std::unexpected(attached.error());
  return {};
}

void Browser::absorb_events() { pump({}, nullptr); }

void Browser::pump(std::string_view session, Navigation* navigation) {
  auto& queue = devtools_.events();
  while (!queue.empty()) {
    Event event = std::move(queue.front());
    queue.pop_front();
    if (event.session.empty()) {
      note_target_event(event);
    } else if (navigation && event.session == session) {
      navigation->see(event);
    }
  }
}

void Browser::note_target_event(const Event& event) {
  auto by_target = [&](std::string_view target) {
    return std::find_if(widgets_.begin(), widgets_.end(),
                        [&](const auto& w) { return w->target == target; });
  };
  if (event.method == "Target.targetCreated") {
    const JsonValue* info = event.params.find("targetInfo");
    if (!info || string_member(*info, "type") != "page") return;
    std::string_view target = string_member(*info, "targetId");
    if (target.empty() || by_target(target) != widgets_.end()) return;
    widgets_.push_back(
        std::make_shared<Widget>(Widget{std::to_string(next_widget_++), std::string(target), {}, {}}));
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

std::expected<std::shared_ptr<Browser::Widget>, std::string> Browser::attach(const std::string& id) {
  auto it = std::find_if(widgets_.begin(), widgets_.end(),
                         [&](const auto& w) { return w->id == id; });
  if (it == widgets_.end()) return std::unexpected("no such widget: " + id);
  std::shared_ptr<Widget> widget = *it;
  if (!widget->session.empty()) return widget;

  JsonDocument doc;
  auto attached = call("Target.attachToTarget",
                       ObjectBuilder(doc)
                           .add_string("targetId", widget->target)
                           .add_bool("flatten", true)
                           .build(),
                       {});
  if (!attached) return std::unexpected(attached.error());
  std::string session(string_member(attached->result, "sessionId"));
  if (auto enabled = call("Page.enable", {}, session); !enabled) {
    return std::unexpected(enabled.error());
  }
  // Lifecycle events carry the loader id that tells one document's load
  // event from another's.
  auto lifecycle = call("Page.setLifecycleEventsEnabled",
                        ObjectBuilder(doc).add_bool("enabled", true).build(), session);
  if (!lifecycle) return std::unexpected(lifecycle.error());
  auto tree = call("Page.getFrameTree", {}, session);
  if (!tree) return std::unexpected(tree.error());
  const JsonValue* frame_tree = tree->result.find("frameTree");
  const JsonValue* frame = frame_tree ? frame_tree->find("frame") : nullptr;
  widget->main_frame = frame ? string_member(*frame, "id") : std::string_view();
  widget->session = std::move(session);
  return widget;
}

std::expected<Data, std::string> Browser::run(const Command& command, Clock::time_point deadline) {
  deadline_ = deadline;
  pump({}, nullptr);  // what happened before this command is no news to it
  if (Clock::now() >= deadline_) {
    return std::unexpected(std::string("the browser was busy with other requests for too long"));
  }
  auto widget = attach(command.widget);
  if (!widget) return std::unexpected(widget.error());
  return dispatch(command, **widget);
}

std::expected<Data, std::string> Browser::dispatch(const Command& command, Widget& widget) {
  switch (command.kind) {
    case CommandKind::url: return url(widget);
    case CommandKind::title: return title(widget);
    case CommandKind::navigate: return navigate(widget, command.url);
    case CommandKind::back: return go(widget, -1);
    case CommandKind::forward: return go(widget, +1);
    case CommandKind::reload: return reload(widget);
    case CommandKind::text: return text(widget, command);
    case CommandKind::eval: return eval(widget, command.script);
    case CommandKind::click: return click(widget, command.selector);
    case CommandKind::type: return type(widget, command);
  }
  return std::unexpected(std::string("unknown command"));
}

std::expected<Reply, std::string> Browser::evaluate(Widget& widget, std::string_view expression) {
  JsonDocument doc;
  auto reply = call("Runtime.evaluate",
                    ObjectBuilder(doc)
                        .add_string("expression", expression)
                        .add_bool("returnByValue", true)
                        .build(),
                    widget.session);
  if (!reply) return reply;
  if (const JsonValue* details = reply->result.find("exceptionDetails")) {
    return std::unexpected(exception_text(*details));
  }
  const JsonValue* object = reply->result.find("result");
  const JsonValue* value = object ? object->find("value") : nullptr;
  reply->result = value ? *value : JsonValue();
  return reply;
}

std::expected<void, std::string> Browser::wait_for_navigation(Widget& widget,
                                                              Navigation& navigation) {
  Clock::time_point load_deadline = within(kLoadLimit);
  Clock::time_point grace_deadline = Clock::now() + kNavigationGrace;
  for (;;) {
    pump(widget.session, &navigation);
    if (navigation.done) return {};
    Clock::time_point now = Clock::now();
    if (!navigation.started && now >= grace_deadline) return {};  // nothing was set off
    if (now >= load_deadline) {
      return std::unexpected(std::string("timed out waiting for the page to load"));
    }
    auto waited = devtools_.wait_for_event(
        navigation.started ? load_deadline : std::min(grace_deadline, load_deadline));
    if (!waited) return waited;
  }
}

std::expected<Data, std::string> Browser::url(Widget& widget) {
  JsonDocument doc;
  // The tab's own record, so a failed load still shows the address it tried.
  auto reply = call("Target.getTargetInfo",
                    ObjectBuilder(doc).add_string("targetId", widget.target).build(), {});
  if (!reply) return std::unexpected(reply.error());
  const JsonValue* info = reply->result.find("targetInfo");
  const JsonValue* url = info ? info->find("url") : nullptr;
  if (!url || !url->is_string()) return std::unexpected(std::string("the browser gave no url"));
  JsonValue value = *url;
  return data_in(std::move(*reply), value);
}

std::expected<Data, std::string> Browser::title(Widget& widget) {
  auto reply = evaluate(widget, "document.title");
  if (!reply) return std::unexpected(reply.error());
  JsonValue value = reply->result;
  return data_in(std::move(*reply), value);
}

std::expected<Data, std::string> Browser::navigate(Widget& widget, const std::string& url) {
  JsonDocument doc;
  auto reply = call("Page.navigate", ObjectBuilder(doc).add_string("url", url).build(),
                    widget.session);
  if (!reply) return std::unexpected(reply.error());
  if (std::string_view error = string_member(reply->result, "errorText"); !error.empty()) {
    return std::unexpected(std::string(error));
  }
  Navigation navigation(widget.main_frame, true);
  navigation.loader = string_member(reply->result, "loaderId");
  // Without a loader id the navigation stayed within the document, and a
  // download leaves the page as it was: done either way.
  const JsonValue* download = reply->result.find("isDownload");
  if (navigation.loader.empty() || (download && download->is_bool() && download->as_bool())) {
    return Data{};
  }
  if (auto waited = wait_for_navigation(widget, navigation); !waited) {
    return std::unexpected(waited.error());
  }
  return Data{};
}

std::expected<Data, std::string> Browser::go(Widget& widget, int step) {
  auto history = call("Page.getNavigationHistory", {}, widget.session);
  if (!history) return std::unexpected(history.error());
  const JsonValue* entries = history->result.find("entries");
  const JsonValue* current = history->result.find("currentIndex");
  if (!entries || !entries->is_array() || !current || current->kind() != JsonKind::u64) {
    return std::unexpected(std::string("the browser gave no history"));
  }
  uint64_t index = current->as_u64();
  if (step < 0 && index == 0) return std::unexpected(std::string("no previous page in history"));
  if (step > 0 && index + 1 >= entries->size()) {
    return std::unexpected(std::string("no next page in history"));
  }
  JsonValue entry = entries->items()[step < 0 ? index - 1 : index + 1];
  const JsonValue* id = entry.find("id");
  if (!id) return std::unexpected(std::string("the browser gave no history"));

  JsonDocument doc;
  Navigation navigation(widget.main_frame, true);
  auto moved = call("Page.navigateToHistoryEntry", ObjectBuilder(doc).add("entryId", *id).build(),
                    widget.session);
  if (!moved) return std::unexpected(moved.error());
  if (auto waited = wait_for_navigation(widget, navigation); !waited) {
    return std::unexpected(waited.error());
  }
  return Data{};
}

std::expected<Data, std::string> Browser::reload(Widget& widget) {
  Navigation navigation(widget.main_frame, true);
  auto reply = call("Page.reload", {}, widget.session);
  if (!reply) return std::unexpected(reply.error());
  if (auto waited = wait_for_navigation(widget, navigation); !waited) {
    return std::unexpected(waited.error());
  }
  return Data{};
}

std::expected<Data, std::string> Browser::text(Widget& widget, const Command& command) {
  std::string expression = "(" + std::string(kTextScript) + ")(" +
                           (command.has_selector ? js_string(command.selector) : "null") + ")";
  auto reply = evaluate(widget, expression);
  if (!reply) return std::unexpected(reply.error());
  if (!reply->result.is_string()) return std::unexpected(no_match(command.selector));
  JsonValue value = reply->result;
  return data_in(std::move(*reply), value);
}

std::expected<Data, std::string> Browser::eval(Widget& widget, const std::string& script) {
  Clock::time_point until = within(kReplyLimit);
  // A script that never returns would hold the tab: the browser stops it a
  // little before the wait for its reply ends.
  auto stop_after = std::max<long long>(
      1, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count() - 500);
  Clock::time_point stopped = Clock::now() + std::chrono::milliseconds(stop_after);
  JsonDocument doc;
  auto reply = devtools_.call("Runtime.evaluate",
                              ObjectBuilder(doc)
                                  .add_string("expression", script)
                                  .add_bool("returnByValue", true)
                                  .add_bool("awaitPromise", true)
                                  .add_bool("userGesture", true)
                                  .add_u64("timeout", static_cast<uint64_t>(stop_after))
                                  .build(),
                              widget.session, until);
  if (!reply) {
    // Stopped, or a promise that never settled: either way it took too long.
    if (Clock::now() >= stopped) return std::unexpected(std::string("timed out waiting for the script"));
    return std::unexpected(reply.error());
  }

  Data data;
  data.docs.emplace_back();
  ObjectBuilder result(data.docs.back());
  if (const JsonValue* details = reply->result.find("exceptionDetails")) {
    result.add_bool("ok", false).add_string("error", exception_text(*details));
  } else {
    result.add_bool("ok", true);
    const JsonValue* object = reply->result.find("result");
    const JsonValue* value = object ? object->find("value") : nullptr;
    std::string_view unserializable =
        object ? string_member(*object, "unserializableValue") : std::string_view();
    if (value) {
      result.add("value", *value);
    } else if (unserializable == "-0") {
      result.add("value", JsonValue::f64(-0.0));
    } else if (!unserializable.empty()) {
      // NaN, the infinities and big integers have no JSON number: their text.
      result.add_string("value", unserializable);
    }
    // undefined has no value at all and reads as null.
  }
  data.value = result.build();
  data.docs.push_back(std::move(reply->doc));
  return data;
}

std::expected<Data, std::string> Browser::click(Widget& widget, const std::string& selector) {
  auto spot = evaluate(widget, "(" + std::string(kClickScript) + ")(" + js_string(selector) + ")");
  if (!spot) return std::unexpected(spot.error());
  if (!spot->result.is_object()) return std::unexpected(no_match(selector));
  const JsonValue* visible = spot->result.find("visible");
  if (!visible || !visible->is_bool() || !visible->as_bool()) {
    return std::unexpected("element is not visible: " + selector);
  }
  const JsonValue* reachable = spot->result.find("reachable");
  if (!reachable || !reachable->is_bool() || !reachable->as_bool()) {
    return std::unexpected("element is covered by another element: " + selector);
  }
  double x = number_of(spot->result.find("x"));
  double y = number_of(spot->result.find("y"));

  Navigation navigation(widget.main_frame, false);
  for (std::string_view type : {"mouseMoved", "mousePressed", "mouseReleased"}) {
    JsonDocument doc;
    ObjectBuilder event(doc);
    event.add_string("type", type).add("x", JsonValue::f64(x)).add("y", JsonValue::f64(y));
    if (type != "mouseMoved") {
      event.add_string("button", "left")
          .add_u64("buttons", type == "mousePressed" ? 1 : 0)
          .add_u64("clickCount", 1);
    }
    auto sent = call("Input.dispatchMouseEvent", event.build(), widget.session);
    if (!sent) return std::unexpected(sent.error());
  }
  if (auto waited = wait_for_navigation(widget, navigation); !waited) {
    return std::unexpected(waited.error());
  }
  return Data{};
}

std::expected<Data, std::string> Browser::type(Widget& widget, const Command& command) {
  auto focused = evaluate(widget, "(" + std::string(kFocusScript) + ")(" +
                                      js_string(command.selector) + ", " +
                                      (command.submit ? "true" : "false") + ")");
  if (!focused) return std::unexpected(focused.error());
  if (!focused->result.is_bool()) return std::unexpected(no_match(command.selector));
  if (!focused->result.as_bool()) {
    return std::unexpected("element cannot take the focus: " + command.selector);
  }
  if (!command.text.empty()) {
    JsonDocument doc;
    // Arrives as typed input: beforeinput and input events, no key codes.
    auto inserted = call("Input.insertText",
                         ObjectBuilder(doc).add_string("text", command.text).build(),
                         widget.session);
    if (!inserted) return std::unexpected(inserted.error());
  }
  if (!command.submit) return Data{};

  Navigation navigation(widget.main_frame, false);
  for (std::string_view type : {"keyDown", "keyUp"}) {
    JsonDocument doc;
    ObjectBuilder key(doc);
    key.add_string("type", type)
        .add_string("key", "Enter")
        .add_string("code", "Enter")
        .add_u64("windowsVirtualKeyCode", 13)
        .add_u64("nativeVirtualKeyCode", 13);
    if (type == "keyDown") key.add_string("text", "\r").add_string("unmodifiedText", "\r");
    auto sent = call("Input.dispatchKeyEvent", key.build(), widget.session);
    if (!sent) return std::unexpected(sent.error());
  }
  pump(widget.session, &navigation);
  if (!navigation.started) {
    // Enter submits a form only when it has a submit button or a single
    // field; otherwise the form is submitted as its button would.
    auto submitted =
        evaluate(widget, "(" + std::string(kSubmitScript) + ")(" + js_string(command.selector) + ")");
    // A page that went away meanwhile was navigating: that is what the wait
    // below is for.
    (void)submitted;
  }
  if (auto waited = wait_for_navigation(widget, navigation); !waited) {
    return std::unexpected(waited.error());
  }
  return Data{};
}

}  // namespace tessik::host
