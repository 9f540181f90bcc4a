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

// Waits in the page for the element an action needs, re-checking at each
// animation frame (or timer, in a page that gets no frames) until `ms` pass.
// Elements are looked for in the document, then in open shadow roots (where a
// descendant combinator also reaches through the host), then in same-origin
// frames. Resolves to {x, y} (click: the point to press, in the
// top frame's coordinates), {text} or {} (type: focused with its content
// selected, or cleared with `clear`), or {error} naming the first
// condition still unmet.
constexpr std::string_view kActionScript = R"(async (sel, action, ms, clear, submit) => {
  const deadline = performance.now() + ms;
  // A guard an earlier click left behind, its verdict never read, goes.
  const guardKey = Symbol.for('tessik.guard');
  window[guardKey]?.remove();
  delete window[guardKey];
  const isFrame = (el) => el.tagName === 'IFRAME' || el.tagName === 'FRAME';
  const inside = (frame) => { try { return frame.contentDocument; } catch (e) { return null; } };
  const up = (node) => node.parentNode || node.host || null;
  // A selector split at its descendant combinators, so that they may cross
  // shadow boundaries ("x-card button"); null for a list or a single part.
  const parts = (() => {
    const out = [];
    let part = '', depth = 0, quote = '';
    const space = (c) => c === ' ' || c === '\t' || c === '\n' || c === '\r' || c === '\f';
    for (let i = 0; i < sel.length; i++) {
      const c = sel[i];
      if (c === '\\') { part += c + (sel[++i] ?? ''); continue; }
      if (quote) { part += c; if (c === quote) quote = ''; continue; }
      if (c === '"' || c === "'") { quote = c; part += c; continue; }
      if (c === '(' || c === '[') depth++;
      if (c === ')' || c === ']') depth--;
      if (depth !== 0) { part += c; continue; }
      if (c === ',') return null;
      if (space(c) || '>+~'.includes(c)) {
        let j = i;
        while (j < sel.length && space(sel[j])) j++;
        if ('>+~'.includes(sel[j] ?? '')) {
          // Any other combinator stays within its part.
          part += ' ' + sel[j] + ' ';
          j++;
          while (j < sel.length && space(sel[j])) j++;
        } else if (part) {
          out.push(part);
          part = '';
        }
        i = j - 1;
        continue;
      }
      part += c;
    }
    if (part) out.push(part);
    return out.length > 1 ? out : null;
  })();
  // The last part matches the element, the others its ancestors in order,
  // through shadow hosts.
  const pierces = (el) => {
    let k = parts.length - 2, node = up(el);
    for (let i = 0; k >= 0 && node && i < 4096; i++, node = up(node)) {
      if (node.nodeType === 1 && node.matches(parts[k])) k--;
    }
    return k < 0;
  };
  const query = (root, shadow) => {
    if (!shadow || !parts) return root.querySelector(sel);
    for (const el of root.querySelectorAll(parts[parts.length - 1])) {
      if (pierces(el)) return el;
    }
    return null;
  };
  const find = () => {
    const first = document.querySelector(sel);
    if (first) return first;
    const docs = [document];
    for (let d = 0; d < docs.length && d < 64; d++) {
      const roots = [docs[d]];
      for (let r = 0; r < roots.length && r < 4096; r++) {
        if (d > 0 || r > 0) {
          const hit = query(roots[r], r > 0);
          if (hit) return hit;
        }
        for (const el of roots[r].querySelectorAll('*')) {
          if (el.shadowRoot) roots.push(el.shadowRoot);
          if (isFrame(el)) {
            const doc = inside(el);
            if (doc) docs.push(doc);
          }
        }
      }
    }
    return null;
  };
  // Where a frame's content starts within its parent's viewport.
  const contentOrigin = (frame) => {
    const box = frame.getBoundingClientRect();
    const style = frame.ownerDocument.defaultView.getComputedStyle(frame);
    return [box.left + frame.clientLeft + parseFloat(style.paddingLeft),
            box.top + frame.clientTop + parseFloat(style.paddingTop)];
  };
  // The element's box in the top frame's coordinates.
  const topBox = (el) => {
    const box = el.getBoundingClientRect();
    let x = box.left, y = box.top;
    let view = el.ownerDocument.defaultView;
    for (let i = 0; i < 64 && view && view !== window && view.frameElement; i++) {
      const [dx, dy] = contentOrigin(view.frameElement);
      x += dx; y += dy;
      view = view.frameElement.ownerDocument.defaultView;
    }
    return {x, y, width: box.width, height: box.height};
  };
  const inView = (el, box) => {
    const local = el.getBoundingClientRect(), view = el.ownerDocument.defaultView;
    const lx = local.left + local.width / 2, ly = local.top + local.height / 2;
    const tx = box.x + box.width / 2, ty = box.y + box.height / 2;
    return lx >= 0 && ly >= 0 && lx < view.innerWidth && ly < view.innerHeight &&
           tx >= 0 && ty >= 0 && tx < innerWidth && ty < innerHeight;
  };
  // The innermost element at a point of the top frame, through open shadow
  // roots and same-origin frames.
  const hitAt = (x, y) => {
    let root = document, hit = null;
    for (let i = 0; i < 64; i++) {
      const el = root.elementFromPoint(x, y);
      if (!el || el === hit) break;
      hit = el;
      if (el.shadowRoot) {
        root = el.shadowRoot;
      } else if (isFrame(el) && inside(el)) {
        const [dx, dy] = contentOrigin(el);
        x -= dx; y -= dy;
        root = inside(el);
      } else {
        break;
      }
    }
    return hit;
  };
  const within = (node, el) => {
    for (let i = 0; node && i < 4096; i++, node = up(node)) if (node === el) return true;
    return false;
  };
  const labelFor = (node, el) => {
    for (let i = 0; node && i < 4096; i++, node = up(node)) {
      if (node.tagName === 'LABEL' && node.control === el) return true;
    }
    return false;
  };
  const describe = (el) => el.tagName.toLowerCase() + (el.id ? '#' + el.id
      : el.classList.length ? '.' + el.classList[0] : '');
  const textTypes = ['', 'text', 'search', 'url', 'tel', 'email', 'password', 'number'];
  const takesText = (el) => el.isContentEditable || el.tagName === 'TEXTAREA' ||
      (el.tagName === 'INPUT' && textTypes.includes((el.getAttribute('type') ?? '').toLowerCase()));
  const visible = (el) => {
    const box = el.getBoundingClientRect();
    return box.width > 0 && box.height > 0 &&
           el.ownerDocument.defaultView.getComputedStyle(el).visibility !== 'hidden';
  };
  const disabled = (el) => typeof el.matches === 'function' && el.matches(':disabled');
  // True when a frame came; false when the timer won, as in a page that
  // gets no frames, or one whose frames are late under load.
  const nextFrame = () => new Promise((resolve) => {
    requestAnimationFrame(() => resolve(true));
    setTimeout(() => resolve(false), 50);
  });
  let last = null, lastBox = null, framed = false;
  const check = () => {
    const el = find();
    if (!el) return {error: 'no element matches selector'};
    if (action === 'text') return {text: typeof el.innerText === 'string' ? el.innerText : (el.textContent ?? '')};
    if (action === 'type' && !takesText(el)) return {error: 'element cannot take text', final: true};
    if (!visible(el)) return {error: 'element is not visible'};
    if (disabled(el)) return {error: 'element is disabled'};
    if (action === 'type') {
      if (el.readOnly) return {error: 'element is read-only'};
      return {el};
    }
    let box = topBox(el);
    if (!inView(el, box)) {
      el.scrollIntoView({block: 'center', inline: 'center', behavior: 'instant'});
      box = topBox(el);
    }
    // Animations advance only from one frame to the next: two looks within
    // one frame see the same box however fast the element moves.
    const settled = framed || document.visibilityState === 'hidden';
    const same = settled && el === last && lastBox !== null && box.x === lastBox.x &&
                 box.y === lastBox.y && box.width === lastBox.width && box.height === lastBox.height;
    last = el; lastBox = box;
    if (!same) return {error: 'element is not stable'};
    const x = box.x + box.width / 2, y = box.y + box.height / 2;
    const hit = hitAt(x, y);
    if (!hit || !(within(hit, el) || labelFor(hit, el))) {
      return {error: hit ? 'element is covered by ' + describe(hit) : 'element is not visible'};
    }
    return {x, y, target: el};
  };
  // Until the host reads the verdict: whether each event of the press and
  // release about to come lands on the element or a label for it. The
  // element may move, or something come over it, after the checks or between
  // press and release; the first event that misses is kept from the page with
  // the rest of the sequence, so no click happens, and the host tries again.
  // An event that lands in no window reached here (a cross-origin frame) is
  // taken as it comes.
  const guard = (el, x, y) => {
    const types = ['pointerdown', 'mousedown', 'pointerup', 'mouseup', 'click'];
    const views = [window];
    for (let v = 0; v < views.length && views.length < 64; v++) {
      try {
        const frames = views[v].frames;
        for (let f = 0; f < frames.length && views.length < 64; f++) views.push(frames[f]);
      } catch (e) {}
    }
    let missed = '';
    const aimed = (node) => node === el || (node.tagName === 'LABEL' && node.control === el);
    const listener = (event) => {
      if (!event.isTrusted) return;
      if (!missed) {
        const path = event.composedPath();
        if (!path.some(aimed)) {
          const box = el.isConnected ? topBox(el) : null;
          const hit = path[0];
          missed = !box ? 'no element matches selector'
              : x < box.x || y < box.y || x >= box.x + box.width || y >= box.y + box.height
              ? 'element is not stable'
              : hit && hit.nodeType === 1 ? 'element is covered by ' + describe(hit)
              : 'element is not visible';
        }
      }
      if (missed) {
        event.preventDefault();
        event.stopImmediatePropagation();
      }
    };
    const each = (act) => {
      for (const view of views) {
        try { for (const type of types) act.call(view, type, listener, true); } catch (e) {}
      }
    };
    each(EventTarget.prototype.addEventListener);
    window[guardKey] = {
      remove: () => each(EventTarget.prototype.removeEventListener),
      missed: () => missed,
    };
  };
  for (;;) {
    const state = check();
    if (state.target) {
      guard(state.target, state.x, state.y);
      return {x: state.x, y: state.y};
    }
    if (state.el) {
      const el = state.el;
      el.focus();
      let active = document.activeElement;
      for (let i = 0; i < 64 && active; i++) {
        const next = active.shadowRoot?.activeElement ?? (isFrame(active) ? inside(active)?.activeElement : null);
        if (!next) break;
        active = next;
      }
      if (!active || !within(active, el)) return {error: 'element cannot take the focus'};
      if (el.isContentEditable) {
        const range = el.ownerDocument.createRange();
        range.selectNodeContents(el);
        const selection = el.ownerDocument.getSelection();
        selection.removeAllRanges();
        selection.addRange(range);
      } else {
        el.select();
      }
      // Deleting the selection as a user would tells the page the field is empty.
      if (clear && (el.isContentEditable ? el.textContent !== '' : el.value !== '')) {
        el.ownerDocument.execCommand('delete');
      }
      if (submit) {
        const key = Symbol.for('tessik.typed');
        window[key] = {el, submitted: false};
        const view = el.ownerDocument.defaultView;
        view.addEventListener('submit', () => { window[key].submitted = true; },
                              {capture: true, once: true});
      }
      return {};
    }
    if (state.error === undefined || state.final || performance.now() >= deadline) return state;
    framed = await nextFrame();
  }
})";

// After Enter: submits the typed element's form unless Enter already did,
// or the page has moved on to another document.
constexpr std::string_view kSubmitScript = R"(() => {
  const typed = window[Symbol.for('tessik.typed')];
  if (!typed || typed.submitted) return 'already';
  const form = typed.el.form ?? typed.el.closest('form');
  if (!form) return 'no form';
  if (typeof form.requestSubmit === 'function') form.requestSubmit(); else form.submit();
  return 'submitted';
})";

// Settles once the page has handled the input sent before it: after the
// next frame, or at once in a page that is hidden (it gets no frames, and
// its timers are slowed down), as the one a click opened a window over.
// Answers the first unmet condition when the click's guard kept part of the
// click from the page, and settles at once then: the page saw no click.
constexpr std::string_view kSettleScript = R"((() => {
  const key = Symbol.for('tessik.guard');
  const guard = window[key];
  delete window[key];
  guard?.remove();
  const missed = guard?.missed() ?? '';
  if (missed) return missed;
  return new Promise((resolve) => {
    const soon = () => {
      const channel = new MessageChannel();
      channel.port1.onmessage = () => resolve('');
      channel.port2.postMessage(null);
    };
    if (document.visibilityState === 'hidden') return soon();
    requestAnimationFrame(soon);
    addEventListener('visibilitychange', soon, {once: true});
    setTimeout(() => resolve(''), 100);
  });
})())";

}  // namespace

// Follows one tab's top frame from the start of a navigation to the load
// event, or the DOMContentLoaded event, of the document it ends in.
struct Browser::Navigation {
  Navigation(std::string_view frame, bool begun, std::string_view end_event)
      : main_frame(frame), until(end_event), started(begun) {}

  std::string_view main_frame;
  std::string_view until;  // "load" or "DOMContentLoaded"
  std::string loader;      // the document whose event ends the wait, once known
  bool started;
  bool loading = false;  // the top frame started loading while watched
  bool committed = false;
  bool done = false;

  void see(const Event& event) {
    std::string_view method = event.method;
    JsonValue params = event.params;
    bool top = string_member(params, "frameId") == main_frame;
    if (method == "Page.frameRequestedNavigation" || method == "Page.frameScheduledNavigation") {
      // A link that opens another tab does not move this one.
      std::string_view disposition = string_member(params, "disposition");
      if (top && (disposition.empty() || disposition == "currentTab")) started = true;
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
      if (top && !committed) started = done = true;
    } else if (method == "Page.lifecycleEvent") {
      if (!loader.empty() && string_member(params, "name") == until &&
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

namespace {

// How long to let a new document set up before looking in it again.
constexpr auto kContextPause = std::chrono::milliseconds(10);

// The script's document went away under it.
bool lost_context(std::string_view error) {
  return error.find("context was destroyed") != std::string_view::npos ||
         error.find("navigated or closed") != std::string_view::npos ||
         error.find("Cannot find default execution context") != std::string_view::npos;
}

std::string timed_out(std::chrono::milliseconds limit, std::string_view what) {
  return "timed out after " + std::to_string(limit.count()) + " ms waiting for " + std::string(what);
}

}  // namespace

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
  auto attached = attach(widgets_.front());
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

std::expected<std::shared_ptr<Browser::Widget>, std::string> Browser::pick(
    const std::optional<std::string>& id) {
  if (id) {
    auto it = std::find_if(widgets_.begin(), widgets_.end(),
                           [&](const auto& w) { return w->id == *id; });
    if (it == widgets_.end()) return std::unexpected("no such widget: " + *id);
    return attach(*it);
  }
  if (widgets_.size() == 1) return attach(widgets_.front());
  if (widgets_.empty()) return std::unexpected(std::string("no widget is open"));
  std::string ids;
  for (const auto& w : widgets_) ids += (ids.empty() ? "" : ", ") + w->id;
  return std::unexpected("more than one widget is open, name one with --widget: " + ids);
}

std::expected<std::shared_ptr<Browser::Widget>, std::string> Browser::attach(
    std::shared_ptr<Widget> widget) {
  if (!widget->session.empty()) return widget;

  JsonDocument doc;
  auto attached = call("Target.attachToTarget",
                       ObjectBuilder(doc)
                           .add_string("targetId", widget->target)
                           .add_bool("flatten", true)
                           .build(),
                       {});
  if (!attached) {
    // The tab may have closed before its end was noted.
    if (devtools_.read_available()) pump({}, nullptr);
    if (std::find(widgets_.begin(), widgets_.end(), widget) == widgets_.end()) {
      return std::unexpected("no such widget: " + widget->id);
    }
    return std::unexpected(attached.error());
  }
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
  auto widget = pick(command.widget);
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

std::expected<Reply, std::string> Browser::evaluate(Widget& widget, std::string_view expression,
                                                   Clock::time_point deadline) {
  JsonDocument doc;
  auto reply = devtools_.call("Runtime.evaluate",
                              ObjectBuilder(doc)
                                  .add_string("expression", expression)
                                  .add_bool("returnByValue", true)
                                  .add_bool("awaitPromise", true)
                                  .build(),
                              widget.session, deadline);
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
                                                              Navigation& navigation,
                                                              std::chrono::milliseconds limit) {
  Clock::time_point start = Clock::now();
  Clock::time_point until = within(limit);
  for (;;) {
    pump(widget.session, &navigation);
    if (navigation.done) return {};
    if (Clock::now() >= until) {
      // The request's own deadline may have come first.
      auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(until - start);
      return std::unexpected(timed_out(std::min(limit, waited), navigation.until == "load"
                                                                    ? "the page to load"
                                                                    : "the next page"));
    }
    auto waited = devtools_.wait_for_event(until);
    if (!waited) return waited;
  }
}

std::expected<std::string, std::string> Browser::follow_input(Widget& widget,
                                                              Navigation& navigation) {
  // A page that goes away meanwhile fails the script: that is a navigation,
  // which the events tell.
  auto settled = evaluate(widget, kSettleScript);
  if (settled && settled->result.is_string() && !settled->result.as_string().empty()) {
    return std::string(settled->result.as_string());
  }
  pump(widget.session, &navigation);
  if (!navigation.started || navigation.done) return std::string();
  auto waited = wait_for_navigation(widget, navigation, timeouts_.action);
  if (!waited) return std::unexpected(waited.error());
  return std::string();
}

std::expected<void, std::string> Browser::bring_to_front(Widget& widget) {
  if (front_ == widget.target) return {};
  auto brought = call("Page.bringToFront", {}, widget.session);
  if (!brought) return std::unexpected(brought.error());
  front_ = widget.target;
  return {};
}

std::expected<Reply, std::string> Browser::wait_for_element(Widget& widget, std::string_view action,
                                                            const std::string& selector,
                                                            bool clear, bool submit,
                                                            Clock::time_point until) {
  if (auto front = bring_to_front(widget); !front) return std::unexpected(front.error());
  std::expected<Reply, std::string> reply;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    std::string expression = "(" + std::string(kActionScript) + ")(" + js_string(selector) +
                             ", '" + std::string(action) + "', " +
                             std::to_string(std::max<long long>(1, left.count())) + ", " +
                             (clear ? "true" : "false") + ", " + (submit ? "true" : "false") + ")";
    // The page ends its own wait; the margin is for a page too busy to.
    reply = evaluate(widget, expression, std::min(until + std::chrono::seconds(5), deadline_));
    // A page that moved on to another document while the script waited:
    // the element may be in the new one, once it has a context to look in.
    if (reply || Clock::now() >= until || !lost_context(reply.error())) break;
    auto waited = devtools_.wait_for_event(std::min(until, Clock::now() + kContextPause));
    if (!waited) return std::unexpected(waited.error());
  }
  if (!reply) return reply;
  if (!reply->result.is_object()) return std::unexpected(std::string("the page gave no answer"));
  if (std::string_view error = string_member(reply->result, "error"); !error.empty()) {
    return std::unexpected(std::string(error) + ": " + selector);
  }
  return reply;
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
  Navigation navigation(widget.main_frame, true, "load");
  navigation.loader = string_member(reply->result, "loaderId");
  // Without a loader id the navigation stayed within the document, and a
  // download leaves the page as it was: done either way.
  const JsonValue* download = reply->result.find("isDownload");
  if (navigation.loader.empty() || (download && download->is_bool() && download->as_bool())) {
    return Data{};
  }
  if (auto waited = wait_for_navigation(widget, navigation, timeouts_.navigation); !waited) {
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
  Navigation navigation(widget.main_frame, true, "load");
  auto moved = call("Page.navigateToHistoryEntry", ObjectBuilder(doc).add("entryId", *id).build(),
                    widget.session);
  if (!moved) return std::unexpected(moved.error());
  if (auto waited = wait_for_navigation(widget, navigation, timeouts_.navigation); !waited) {
    return std::unexpected(waited.error());
  }
  return Data{};
}

std::expected<Data, std::string> Browser::reload(Widget& widget) {
  Navigation navigation(widget.main_frame, true, "load");
  auto reply = call("Page.reload", {}, widget.session);
  if (!reply) return std::unexpected(reply.error());
  if (auto waited = wait_for_navigation(widget, navigation, timeouts_.navigation); !waited) {
    return std::unexpected(waited.error());
  }
  return Data{};
}

std::expected<Data, std::string> Browser::text(Widget& widget, const Command& command) {
  if (!command.has_selector) {
    auto reply = evaluate(widget,
                          "(el => typeof el?.innerText === 'string' ? el.innerText"
                          " : (el?.textContent ?? ''))(document.body ?? document.documentElement)");
    if (!reply) return std::unexpected(reply.error());
    JsonValue value = reply->result;
    return data_in(std::move(*reply), value);
  }
  auto found = wait_for_element(widget, "text", command.selector, false, false,
                                within(timeouts_.action));
  if (!found) return std::unexpected(found.error());
  const JsonValue* text = found->result.find("text");
  JsonValue value = text ? *text : JsonValue::string("");
  return data_in(std::move(*found), value);
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
  Clock::time_point until = within(timeouts_.action);
  for (;;) {
    auto spot = wait_for_element(widget, "click", selector, false, false, until);
    if (!spot) return std::unexpected(spot.error());
    double x = number_of(spot->result.find("x"));
    double y = number_of(spot->result.find("y"));

    pump({}, nullptr);  // what the page did before the click is not the click's doing
    Navigation navigation(widget.main_frame, false, "DOMContentLoaded");
    for (std::string_view type : {"mouseMoved", "mousePressed", "mouseReleased"}) {
      JsonDocument doc;
      ObjectBuilder event(doc);
      event.add_string("type", type).add("x", JsonValue::f64(x)).add("y", JsonValue::f64(y));
      if (type != "mouseMoved") {
        event.add_string("button", "left")
            .add_u64("buttons", type == "mousePressed" ? 1 : 0)
            .add_u64("clickCount", 1);
      }
      // The move's answer waits for a frame; the press behind it is not sent
      // before it all the same.
      if (type == "mouseMoved") {
        auto sent = devtools_.post("Input.dispatchMouseEvent", event.build(), widget.session,
                                   within(kReplyLimit));
        if (!sent) return std::unexpected(sent.error());
        continue;
      }
      auto sent = call("Input.dispatchMouseEvent", event.build(), widget.session);
      if (!sent) return std::unexpected(sent.error());
    }
    auto followed = follow_input(widget, navigation);
    if (!followed) return std::unexpected(followed.error());
    if (followed->empty()) return Data{};
    // The press missed and the page saw none of it: check and aim again.
    if (Clock::now() >= until) return std::unexpected(*followed + ": " + selector);
  }
}

std::expected<Data, std::string> Browser::type(Widget& widget, const Command& command) {
  auto ready = wait_for_element(widget, "type", command.selector, command.text.empty(),
                                command.submit, within(timeouts_.action));
  if (!ready) return std::unexpected(ready.error());
  if (!command.text.empty()) {
    JsonDocument doc;
    // Arrives as typed input over the selection: beforeinput and input
    // events, no key codes.
    auto inserted = call("Input.insertText",
                         ObjectBuilder(doc).add_string("text", command.text).build(),
                         widget.session);
    if (!inserted) return std::unexpected(inserted.error());
  }
  if (!command.submit) return Data{};

  pump({}, nullptr);
  Navigation navigation(widget.main_frame, false, "DOMContentLoaded");
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
    auto submitted = evaluate(widget, "(" + std::string(kSubmitScript) + ")()");
    // A page that went away meanwhile was navigating: the events tell.
    (void)submitted;
  }
  if (auto followed = follow_input(widget, navigation); !followed) {
    return std::unexpected(followed.error());
  }
  return Data{};
}

}  // namespace tessik::host
